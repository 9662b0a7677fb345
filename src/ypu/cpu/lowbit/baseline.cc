// Baseline low-bit kernels: float activations throughout, each tile's
// contribution factorised as scale × (codes · inputs) + offset × group sum.
// For one input row they add in the host implementation's order, so they
// give its values exactly, whatever the thread count.
#include <cstring>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Codes of a tile in the baseline layout: canonical at 1, 2, 4 and 8 bits,
// bit planes of 4, 2 and 1 bits (widest first, low code bits first) at 3, 5,
// 6 and 7 bits.
template <int W>
uint32_t plane_row(const uint8_t *plane, int32_t r) {
  uint32_t unit = 0;
  for (int i = W - 1; i >= 0; --i) unit = (unit << 8) | plane[W * r + i];
  return unit;
}

template <int W>
void add_plane(const uint8_t *tile, int t0, uint8_t *codes) {
  const uint8_t *plane = tile + 16 * t0;
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
    const uint32_t unit = plane_row<W>(plane, r);
    for (int32_t k = 0; k < QZ_YPU_LOWBIT_TILE_COLS; ++k)
      codes[8 * r + k] |= static_cast<uint8_t>(((unit >> (W * k)) & ((1u << W) - 1)) << t0);
  }
}

template <int B>
void decode(const uint8_t *tile, uint8_t *codes) {
  std::memset(codes, 0, QZ_YPU_LOWBIT_TILE_CODES);
  if constexpr (B == 8) {
    std::memcpy(codes, tile, QZ_YPU_LOWBIT_TILE_CODES);
  } else if constexpr (B == 1 || B == 2 || B == 4) {
    add_plane<B>(tile, 0, codes);
  } else {
    int t0 = 0;
    if constexpr (B >= 4) {
      add_plane<4>(tile, t0, codes);
      t0 += 4;
    }
    if constexpr (B - (B >= 4 ? 4 : 0) >= 2) {
      add_plane<2>(tile, t0, codes);
      t0 += 2;
    }
    if constexpr (B % 2 == 1) add_plane<1>(tile, t0, codes);
  }
}

struct decoded_tile {
  float offset;
  float scale;
  uint8_t codes[QZ_YPU_LOWBIT_TILE_CODES];
};

template <int B>
void read_tile(const qz_scale16_t *scales, const uint8_t *tiles, int64_t index,
               decoded_tile *tile) {
  tile->offset = qz_scale16_decode(scales[2 * index]);
  tile->scale = qz_scale16_decode(scales[2 * index + 1]);
  decode<B>(tiles + index * qz_ypu_lowbit_tile_bytes(B), tile->codes);
}

// target[r] += (d_r × s) + (o × σ), with d_r the codes·inputs dot product
// summed from column 0 upward.
void add_tile(const decoded_tile &tile, const float *x, float sum, float *target) {
  const float shifted = tile.offset * sum;
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
    const uint8_t *codes = tile.codes + 8 * r;
    float d = static_cast<float>(codes[0]) * x[0];
    for (int32_t k = 1; k < QZ_YPU_LOWBIT_TILE_COLS; ++k) d = d + static_cast<float>(codes[k]) * x[k];
    target[r] = target[r] + (d * tile.scale + shifted);
  }
}

struct gemv_context {
  const float *x;
  const float *sums;  // of groups [group_begin, group_end)
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  float *y;
  int32_t groups;       // of the class: tile (rb, g) is number rb·groups + g
  int32_t row_blocks;
  int32_t chunks;
  int32_t group_begin;  // the slab of groups this loop adds
  int32_t group_end;
};

template <int B>
void gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const gemv_context *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  decoded_tile tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb)
    for (int32_t g = c.group_begin; g < c.group_end; ++g) {
      read_tile<B>(c.scales, c.tiles, rb * c.groups + g, &tile);
      add_tile(tile, c.x + 8 * int64_t{g}, c.sums[g - c.group_begin], c.y + 16 * rb);
    }
}

template <int B>
void gemv(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {
  alignas(16) float sums[QZ_YPU_CPU_LOWBIT_GEMV_SLAB];
  const int64_t row_chunks =
      qz_ypu_cpu_lowbit_gemv_chunks(device, row_blocks);
  for (int32_t begin = 0; begin < groups; begin += QZ_YPU_CPU_LOWBIT_GEMV_SLAB) {
    const int32_t end = static_cast<int32_t>(
        qz_ypu_cpu_min(groups, int64_t{begin} + QZ_YPU_CPU_LOWBIT_GEMV_SLAB));
    qz_ypu_cpu_lowbit_run_group_sums(device, x + 8 * int64_t{begin}, sums, end - begin);
    gemv_context c{x,          sums,
                   scales,     tiles,
                   y,          groups,
                   row_blocks, static_cast<int32_t>(row_chunks),
                   begin,      end};
    qz_ypu_cpu_run_1d(device, gemv_task<B>, &c, row_chunks);
  }
}

struct gemm_context {
  const float *x;     // [groups][n][8]
  const float *sums;  // [groups][n]
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t row_blocks;
  int32_t groups;
  int32_t n;
  float *acc;  // [row_blocks][n][16]
};

// One row block: each tile is decoded once and applied to every token.
template <int B>
void gemm_task(void *context, size_t row_block) {
  const auto &c = *static_cast<const gemm_context *>(context);
  const int64_t rb = static_cast<int64_t>(row_block);
  decoded_tile tile;
  for (int32_t g = 0; g < c.groups; ++g) {
    read_tile<B>(c.scales, c.tiles, rb * c.groups + g, &tile);
    for (int32_t i = 0; i < c.n; ++i) {
      const int64_t pair = int64_t{g} * c.n + i;
      add_tile(tile, c.x + 8 * pair, c.sums[pair], c.acc + (rb * c.n + i) * 16);
    }
  }
}

template <int B>
void gemm(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, int32_t n, void *act_scratch,
          void *, float *acc) {
  float *sums = static_cast<float *>(act_scratch);
  qz_ypu_cpu_lowbit_run_group_sums(device, x, sums, int64_t{groups} * n);
  gemm_context c{x, sums, scales, tiles, row_blocks, groups, n, acc};
  qz_ypu_cpu_run_1d(device, gemm_task<B>, &c, row_blocks);
}

}  // namespace

void qz_ypu_cpu_lowbit_group_sums_base(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_group_sums_context_t *>(context);
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.count, c.chunks, int64_t(chunk));
  for (int64_t g = range.begin; g < range.end; ++g) {
    const float *v = c.x + 8 * g;
    float sum = v[0];
    for (int k = 1; k < 8; ++k) sum = sum + v[k];
    c.sums[g] = sum;
  }
}

void qz_ypu_cpu_lowbit_run_group_sums(qz_ypu_cpu_device_t *device, const float *x, float *sums,
                                      int64_t count) {
  const int64_t chunks = qz_ypu_cpu_items(device, qz_ypu_cpu_items_squared(device->threads, count));
  qz_ypu_cpu_lowbit_group_sums_context_t c{x, sums, static_cast<int32_t>(count),
                                           static_cast<int32_t>(chunks)};
  qz_ypu_cpu_run_1d(device, qz_ypu_cpu_lowbit_group_sums_base, &c, chunks);
}

#define QZ_YPU_CPU_LOWBIT_BASE_WIDTH(w)                                                         \
  void qz_ypu_cpu_lowbit_gemv_base_##w##b(qz_ypu_cpu_device_t *device, const float *x,         \
                                          const qz_scale16_t *scales, const uint8_t *tiles,    \
                                          int32_t groups, int32_t row_blocks, float *y) {      \
    gemv<w>(device, x, scales, tiles, groups, row_blocks, y);                                   \
  }                                                                                             \
  void qz_ypu_cpu_lowbit_gemm_base_##w##b(qz_ypu_cpu_device_t *device, const float *x,         \
                                          const qz_scale16_t *scales, const uint8_t *tiles,    \
                                          int32_t groups, int32_t row_blocks, int32_t n,       \
                                          void *act_scratch, void *thread_scratch, float *acc) { \
    gemm<w>(device, x, scales, tiles, groups, row_blocks, n, act_scratch, thread_scratch, acc); \
  }

QZ_YPU_CPU_LOWBIT_BASE_WIDTH(1)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(2)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(3)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(4)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(5)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(6)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(7)
QZ_YPU_CPU_LOWBIT_BASE_WIDTH(8)
