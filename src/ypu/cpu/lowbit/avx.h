// Tile decoding and term arithmetic shared by the AVX low-bit kernels.
// Include only from files built with exactly the AVX flags: everything here
// has internal linkage, so no AVX code reaches a caller built for a
// narrower set.
//
// AVX has 256-bit float arithmetic but only 128-bit integer arithmetic, so
// the integer work reuses the SSE4.1 decoders (VEX-encoded here) on eight
// rows at a time, and the floats meet in 8-lane vectors, rows 0-7 and rows
// 8-15. The terms are rounded exactly as the SSE4.1 and AVX2 kernels round
// theirs, with no fused multiply-add, so all three give the same bits.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "ypu/cpu/lowbit/drivers256.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/sse41.h"
#include "ypu/lowbit.h"

namespace {

inline __m256 avx_join(__m128 rows_low, __m128 rows_high) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(rows_low), rows_high, 1);
}

// Eight 16-bit lanes (one per row) widened and converted to eight floats.
inline __m256 avx_words_to_floats(__m128i words) {
  const __m128i low = _mm_cvtepi16_epi32(words);
  const __m128i high = _mm_cvtepi16_epi32(_mm_srli_si128(words, 8));
  return _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(low), high, 1));
}

// A tile decoded once, for as many activation groups as needed. acc[0]
// holds rows 0 to 7, acc[1] rows 8 to 15.
template <int B>
struct avx_tile {
  static constexpr int bits = B;
  static constexpr bool integer = B <= 4;
  __m128i cols[2][8];  // integer path: rows 8h …, 16-bit lanes, one vector per column
  __m256 csum[2];      // integer path: code sums
  __m256 fcols[2][8];  // float path: rows 8h …, one vector per column
  float offset;
  float scale;

  void load(const qz_scale16_t *scales, const uint8_t *tiles, int64_t index) {
    offset = qz_scale16_decode(scales[2 * index]);
    scale = qz_scale16_decode(scales[2 * index + 1]);
    const uint8_t *tile = tiles + index * qz_ypu_lowbit_tile_bytes(B);
    if constexpr (integer) {
      for (int h = 0; h < 2; ++h) {
        sse41_decode_rows8<B>(tile, h, cols[h]);
        __m128i s = cols[h][0];
        for (int k = 1; k < 8; ++k) s = _mm_add_epi16(s, cols[h][k]);
        csum[h] = avx_words_to_floats(s);
      }
    } else {
      for (int h = 0; h < 2; ++h) {
        __m128 low[8], high[8];
        sse41_decode_rows4<B>(tile, 2 * h, low);
        sse41_decode_rows4<B>(tile, 2 * h + 1, high);
        for (int k = 0; k < 8; ++k) fcols[h][k] = avx_join(low[k], high[k]);
      }
    }
  }

  // Integer path: acc_r += ((D_r·(s·step) + P_r·(s·lo)) + o·sum) for one
  // group's 8 activation codes.
  void add_quantised(const uint8_t *codes, float lo, float step, float sum, __m256 *acc) const {
    const __m256 ss = _mm256_set1_ps(scale * step);
    const __m256 sl = _mm256_set1_ps(scale * lo);
    const __m256 os = _mm256_set1_ps(offset * sum);
    __m128i q[8];
    for (int k = 0; k < 8; ++k) q[k] = _mm_set1_epi16(codes[k]);
    for (int h = 0; h < 2; ++h) {
      // Every product and partial sum stays below 32768 (at most 8·15·255).
      __m128i dot = _mm_mullo_epi16(cols[h][0], q[0]);
      for (int k = 1; k < 8; ++k) dot = _mm_add_epi16(dot, _mm_mullo_epi16(cols[h][k], q[k]));
      acc[h] = lowbit_add_quantised8(acc[h], avx_words_to_floats(dot), csum[h], ss, sl, os);
    }
  }

  void add_float(const float *x, float sum, __m256 *acc) const {
    lowbit_add_float16(fcols, scale, offset, x, sum, acc);
  }
};

}  // namespace
