// AVX2 convolution task: lane q sums the channels with index q mod 8 by
// fused multiply-add.
#include <immintrin.h>

#include "ypu/cpu/conv2d.h"

__attribute__((target("avx2,fma"))) void qz_ypu_cpu_conv2d_f32_avx2(void *opaque, size_t item) {
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
      __m256 sum = _mm256_setzero_ps();
      for (int64_t ky = 0; ky < c.kernel_height; ++ky) {
        const float *x = image + ((oy * c.stride + ky) * g.padded_width + ox * c.stride) * ch;
        const float *wr = w + ky * g.row;
        for (int64_t j = 0; j < g.row; j += 8)
          sum = _mm256_fmadd_ps(_mm256_loadu_ps(x + j), _mm256_loadu_ps(wr + j), sum);
      }
      alignas(32) float l[8];
      _mm256_store_ps(l, sum);
      out[oy * g.out_width + ox] = ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]));
    }
}
