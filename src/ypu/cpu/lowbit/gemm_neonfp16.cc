// Half-precision set, matrix-matrix at 1 and 2 bits: the integer-path term
// float(csum)·(lo·s) + float(dot)·(s·step) is formed in half precision,
// eight rows per vector (each factor rounded to half, each product and the
// sum rounded once), widened to single precision and added as
// acc = o·sum + (acc + term). Wider classes use the NEON drivers.
#include "ypu/cpu/lowbit/neon.h"

namespace {

template <int B, neon_layout_t L>
struct neon_fp16_tile : neon_tile<B, L> {
  static_assert(B <= 2);

  void add_quantised(const uint8_t *codes, float lo, float step, float sum,
                     float32x4_t *acc) const {
    const float16x8_t a1 = vdupq_n_f16(static_cast<float16_t>(this->scale * step));
    const float16x8_t a2 = vdupq_n_f16(static_cast<float16_t>(lo * this->scale));
    const float32x4_t a3 = vdupq_n_f32(this->offset * sum);
    for (int h = 0; h < 2; ++h) {
      const float16x8_t code_part = vmulq_f16(vcvtq_f16_u16(this->csum16[h]), a2);
      const float16x8_t dot_part = vmulq_f16(vcvtq_f16_u16(this->dot(codes, h)), a1);
      const float16x8_t term = vaddq_f16(code_part, dot_part);
      const float32x4_t terms[2] = {vcvt_f32_f16(vget_low_f16(term)), vcvt_high_f32_f16(term)};
      for (int i = 0; i < 2; ++i) acc[2 * h + i] = vaddq_f32(a3, vaddq_f32(acc[2 * h + i], terms[i]));
    }
  }
};

using fp16_1b_tile = neon_fp16_tile<1, NEON_SPLIT_ROW>;
using fp16_2b_tile = neon_fp16_tile<2, NEON_FP16_SPLIT_2B>;

}  // namespace

QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_fp16_1b, fp16_1b_tile)
QZ_YPU_CPU_LOWBIT_NEON_GEMM(qz_ypu_cpu_lowbit_gemm_neon_fp16_2b, fp16_2b_tile)
