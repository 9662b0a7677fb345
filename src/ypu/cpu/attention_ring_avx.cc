// AVX score and value kernels of attention over ring caches. AVX has no
// 256-bit integer widening, so codes are widened in two 128-bit halves and
// joined; the arithmetic is the AVX2 kernels' and gives the same results.
#include <immintrin.h>

#include "ypu/cpu/attention.h"

namespace {

// Eight codes as floats.
__m256 widen8(const uint8_t *codes) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes));
  const __m128i lo = _mm_cvtepu8_epi32(bytes);
  const __m128i hi = _mm_cvtepu8_epi32(_mm_srli_si128(bytes, 4));
  return _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}
__m256 widen8(const uint16_t *codes) {
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(codes));
  const __m128i lo = _mm_cvtepu16_epi32(units);
  const __m128i hi = _mm_cvtepu16_epi32(_mm_srli_si128(units, 8));
  return _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

}  // namespace

#define QZ_RING_SET avx
#include "ypu/cpu/attention_ring_wide.inc"
#undef QZ_RING_SET
