// AVX-512F repack transforms: canonical tiles to the split-row layout (the
// same bytes as the other x86 sets), one row per 32-bit lane. The 3-, 5-, 6-
// and 7-bit transforms unpack the 128 codes and reassemble the row units;
// the 8-bit one only regroups each row's two halves. 1-, 2- and 4-bit tiles
// stay canonical for this set and need no transform.
#include <immintrin.h>

// GCC 12's AVX-512F intrinsics start their unmasked forms from a vector it
// deliberately leaves undefined, and report that at every inlining site.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Column k's codes of the 16 rows, one per lane.
inline __m512i column(const int32_t *codes, int k) {
  const __m512i rows = _mm512_setr_epi32(0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104,
                                         112, 120);
  return _mm512_i32gather_epi32(_mm512_add_epi32(rows, _mm512_set1_epi32(k)), codes, 4);
}

inline __m512i shl(__m512i v, unsigned s) { return _mm512_slli_epi32(v, s); }
inline __m512i shr(__m512i v, unsigned s) { return _mm512_srli_epi32(v, s); }
inline __m512i low(__m512i v, int bits) { return _mm512_and_si512(v, _mm512_set1_epi32((1 << bits) - 1)); }
inline __m512i bor(__m512i a, __m512i b) { return _mm512_or_si512(a, b); }

// Low columns packed from bit 0, each `B` bits wide.
template <int B>
inline __m512i pack(const __m512i *c, int first, int count) {
  __m512i v = c[first];
  for (int i = 1; i < count; ++i) v = bor(v, shl(c[first + i], unsigned(B * i)));
  return v;
}

inline void store_dwords(uint8_t *at, __m512i v) { _mm512_storeu_si512(at, v); }
inline void store_words(uint8_t *at, __m512i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(at), _mm512_cvtepi32_epi16(v));
}
inline void store_bytes(uint8_t *at, __m512i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(at), _mm512_cvtepi32_epi8(v));
}

// The tile is unpacked whole before any byte of it is written.
template <int B>
void to_split_rows(uint8_t *tile, void (*unpack)(const uint8_t *, int32_t *)) {
  int32_t codes[QZ_YPU_LOWBIT_TILE_CODES];
  unpack(tile, codes);
  __m512i c[8];
  for (int k = 0; k < 8; ++k) c[k] = column(codes, k);
  if constexpr (B == 3) {
    store_words(tile, bor(pack<3>(c, 0, 5), shl(shr(c[7], 2), 15)));
    store_bytes(tile + 32, bor(pack<3>(c, 5, 2), shl(low(c[7], 2), 6)));
  } else if constexpr (B == 5) {
    store_dwords(tile, bor(pack<5>(c, 0, 6), shl(low(c[7], 2), 30)));
    store_bytes(tile + 64, bor(c[6], shl(shr(c[7], 2), 5)));
  } else if constexpr (B == 6) {
    store_dwords(tile, bor(pack<6>(c, 0, 5), shl(low(c[7], 2), 30)));
    store_words(tile + 64, bor(pack<6>(c, 5, 2), shl(shr(c[7], 2), 12)));
  } else {
    static_assert(B == 7);
    store_dwords(tile, bor(pack<7>(c, 0, 4), shl(low(c[7], 4), 28)));
    store_words(tile + 64, bor(pack<7>(c, 4, 2), shl(low(shr(c[7], 4), 2), 14)));
    store_bytes(tile + 96, bor(c[6], shl(shr(c[7], 6), 7)));
  }
}

}  // namespace

void qz_ypu_cpu_lowbit_repack_avx512_3b(uint8_t *tile) {
  to_split_rows<3>(tile, qz_ypu_cpu_lowbit_unpack_3b);
}
void qz_ypu_cpu_lowbit_repack_avx512_5b(uint8_t *tile) {
  to_split_rows<5>(tile, qz_ypu_cpu_lowbit_unpack_5b);
}
void qz_ypu_cpu_lowbit_repack_avx512_6b(uint8_t *tile) {
  to_split_rows<6>(tile, qz_ypu_cpu_lowbit_unpack_6b);
}
void qz_ypu_cpu_lowbit_repack_avx512_7b(uint8_t *tile) {
  to_split_rows<7>(tile, qz_ypu_cpu_lowbit_unpack_7b);
}

// Row r is dwords 2r (columns 0-3) and 2r + 1 (columns 4-7): the even
// dwords of the two halves form the first array, the odd ones the second.
void qz_ypu_cpu_lowbit_repack_avx512_8b(uint8_t *tile) {
  const __m512i a = _mm512_loadu_si512(tile), b = _mm512_loadu_si512(tile + 64);
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_add_epi32(even, _mm512_set1_epi32(1));
  const __m512i low_halves = _mm512_permutex2var_epi32(a, even, b);
  const __m512i high_halves = _mm512_permutex2var_epi32(a, odd, b);
  _mm512_storeu_si512(tile, low_halves);
  _mm512_storeu_si512(tile + 64, high_halves);
}
