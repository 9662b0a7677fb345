// AVX2 split-row repack transforms: the same bytes as the SSE4.1 ones. The
// 4- and 8-bit tiles are regrouped straight from their canonical rows; the
// others are unpacked, and each unit is assembled for eight rows at once
// from column vectors (lane = row).
#include <immintrin.h>

#include <cstring>

#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Column k of rows 8h … 8h + 7 from the row-major codes.
__m256i column(const int32_t *codes, int h, int k) {
  const __m256i rows = _mm256_setr_epi32(0, 8, 16, 24, 32, 40, 48, 56);
  return _mm256_i32gather_epi32(codes + 64 * h + k, rows, 4);
}

// Low 16 or 8 bits of every lane of v, written as rows 8h … 8h + 7 of a
// 16- or 8-bit unit array.
void store_units16(uint8_t *array, int h, __m256i v) {
  const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(array + 16 * h), packed);
}
void store_units8(uint8_t *array, int h, __m256i v) {
  const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i *>(array + 8 * h), _mm_packus_epi16(words, words));
}
void store_units32(uint8_t *array, int h, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(array + 32 * h), v);
}

__m256i field(__m256i code, int shift) { return _mm256_slli_epi32(code, shift); }
__m256i bits(__m256i code, int from, int mask) {
  return _mm256_and_si256(_mm256_srli_epi32(code, from), _mm256_set1_epi32(mask));
}
__m256i join(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }

// The tile is unpacked whole before any byte of it is written.
template <int B>
void split_rows(uint8_t *tile, void (*unpack)(const uint8_t *, int32_t *)) {
  alignas(32) int32_t codes[QZ_YPU_LOWBIT_TILE_CODES];
  unpack(tile, codes);
  for (int h = 0; h < 2; ++h) {
    __m256i c[8];
    for (int k = 0; k < 8; ++k) c[k] = column(codes, h, k);
    if constexpr (B == 3) {
      __m256i a = field(bits(c[7], 2, 1), 15);
      for (int k = 0; k < 5; ++k) a = join(a, field(c[k], 3 * k));
      store_units16(tile, h, a);
      store_units8(tile + 32, h, join(join(c[5], field(c[6], 3)), field(bits(c[7], 0, 3), 6)));
    } else if constexpr (B == 5) {
      __m256i a = field(bits(c[7], 0, 3), 30);
      for (int k = 0; k < 6; ++k) a = join(a, field(c[k], 5 * k));
      store_units32(tile, h, a);
      store_units8(tile + 64, h, join(c[6], field(bits(c[7], 2, 7), 5)));
    } else if constexpr (B == 6) {
      __m256i a = field(bits(c[7], 0, 3), 30);
      for (int k = 0; k < 5; ++k) a = join(a, field(c[k], 6 * k));
      store_units32(tile, h, a);
      store_units16(tile + 64, h, join(join(c[5], field(c[6], 6)), field(bits(c[7], 2, 15), 12)));
    } else {
      static_assert(B == 7);
      __m256i a = field(bits(c[7], 0, 15), 28);
      for (int k = 0; k < 4; ++k) a = join(a, field(c[k], 7 * k));
      store_units32(tile, h, a);
      store_units16(tile + 64, h, join(join(c[4], field(c[5], 7)), field(bits(c[7], 4, 3), 14)));
      store_units8(tile + 96, h, join(c[6], field(bits(c[7], 6, 1), 7)));
    }
  }
}

}  // namespace

void qz_ypu_cpu_lowbit_repack_avx2_3b(uint8_t *tile) { split_rows<3>(tile, qz_ypu_cpu_lowbit_unpack_3b); }
void qz_ypu_cpu_lowbit_repack_avx2_5b(uint8_t *tile) { split_rows<5>(tile, qz_ypu_cpu_lowbit_unpack_5b); }
void qz_ypu_cpu_lowbit_repack_avx2_6b(uint8_t *tile) { split_rows<6>(tile, qz_ypu_cpu_lowbit_unpack_6b); }
void qz_ypu_cpu_lowbit_repack_avx2_7b(uint8_t *tile) { split_rows<7>(tile, qz_ypu_cpu_lowbit_unpack_7b); }

// Row r is the 32-bit word at 4r: its low half goes to unit A, its high
// half to unit B.
void qz_ypu_cpu_lowbit_repack_avx2_4b(uint8_t *tile) {
  const __m256i lo_rows = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tile));
  const __m256i hi_rows = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tile + 32));
  const __m256i mask = _mm256_set1_epi32(0xFFFF);
  // packus works per 128-bit half; the permute puts rows back in order.
  const __m256i a = _mm256_permute4x64_epi64(
      _mm256_packus_epi32(_mm256_and_si256(lo_rows, mask), _mm256_and_si256(hi_rows, mask)), 0xD8);
  const __m256i b = _mm256_permute4x64_epi64(
      _mm256_packus_epi32(_mm256_srli_epi32(lo_rows, 16), _mm256_srli_epi32(hi_rows, 16)), 0xD8);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(tile), a);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(tile + 32), b);
}

// Row r is the 64-bit word at 8r: its low word goes to unit A, its high
// word to unit B.
void qz_ypu_cpu_lowbit_repack_avx2_8b(uint8_t *tile) {
  const __m256i evens_first = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  __m256i v[4];
  for (int i = 0; i < 4; ++i)
    v[i] = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tile + 32 * i)), evens_first);
  // v[i]: low half = A of rows 4i … 4i + 3, high half = B of the same rows.
  const __m256i a0 = _mm256_permute2x128_si256(v[0], v[1], 0x20);
  const __m256i a1 = _mm256_permute2x128_si256(v[2], v[3], 0x20);
  const __m256i b0 = _mm256_permute2x128_si256(v[0], v[1], 0x31);
  const __m256i b1 = _mm256_permute2x128_si256(v[2], v[3], 0x31);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(tile), a0);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(tile + 32), a1);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(tile + 64), b0);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(tile + 96), b1);
}
