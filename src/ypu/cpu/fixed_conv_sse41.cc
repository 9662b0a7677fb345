// 1-D convolution kernels with 128-bit integer operations: 8 channels or 8
// values per step, int8 weights widened in registers.
#include <smmintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

__m128i load8_i16(const int16_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
// Four int8 values sign-extended to 32 bits.
__m128i load4_i8_as32(const int8_t *p) {
  int32_t bytes;
  __builtin_memcpy(&bytes, p, 4);
  return _mm_cvtepi8_epi32(_mm_cvtsi32_si128(bytes));
}
// Eight int8 values sign-extended to 16 bits.
__m128i load8_i8_as16(const int8_t *p) {
  return _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}
__m128i load4_i16_as32(const int16_t *p) {
  return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}
void store4(int32_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
__m128i load4(const int32_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// The four lane sums of a, b, c and d, in that order.
__m128i sums4(__m128i a, __m128i b, __m128i c, __m128i d) {
  return _mm_hadd_epi32(_mm_hadd_epi32(a, b), _mm_hadd_epi32(c, d));
}

// Output rows i (and i + 1 when `kRows` is 2), channels m .. m + 3.
template <int kRows>
void conv_block(const qz_ypu_cpu_conv1d_context_t *c, int64_t i, int64_t m) {
  const int64_t length = c->length;
  const int16_t *x0 = c->in + i * c->in_channels;
  const int16_t *x1 = x0 + c->in_channels;
  __m128i acc[kRows][4];
  for (auto &row : acc)
    for (auto &a : row) a = _mm_setzero_si128();
  for (int64_t t = 0; t < length; t += 8) {
    const __m128i a0 = load8_i16(x0 + t);
    const __m128i a1 = kRows == 2 ? load8_i16(x1 + t) : a0;
    for (int ch = 0; ch < 4; ++ch) {
      const __m128i w = load8_i8_as16(c->weights + (m + ch) * length + t);
      acc[0][ch] = _mm_add_epi32(acc[0][ch], _mm_madd_epi16(a0, w));
      if (kRows == 2) acc[kRows - 1][ch] = _mm_add_epi32(acc[kRows - 1][ch], _mm_madd_epi16(a1, w));
    }
  }
  const int64_t m_count = c->out_channels;
  for (int row = 0; row < kRows; ++row)
    store4(c->out + (i + row) * m_count + m, sums4(acc[row][0], acc[row][1], acc[row][2], acc[row][3]));
}

// Phases k .. k + kPhases - 1 of group g, 8 channels from q.
template <int kPhases>
void transposed_block(const qz_ypu_cpu_dwconv1d_transposed_context_t *c, int64_t g, int64_t k,
                      int64_t q, int64_t t_begin, int64_t t_end) {
  const int64_t k_count = c->channels, s = c->stride;
  __m128i lo[kPhases], hi[kPhases];
  for (int ph = 0; ph < kPhases; ++ph) lo[ph] = hi[ph] = _mm_setzero_si128();
  for (int64_t t = t_begin; t < t_end; ++t) {
    const int16_t *x = c->in + (g - t) * k_count + q;
    const __m128i x_lo = load4_i16_as32(x), x_hi = load4_i16_as32(x + 4);
    for (int ph = 0; ph < kPhases; ++ph) {
      const int8_t *w = c->weights + (k + ph + t * s) * k_count + q;
      lo[ph] = _mm_add_epi32(lo[ph], _mm_mullo_epi32(x_lo, load4_i8_as32(w)));
      hi[ph] = _mm_add_epi32(hi[ph], _mm_mullo_epi32(x_hi, load4_i8_as32(w + 4)));
    }
  }
  for (int ph = 0; ph < kPhases; ++ph) {
    int32_t *out = c->out + (g * s + k + ph) * k_count + q;
    store4(out, lo[ph]);
    store4(out + 4, hi[ph]);
  }
}

}  // namespace

// Channels are a multiple of 8: for every tap the widened products are added
// into the output rows, which are read and rewritten once per tap.
void qz_ypu_cpu_dwconv1d_acc_i8i16_sse41(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_acc_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t k_count = c->channels;
  for (int64_t i = r.begin; i < r.end; ++i) {
    int32_t *out = c->out + i * k_count;
    for (int64_t j = 0; j < c->taps; ++j) {
      const int16_t *in = c->in + (i + j) * k_count;
      const int8_t *w = c->weights + j * k_count;
      for (int64_t k = 0; k < k_count; k += 8) {
        const __m128i p0 = _mm_mullo_epi32(load4_i16_as32(in + k), load4_i8_as32(w + k));
        const __m128i p1 = _mm_mullo_epi32(load4_i16_as32(in + k + 4), load4_i8_as32(w + k + 4));
        store4(out + k, _mm_add_epi32(load4(out + k), p0));
        store4(out + k + 4, _mm_add_epi32(load4(out + k + 4), p1));
      }
    }
  }
}

// Output channels a multiple of 4, taps x in_channels a multiple of 8: two
// rows by four channels per step, a last odd row alone.
void qz_ypu_cpu_conv1d_i8i16_sse41(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_conv1d_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  int64_t i = r.begin;
  for (; r.end - i >= 2; i += 2)
    for (int64_t m = 0; m < c->out_channels; m += 4) conv_block<2>(c, i, m);
  if (i < r.end)
    for (int64_t m = 0; m < c->out_channels; m += 4) conv_block<1>(c, i, m);
}

// Channels a multiple of 8: four phases per step, the phases left over when
// the stride is not a multiple of four one at a time.
void qz_ypu_cpu_dwconv1d_transposed_i8i16_sse41(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_transposed_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->groups, c->count, item);
  const int64_t s = c->stride;
  for (int64_t g = r.begin; g < r.end; ++g) {
    const int64_t t_begin = g - c->rows + 1 > 0 ? g - c->rows + 1 : 0;
    const int64_t t_end = c->phase_taps < g + 1 ? c->phase_taps : g + 1;
    int64_t k = 0;
    for (; s - k >= 4; k += 4)
      for (int64_t q = 0; q < c->channels; q += 8) transposed_block<4>(c, g, k, q, t_begin, t_end);
    for (; k < s; ++k)
      for (int64_t q = 0; q < c->channels; q += 8) transposed_block<1>(c, g, k, q, t_begin, t_end);
  }
}
