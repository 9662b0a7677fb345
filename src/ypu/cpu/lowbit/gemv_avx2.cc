// AVX2 low-bit matrix-vector kernels and the activation quantiser. One
// 256-bit vector carries all 16 rows of a tile: widths 1 to 4 multiply the
// codes with 8-bit quantised activations in 16-bit lanes, widths 5 to 8
// multiply float codes with the float activations, eight rows at a time.
#include <cmath>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/avx2.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {


// The 16 outputs of a row block stay in two registers over all groups.
template <int B>
void gemv_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const qz_ypu_cpu_range_t rows = qz_ypu_cpu_split(c.row_blocks, c.chunks, int64_t(chunk));
  avx2_tile<B> tile;
  for (int64_t rb = rows.begin; rb < rows.end; ++rb) {
    float *y = c.out + 16 * rb;
    __m256 acc[2] = {_mm256_loadu_ps(y), _mm256_loadu_ps(y + 8)};
    for (int32_t g = c.group_begin; g < c.group_end; ++g) {
      tile.load(c.scales, c.tiles, rb * c.groups + g);
      const int32_t i = g - c.group_begin;
      if constexpr (avx2_tile<B>::integer)
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
template <int B>
void gemv(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, float *y) {
  qz_ypu_cpu_lowbit_run_gemv(device, x, scales, tiles, groups, row_blocks, y, avx2_tile<B>::integer,
                             QZ_YPU_CPU_LOWBIT_PREPARERS_SSE41, gemv_task<B>);
}

}  // namespace


#define QZ_YPU_CPU_LOWBIT_AVX2_GEMV(w)                                                          \
  void qz_ypu_cpu_lowbit_gemv_avx2_##w##b(qz_ypu_cpu_device_t *device, const float *x,         \
                                          const qz_scale16_t *scales, const uint8_t *tiles,    \
                                          int32_t groups, int32_t row_blocks, float *y) {      \
    gemv<w>(device, x, scales, tiles, groups, row_blocks, y);                                   \
  }

QZ_YPU_CPU_LOWBIT_AVX2_GEMV(1)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(2)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(3)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(4)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(5)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(6)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(7)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(8)
