// Tile decoding and term arithmetic shared by the AVX2 low-bit kernels.
// Include only from files built for AVX2: everything here has internal
// linkage, so no AVX2 code reaches a baseline caller. No fused multiply-add:
// every product is rounded before it is added, which keeps the bits equal to
// the SSE4.1 kernels'.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "ypu/cpu/lowbit/drivers256.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/lowbit.h"

namespace {

inline __m256i avx2_load32(const uint8_t *at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
}
inline __m128i avx2_load16(const uint8_t *at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}
inline __m128i avx2_load8(const uint8_t *at) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at));
}

// Integer path (1 to 4 bits): the codes of all 16 rows as 16-bit lanes
// (lane r = row r), one vector per column.
template <int B>
inline void avx2_decode_rows16(const uint8_t *tile, __m256i *cols) {
  if constexpr (B == 1) {
    const __m256i u = _mm256_cvtepu8_epi16(avx2_load16(tile));
    const __m256i one = _mm256_set1_epi16(1);
    for (int k = 0; k < 8; ++k) cols[k] = _mm256_and_si256(_mm256_srli_epi16(u, k), one);
  } else if constexpr (B == 2) {
    const __m256i u = avx2_load32(tile);
    const __m256i mask = _mm256_set1_epi16(3);
    for (int k = 0; k < 8; ++k) cols[k] = _mm256_and_si256(_mm256_srli_epi16(u, 2 * k), mask);
  } else if constexpr (B == 3) {
    const __m256i a = avx2_load32(tile);
    const __m256i e = _mm256_cvtepu8_epi16(avx2_load16(tile + 32));
    const __m256i mask = _mm256_set1_epi16(7);
    for (int k = 0; k < 5; ++k) cols[k] = _mm256_and_si256(_mm256_srli_epi16(a, 3 * k), mask);
    // Columns 5 to 7 as one 9-bit value: column 7's top bit is the top of A.
    const __m256i v = _mm256_or_si256(
        e, _mm256_and_si256(_mm256_srli_epi16(a, 7), _mm256_set1_epi16(0x100)));
    cols[5] = _mm256_and_si256(v, mask);
    cols[6] = _mm256_and_si256(_mm256_srli_epi16(v, 3), mask);
    cols[7] = _mm256_srli_epi16(v, 6);
  } else {
    static_assert(B == 4);
    const __m256i a = avx2_load32(tile);
    const __m256i b = avx2_load32(tile + 32);
    const __m256i mask = _mm256_set1_epi16(15);
    for (int k = 0; k < 4; ++k) {
      cols[k] = _mm256_and_si256(_mm256_srli_epi16(a, 4 * k), mask);
      cols[4 + k] = _mm256_and_si256(_mm256_srli_epi16(b, 4 * k), mask);
    }
  }
}

// Float path (5 to 8 bits): codes of rows 8h … 8h + 7 as floats, one vector
// per column.
template <int B>
inline void avx2_decode_rows8(const uint8_t *tile, int h, __m256 *cols) {
  __m256i c[8];
  if constexpr (B == 5) {
    const __m256i w = avx2_load32(tile + 32 * h);
    const __m256i e = _mm256_cvtepu8_epi32(avx2_load8(tile + 64 + 8 * h));
    const __m256i mask = _mm256_set1_epi32(31);
    for (int k = 0; k < 6; ++k) c[k] = _mm256_and_si256(_mm256_srli_epi32(w, 5 * k), mask);
    c[6] = _mm256_and_si256(e, mask);
    c[7] = _mm256_or_si256(_mm256_srli_epi32(w, 30), _mm256_slli_epi32(_mm256_srli_epi32(e, 5), 2));
  } else if constexpr (B == 6) {
    const __m256i w = avx2_load32(tile + 32 * h);
    const __m256i v = _mm256_cvtepu16_epi32(avx2_load16(tile + 64 + 16 * h));
    const __m256i mask = _mm256_set1_epi32(63);
    for (int k = 0; k < 5; ++k) c[k] = _mm256_and_si256(_mm256_srli_epi32(w, 6 * k), mask);
    c[5] = _mm256_and_si256(v, mask);
    c[6] = _mm256_and_si256(_mm256_srli_epi32(v, 6), mask);
    c[7] = _mm256_or_si256(_mm256_srli_epi32(w, 30), _mm256_slli_epi32(_mm256_srli_epi32(v, 12), 2));
  } else if constexpr (B == 7) {
    const __m256i w = avx2_load32(tile + 32 * h);
    const __m256i v = _mm256_cvtepu16_epi32(avx2_load16(tile + 64 + 16 * h));
    const __m256i e = _mm256_cvtepu8_epi32(avx2_load8(tile + 96 + 8 * h));
    const __m256i mask = _mm256_set1_epi32(127);
    for (int k = 0; k < 4; ++k) c[k] = _mm256_and_si256(_mm256_srli_epi32(w, 7 * k), mask);
    c[4] = _mm256_and_si256(v, mask);
    c[5] = _mm256_and_si256(_mm256_srli_epi32(v, 7), mask);
    c[6] = _mm256_and_si256(e, mask);
    c[7] = _mm256_or_si256(
        _mm256_or_si256(_mm256_srli_epi32(w, 28), _mm256_slli_epi32(_mm256_srli_epi32(v, 14), 4)),
        _mm256_slli_epi32(_mm256_srli_epi32(e, 7), 6));
  } else {
    static_assert(B == 8);
    const __m256i a = avx2_load32(tile + 32 * h);
    const __m256i b = avx2_load32(tile + 64 + 32 * h);
    const __m256i mask = _mm256_set1_epi32(255);
    for (int k = 0; k < 4; ++k) {
      c[k] = _mm256_and_si256(_mm256_srli_epi32(a, 8 * k), mask);
      c[4 + k] = _mm256_and_si256(_mm256_srli_epi32(b, 8 * k), mask);
    }
  }
  for (int k = 0; k < 8; ++k) cols[k] = _mm256_cvtepi32_ps(c[k]);
}

// A tile decoded once, for as many activation groups as needed. acc[0]
// holds rows 0 to 7, acc[1] rows 8 to 15.
template <int B>
struct avx2_tile {
  static constexpr int bits = B;
  static constexpr bool integer = B <= 4;
  __m256i cols[8];      // integer path: all 16 rows, one vector per column
  __m256 csum[2];       // integer path: code sums
  __m256 fcols[2][8];   // float path: rows 8h …, one vector per column
  float offset;
  float scale;

  void load(const qz_scale16_t *scales, const uint8_t *tiles, int64_t index) {
    offset = qz_scale16_decode(scales[2 * index]);
    scale = qz_scale16_decode(scales[2 * index + 1]);
    const uint8_t *tile = tiles + index * qz_ypu_lowbit_tile_bytes(B);
    if constexpr (integer) {
      avx2_decode_rows16<B>(tile, cols);
      __m256i s = cols[0];
      for (int k = 1; k < 8; ++k) s = _mm256_add_epi16(s, cols[k]);
      csum[0] = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(s)));
      csum[1] = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(s, 1)));
    } else {
      for (int h = 0; h < 2; ++h) avx2_decode_rows8<B>(tile, h, fcols[h]);
    }
  }

  // Integer path: acc_r += (D_r·(s·step) + P_r·(s·lo)) + o·sum for one
  // group's 8 activation codes.
  void add_quantised(const uint8_t *codes, float lo, float step, float sum, __m256 *acc) const {
    const __m256 ss = _mm256_set1_ps(scale * step);
    const __m256 sl = _mm256_set1_ps(scale * lo);
    const __m256 os = _mm256_set1_ps(offset * sum);
    // Every product and partial sum stays below 32768 (at most 8·15·255),
    // so the 16-bit lanes read the same as signed or unsigned.
    __m256i dot = _mm256_mullo_epi16(cols[0], _mm256_set1_epi16(codes[0]));
    for (int k = 1; k < 8; ++k)
      dot = _mm256_add_epi16(dot, _mm256_mullo_epi16(cols[k], _mm256_set1_epi16(codes[k])));
    const __m256 dots[2] = {
        _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(dot))),
        _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(dot, 1)))};
    for (int h = 0; h < 2; ++h) acc[h] = lowbit_add_quantised8(acc[h], dots[h], csum[h], ss, sl, os);
  }

  void add_float(const float *x, float sum, __m256 *acc) const {
    lowbit_add_float16(fcols, scale, offset, x, sum, acc);
  }
};

}  // namespace
