// int16 Q10 -> Q15 sigmoid over arrays, 8 lanes per step with 128-bit
// integer operations. The table has no vector gather, so each lane reads its
// two neighbours with scalar loads; clamping, index arithmetic and the
// interpolation are vectorised.
#include <smmintrin.h>

#include "ypu/cpu/fixed_kernels.h"
#include "ypu/fixed_point.h"

namespace {

void sigmoid_step(const int16_t *in, int16_t *out) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
  // The upper clamp 127 x 64 keeps positive inputs off entry 128.
  x = _mm_max_epi16(_mm_min_epi16(x, _mm_set1_epi16(8128)), _mm_set1_epi16(-8192));
  const __m128i u = _mm_and_si128(x, _mm_set1_epi16(0x3FFF));
  const __m128i f = _mm_and_si128(x, _mm_set1_epi16(63));
  alignas(16) uint16_t lo[8], hi[8];
  _mm_store_si128(reinterpret_cast<__m128i *>(lo), _mm_srli_epi16(u, 6));
  _mm_store_si128(reinterpret_cast<__m128i *>(hi),
                  _mm_srli_epi16(_mm_add_epi16(u, _mm_set1_epi16(63)), 6));
  alignas(16) int16_t tlo[8], thi[8];
  for (int lane = 0; lane < 8; ++lane) {
    tlo[lane] = QZ_SIGMOID_TABLE[lo[lane]];
    thi[lane] = QZ_SIGMOID_TABLE[hi[lane]];
  }
  const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i *>(tlo));
  const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i *>(thi));
  const __m128i wa = _mm_sub_epi16(_mm_set1_epi16(64), f);
  // 32-bit products from the low and high halves of the 16-bit multiplies.
  const __m128i alo = _mm_mullo_epi16(a, wa), ahi = _mm_mulhi_epi16(a, wa);
  const __m128i blo = _mm_mullo_epi16(b, f), bhi = _mm_mulhi_epi16(b, f);
  const __m128i sum0 = _mm_add_epi32(_mm_unpacklo_epi16(alo, ahi), _mm_unpacklo_epi16(blo, bhi));
  const __m128i sum1 = _mm_add_epi32(_mm_unpackhi_epi16(alo, ahi), _mm_unpackhi_epi16(blo, bhi));
  const __m128i r = _mm_packs_epi32(_mm_srai_epi32(sum0, 6), _mm_srai_epi32(sum1, 6));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), r);
}

}  // namespace

void qz_ypu_cpu_sigmoid_i16_sse41_blocks(int32_t count, const int16_t *in, int16_t *out) {
  for (int32_t i = 0; count - i >= 8; i += 8) sigmoid_step(in + i, out + i);
}

void qz_ypu_cpu_sigmoid_i16_sse41(int32_t count, const int16_t *in, int16_t *out) {
  int32_t i = 0;
  for (; count - i >= 8; i += 8) sigmoid_step(in + i, out + i);
  for (; i < count; ++i) out[i] = qz_ypu_cpu_fixed_sigmoid(in[i]);
}
