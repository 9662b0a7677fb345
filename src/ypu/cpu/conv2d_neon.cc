// NEON convolution task (in_channels % 8 == 0): two 4-lane accumulators, lane
// q of accumulator h summing the products of the channels with index
// 4h + q mod 8, in order, by separate multiplications and additions.
#include <arm_neon.h>

#include "ypu/cpu/conv2d.h"

void qz_ypu_cpu_conv2d_f32_neon(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_conv2d_context_t *>(opaque);
  if (c.in_channels < 8 || c.in_channels % 8 != 0) return;  // never chosen for such channels
  const qz_conv2d_geometry g = qz_conv2d_geometry_of(c);
  const int64_t b = static_cast<int64_t>(item) / c.out_channels;
  const int64_t co = static_cast<int64_t>(item) % c.out_channels;
  const int64_t ch = c.in_channels;
  const float *image = c.padded + b * g.padded_height * g.padded_width * ch;
  const float *w = c.relaid + co * c.kernel_height * g.row;
  float *out = c.out + (b * c.out_channels + co) * g.out_height * g.out_width;
  for (int64_t oy = 0; oy < g.out_height; ++oy)
    for (int64_t ox = 0; ox < g.out_width; ++ox) {
      float32x4_t s0 = vdupq_n_f32(0.0f), s1 = vdupq_n_f32(0.0f);
      for (int64_t ky = 0; ky < c.kernel_height; ++ky) {
        const float *x = image + ((oy * c.stride + ky) * g.padded_width + ox * c.stride) * ch;
        const float *wr = w + ky * g.row;
        for (int64_t j = 0; j < g.row; j += 8) {
          s0 = vaddq_f32(s0, vmulq_f32(vld1q_f32(x + j), vld1q_f32(wr + j)));
          s1 = vaddq_f32(s1, vmulq_f32(vld1q_f32(x + j + 4), vld1q_f32(wr + j + 4)));
        }
      }
      const float32x4_t s = vaddq_f32(s0, s1);
      out[oy * g.out_width + ox] =
          (vgetq_lane_f32(s, 0) + vgetq_lane_f32(s, 2)) + (vgetq_lane_f32(s, 1) + vgetq_lane_f32(s, 3));
    }
}
