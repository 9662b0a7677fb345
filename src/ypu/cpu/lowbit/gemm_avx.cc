// AVX low-bit matrix-matrix kernels (the drivers are described in
// drivers256.h).
#include "ypu/cpu/lowbit/avx.h"
#include "ypu/cpu/lowbit/kernels.h"

#define QZ_YPU_CPU_LOWBIT_AVX_GEMM(w)                                                           \
  static void qz_ypu_cpu_lowbit_gemm_avx_##w##b_task(void *context, size_t thread,             \
                                                     size_t row_block) {                       \
    lowbit_gemm_task<avx_tile<w>>(context, thread, row_block);                                  \
  }                                                                                             \
  void qz_ypu_cpu_lowbit_gemm_avx_##w##b(qz_ypu_cpu_device_t *device, const float *x,           \
                                         const qz_scale16_t *scales, const uint8_t *tiles,      \
                                         int32_t groups, int32_t row_blocks, int32_t n,         \
                                         void *act_scratch, void *thread_scratch, float *acc) { \
    lowbit_gemm<avx_tile<w>>(device, QZ_YPU_CPU_LOWBIT_PREPARERS_AVX,                           \
                             qz_ypu_cpu_lowbit_gemm_avx_##w##b_task, x, scales, tiles, groups,  \
                             row_blocks, n, act_scratch, thread_scratch, acc);                  \
  }

QZ_YPU_CPU_LOWBIT_AVX_GEMM(1)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(2)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(3)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(4)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(5)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(6)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(7)
QZ_YPU_CPU_LOWBIT_AVX_GEMM(8)
