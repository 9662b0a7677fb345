// Half-precision set, matrix-vector: the NEON arithmetic throughout; only
// the 2-bit driver differs, reading the set's own 2-bit layout (byte r:
// columns 0-3, byte 16 + r: columns 4-7) that its repack table writes.
#include "ypu/cpu/lowbit/neon.h"

namespace {
using fp16_2b_tile = neon_tile<2, NEON_FP16_SPLIT_2B>;
}  // namespace

QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_fp16_2b, fp16_2b_tile)
