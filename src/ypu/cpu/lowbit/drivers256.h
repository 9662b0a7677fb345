// Matrix-vector and matrix-matrix drivers of the kernel sets whose tiles
// add into a row block's 16 outputs held as two 8-float vectors (rows 0-7,
// rows 8-15): AVX and AVX2. A set supplies its tile type (load,
// add_quantised, add_float; `integer` true for widths 1 to 4) and its two
// activation-preparation tasks. Include only from files built for AVX or
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

// A set's activation preparation: the quantiser on the integer path (widths
// 1 to 4), the group sums on the float path.
struct lowbit_preparation {
  qz_ypu_cpu_task_1d_t quantise;
  qz_ypu_cpu_task_1d_t sum_groups;
};

// Prepares `count` activation groups at x over min(count, T²) chunks.
template <bool integer>
void lowbit_prepare(qz_ypu_cpu_device_t *device, const lowbit_preparation &prep, const float *x,
                    int64_t count, uint8_t *codes, float *lo, float *step, float *sum) {
  const int64_t chunks = qz_ypu_cpu_items(device, qz_ypu_cpu_items_squared(device->threads, count));
  if constexpr (integer) {
    qz_ypu_cpu_lowbit_quantize_context_t q{x,   codes, lo, step, sum, static_cast<int32_t>(count),
                                           static_cast<int32_t>(chunks)};
    qz_ypu_cpu_run_1d(device, prep.quantise, &q, chunks);
  } else {
    qz_ypu_cpu_lowbit_group_sums_context_t s{x, sum, static_cast<int32_t>(count),
                                             static_cast<int32_t>(chunks)};
    qz_ypu_cpu_run_1d(device, prep.sum_groups, &s, chunks);
  }
}

// ---------------------------------------------------------------------------
// Matrix-vector drivers.

struct lowbit_gemv_context {
  const float *x;        // float path: the class's activations
  const uint8_t *codes;  // integer path
  const float *sum;
  const float *lo;    // integer path
  const float *step;  // integer path
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;  // of the class: tile (rb, g) is number rb·groups + g
  int32_t row_blocks;
  float *y;
  int32_t chunks;
  int32_t group_begin;  // the slab this loop adds; scratch index g − group_begin
  int32_t group_end;
};

// The 16 outputs of a row block stay in two registers over all groups.
template <class Tile>
void lowbit_gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const lowbit_gemv_context *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  Tile tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb) {
    float *y = c.y + 16 * rb;
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

// The per-group activation data lives on this thread's stack in slabs of a
// fixed size, so a class of any width needs bounded stack; the slabs add
// their groups in ascending order, as one pass over the class would.
template <class Tile>
void lowbit_gemv(qz_ypu_cpu_device_t *device, const lowbit_preparation &prep,
                 qz_ypu_cpu_task_1d_t task, const float *x, const qz_scale16_t *scales,
                 const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {
  constexpr int32_t slab = QZ_YPU_CPU_LOWBIT_GEMV_SLAB;
  alignas(32) uint8_t codes[8 * slab];
  alignas(32) float lo[slab], step[slab], sum[slab];
  const int64_t row_chunks = qz_ypu_cpu_lowbit_gemv_chunks(device, row_blocks);
  for (int32_t begin = 0; begin < groups; begin += slab) {
    const int32_t end = static_cast<int32_t>(qz_ypu_cpu_min(groups, int64_t{begin} + slab));
    lowbit_prepare<Tile::integer>(device, prep, x + 8 * int64_t{begin}, end - begin, codes, lo,
                                  step, sum);
    lowbit_gemv_context c{x,      codes,      sum, lo, step, scales, tiles, groups, row_blocks, y,
                          static_cast<int32_t>(row_chunks), begin, end};
    qz_ypu_cpu_run_1d(device, task, &c, row_chunks);
  }
}

// ---------------------------------------------------------------------------
// Matrix-matrix drivers: the activations of every (group, token) pair are
// prepared as the matrix-vector drivers prepare one token's, then each row
// block's tiles are decoded once and applied to all tokens, whose
// accumulators live in the worker's slice meanwhile. Every token gets the
// matrix-vector drivers' bits.

struct lowbit_gemm_context {
  const float *x;        // float path
  const uint8_t *codes;  // integer path
  const float *sum;
  const float *lo;    // integer path
  const float *step;  // integer path
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;
  int32_t row_blocks;
  int32_t tokens;
  float *thread_scratch;  // slice t: rows 0-7 of the n tokens, then rows 8-15
  float *acc;             // [row_blocks][n][16]
};

template <class Tile>
void lowbit_gemm_task(void *context, size_t thread, size_t row_block) {
  const auto &c = *static_cast<const lowbit_gemm_context *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  float *slice = c.thread_scratch + static_cast<int64_t>(thread) * 16 * n;
  float *block = c.acc + rb * n * 16;
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

// Activation scratch, integer path: codes [pairs][8], then lo, step and sum
// [pairs]; float path: sum [pairs].
template <class Tile>
void lowbit_gemm(qz_ypu_cpu_device_t *device, const lowbit_preparation &prep,
                 qz_ypu_cpu_task_1d_with_thread_t task, const float *x,
                 const qz_scale16_t *scales, const uint8_t *tiles, int32_t groups,
                 int32_t row_blocks, int32_t n, void *act_scratch, void *thread_scratch,
                 float *acc) {
  constexpr bool integer = Tile::integer;
  const int64_t pairs = int64_t{groups} * n;
  auto *bytes = static_cast<uint8_t *>(act_scratch);
  float *lo = integer ? reinterpret_cast<float *>(bytes + 8 * pairs) : nullptr;
  float *step = integer ? reinterpret_cast<float *>(bytes + 12 * pairs) : nullptr;
  float *sum = reinterpret_cast<float *>(integer ? bytes + 16 * pairs : bytes);
  lowbit_prepare<integer>(device, prep, x, pairs, bytes, lo, step, sum);
  lowbit_gemm_context c{integer ? nullptr : x, integer ? bytes : nullptr,
                        sum,                   lo,
                        step,                  scales,
                        tiles,                 groups,
                        row_blocks,            n,
                        static_cast<float *>(thread_scratch), acc};
  qz_ypu_cpu_run_1d_with_thread(device, task, &c, row_blocks);
}

}  // namespace
