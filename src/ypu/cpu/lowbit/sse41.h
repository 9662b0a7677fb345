// Tile decoding and term arithmetic shared by the SSE4.1 low-bit kernels;
// the AVX kernels decode with the same routines. Include only from files
// built for SSE4.1 or AVX: everything here has internal linkage, so no such
// code reaches a baseline caller.
#pragma once

#include <smmintrin.h>

#include <cstdint>
#include <cstring>

#include "ypu/lowbit.h"

namespace {

inline __m128i sse41_load16(const uint8_t *at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}
inline __m128i sse41_load8(const uint8_t *at) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at));
}
inline __m128i sse41_load4(const uint8_t *at) {
  int32_t v;
  std::memcpy(&v, at, sizeof v);
  return _mm_cvtsi32_si128(v);
}

// Integer path (1 to 4 bits): codes of rows 8h … 8h + 7 as 16-bit lanes,
// one vector per column, from the canonical (1, 2 bits) or split-row
// (3, 4 bits) tile.
template <int B>
inline void sse41_decode_rows8(const uint8_t *tile, int h, __m128i *cols) {
  if constexpr (B == 1) {
    const __m128i u = _mm_cvtepu8_epi16(sse41_load8(tile + 8 * h));
    const __m128i one = _mm_set1_epi16(1);
    for (int k = 0; k < 8; ++k) cols[k] = _mm_and_si128(_mm_srli_epi16(u, k), one);
  } else if constexpr (B == 2) {
    const __m128i u = sse41_load16(tile + 16 * h);
    const __m128i mask = _mm_set1_epi16(3);
    for (int k = 0; k < 8; ++k) cols[k] = _mm_and_si128(_mm_srli_epi16(u, 2 * k), mask);
  } else if constexpr (B == 3) {
    const __m128i u = sse41_load16(tile + 16 * h);
    const __m128i e = _mm_cvtepu8_epi16(sse41_load8(tile + 32 + 8 * h));
    const __m128i mask = _mm_set1_epi16(7);
    for (int k = 0; k < 5; ++k) cols[k] = _mm_and_si128(_mm_srli_epi16(u, 3 * k), mask);
    // Column 7's top bit sits at the top of unit 1.
    const __m128i v = _mm_or_si128(e, _mm_slli_epi16(_mm_srli_epi16(u, 15), 8));
    cols[5] = _mm_and_si128(v, mask);
    cols[6] = _mm_and_si128(_mm_srli_epi16(v, 3), mask);
    cols[7] = _mm_srli_epi16(v, 6);
  } else {
    static_assert(B == 4);
    const __m128i u1 = sse41_load16(tile + 16 * h);
    const __m128i u2 = sse41_load16(tile + 32 + 16 * h);
    const __m128i mask = _mm_set1_epi16(15);
    for (int k = 0; k < 4; ++k) {
      cols[k] = _mm_and_si128(_mm_srli_epi16(u1, 4 * k), mask);
      cols[4 + k] = _mm_and_si128(_mm_srli_epi16(u2, 4 * k), mask);
    }
  }
}

// Float path (5 to 8 bits): codes of rows 4q … 4q + 3 as floats, one vector
// per column, from the split-row tile.
template <int B>
inline void sse41_decode_rows4(const uint8_t *tile, int q, __m128 *cols) {
  __m128i c[8];
  if constexpr (B == 5) {
    const __m128i w = sse41_load16(tile + 16 * q);
    const __m128i e = _mm_cvtepu8_epi32(sse41_load4(tile + 64 + 4 * q));
    const __m128i mask = _mm_set1_epi32(31);
    for (int k = 0; k < 6; ++k) c[k] = _mm_and_si128(_mm_srli_epi32(w, 5 * k), mask);
    c[6] = _mm_and_si128(e, mask);
    c[7] = _mm_add_epi32(_mm_srli_epi32(w, 30), _mm_slli_epi32(_mm_srli_epi32(e, 5), 2));
  } else if constexpr (B == 6) {
    const __m128i w = sse41_load16(tile + 16 * q);
    const __m128i h = _mm_cvtepu16_epi32(sse41_load8(tile + 64 + 8 * q));
    const __m128i mask = _mm_set1_epi32(63);
    for (int k = 0; k < 5; ++k) c[k] = _mm_and_si128(_mm_srli_epi32(w, 6 * k), mask);
    c[5] = _mm_and_si128(h, mask);
    c[6] = _mm_and_si128(_mm_srli_epi32(h, 6), mask);
    c[7] = _mm_add_epi32(_mm_srli_epi32(w, 30), _mm_slli_epi32(_mm_srli_epi32(h, 12), 2));
  } else if constexpr (B == 7) {
    const __m128i w = sse41_load16(tile + 16 * q);
    const __m128i h = _mm_cvtepu16_epi32(sse41_load8(tile + 64 + 8 * q));
    const __m128i e = _mm_cvtepu8_epi32(sse41_load4(tile + 96 + 4 * q));
    const __m128i mask = _mm_set1_epi32(127);
    for (int k = 0; k < 4; ++k) c[k] = _mm_and_si128(_mm_srli_epi32(w, 7 * k), mask);
    c[4] = _mm_and_si128(h, mask);
    c[5] = _mm_and_si128(_mm_srli_epi32(h, 7), mask);
    c[6] = _mm_and_si128(e, mask);
    c[7] = _mm_add_epi32(_mm_add_epi32(_mm_srli_epi32(w, 28),
                                       _mm_slli_epi32(_mm_srli_epi32(h, 14), 4)),
                         _mm_slli_epi32(_mm_srli_epi32(e, 7), 6));
  } else {
    static_assert(B == 8);
    const __m128i w1 = sse41_load16(tile + 16 * q);
    const __m128i w2 = sse41_load16(tile + 64 + 16 * q);
    const __m128i mask = _mm_set1_epi32(255);
    for (int k = 0; k < 4; ++k) {
      c[k] = _mm_and_si128(_mm_srli_epi32(w1, 8 * k), mask);
      c[4 + k] = _mm_and_si128(_mm_srli_epi32(w2, 8 * k), mask);
    }
  }
  for (int k = 0; k < 8; ++k) cols[k] = _mm_cvtepi32_ps(c[k]);
}

// A tile decoded once, for as many activation vectors as needed.
template <int B>
struct sse41_tile {
  static constexpr bool integer = B <= 4;
  __m128i cols[2][8];  // integer path: rows 8h …, one vector per column
  __m128 csum[4];      // integer path: code sums, rows 4q …
  __m128 fcols[4][8];  // float path: rows 4q …, one vector per column
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
        csum[2 * h] = _mm_cvtepi32_ps(_mm_cvtepi16_epi32(s));
        csum[2 * h + 1] = _mm_cvtepi32_ps(_mm_cvtepi16_epi32(_mm_srli_si128(s, 8)));
      }
    } else {
      for (int q = 0; q < 4; ++q) sse41_decode_rows4<B>(tile, q, fcols[q]);
    }
  }

  // Integer path: the 16 terms float(dot)·(s·step) + float(csum)·(lo·s) +
  // o·sum for one group's 8 activation codes, added to acc[0..3].
  void add_quantised(const uint8_t *codes, float lo, float step, float sum, __m128 *acc) const {
    const __m128 a1 = _mm_set1_ps(scale * step);
    const __m128 a2 = _mm_set1_ps(lo * scale);
    const __m128 a3 = _mm_set1_ps(offset * sum);
    for (int h = 0; h < 2; ++h) {
      // Every product and sum stays below 32768 (at most 8·15·255).
      __m128i dot = _mm_mullo_epi16(cols[h][0], _mm_set1_epi16(codes[0]));
      for (int k = 1; k < 8; ++k)
        dot = _mm_add_epi16(dot, _mm_mullo_epi16(cols[h][k], _mm_set1_epi16(codes[k])));
      const __m128 dots[2] = {_mm_cvtepi32_ps(_mm_cvtepi16_epi32(dot)),
                              _mm_cvtepi32_ps(_mm_cvtepi16_epi32(_mm_srli_si128(dot, 8)))};
      for (int i = 0; i < 2; ++i) {
        const int q = 2 * h + i;
        __m128 t = _mm_mul_ps(dots[i], a1);
        t = _mm_add_ps(t, _mm_mul_ps(csum[q], a2));
        t = _mm_add_ps(t, a3);
        acc[q] = _mm_add_ps(acc[q], t);
      }
    }
  }

  // Float path: S_r summed over the columns in order, then S_r·s + o·sum.
  void add_float(const float *x, float sum, __m128 *acc) const {
    const __m128 s = _mm_set1_ps(scale);
    const __m128 shifted = _mm_set1_ps(offset * sum);
    for (int q = 0; q < 4; ++q) {
      __m128 d = _mm_mul_ps(fcols[q][0], _mm_set1_ps(x[0]));
      for (int k = 1; k < 8; ++k) d = _mm_add_ps(d, _mm_mul_ps(fcols[q][k], _mm_set1_ps(x[k])));
      const __m128 t = _mm_add_ps(_mm_mul_ps(d, s), shifted);
      acc[q] = _mm_add_ps(acc[q], t);
    }
  }
};

}  // namespace
