// AVX2 low-bit matrix-vector kernels. One 256-bit vector carries all 16
// rows of a tile: widths 1 to 4 multiply the codes with 8-bit quantised
// activations in 16-bit lanes, widths 5 to 8 multiply float codes with the
// float activations, eight rows at a time. They prepare activations with the
// SSE4.1 quantiser and the baseline group sums (drivers256.h).
#include "ypu/cpu/lowbit/avx2.h"
#include "ypu/cpu/lowbit/drivers256.h"
#include "ypu/cpu/lowbit/kernels.h"

#define QZ_YPU_CPU_LOWBIT_AVX2_GEMV(w)                                                           \
  static void qz_ypu_cpu_lowbit_gemv_avx2_##w##b_task(void *context, size_t chunk) {            \
    lowbit_gemv_task<avx2_tile<w>>(context, chunk);                                              \
  }                                                                                              \
  void qz_ypu_cpu_lowbit_gemv_avx2_##w##b(qz_ypu_cpu_device_t *device, const float *x,          \
                                          const qz_scale16_t *scales, const uint8_t *tiles,     \
                                          int32_t groups, int32_t row_blocks, float *y) {       \
    lowbit_gemv<avx2_tile<w>>(device, QZ_YPU_CPU_LOWBIT_PREPARERS_SSE41,                         \
                              qz_ypu_cpu_lowbit_gemv_avx2_##w##b_task, x, scales, tiles, groups, \
                              row_blocks, y);                                                    \
  }

QZ_YPU_CPU_LOWBIT_AVX2_GEMV(1)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(2)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(3)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(4)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(5)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(6)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(7)
QZ_YPU_CPU_LOWBIT_AVX2_GEMV(8)
