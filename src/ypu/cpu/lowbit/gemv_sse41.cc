// SSE4.1 low-bit matrix-vector kernels and the activation quantiser.
// Widths 1 to 4 quantise each group of 8 activations to 8-bit codes and sum
// code products exactly in 16-bit lanes; widths 5 to 8 multiply the weight
// codes with the float activations.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/quantize.h"
#include "ypu/cpu/lowbit/sse41.h"

namespace {

// The 16 outputs of a row block stay in registers over all groups.
template <int B>
void gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  sse41_tile<B> tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb) {
    float *y = c.out + 16 * rb;
    __m128 acc[4];
    for (int q = 0; q < 4; ++q) acc[q] = _mm_loadu_ps(y + 4 * q);
    for (int32_t g = c.group_begin; g < c.group_end; ++g) {
      qz_ypu_cpu_lowbit_prefetch(c.scales, c.tiles, rb * c.groups + g, qz_ypu_lowbit_tile_bytes(B));
      tile.load(c.scales, c.tiles, rb * c.groups + g);
      const int32_t i = g - c.group_begin;
      if constexpr (sse41_tile<B>::integer)
        tile.add_quantised(c.codes + 8 * i, c.lo[i], c.step[i], c.sum[i], acc);
      else
        tile.add_float(c.x + 8 * int64_t{g}, c.sum[i], acc);
    }
    for (int q = 0; q < 4; ++q) _mm_storeu_ps(y + 4 * q, acc[q]);
  }
}

template <int B>
void gemv(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {
  qz_ypu_cpu_lowbit_run_gemv(device, x, scales, tiles, groups, row_blocks, y, sse41_tile<B>::integer,
                             QZ_YPU_CPU_LOWBIT_PREPARERS_SSE41, gemv_task<B>);
}

}  // namespace

void qz_ypu_cpu_lowbit_quantize_act_sse41(void *context, size_t chunk) {
  qz_ypu_cpu_lowbit_quantize_chunk(
      *static_cast<const qz_ypu_cpu_lowbit_quantize_context_t *>(context), chunk);
}

#define QZ_YPU_CPU_LOWBIT_SSE41_GEMV(w)                                                         \
  void qz_ypu_cpu_lowbit_gemv_sse41_##w##b(qz_ypu_cpu_device_t *device, const float *x,        \
                                           const qz_scale16_t *scales, const uint8_t *tiles,   \
                                           int32_t groups, int32_t row_blocks, float *y) {     \
    gemv<w>(device, x, scales, tiles, groups, row_blocks, y);                                   \
  }

QZ_YPU_CPU_LOWBIT_SSE41_GEMV(1)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(2)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(3)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(4)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(5)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(6)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(7)
QZ_YPU_CPU_LOWBIT_SSE41_GEMV(8)
