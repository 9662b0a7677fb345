#include <smmintrin.h>

#include "ypu/cpu/elementwise.h"

void qz_ypu_cpu_add_f32_sse41(float *out, const float *a, const float *b, int64_t first,
                              int64_t end) {
  int64_t i = first;
  for (; i + 4 <= end; i += 4)
    _mm_storeu_ps(out + i, _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  for (; i < end; ++i) out[i] = a[i] + b[i];
}

// Widened to 32 bits, added and clamped before narrowing: the same values as
// the scalar saturating sum.
void qz_ypu_cpu_add_sat_i16_sse41(int16_t *out, const int16_t *a, const int16_t *b,
                                  int64_t first, int64_t end) {
  int64_t i = first;
  for (; i + 8 <= end; i += 8) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
    const __m128i lo = _mm_add_epi32(_mm_cvtepi16_epi32(x), _mm_cvtepi16_epi32(y));
    const __m128i hi = _mm_add_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(x, 8)),
                                     _mm_cvtepi16_epi32(_mm_srli_si128(y, 8)));
    // packs clamps each 32-bit sum to the int16 range.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packs_epi32(lo, hi));
  }
  for (; i < end; ++i) out[i] = qz_ypu_cpu_saturate_i16(int32_t{a[i]} + b[i]);
}
