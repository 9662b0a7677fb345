// Matrix-vector and matrix-matrix drivers of the kernel sets whose tiles
// add into a row block's 16 outputs held as two 8-float vectors (rows 0-7,
// rows 8-15): AVX and AVX2. A set supplies its tile type (load,
// add_quantised, add_float; `integer` true for widths 1 to 4) and its two
// activation-preparation tasks; stage 1 and the row-block loops are the
// frame in drivers.cc that SSE4.1 and ARM64 share. Include only from files built for AVX or
// wider: everything here has internal linkage and is compiled with the
// including file's flags.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/lowbit.h"

namespace {

// The arithmetic both sets share once a tile's codes are decoded, so that
// they round alike. acc[0] holds rows 0 to 7, acc[1] rows 8 to 15.

// Integer path: acc_r += ((D_r·(s·step) + P_r·(s·lo)) + o·sum), with the
// dot products D and code sums P of eight rows converted to float.
inline __m256 lowbit_add_quantised8(__m256 acc, __m256 dot, __m256 csum, __m256 ss, __m256 sl,
                                    __m256 os) {
  __m256 t = _mm256_mul_ps(dot, ss);
  t = _mm256_add_ps(t, _mm256_mul_ps(csum, sl));
  t = _mm256_add_ps(t, os);
  return _mm256_add_ps(acc, t);
}

// Float path: S_r = Σ_k x_k·c_rk in column order, each product rounded
// before it is added, then acc_r += S_r·s + o·sum.
inline void lowbit_add_float16(const __m256 (&cols)[2][8], float scale, float offset,
                               const float *x, float sum, __m256 *acc) {
  const __m256 s = _mm256_set1_ps(scale);
  const __m256 os = _mm256_set1_ps(offset * sum);
  for (int h = 0; h < 2; ++h) {
    __m256 d = _mm256_mul_ps(cols[h][0], _mm256_set1_ps(x[0]));
    for (int k = 1; k < 8; ++k) d = _mm256_add_ps(d, _mm256_mul_ps(cols[h][k], _mm256_set1_ps(x[k])));
    acc[h] = _mm256_add_ps(acc[h], _mm256_add_ps(_mm256_mul_ps(d, s), os));
  }
}

// ---------------------------------------------------------------------------
// Matrix-vector drivers.

// The 16 outputs of a row block stay in two registers over all groups.
template <class Tile>
void lowbit_gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  Tile tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb) {
    float *y = c.out + 16 * rb;
    __m256 acc[2] = {_mm256_loadu_ps(y), _mm256_loadu_ps(y + 8)};
    for (int32_t g = c.group_begin; g < c.group_end; ++g) {
      qz_ypu_cpu_lowbit_prefetch(c.scales, c.tiles, rb * c.groups + g,
                                 qz_ypu_lowbit_tile_bytes(Tile::bits));
      tile.load(c.scales, c.tiles, rb * c.groups + g);
      const int32_t i = g - c.group_begin;
      if constexpr (Tile::integer)
        tile.add_quantised(c.codes + 8 * i, c.lo[i], c.step[i], c.sum[i], acc);
      else
        tile.add_float(c.x + 8 * int64_t{g}, c.sum[i], acc);
    }
    _mm256_storeu_ps(y, acc[0]);
    _mm256_storeu_ps(y + 8, acc[1]);
  }
}

// The slabs and stage 1 are the shared frame's (drivers.cc).
template <class Tile>
void lowbit_gemv(qz_ypu_cpu_device_t *device, const qz_ypu_cpu_lowbit_preparers_t &prep,
                 qz_ypu_cpu_task_1d_t task, const float *x, const qz_scale16_t *scales,
                 const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {
  qz_ypu_cpu_lowbit_run_gemv(device, x, scales, tiles, groups, row_blocks, y, Tile::integer, prep,
                             task);
}

// ---------------------------------------------------------------------------
// Matrix-matrix drivers: the activations of every (group, token) pair are
// prepared as the matrix-vector drivers prepare one token's, then each row
// block's tiles are decoded once and applied to all tokens, whose
// accumulators live in the worker's slice meanwhile. Every token gets the
// matrix-vector drivers' bits.

template <class Tile>
void lowbit_gemm_task(void *context, size_t thread, size_t row_block) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  float *slice = c.thread_scratch + static_cast<int64_t>(thread) * 16 * n;
  float *block = c.out + rb * n * 16;
  for (int64_t j = 0; j < n; ++j)
    for (int h = 0; h < 2; ++h)
      _mm256_store_ps(slice + (h * n + j) * 8, _mm256_loadu_ps(block + j * 16 + 8 * h));
  Tile tile;
  for (int32_t g = 0; g < c.groups; ++g) {
    qz_ypu_cpu_lowbit_prefetch(c.scales, c.tiles, rb * c.groups + g,
                               qz_ypu_lowbit_tile_bytes(Tile::bits));
    tile.load(c.scales, c.tiles, rb * c.groups + g);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t p = int64_t{g} * n + j;
      __m256 acc[2] = {_mm256_load_ps(slice + j * 8), _mm256_load_ps(slice + (n + j) * 8)};
      if constexpr (Tile::integer)
        tile.add_quantised(c.codes + 8 * p, c.lo[p], c.step[p], c.sum[p], acc);
      else
        tile.add_float(c.x + 8 * p, c.sum[p], acc);
      _mm256_store_ps(slice + j * 8, acc[0]);
      _mm256_store_ps(slice + (n + j) * 8, acc[1]);
    }
  }
  for (int64_t j = 0; j < n; ++j)
    for (int h = 0; h < 2; ++h)
      _mm256_storeu_ps(block + j * 16 + 8 * h, _mm256_load_ps(slice + (h * n + j) * 8));
}

// The worker's slice holds rows 0-7 of the n tokens, then rows 8-15; stage 1
// and the activation scratch are the shared frame's (drivers.cc).
template <class Tile>
void lowbit_gemm(qz_ypu_cpu_device_t *device, const qz_ypu_cpu_lowbit_preparers_t &prep,
                 qz_ypu_cpu_task_1d_with_thread_t task, const float *x,
                 const qz_scale16_t *scales, const uint8_t *tiles, int32_t groups,
                 int32_t row_blocks, int32_t n, void *act_scratch, void *thread_scratch,
                 float *acc) {
  qz_ypu_cpu_lowbit_run_gemm(device, x, scales, tiles, groups, row_blocks, n, act_scratch,
                             thread_scratch, acc, Tile::integer, prep, task);
}

}  // namespace
