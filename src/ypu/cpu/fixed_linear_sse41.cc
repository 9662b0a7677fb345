// Linear layer kernels with 128-bit integer operations: int8 weights widened
// to int16 in registers, 8 values per step through the 16-bit multiply-add
// into 32-bit lanes, then a horizontal sum.
#include <smmintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

__m128i madd8(const int16_t *x, const int8_t *w) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x));
  const __m128i b = _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(w)));
  return _mm_madd_epi16(a, b);
}

int32_t lane_sum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
  return _mm_cvtsi128_si32(v);
}

// Blocks of 8, then (with kTail) the rest one value at a time.
template <bool kTail>
int32_t dot(const int16_t *x, const int8_t *w, int64_t k) {
  __m128i acc = _mm_setzero_si128();
  int64_t i = 0;
  for (; k - i >= 8; i += 8) acc = _mm_add_epi32(acc, madd8(x + i, w + i));
  int32_t sum = lane_sum(acc);
  if (kTail)
    for (; i < k; ++i) sum = qz_ypu_cpu_wrap_add(sum, int32_t{x[i]} * w[i]);
  return sum;
}

// Two features over one input row: each input load feeds both.
template <bool kTail>
void dot2(const int16_t *x, const int8_t *w0, const int8_t *w1, int64_t k, int32_t *s0,
          int32_t *s1) {
  __m128i a0 = _mm_setzero_si128(), a1 = _mm_setzero_si128();
  int64_t i = 0;
  for (; k - i >= 8; i += 8) {
    const __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i));
    const __m128i b0 = _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(w0 + i)));
    const __m128i b1 = _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(w1 + i)));
    a0 = _mm_add_epi32(a0, _mm_madd_epi16(xv, b0));
    a1 = _mm_add_epi32(a1, _mm_madd_epi16(xv, b1));
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

// Matrix form: the item's run of output values, one at a time.
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

// Vector form: item i takes the feature pairs starting at 2i, 2i + 2 count,
// ...; item 0 also takes the last feature when the count is odd.
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

#define QZ_LINEAR_SSE41(op, accumulate)                                                        \
  void qz_ypu_cpu_##op##_sse41(void *c, size_t i) { matrix<accumulate, false>(c, i); }         \
  void qz_ypu_cpu_##op##_sse41_any(void *c, size_t i) { matrix<accumulate, true>(c, i); }      \
  void qz_ypu_cpu_##op##_sse41_vec2(void *c, size_t i) { vector<accumulate, false>(c, i); }    \
  void qz_ypu_cpu_##op##_sse41_vec(void *c, size_t i) { vector<accumulate, true>(c, i); }
QZ_LINEAR_SSE41(linear_acc_i8i16, true)
QZ_LINEAR_SSE41(linear_i8i16, false)
