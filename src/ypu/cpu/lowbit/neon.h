// Tile decoding, term arithmetic and the tasks shared by the ARM64 low-bit
// kernel sets (NEON, half precision, dot product). Include only from files
// built for one of those sets: everything here has internal linkage, so each
// set's file keeps its own copy.
//
// Every set runs in the driver frame of the SSE4.1 set (quantised
// activations at 1 to 4 bits, float activations above; stage 1 over groups,
// stage 2 over row blocks) with fused multiply-adds, fma(p, q, r) = p + q·r
// rounded once:
// - integer term: acc = o·sum + fma(fma(acc, lo·s, csum), s·step, dot);
// - float term: S = c_0·x_0, S = fma(S, c_k, x_k) for k = 1 … 7, then
//   acc = o·sum + fma(acc, s, S).
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/lowbit.h"

namespace {

// Shifts by a count known only after unrolling.
inline uint16x8_t neon_shr16(uint16x8_t v, int n) { return vshlq_u16(v, vdupq_n_s16(int16_t(-n))); }
inline uint32x4_t neon_shr32(uint32x4_t v, int n) { return vshlq_u32(v, vdupq_n_s32(-n)); }
inline uint8x16_t neon_shr8(uint8x16_t v, int n) { return vshlq_u8(v, vdupq_n_s8(int8_t(-n))); }

// Four bytes widened to four 32-bit lanes (a plain 4-byte read: the units
// at the end of a tile leave no room for a wider load).
inline uint32x4_t neon_load4_u8(const uint8_t *at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return vmovl_u16(vget_low_u16(vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(v)))));
}

inline float32x4_t neon_low_f32(uint16x8_t v) { return vcvtq_f32_u32(vmovl_u16(vget_low_u16(v))); }
inline float32x4_t neon_high_f32(uint16x8_t v) { return vcvtq_f32_u32(vmovl_high_u16(v)); }

// Tile layouts the NEON-shaped integer decoder reads.
enum neon_layout_t { NEON_SPLIT_ROW, NEON_FP16_SPLIT_2B };

// Integer path (1 to 4 bits): codes of rows 8h … 8h + 7 as 16-bit lanes,
// one vector per column: canonical at 1 and 2 bits, split-row at 3 and 4,
// or the half-precision set's 2-bit layout (byte r: columns 0-3, byte
// 16 + r: columns 4-7).
template <int B, neon_layout_t L>
inline void neon_decode_rows8(const uint8_t *tile, int h, uint16x8_t *cols) {
  if constexpr (L == NEON_FP16_SPLIT_2B) {
    static_assert(B == 2);
    const uint16x8_t low = vmovl_u8(vld1_u8(tile + 8 * h));
    const uint16x8_t high = vmovl_u8(vld1_u8(tile + 16 + 8 * h));
    const uint16x8_t mask = vdupq_n_u16(3);
    for (int k = 0; k < 4; ++k) {
      cols[k] = vandq_u16(neon_shr16(low, 2 * k), mask);
      cols[4 + k] = vandq_u16(neon_shr16(high, 2 * k), mask);
    }
  } else if constexpr (B == 1) {
    const uint16x8_t u = vmovl_u8(vld1_u8(tile + 8 * h));
    const uint16x8_t one = vdupq_n_u16(1);
    for (int k = 0; k < 8; ++k) cols[k] = vandq_u16(neon_shr16(u, k), one);
  } else if constexpr (B == 2) {
    const uint16x8_t u = vld1q_u16(reinterpret_cast<const uint16_t *>(tile + 16 * h));
    const uint16x8_t mask = vdupq_n_u16(3);
    for (int k = 0; k < 8; ++k) cols[k] = vandq_u16(neon_shr16(u, 2 * k), mask);
  } else if constexpr (B == 3) {
    const uint16x8_t u = vld1q_u16(reinterpret_cast<const uint16_t *>(tile + 16 * h));
    const uint16x8_t e = vmovl_u8(vld1_u8(tile + 32 + 8 * h));
    const uint16x8_t mask = vdupq_n_u16(7);
    for (int k = 0; k < 5; ++k) cols[k] = vandq_u16(neon_shr16(u, 3 * k), mask);
    // Column 7's top bit sits at the top of unit 1.
    const uint16x8_t v = vorrq_u16(e, vshlq_n_u16(vshrq_n_u16(u, 15), 8));
    cols[5] = vandq_u16(v, mask);
    cols[6] = vandq_u16(vshrq_n_u16(v, 3), mask);
    cols[7] = vshrq_n_u16(v, 6);
  } else {
    static_assert(B == 4);
    const uint16x8_t u1 = vld1q_u16(reinterpret_cast<const uint16_t *>(tile + 16 * h));
    const uint16x8_t u2 = vld1q_u16(reinterpret_cast<const uint16_t *>(tile + 32 + 16 * h));
    const uint16x8_t mask = vdupq_n_u16(15);
    for (int k = 0; k < 4; ++k) {
      cols[k] = vandq_u16(neon_shr16(u1, 4 * k), mask);
      cols[4 + k] = vandq_u16(neon_shr16(u2, 4 * k), mask);
    }
  }
}

// Float path (5 to 8 bits): codes of rows 4q … 4q + 3 as floats, one vector
// per column, from the split-row tile.
template <int B>
inline void neon_decode_rows4(const uint8_t *tile, int q, float32x4_t *cols) {
  uint32x4_t c[8];
  const auto u32 = [&](int at) { return vld1q_u32(reinterpret_cast<const uint32_t *>(tile + at)); };
  const auto u16 = [&](int at) {
    return vmovl_u16(vld1_u16(reinterpret_cast<const uint16_t *>(tile + at)));
  };
  if constexpr (B == 5) {
    const uint32x4_t w = u32(16 * q), e = neon_load4_u8(tile + 64 + 4 * q);
    const uint32x4_t mask = vdupq_n_u32(31);
    for (int k = 0; k < 6; ++k) c[k] = vandq_u32(neon_shr32(w, 5 * k), mask);
    c[6] = vandq_u32(e, mask);
    c[7] = vaddq_u32(vshrq_n_u32(w, 30), vshlq_n_u32(vshrq_n_u32(e, 5), 2));
  } else if constexpr (B == 6) {
    const uint32x4_t w = u32(16 * q), h = u16(64 + 8 * q);
    const uint32x4_t mask = vdupq_n_u32(63);
    for (int k = 0; k < 5; ++k) c[k] = vandq_u32(neon_shr32(w, 6 * k), mask);
    c[5] = vandq_u32(h, mask);
    c[6] = vandq_u32(vshrq_n_u32(h, 6), mask);
    c[7] = vaddq_u32(vshrq_n_u32(w, 30), vshlq_n_u32(vshrq_n_u32(h, 12), 2));
  } else if constexpr (B == 7) {
    const uint32x4_t w = u32(16 * q), h = u16(64 + 8 * q), e = neon_load4_u8(tile + 96 + 4 * q);
    const uint32x4_t mask = vdupq_n_u32(127);
    for (int k = 0; k < 4; ++k) c[k] = vandq_u32(neon_shr32(w, 7 * k), mask);
    c[4] = vandq_u32(h, mask);
    c[5] = vandq_u32(vshrq_n_u32(h, 7), mask);
    c[6] = vandq_u32(e, mask);
    c[7] = vaddq_u32(vaddq_u32(vshrq_n_u32(w, 28), vshlq_n_u32(vshrq_n_u32(h, 14), 4)),
                     vshlq_n_u32(vshrq_n_u32(e, 7), 6));
  } else {
    static_assert(B == 8);
    const uint32x4_t w1 = u32(16 * q), w2 = u32(64 + 16 * q);
    const uint32x4_t mask = vdupq_n_u32(255);
    for (int k = 0; k < 4; ++k) {
      c[k] = vandq_u32(neon_shr32(w1, 8 * k), mask);
      c[4 + k] = vandq_u32(neon_shr32(w2, 8 * k), mask);
    }
  }
  for (int k = 0; k < 8; ++k) cols[k] = vcvtq_f32_u32(c[k]);
}

// A tile of the NEON set (or of the half-precision set's 2-bit layout),
// decoded once for as many activation vectors as needed.
template <int B, neon_layout_t L = NEON_SPLIT_ROW>
struct neon_tile {
  static constexpr int width = B;
  static constexpr bool integer = B <= 4;
  uint16x8_t cols[2][8];  // integer path: rows 8h …, one vector per column
  uint16x8_t csum16[2];   // integer path: code sums, rows 8h …
  float32x4_t csum[4];    // the same as floats, rows 4q …
  float32x4_t fcols[4][8];  // float path: rows 4q …, one vector per column
  float offset;
  float scale;

  void load(const qz_scale16_t *scales, const uint8_t *tiles, int64_t index) {
    offset = qz_scale16_decode(scales[2 * index]);
    scale = qz_scale16_decode(scales[2 * index + 1]);
    const uint8_t *tile = tiles + index * qz_ypu_lowbit_tile_bytes(B);
    if constexpr (integer) {
      for (int h = 0; h < 2; ++h) {
        neon_decode_rows8<B, L>(tile, h, cols[h]);
        uint16x8_t s = cols[h][0];
        for (int k = 1; k < 8; ++k) s = vaddq_u16(s, cols[h][k]);
        csum16[h] = s;
        csum[2 * h] = neon_low_f32(s);
        csum[2 * h + 1] = neon_high_f32(s);
      }
    } else {
      for (int q = 0; q < 4; ++q) neon_decode_rows4<B>(tile, q, fcols[q]);
    }
  }

  // Exact dot products of rows 8h … 8h + 7 with the 8 activation codes
  // (every product and sum below 32768).
  uint16x8_t dot(const uint8_t *codes, int h) const {
    uint16x8_t d = vmulq_n_u16(cols[h][0], codes[0]);
    for (int k = 1; k < 8; ++k) d = vmlaq_n_u16(d, cols[h][k], codes[k]);
    return d;
  }

  // Integer path: acc = o·sum + fma(fma(acc, lo·s, csum), s·step, dot).
  void add_quantised(const uint8_t *codes, float lo, float step, float sum,
                     float32x4_t *acc) const {
    const float a1 = scale * step, a2 = lo * scale;
    const float32x4_t a3 = vdupq_n_f32(offset * sum);
    for (int h = 0; h < 2; ++h) {
      const uint16x8_t d = dot(codes, h);
      const float32x4_t dots[2] = {neon_low_f32(d), neon_high_f32(d)};
      for (int i = 0; i < 2; ++i) {
        const int q = 2 * h + i;
        float32x4_t t = vfmaq_n_f32(acc[q], csum[q], a2);
        t = vfmaq_n_f32(t, dots[i], a1);
        acc[q] = vaddq_f32(a3, t);
      }
    }
  }

  // Float path: S summed over the columns in order, then o·sum + fma(acc, s, S).
  void add_float(const float *x, float sum, float32x4_t *acc) const {
    const float32x4_t shifted = vdupq_n_f32(offset * sum);
    for (int q = 0; q < 4; ++q) {
      float32x4_t d = vmulq_n_f32(fcols[q][0], x[0]);
      for (int k = 1; k < 8; ++k) d = vfmaq_n_f32(d, fcols[q][k], x[k]);
      acc[q] = vaddq_f32(shifted, vfmaq_n_f32(acc[q], d, scale));
    }
  }
};

// ---------------------------------------------------------------------------
// Tasks of the shared driver frame (kernels.h). `Tile` supplies integer,
// load(), and add_quantised() or add_float() over four vectors of rows
// 4q … 4q + 3.

// The 16 outputs of a row block stay in registers over all groups.
template <class Tile>
void neon_gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  Tile tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb) {
    float *y = c.out + 16 * rb;
    float32x4_t acc[4];
    for (int q = 0; q < 4; ++q) acc[q] = vld1q_f32(y + 4 * q);
    for (int32_t g = c.group_begin; g < c.group_end; ++g) {
      tile.load(c.scales, c.tiles, rb * c.groups + g);
      const int32_t i = g - c.group_begin;
      if constexpr (Tile::integer)
        tile.add_quantised(c.codes + 8 * i, c.lo[i], c.step[i], c.sum[i], acc);
      else
        tile.add_float(c.x + 8 * int64_t{g}, c.sum[i], acc);
    }
    for (int q = 0; q < 4; ++q) vst1q_f32(y + 4 * q, acc[q]);
  }
}

// One row block: each tile decoded once and applied to every token, whose
// accumulators live in the worker's slice meanwhile.
template <class Tile>
void neon_gemm_task(void *context, size_t thread, size_t row_block) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  float *slice = c.thread_scratch + static_cast<int64_t>(thread) * 16 * n;
  float *block = c.out + rb * n * 16;
  for (int64_t j = 0; j < n; ++j)
    for (int q = 0; q < 4; ++q) vst1q_f32(slice + (q * n + j) * 4, vld1q_f32(block + j * 16 + 4 * q));
  Tile tile;
  for (int32_t g = 0; g < c.groups; ++g) {
    tile.load(c.scales, c.tiles, rb * c.groups + g);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t p = int64_t{g} * n + j;
      float32x4_t acc[4];
      for (int q = 0; q < 4; ++q) acc[q] = vld1q_f32(slice + (q * n + j) * 4);
      if constexpr (Tile::integer)
        tile.add_quantised(c.codes + 8 * p, c.lo[p], c.step[p], c.sum[p], acc);
      else
        tile.add_float(c.x + 8 * p, c.sum[p], acc);
      for (int q = 0; q < 4; ++q) vst1q_f32(slice + (q * n + j) * 4, acc[q]);
    }
  }
  for (int64_t j = 0; j < n; ++j)
    for (int q = 0; q < 4; ++q) vst1q_f32(block + j * 16 + 4 * q, vld1q_f32(slice + (q * n + j) * 4));
}

}  // namespace

// Driver definitions: the shared frame with this file's task for one tile type.
#define QZ_YPU_CPU_LOWBIT_NEON_GEMV(name, tile_type)                                           \
  void name(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,          \
            const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {              \
    qz_ypu_cpu_lowbit_run_gemv(device, x, scales, tiles, groups, row_blocks, y,               \
                               tile_type::integer, QZ_YPU_CPU_LOWBIT_PREPARERS_NEON,           \
                               neon_gemv_task<tile_type>);                                     \
  }
#define QZ_YPU_CPU_LOWBIT_NEON_GEMM(name, tile_type)                                           \
  void name(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,          \
            const uint8_t *tiles, int32_t groups, int32_t row_blocks, int32_t n,               \
            void *act_scratch, void *thread_scratch, float *acc) {                             \
    qz_ypu_cpu_lowbit_run_gemm(device, x, scales, tiles, groups, row_blocks, n, act_scratch, \
                               thread_scratch, acc, tile_type::integer,                        \
                               QZ_YPU_CPU_LOWBIT_PREPARERS_NEON, neon_gemm_task<tile_type>);   \
  }
