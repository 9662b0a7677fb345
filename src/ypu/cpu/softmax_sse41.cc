// SSE4.1 row softmax tasks: 4-lane float rows with the polynomial
// exponential in separate multiplications and additions, and int16 rows
// with the host's fixed-point arithmetic, normalised in 64-bit lanes.
#include <smmintrin.h>

#include "ypu/cpu/isa_local.h"
#include "ypu/cpu/softmax.h"

namespace {

__m128 splat(float x) { return _mm_set1_ps(x); }
// a * b + c, rounded twice.
__m128 mul_add(__m128 a, __m128 b, __m128 c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }

}  // namespace

__m128 qz_ypu_cpu_exp4_sse41(__m128 x) {
  const __m128 shift = splat(12582912.0f);
  const __m128 t = mul_add(x, splat(1.442695f), shift);
  const __m128 n = _mm_sub_ps(t, shift);
  __m128 r = _mm_sub_ps(x, _mm_mul_ps(n, splat(0.69314575f)));
  r = _mm_sub_ps(r, _mm_mul_ps(n, splat(1.4286068e-6f)));
  const __m128 s = _mm_mul_ps(r, r);
  const __m128 p = mul_add(mul_add(mul_add(r, splat(0.00824739f), splat(0.041899767f)), s,
                                   mul_add(r, splat(0.16668396f), splat(0.49999127f))),
                           s, _mm_mul_ps(splat(0.9999994f), r));
  const __m128i shifted = _mm_slli_epi32(_mm_castps_si128(t), 23);
  const __m128 scale = _mm_castsi128_ps(_mm_add_epi32(shifted, _mm_set1_epi32(0x3F800000)));
  const __m128 result = mul_add(p, scale, scale);
  const __m128 magnitude = _mm_andnot_ps(splat(-0.0f), n);
  const __m128 large = _mm_cmpgt_ps(magnitude, splat(126.0f));
  if (_mm_movemask_ps(large) == 0) return result;
  const __m128 non_positive = _mm_cmple_ps(n, _mm_setzero_ps());
  const __m128i k =
      _mm_and_si128(_mm_castps_si128(non_positive), _mm_set1_epi32(static_cast<int32_t>(0x82000000u)));
  const __m128 s1 = _mm_castsi128_ps(_mm_sub_epi32(shifted, k));
  const __m128 s2 = _mm_castsi128_ps(_mm_add_epi32(k, _mm_set1_epi32(0x7F000000)));
  const __m128 huge = _mm_cmpgt_ps(magnitude, splat(192.0f));
  const __m128 scaled = _mm_mul_ps(mul_add(s1, p, s1), s2);
  const __m128 extreme = _mm_blendv_ps(scaled, _mm_mul_ps(s2, s2), huge);
  return _mm_blendv_ps(result, extreme, large);
}

void qz_ypu_cpu_softmax_f32_sse41(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_f32_context_t *>(opaque);
  const int64_t n = c.cols;
  if (n < 4 || n % 4 != 0) return;  // never chosen for such rows
  const qz_ypu_cpu_range_t range = qz_isa_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t row = range.begin; row < range.end; ++row) {
    const float *x = c.in + row * n;
    float *o = c.out + row * n;
    __m128 m4 = _mm_loadu_ps(x);
    for (int64_t j = 4; j < n; j += 4) m4 = _mm_max_ps(m4, _mm_loadu_ps(x + j));
    m4 = _mm_max_ps(m4, _mm_movehl_ps(m4, m4));
    m4 = _mm_max_ss(m4, _mm_shuffle_ps(m4, m4, 1));
    const __m128 m = _mm_shuffle_ps(m4, m4, 0);
    __m128 sum = _mm_setzero_ps();
    for (int64_t j = 0; j < n; j += 4) {
      const __m128 e = qz_ypu_cpu_exp4_sse41(_mm_sub_ps(_mm_loadu_ps(x + j), m));
      _mm_storeu_ps(o + j, e);
      sum = _mm_add_ps(sum, e);
    }
    alignas(16) float s[4];
    _mm_store_ps(s, sum);
    const __m128 k = splat(1.0f / ((s[0] + s[1]) + (s[2] + s[3])));
    for (int64_t j = 0; j < n; j += 4) _mm_storeu_ps(o + j, _mm_mul_ps(_mm_loadu_ps(o + j), k));
  }
}

namespace {

// Per 32-bit lane: (a * b + 2^30) >> 31 from the 64-bit product, INT32_MAX
// when the rounded product reaches 2^62; both factors non-negative.
__m128i q31_round(__m128i a, __m128i b) {
  const __m128i half = _mm_set1_epi64x(int64_t{1} << 30);
  const __m128i even = _mm_add_epi64(_mm_mul_epi32(a, b), half);
  const __m128i odd =
      _mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32)), half);
  const __m128i top = _mm_set1_epi64x(INT32_MAX);
  auto narrow = [&](__m128i v) {
    const __m128i fits = _mm_cmpeq_epi64(_mm_srli_epi64(v, 62), _mm_setzero_si128());
    return _mm_blendv_epi8(top, _mm_srli_epi64(v, 31), fits);
  };
  return _mm_blend_epi16(narrow(even), _mm_slli_epi64(narrow(odd), 32), 0xCC);
}

}  // namespace

void qz_ypu_cpu_softmax_fixed_i16_sse41(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_fixed_context_t *>(opaque);
  const int64_t n = c.cols;
  if (n < 8 || n % 8 != 0) return;  // never chosen for such rows
  const qz_ypu_cpu_range_t range = qz_isa_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t row = range.begin; row < range.end; ++row) {
    const int16_t *x = c.in + row * n;
    int32_t *o = c.out + row * n;
    __m128i m8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x));
    for (int64_t j = 8; j < n; j += 8)
      m8 = _mm_max_epi16(m8, _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + j)));
    alignas(16) int16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), m8);
    int32_t m = lanes[0];
    for (int l = 1; l < 8; ++l)
      if (lanes[l] > m) m = lanes[l];
    // The table reads stay scalar (no gathers in this set).
    const int64_t sum = qz_ypu_cpu_fixed_exp_row(x, m, n, o);
    const __m128i reciprocal = _mm_set1_epi32(static_cast<int32_t>(qz_ypu_cpu_q31_reciprocal(sum)));
    for (int64_t j = 0; j < n; j += 4) {
      auto *at = reinterpret_cast<__m128i *>(o + j);
      _mm_storeu_si128(at, q31_round(reciprocal, _mm_loadu_si128(at)));
    }
  }
}
