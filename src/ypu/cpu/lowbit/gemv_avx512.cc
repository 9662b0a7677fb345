// AVX-512F low-bit matrix-vector kernels and group sums. The activations
// stay floats at every width; each tile's offset reaches the outputs through
// the sum of its group's activations, formed once per call.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/avx512.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

struct gemv_context {
  const float *x;
  const float *sums;  // of the slab: index g − group_begin
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;  // of the class: tile (rb, g) is number rb·groups + g
  int32_t row_blocks;
  float *y;
  int32_t chunks;
  int32_t group_begin;
  int32_t group_end;
};

// A row block's 16 outputs stay in one register over the slab's groups.
template <int B>
void gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const gemv_context *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  avx512_tile<B> tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb) {
    float *y = c.y + 16 * rb;
    __m512 acc = _mm512_loadu_ps(y);
    for (int32_t g = c.group_begin; g < c.group_end; ++g) {
      const int64_t index = rb * c.groups + g;
      qz_ypu_cpu_lowbit_prefetch(c.scales, c.tiles, index, qz_ypu_lowbit_tile_bytes(B));
      tile.load(c.scales, c.tiles, index);
      acc = _mm512_add_ps(acc, tile.term(c.x + 8 * int64_t{g}, c.sums + (g - c.group_begin)));
    }
    _mm512_storeu_ps(y, acc);
  }
}

// The group sums live on the stack, so a wide class goes in slabs of a fixed
// number of groups; y is stored and reloaded between slabs, which keeps each
// output's additions in ascending group order.
template <int B>
void gemv(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {
  constexpr int32_t slab = QZ_YPU_CPU_LOWBIT_GEMV_SLAB;
  alignas(64) float sums[slab];
  const int64_t row_chunks = qz_ypu_cpu_lowbit_gemv_chunks(device, row_blocks);
  for (int32_t begin = 0; begin < groups; begin += slab) {
    const int32_t end = static_cast<int32_t>(qz_ypu_cpu_min(groups, int64_t{begin} + slab));
    qz_ypu_cpu_lowbit_run_group_sums_avx512(device, x + 8 * int64_t{begin}, sums, end - begin);
    gemv_context c{x,      sums, scales, tiles, groups, row_blocks,
                   y,      static_cast<int32_t>(row_chunks), begin, end};
    qz_ypu_cpu_run_1d(device, gemv_task<B>, &c, row_chunks);
  }
}

}  // namespace

void qz_ypu_cpu_lowbit_group_sums_avx512(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_group_sums_context_t *>(context);
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.count, c.chunks, int64_t(chunk));
  int64_t g = range.begin;
  // 16 groups side by side, lane j summing group g + j in column order.
  const __m512i lanes = _mm512_mullo_epi32(
      _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm512_set1_epi32(8));
  for (; g + 16 <= range.end; g += 16) {
    const float *v = c.x + 8 * g;
    __m512 sum = _mm512_i32gather_ps(lanes, v, 4);
    for (int k = 1; k < 8; ++k)
      sum = _mm512_add_ps(sum, _mm512_i32gather_ps(_mm512_add_epi32(lanes, _mm512_set1_epi32(k)), v, 4));
    _mm512_storeu_ps(c.sums + g, sum);
  }
  for (; g < range.end; ++g) {
    const float *v = c.x + 8 * g;
    float sum = v[0];
    for (int k = 1; k < 8; ++k) sum = sum + v[k];
    c.sums[g] = sum;
  }
}

void qz_ypu_cpu_lowbit_run_group_sums_avx512(qz_ypu_cpu_device_t *device, const float *x,
                                             float *sums, int64_t count) {
  const int64_t chunks = qz_ypu_cpu_items(device, qz_ypu_cpu_items_squared(device->threads, count));
  qz_ypu_cpu_lowbit_group_sums_context_t c{x, sums, static_cast<int32_t>(count),
                                           static_cast<int32_t>(chunks)};
  qz_ypu_cpu_run_1d(device, qz_ypu_cpu_lowbit_group_sums_avx512, &c, chunks);
}

#define QZ_YPU_CPU_LOWBIT_AVX512_GEMV(w)                                                       \
  void qz_ypu_cpu_lowbit_gemv_avx512_##w##b(qz_ypu_cpu_device_t *device, const float *x,       \
                                            const qz_scale16_t *scales, const uint8_t *tiles,  \
                                            int32_t groups, int32_t row_blocks, float *y) {    \
    gemv<w>(device, x, scales, tiles, groups, row_blocks, y);                                   \
  }

QZ_YPU_CPU_LOWBIT_AVX512_GEMV(1)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(2)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(3)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(4)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(5)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(6)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(7)
QZ_YPU_CPU_LOWBIT_AVX512_GEMV(8)
