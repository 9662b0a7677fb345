// Dot-product set tiles (1 to 4 bits, dot-product layout) for the ARM64
// driver shapes of neon.h. Include only from files built with the 8-bit
// dot-product extension.
#pragma once

#include "ypu/cpu/lowbit/neon.h"

namespace {

// Rows 4q … 4q + 3 as two byte vectors: byte 4i + j of `low` is column j of
// row 4q + i, of `high` column j + 4; each 32-bit lane's dot product with
// four activation codes is one row's half of the dot product. The term is
// o·sum, then fma(t, lo·s, csum) and fma(t, s·step, dot) for columns 0-3 and
// again for columns 4-7, added to acc.
template <int B>
struct neon_dot_tile {
  static constexpr int width = B;
  static constexpr bool integer = true;
  uint8x16_t low[4], high[4];
  float32x4_t csum_low[4], csum_high[4];
  float offset;
  float scale;

  void load(const qz_scale16_t *scales, const uint8_t *tiles, int64_t index) {
    offset = qz_scale16_decode(scales[2 * index]);
    scale = qz_scale16_decode(scales[2 * index + 1]);
    const uint8_t *tile = tiles + index * qz_ypu_lowbit_tile_bytes(B);
    if constexpr (B == 1) {
      const uint8x16_t v = vld1q_u8(tile);
      const uint8x16_t one = vdupq_n_u8(1);
      for (int q = 0; q < 4; ++q) {
        low[q] = vandq_u8(neon_shr8(v, 2 * q), one);
        high[q] = vandq_u8(neon_shr8(v, 2 * q + 1), one);
      }
    } else if constexpr (B == 2) {
      const uint8x16_t mask = vdupq_n_u8(3);
      for (int h = 0; h < 2; ++h) {
        const uint8x16_t v = vld1q_u8(tile + 16 * h);
        low[2 * h] = vandq_u8(v, mask);
        high[2 * h] = vandq_u8(vshrq_n_u8(v, 2), mask);
        low[2 * h + 1] = vandq_u8(vshrq_n_u8(v, 4), mask);
        high[2 * h + 1] = vshrq_n_u8(v, 6);
      }
    } else if constexpr (B == 3) {
      const uint8x16_t mask = vdupq_n_u8(7), one = vdupq_n_u8(1);
      uint8x16_t v[3];
      for (int q = 0; q < 3; ++q) {
        v[q] = vld1q_u8(tile + 16 * q);
        low[q] = vandq_u8(v[q], mask);
        high[q] = vandq_u8(vshrq_n_u8(v[q], 3), mask);
      }
      // Rows 12-15 from the spare top bits of all 48 bytes.
      low[3] = vorrq_u8(vshrq_n_u8(v[0], 6), vshlq_n_u8(vandq_u8(vshrq_n_u8(v[2], 6), one), 2));
      high[3] = vorrq_u8(vshrq_n_u8(v[1], 6), vshlq_n_u8(vshrq_n_u8(v[2], 7), 2));
    } else {
      static_assert(B == 4);
      const uint8x16_t mask = vdupq_n_u8(15);
      for (int q = 0; q < 4; ++q) {
        const uint8x16_t v = vld1q_u8(tile + 16 * q);
        low[q] = vandq_u8(v, mask);
        high[q] = vshrq_n_u8(v, 4);
      }
    }
    const uint8x16_t ones = vdupq_n_u8(1);
    const uint32x4_t zero = vdupq_n_u32(0);
    for (int q = 0; q < 4; ++q) {
      csum_low[q] = vcvtq_f32_u32(vdotq_u32(zero, low[q], ones));
      csum_high[q] = vcvtq_f32_u32(vdotq_u32(zero, high[q], ones));
    }
  }

  void add_quantised(const uint8_t *codes, float lo, float step, float sum,
                     float32x4_t *acc) const {
    const float a1 = scale * step, a2 = lo * scale;
    const float32x4_t a3 = vdupq_n_f32(offset * sum);
    uint32_t first, second;
    std::memcpy(&first, codes, 4);
    std::memcpy(&second, codes + 4, 4);
    const uint8x16_t q_low = vreinterpretq_u8_u32(vdupq_n_u32(first));
    const uint8x16_t q_high = vreinterpretq_u8_u32(vdupq_n_u32(second));
    const uint32x4_t zero = vdupq_n_u32(0);
    for (int q = 0; q < 4; ++q) {
      const float32x4_t dot_low = vcvtq_f32_u32(vdotq_u32(zero, low[q], q_low));
      const float32x4_t dot_high = vcvtq_f32_u32(vdotq_u32(zero, high[q], q_high));
      float32x4_t t = vfmaq_n_f32(a3, csum_low[q], a2);
      t = vfmaq_n_f32(t, dot_low, a1);
      t = vfmaq_n_f32(t, csum_high[q], a2);
      t = vfmaq_n_f32(t, dot_high, a1);
      acc[q] = vaddq_f32(acc[q], t);
    }
  }
};

}  // namespace
