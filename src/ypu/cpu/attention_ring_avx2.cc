// AVX2 score and value kernels of attention over ring caches: codes widened
// with the 256-bit integer widening instructions, no fused multiply-add.
#include <immintrin.h>

#include "ypu/cpu/attention.h"

namespace {

// Eight codes as floats.
__m256 widen8(const uint8_t *codes) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}
__m256 widen8(const uint16_t *codes) {
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(codes));
  return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(units));
}

}  // namespace

#define QZ_RING_SET avx2
#include "ypu/cpu/attention_ring_wide.inc"
#undef QZ_RING_SET
