// NEON low-bit matrix-matrix kernels: the activations of every (group,
// token) pair are prepared as the matrix-vector kernels prepare one token's,
// then each row block's tiles are decoded once and applied to all tokens.
// Every token gets the matrix-vector kernels' bits.
#include "ypu/cpu/lowbit/neon.h"

QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_1b, neon_tile<1>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_2b, neon_tile<2>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_3b, neon_tile<3>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_4b, neon_tile<4>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_5b, neon_tile<5>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_6b, neon_tile<6>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_7b, neon_tile<7>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_8b, neon_tile<8>)
