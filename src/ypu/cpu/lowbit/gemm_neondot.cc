// Dot-product set, matrix-matrix at 1 to 4 bits: each tile decoded once per
// row block and applied to every token with the 8-bit dot-product
// instruction. Wider classes use the NEON drivers.
#include "ypu/cpu/lowbit/neondot.h"

QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_dot_1b, neon_dot_tile<1>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_dot_2b, neon_dot_tile<2>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_dot_3b, neon_dot_tile<3>)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_dot_4b, neon_dot_tile<4>)
