// NEON row quantisation and column affine kernels.
#include <arm_neon.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

// q(x x t x 1024) for 4 lanes, multiplied in the host's order. NaN lanes
// become 0 before the clamp, so the truncating conversion only sees values
// within int16.
int32x4_t quantize4(float32x4_t x, float32x4_t t) {
  float32x4_t y = vmulq_f32(vmulq_f32(x, t), vdupq_n_f32(1024.0f));
  y = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(y), vceqq_f32(y, y)));
  y = vminq_f32(vmaxq_f32(y, vdupq_n_f32(-32768.0f)), vdupq_n_f32(32767.0f));
  return vcvtq_s32_f32(y);
}

}  // namespace

// Any row length: 8 values per step, the rest one at a time.
void qz_ypu_cpu_quantize_rows_i16_neon(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_quantize_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  for (int64_t row = r.begin; row < r.end; ++row) {
    const float *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    // Four running maxima of the magnitudes; the number-preferring maximum
    // skips NaN lanes, as the host's comparison does.
    float32x4_t m4 = vdupq_n_f32(0.0f);
    int64_t j = 0;
    for (; w - j >= 4; j += 4) m4 = vmaxnmq_f32(vabsq_f32(vld1q_f32(x + j)), m4);
    float m = vmaxnmvq_f32(m4);
    for (; j < w; ++j) {
      const float a = __builtin_fabsf(x[j]);
      if (a > m) m = a;
    }
    if (m == 0.0f) {
      for (j = 0; j < w; ++j) y[j] = 0;
      c->factors[row] = 0.0f;
      continue;
    }
    const float t = 31.0f / m;
    const float32x4_t tv = vdupq_n_f32(t);
    for (j = 0; w - j >= 8; j += 8) {
      const int32x4_t lo = quantize4(vld1q_f32(x + j), tv);
      const int32x4_t hi = quantize4(vld1q_f32(x + j + 4), tv);
      vst1q_s16(y + j, vcombine_s16(vqmovn_s32(lo), vqmovn_s32(hi)));
    }
    for (; j < w; ++j) y[j] = qz_ypu_cpu_quantize_value(x[j] * t * 1024.0f);
    c->factors[row] = 1.0f / (t * 131072.0f);
  }
}

// Columns a multiple of 8: the difference and product formed in 32 bits,
// narrowed with saturation.
void qz_ypu_cpu_affine_columns_i16_neon(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_affine_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  for (int64_t row = r.begin; row < r.end; ++row) {
    const int16_t *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    for (int64_t j = 0; j < w; j += 8) {
      const int16x8_t xv = vld1q_s16(x + j), ov = vld1q_s16(c->offsets + j);
      const int16x8_t sv = vld1q_s16(c->scales + j);
      const int32x4_t lo = vshrq_n_s32(
          vmulq_s32(vsubl_s16(vget_low_s16(xv), vget_low_s16(ov)), vmovl_s16(vget_low_s16(sv))),
          10);
      const int32x4_t hi =
          vshrq_n_s32(vmulq_s32(vsubl_high_s16(xv, ov), vmovl_high_s16(sv)), 10);
      vst1q_s16(y + j, vcombine_s16(vqmovn_s32(lo), vqmovn_s32(hi)));
    }
  }
}
