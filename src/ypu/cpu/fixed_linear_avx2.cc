// Linear layer kernels with 256-bit integer operations: int8 weights widened
// to int16 in registers, 16 values per step through the 16-bit multiply-add
// into 32-bit lanes, then a horizontal sum.
#include <immintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

__m256i load_x(const int16_t *x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x));
}
__m256i load_w(const int8_t *w) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(w)));
}

int32_t lane_sum(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// Blocks of 32 and 16, then (with kTail) the rest one value at a time.
template <bool kTail>
int32_t dot(const int16_t *x, const int8_t *w, int64_t k) {
  __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
  int64_t i = 0;
  for (; k - i >= 32; i += 32) {
    a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(load_x(x + i), load_w(w + i)));
    a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(load_x(x + i + 16), load_w(w + i + 16)));
  }
  for (; k - i >= 16; i += 16)
    a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(load_x(x + i), load_w(w + i)));
  int32_t sum = lane_sum(_mm256_add_epi32(a0, a1));
  if (kTail)
    for (; i < k; ++i) sum = qz_ypu_cpu_wrap_add(sum, int32_t{x[i]} * w[i]);
  return sum;
}

// Two features over one input row: each input load feeds both.
template <bool kTail>
void dot2(const int16_t *x, const int8_t *w0, const int8_t *w1, int64_t k, int32_t *s0,
          int32_t *s1) {
  __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
  int64_t i = 0;
  for (; k - i >= 16; i += 16) {
    const __m256i xv = load_x(x + i);
    a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(xv, load_w(w0 + i)));
    a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(xv, load_w(w1 + i)));
  }
  int32_t sum0 = lane_sum(a0), sum1 = lane_sum(a1);
  if (kTail)
    for (; i < k; ++i) {
      sum0 = qz_ypu_cpu_wrap_add(sum0, int32_t{x[i]} * w0[i]);
      sum1 = qz_ypu_cpu_wrap_add(sum1, int32_t{x[i]} * w1[i]);
    }
  *s0 = sum0;
  *s1 = sum1;
}

template <bool kAccumulate, bool kTail>
void matrix(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_linear_context_t *>(context);
  const int64_t n_count = c->out_features, k_count = c->in_features;
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows * n_count, c->count, item);
  for (int64_t u = r.begin; u < r.end; ++u) {
    const int64_t i = u / n_count, n = u % n_count;
    const int32_t s = dot<kTail>(c->in + i * k_count, c->weights + n * k_count, k_count);
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + u, qz_ypu_cpu_linear_value(c->bias[n], s));
  }
}

template <bool kAccumulate, bool kTail>
void vector(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_linear_context_t *>(context);
  const int64_t n_count = c->out_features, k_count = c->in_features;
  const int64_t step = 2 * c->count;
  for (auto n = 2 * static_cast<int64_t>(item); n + 1 < n_count; n += step) {
    int32_t s0, s1;
    dot2<kTail>(c->in, c->weights + n * k_count, c->weights + (n + 1) * k_count, k_count, &s0, &s1);
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + n, qz_ypu_cpu_linear_value(c->bias[n], s0));
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + n + 1,
                                         qz_ypu_cpu_linear_value(c->bias[n + 1], s1));
  }
  if (item == 0 && n_count % 2 == 1) {
    const int64_t n = n_count - 1;
    const int32_t s = dot<kTail>(c->in, c->weights + n * k_count, k_count);
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + n, qz_ypu_cpu_linear_value(c->bias[n], s));
  }
}

}  // namespace

#define QZ_LINEAR_AVX2(op, accumulate)                                                       \
  void qz_ypu_cpu_##op##_avx2(void *c, size_t i) { matrix<accumulate, false>(c, i); }        \
  void qz_ypu_cpu_##op##_avx2_any(void *c, size_t i) { matrix<accumulate, true>(c, i); }     \
  void qz_ypu_cpu_##op##_avx2_vec2(void *c, size_t i) { vector<accumulate, false>(c, i); }   \
  void qz_ypu_cpu_##op##_avx2_vec(void *c, size_t i) { vector<accumulate, true>(c, i); }
QZ_LINEAR_AVX2(linear_acc_i8i16, true)
QZ_LINEAR_AVX2(linear_i8i16, false)
