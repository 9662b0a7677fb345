// AVX2 row softmax tasks: 8-lane float rows with a polynomial exponential
// (fused multiply-add), and 16-value int16 rows with the host's fixed-point
// arithmetic in 64-bit lanes.
#include <immintrin.h>

#include "ypu/cpu/isa_local.h"
#include "ypu/cpu/softmax.h"
#include "ypu/fixed_point.h"

#define QZ_AVX2_FMA __attribute__((target("avx2,fma")))

namespace {

QZ_AVX2_FMA __m256 splat(float x) { return _mm256_set1_ps(x); }

QZ_AVX2_FMA float lane_max(__m256 v) {
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
  return _mm_cvtss_f32(m);
}

// ((s0 + s4) + (s1 + s5)) + ((s2 + s6) + (s3 + s7)).
QZ_AVX2_FMA float lane_sum(__m256 v) {
  const __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  alignas(16) float t[4];
  _mm_store_ps(t, h);
  return (t[0] + t[1]) + (t[2] + t[3]);
}

}  // namespace

QZ_AVX2_FMA __m256 qz_ypu_cpu_exp8_avx2(__m256 x) {
  // x log2(e) rounded to an integer n by the 1.5 * 2^23 shift; n's low bits
  // sit in t's bit pattern.
  const __m256 shift = splat(12582912.0f);
  const __m256 t = _mm256_fmadd_ps(x, splat(1.442695f), shift);
  const __m256 n = _mm256_sub_ps(t, shift);
  // r = x - n ln 2 in two parts.
  __m256 r = _mm256_fnmadd_ps(n, splat(0.69314575f), x);
  r = _mm256_fnmadd_ps(n, splat(1.4286068e-6f), r);
  const __m256 s = _mm256_mul_ps(r, r);
  // p approximates e^r - 1.
  const __m256 p = _mm256_fmadd_ps(
      _mm256_fmadd_ps(_mm256_fmadd_ps(r, splat(0.00824739f), splat(0.041899767f)), s,
                      _mm256_fmadd_ps(r, splat(0.16668396f), splat(0.49999127f))),
      s, _mm256_mul_ps(splat(0.9999994f), r));
  const __m256i shifted = _mm256_slli_epi32(_mm256_castps_si256(t), 23);
  const __m256 scale = _mm256_castsi256_ps(_mm256_add_epi32(shifted, _mm256_set1_epi32(0x3F800000)));
  const __m256 result = _mm256_fmadd_ps(p, scale, scale);
  const __m256 magnitude = _mm256_andnot_ps(splat(-0.0f), n);
  const __m256 large = _mm256_cmp_ps(magnitude, splat(126.0f), _CMP_GT_OQ);
  if (_mm256_movemask_ps(large) == 0) return result;
  // 2^n as the product of two powers of two that are both representable.
  const __m256 non_positive = _mm256_cmp_ps(n, _mm256_setzero_ps(), _CMP_LE_OQ);
  const __m256i k = _mm256_and_si256(_mm256_castps_si256(non_positive),
                                     _mm256_set1_epi32(static_cast<int32_t>(0x82000000u)));
  const __m256 s1 = _mm256_castsi256_ps(_mm256_sub_epi32(shifted, k));
  const __m256 s2 = _mm256_castsi256_ps(_mm256_add_epi32(k, _mm256_set1_epi32(0x7F000000)));
  const __m256 huge = _mm256_cmp_ps(magnitude, splat(192.0f), _CMP_GT_OQ);
  const __m256 scaled = _mm256_mul_ps(_mm256_fmadd_ps(s1, p, s1), s2);
  const __m256 extreme = _mm256_blendv_ps(scaled, _mm256_mul_ps(s2, s2), huge);
  return _mm256_blendv_ps(result, extreme, large);
}

QZ_AVX2_FMA void qz_ypu_cpu_softmax_f32_avx2(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_f32_context_t *>(opaque);
  const int64_t n = c.cols;
  if (n < 8 || n % 8 != 0) return;  // never chosen for such rows
  const qz_ypu_cpu_range_t range = qz_isa_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t row = range.begin; row < range.end; ++row) {
    const float *x = c.in + row * n;
    float *o = c.out + row * n;
    __m256 m8 = _mm256_loadu_ps(x);
    for (int64_t j = 8; j < n; j += 8) m8 = _mm256_max_ps(m8, _mm256_loadu_ps(x + j));
    const __m256 m = splat(lane_max(m8));
    // Each chunk is read before the same chunk of the output is written, so
    // the output may be the input.
    __m256 sum = _mm256_setzero_ps();
    for (int64_t j = 0; j < n; j += 8) {
      const __m256 e = qz_ypu_cpu_exp8_avx2(_mm256_sub_ps(_mm256_loadu_ps(x + j), m));
      _mm256_storeu_ps(o + j, e);
      sum = _mm256_add_ps(sum, e);
    }
    const __m256 k = splat(1.0f / lane_sum(sum));
    for (int64_t j = 0; j < n; j += 8) _mm256_storeu_ps(o + j, _mm256_mul_ps(_mm256_loadu_ps(o + j), k));
  }
}

namespace {

// Per 32-bit lane: (a * b + 2^30) >> 31 from the full 64-bit product,
// INT32_MAX when the rounded product reaches 2^62. Both factors are
// non-negative int32 values.
__attribute__((target("avx2"))) __m256i q31_round(__m256i a, __m256i b) {
  const __m256i half = _mm256_set1_epi64x(int64_t{1} << 30);
  const __m256i even = _mm256_add_epi64(_mm256_mul_epi32(a, b), half);
  const __m256i odd = _mm256_add_epi64(
      _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)), half);
  const __m256i top = _mm256_set1_epi64x(INT32_MAX);
  auto narrow = [&](__m256i v) {
    const __m256i saturated = _mm256_cmpeq_epi64(_mm256_srli_epi64(v, 62), _mm256_setzero_si256());
    return _mm256_blendv_epi8(top, _mm256_srli_epi64(v, 31), saturated);
  };
  return _mm256_blend_epi32(narrow(even), _mm256_slli_epi64(narrow(odd), 32), 0xAA);
}

// e^(-l/1024) in Q31 for 8 lanes of l in [0, 16383], from the host's tables.
__attribute__((target("avx2"))) __m256i fixed_exp8(__m256i l) {
  const __m256i msb = _mm256_i32gather_epi32(QZ_EXP_MSB_TABLE, _mm256_srli_epi32(l, 7), 4);
  const __m256i lsb =
      _mm256_i32gather_epi32(QZ_EXP_LSB_TABLE, _mm256_and_si256(l, _mm256_set1_epi32(127)), 4);
  return q31_round(msb, lsb);
}

__attribute__((target("avx2"))) __m256i widen_sum(__m256i sum, __m256i v) {
  const __m256i low = _mm256_and_si256(v, _mm256_set1_epi64x(0xFFFFFFFF));
  return _mm256_add_epi64(sum, _mm256_add_epi64(low, _mm256_srli_epi64(v, 32)));
}

}  // namespace

__attribute__((target("avx2"))) void qz_ypu_cpu_softmax_fixed_i16_avx2(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_fixed_context_t *>(opaque);
  const int64_t n = c.cols;
  if (n < 16 || n % 16 != 0) return;  // never chosen for such rows
  const qz_ypu_cpu_range_t range = qz_isa_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t row = range.begin; row < range.end; ++row) {
    const int16_t *x = c.in + row * n;
    int32_t *o = c.out + row * n;
    __m256i m16 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x));
    for (int64_t j = 16; j < n; j += 16)
      m16 = _mm256_max_epi16(m16, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x + j)));
    alignas(32) int16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), m16);
    int32_t m = lanes[0];
    for (int l = 1; l < 16; ++l)
      if (lanes[l] > m) m = lanes[l];
    const __m256i mv = _mm256_set1_epi32(m), limit = _mm256_set1_epi32(QZ_YPU_FIXED_EXP_MAX_ARGUMENT);
    __m256i sum = _mm256_setzero_si256();
    for (int64_t j = 0; j < n; j += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + j));
      const __m256i l = _mm256_min_epi32(_mm256_sub_epi32(mv, _mm256_cvtepi16_epi32(v)), limit);
      const __m256i e = fixed_exp8(l);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + j), e);
      sum = widen_sum(sum, e);
    }
    alignas(32) int64_t parts[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(parts), sum);
    const __m256i reciprocal =
        _mm256_set1_epi32(static_cast<int32_t>(qz_ypu_cpu_q31_reciprocal(parts[0] + parts[1] + parts[2] + parts[3])));
    for (int64_t j = 0; j < n; j += 8) {
      auto *at = reinterpret_cast<__m256i *>(o + j);
      _mm256_storeu_si256(at, q31_round(reciprocal, _mm256_loadu_si256(at)));
    }
  }
}
