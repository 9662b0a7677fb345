// NEON low-bit matrix-vector kernels, the ARM64 activation quantiser and
// group sums. Widths 1 to 4 quantise each group of 8 activations to 8-bit
// codes and sum code products exactly in 16-bit lanes; widths 5 to 8 multiply
// the weight codes with the float activations.
#include "ypu/cpu/lowbit/neon.h"
#include "ypu/cpu/lowbit/quantize.h"

namespace {

// ((x0 + x4) + (x1 + x5)) + ((x2 + x6) + (x3 + x7)): the halves added lane
// by lane, then pairwise.
inline float pairwise_sum(const float *v) {
  return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}

}  // namespace

void qz_ypu_cpu_lowbit_quantize_act_neon(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_quantize_context_t *>(context);
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.groups, c.chunks, int64_t(chunk));
  for (int64_t i = range.begin; i < range.end; ++i) {
    const float *v = c.x + 8 * i;
    qz_ypu_cpu_lowbit_quantize_group(v, c.codes + 8 * i, &c.lo[i], &c.step[i]);
    c.sum[i] = pairwise_sum(v);
  }
}

void qz_ypu_cpu_lowbit_group_sums_neon(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_group_sums_context_t *>(context);
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.count, c.chunks, int64_t(chunk));
  for (int64_t g = range.begin; g < range.end; ++g) c.sums[g] = pairwise_sum(c.x + 8 * g);
}

QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_1b, neon_tile<1>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_2b, neon_tile<2>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_3b, neon_tile<3>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_4b, neon_tile<4>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_5b, neon_tile<5>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_6b, neon_tile<6>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_7b, neon_tile<7>)
QZ_YPU_CPU_LOWBIT_NEON_GEMV(qz_ypu_cpu_lowbit_gemv_neon_8b, neon_tile<8>)
