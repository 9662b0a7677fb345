#include <immintrin.h>

#include "ypu/cpu/elementwise.h"

void qz_ypu_cpu_add_f32_avx2(float *out, const float *a, const float *b, int64_t first,
                             int64_t end) {
  int64_t i = first;
  for (; i + 8 <= end; i += 8)
    _mm256_storeu_ps(out + i, _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  for (; i < end; ++i) out[i] = a[i] + b[i];
}

void qz_ypu_cpu_add_sat_i16_avx2(int16_t *out, const int16_t *a, const int16_t *b, int64_t first,
                                 int64_t end) {
  int64_t i = first;
  for (; i + 16 <= end; i += 16) {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i + 8));
    const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
    const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i + 8));
    const __m256i lo = _mm256_add_epi32(_mm256_cvtepi16_epi32(x0), _mm256_cvtepi16_epi32(y0));
    const __m256i hi = _mm256_add_epi32(_mm256_cvtepi16_epi32(x1), _mm256_cvtepi16_epi32(y1));
    // packs works within 128-bit lanes; the permute restores element order.
    const __m256i packed = _mm256_packs_epi32(lo, hi);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i),
                        _mm256_permute4x64_epi64(packed, 0xD8));
  }
  for (; i < end; ++i) out[i] = qz_ypu_cpu_saturate_i16(int32_t{a[i]} + b[i]);
}
