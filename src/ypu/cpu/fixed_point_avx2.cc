// int16 Q10 -> Q15 sigmoid over arrays, 16 lanes per step with 256-bit
// integer operations. Table reads are scalar, one per lane and neighbour.
#include <immintrin.h>

#include "ypu/cpu/fixed_kernels.h"
#include "ypu/fixed_point.h"

namespace {

void sigmoid_step(const int16_t *in, int16_t *out) {
  __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in));
  x = _mm256_max_epi16(_mm256_min_epi16(x, _mm256_set1_epi16(8128)), _mm256_set1_epi16(-8192));
  const __m256i u = _mm256_and_si256(x, _mm256_set1_epi16(0x3FFF));
  const __m256i f = _mm256_and_si256(x, _mm256_set1_epi16(63));
  alignas(32) uint16_t lo[16], hi[16];
  _mm256_store_si256(reinterpret_cast<__m256i *>(lo), _mm256_srli_epi16(u, 6));
  _mm256_store_si256(reinterpret_cast<__m256i *>(hi),
                     _mm256_srli_epi16(_mm256_add_epi16(u, _mm256_set1_epi16(63)), 6));
  alignas(32) int16_t tlo[16], thi[16];
  for (int lane = 0; lane < 16; ++lane) {
    tlo[lane] = QZ_SIGMOID_TABLE[lo[lane]];
    thi[lane] = QZ_SIGMOID_TABLE[hi[lane]];
  }
  const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i *>(tlo));
  const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i *>(thi));
  const __m256i wa = _mm256_sub_epi16(_mm256_set1_epi16(64), f);
  const __m256i alo = _mm256_mullo_epi16(a, wa), ahi = _mm256_mulhi_epi16(a, wa);
  const __m256i blo = _mm256_mullo_epi16(b, f), bhi = _mm256_mulhi_epi16(b, f);
  // The unpacks and the pack work within 128-bit halves, so lanes return to
  // their places.
  const __m256i sum0 =
      _mm256_add_epi32(_mm256_unpacklo_epi16(alo, ahi), _mm256_unpacklo_epi16(blo, bhi));
  const __m256i sum1 =
      _mm256_add_epi32(_mm256_unpackhi_epi16(alo, ahi), _mm256_unpackhi_epi16(blo, bhi));
  const __m256i r = _mm256_packs_epi32(_mm256_srai_epi32(sum0, 6), _mm256_srai_epi32(sum1, 6));
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), r);
}

}  // namespace

void qz_ypu_cpu_sigmoid_i16_avx2_blocks(int32_t count, const int16_t *in, int16_t *out) {
  for (int32_t i = 0; count - i >= 16; i += 16) sigmoid_step(in + i, out + i);
}

void qz_ypu_cpu_sigmoid_i16_avx2(int32_t count, const int16_t *in, int16_t *out) {
  int32_t i = 0;
  for (; count - i >= 16; i += 16) sigmoid_step(in + i, out + i);
  for (; i < count; ++i) out[i] = qz_ypu_cpu_fixed_sigmoid(in[i]);
}
