// Tile decoding and the per-tile term shared by the AVX-512F low-bit
// kernels. Include only from files built for AVX-512F: the helpers have
// internal linkage, so no 512-bit code reaches a baseline caller.
//
// One 512-bit vector holds one value per tile row. A tile of width b is one
// to three arrays of 16 row units (bytes, 16-bit or 32-bit words); each is
// widened to 32-bit lanes and the codes are cut out with shifts and masks,
// column 7 being joined from the spare top bits of the units.
#pragma once

#include <immintrin.h>

// GCC 12's AVX-512F intrinsics start their unmasked forms from a vector it
// deliberately leaves undefined, and report that at every inlining site.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cstdint>

#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/lowbit.h"

namespace {

inline __m512i avx512_bytes(const uint8_t *at) {
  return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)));
}
inline __m512i avx512_words(const uint8_t *at) {
  return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(at)));
}
inline __m512i avx512_dwords(const uint8_t *at) { return _mm512_loadu_si512(at); }

template <int B>
inline __m512i avx512_field(__m512i v, int shift) {
  return _mm512_and_si512(_mm512_srli_epi32(v, static_cast<unsigned>(shift)),
                          _mm512_set1_epi32((1 << B) - 1));
}

// Codes of the 16 rows as floats, one vector per column.
template <int B>
inline void avx512_decode(const uint8_t *tile, __m512 *cols) {
  __m512i c[8];
  if constexpr (B == 1) {
    const __m512i u = avx512_bytes(tile);
    for (int k = 0; k < 8; ++k) c[k] = avx512_field<1>(u, k);
  } else if constexpr (B == 2) {
    const __m512i u = avx512_words(tile);
    for (int k = 0; k < 8; ++k) c[k] = avx512_field<2>(u, 2 * k);
  } else if constexpr (B == 3) {
    const __m512i h = avx512_words(tile), e = avx512_bytes(tile + 32);
    for (int k = 0; k < 5; ++k) c[k] = avx512_field<3>(h, 3 * k);
    c[5] = avx512_field<3>(e, 0);
    c[6] = avx512_field<3>(e, 3);
    c[7] = _mm512_or_si512(_mm512_srli_epi32(e, 6),
                           _mm512_slli_epi32(_mm512_srli_epi32(h, 15), 2));
  } else if constexpr (B == 4) {
    // A 16-entry table turns a code straight into its float: the permute
    // reads only the low 4 bits of each lane, so neither a mask nor a
    // conversion is needed (the table holds the same exact values the
    // conversion would give).
    const __m512 values = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i w = avx512_dwords(tile);
    cols[0] = _mm512_permutexvar_ps(w, values);
    for (int k = 1; k < 8; ++k)
      cols[k] = _mm512_permutexvar_ps(_mm512_srli_epi32(w, static_cast<unsigned>(4 * k)), values);
    return;
  } else if constexpr (B == 5) {
    const __m512i w = avx512_dwords(tile), e = avx512_bytes(tile + 64);
    for (int k = 0; k < 6; ++k) c[k] = avx512_field<5>(w, 5 * k);
    c[6] = avx512_field<5>(e, 0);
    c[7] = _mm512_or_si512(_mm512_srli_epi32(w, 30),
                           _mm512_slli_epi32(_mm512_srli_epi32(e, 5), 2));
  } else if constexpr (B == 6) {
    const __m512i w = avx512_dwords(tile), h = avx512_words(tile + 64);
    for (int k = 0; k < 5; ++k) c[k] = avx512_field<6>(w, 6 * k);
    c[5] = avx512_field<6>(h, 0);
    c[6] = avx512_field<6>(h, 6);
    c[7] = _mm512_or_si512(_mm512_srli_epi32(w, 30),
                           _mm512_slli_epi32(_mm512_srli_epi32(h, 12), 2));
  } else if constexpr (B == 7) {
    const __m512i w = avx512_dwords(tile), h = avx512_words(tile + 64),
                  e = avx512_bytes(tile + 96);
    for (int k = 0; k < 4; ++k) c[k] = avx512_field<7>(w, 7 * k);
    c[4] = avx512_field<7>(h, 0);
    c[5] = avx512_field<7>(h, 7);
    c[6] = avx512_field<7>(e, 0);
    c[7] = _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(w, 28),
                                           _mm512_slli_epi32(_mm512_srli_epi32(h, 14), 4)),
                           _mm512_slli_epi32(_mm512_srli_epi32(e, 7), 6));
  } else {
    static_assert(B == 8);
    const __m512i w = avx512_dwords(tile), v = avx512_dwords(tile + 64);
    for (int k = 0; k < 4; ++k) {
      c[k] = avx512_field<8>(w, 8 * k);
      c[4 + k] = avx512_field<8>(v, 8 * k);
    }
  }
  for (int k = 0; k < 8; ++k) cols[k] = _mm512_cvtepi32_ps(c[k]);
}

// Offsets and scales of `count` (1 to 16) consecutive scale pairs, decoded
// side by side as qz_scale16_decode does one at a time: the mantissa times
// the power of two from the 32-entry table (both exact, so is the product),
// then the sign bit. Scalar decoding would take the vector units' ports
// once per tile in the kernels below; this takes them once per 16 tiles.
inline void avx512_decode_pairs(const qz_scale16_t *pairs, int count, float *offsets,
                                float *scales) {
  const __m512i words = _mm512_maskz_loadu_epi32(
      static_cast<__mmask16>((1u << count) - 1), reinterpret_cast<const void *>(pairs));
  const __m512 low_powers = _mm512_loadu_ps(QZ_SCALE16_EXP_TABLE);
  const __m512 high_powers = _mm512_loadu_ps(QZ_SCALE16_EXP_TABLE + 16);
  const auto decode = [&](__m512i u) {  // one 16-bit number per lane
    const __m512 mantissa = _mm512_cvtepi32_ps(_mm512_and_si512(u, _mm512_set1_epi32(0x3FF)));
    // The permute reads the low five bits of the index: the exponent.
    const __m512 power = _mm512_permutex2var_ps(low_powers, _mm512_srli_epi32(u, 10), high_powers);
    const __m512i sign = _mm512_slli_epi32(_mm512_and_si512(u, _mm512_set1_epi32(0x8000)), 16);
    return _mm512_castsi512_ps(
        _mm512_or_si512(_mm512_castps_si512(_mm512_mul_ps(mantissa, power)), sign));
  };
  _mm512_storeu_ps(offsets, decode(_mm512_and_si512(words, _mm512_set1_epi32(0xFFFF))));
  _mm512_storeu_ps(scales, decode(_mm512_srli_epi32(words, 16)));
}

// A tile decoded once, with its two factors, for as many tokens as needed.
template <int B>
struct avx512_tile {
  __m512 cols[8];
  __m512 scale;
  __m512 offset;

  void load(const qz_scale16_t *scales, const uint8_t *tiles, int64_t index) {
    offset = _mm512_set1_ps(qz_scale16_decode(scales[2 * index]));
    scale = _mm512_set1_ps(qz_scale16_decode(scales[2 * index + 1]));
    avx512_decode<B>(tiles + index * qz_ypu_lowbit_tile_bytes(B), cols);
  }
  // The codes of `tile` and its scale decoded beforehand
  // (avx512_decode_pairs), for terms(), which takes the offset products
  // ready-made.
  void load(float decoded_scale, const uint8_t *tile) {
    scale = _mm512_set1_ps(decoded_scale);
    avx512_decode<B>(tile, cols);
  }

  // scale·Σ_k code_k·x_k + offset·sum for the 16 rows: the code products
  // are fused column by column in order, then the scale is fused with the
  // offset term. This order is what the tests model, so keep it.
  // offset·sum is formed in every lane (the same product as in scalar
  // form), which spares a broadcast from a scalar register per token.
  __m512 term(const float *x, const float *sum) const {
    __m512 s = _mm512_mul_ps(cols[0], _mm512_set1_ps(x[0]));
    for (int k = 1; k < 8; ++k) s = _mm512_fmadd_ps(cols[k], _mm512_set1_ps(x[k]), s);
    // The all-lanes mask keeps the compiler from turning the product back
    // into a scalar multiply and a broadcast.
    const __m512 o = _mm512_maskz_mul_ps(static_cast<__mmask16>(0xFFFF), offset, _mm512_set1_ps(*sum));
    return _mm512_fmadd_ps(s, scale, o);
  }

  // acc[t] = term(token t) + acc[t] for T tokens whose eight activations
  // follow each other, with the offset products offset·sum already formed
  // (products[t·stride], the same rounded product as in term()): the
  // tokens' chains are interleaved column by column, each in term()'s order.
  template <int T>
  void terms(const float *x, const float *products, int64_t stride, __m512 *acc) const {
    __m512 s[T];
    for (int t = 0; t < T; ++t) s[t] = _mm512_mul_ps(cols[0], _mm512_set1_ps(x[8 * t]));
    for (int k = 1; k < 8; ++k)
      for (int t = 0; t < T; ++t)
        s[t] = _mm512_fmadd_ps(cols[k], _mm512_set1_ps(x[8 * t + k]), s[t]);
    for (int t = 0; t < T; ++t)
      acc[t] = _mm512_add_ps(_mm512_fmadd_ps(s[t], scale, _mm512_set1_ps(products[t * stride])),
                             acc[t]);
  }
};

}  // namespace

// Group sums of `count` groups of 8 floats, left to right in single
// precision; the same bits as the baseline routine whatever the chunking.
void qz_ypu_cpu_lowbit_group_sums_avx512(void *context, size_t chunk);
void qz_ypu_cpu_lowbit_run_group_sums_avx512(qz_ypu_cpu_device_t *device, const float *x,
                                             float *sums, int64_t count);
