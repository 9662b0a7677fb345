// 1-D convolution kernels with 256-bit integer operations: 16 channels or
// 16 values per step, int8 weights widened in registers.
#include <immintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

__m256i load16_i16(const int16_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
__m256i load16_i8_as16(const int8_t *p) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
__m256i load8_i8_as32(const int8_t *p) {
  return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}
__m256i load8_i16_as32(const int16_t *p) {
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
__m256i load8(const int32_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
void store8(int32_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

// The four lane sums of a, b, c and d, in that order.
__m128i sums4(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i ab = _mm256_hadd_epi32(a, b), cd = _mm256_hadd_epi32(c, d);
  const __m256i abcd = _mm256_hadd_epi32(ab, cd);
  return _mm_add_epi32(_mm256_castsi256_si128(abcd), _mm256_extracti128_si256(abcd, 1));
}

template <int kRows>
void conv_block(const qz_ypu_cpu_conv1d_context_t *c, int64_t i, int64_t m) {
  const int64_t length = c->length;
  const int16_t *x0 = c->in + i * c->in_channels;
  const int16_t *x1 = x0 + c->in_channels;
  __m256i acc[kRows][4];
  for (auto &row : acc)
    for (auto &a : row) a = _mm256_setzero_si256();
  for (int64_t t = 0; t < length; t += 16) {
    const __m256i a0 = load16_i16(x0 + t);
    const __m256i a1 = kRows == 2 ? load16_i16(x1 + t) : a0;
    for (int ch = 0; ch < 4; ++ch) {
      const __m256i w = load16_i8_as16(c->weights + (m + ch) * length + t);
      acc[0][ch] = _mm256_add_epi32(acc[0][ch], _mm256_madd_epi16(a0, w));
      if (kRows == 2)
        acc[kRows - 1][ch] = _mm256_add_epi32(acc[kRows - 1][ch], _mm256_madd_epi16(a1, w));
    }
  }
  const int64_t m_count = c->out_channels;
  for (int row = 0; row < kRows; ++row)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(c->out + (i + row) * m_count + m),
                     sums4(acc[row][0], acc[row][1], acc[row][2], acc[row][3]));
}

template <int kPhases>
void transposed_block(const qz_ypu_cpu_dwconv1d_transposed_context_t *c, int64_t g, int64_t k,
                      int64_t q, int64_t t_begin, int64_t t_end) {
  const int64_t k_count = c->channels, s = c->stride;
  __m256i lo[kPhases], hi[kPhases];
  for (int ph = 0; ph < kPhases; ++ph) lo[ph] = hi[ph] = _mm256_setzero_si256();
  for (int64_t t = t_begin; t < t_end; ++t) {
    const int16_t *x = c->in + (g - t) * k_count + q;
    const __m256i x_lo = load8_i16_as32(x), x_hi = load8_i16_as32(x + 8);
    for (int ph = 0; ph < kPhases; ++ph) {
      const int8_t *w = c->weights + (k + ph + t * s) * k_count + q;
      lo[ph] = _mm256_add_epi32(lo[ph], _mm256_mullo_epi32(x_lo, load8_i8_as32(w)));
      hi[ph] = _mm256_add_epi32(hi[ph], _mm256_mullo_epi32(x_hi, load8_i8_as32(w + 8)));
    }
  }
  for (int ph = 0; ph < kPhases; ++ph) {
    int32_t *out = c->out + (g * s + k + ph) * k_count + q;
    store8(out, lo[ph]);
    store8(out + 8, hi[ph]);
  }
}

}  // namespace

void qz_ypu_cpu_dwconv1d_acc_i8i16_avx2(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_acc_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t k_count = c->channels;
  for (int64_t i = r.begin; i < r.end; ++i) {
    int32_t *out = c->out + i * k_count;
    for (int64_t j = 0; j < c->taps; ++j) {
      const int16_t *in = c->in + (i + j) * k_count;
      const int8_t *w = c->weights + j * k_count;
      for (int64_t k = 0; k < k_count; k += 16) {
        const __m256i p0 = _mm256_mullo_epi32(load8_i16_as32(in + k), load8_i8_as32(w + k));
        const __m256i p1 =
            _mm256_mullo_epi32(load8_i16_as32(in + k + 8), load8_i8_as32(w + k + 8));
        store8(out + k, _mm256_add_epi32(load8(out + k), p0));
        store8(out + k + 8, _mm256_add_epi32(load8(out + k + 8), p1));
      }
    }
  }
}

void qz_ypu_cpu_conv1d_i8i16_avx2(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_conv1d_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  int64_t i = r.begin;
  for (; r.end - i >= 2; i += 2)
    for (int64_t m = 0; m < c->out_channels; m += 4) conv_block<2>(c, i, m);
  if (i < r.end)
    for (int64_t m = 0; m < c->out_channels; m += 4) conv_block<1>(c, i, m);
}

void qz_ypu_cpu_dwconv1d_transposed_i8i16_avx2(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_transposed_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->groups, c->count, item);
  const int64_t s = c->stride;
  for (int64_t g = r.begin; g < r.end; ++g) {
    const int64_t t_begin = g - c->rows + 1 > 0 ? g - c->rows + 1 : 0;
    const int64_t t_end = c->phase_taps < g + 1 ? c->phase_taps : g + 1;
    int64_t k = 0;
    for (; s - k >= 4; k += 4)
      for (int64_t q = 0; q < c->channels; q += 16) transposed_block<4>(c, g, k, q, t_begin, t_end);
    for (; k < s; ++k)
      for (int64_t q = 0; q < c->channels; q += 16) transposed_block<1>(c, g, k, q, t_begin, t_end);
  }
}
