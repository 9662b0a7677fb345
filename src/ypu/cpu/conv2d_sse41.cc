// SSE4.1 convolution task: lane q sums the products of the channels with
// index q mod 4, in order, by separate multiplications and additions.
#include <smmintrin.h>

#include "ypu/cpu/conv2d.h"

void qz_ypu_cpu_conv2d_f32_sse41(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_conv2d_context_t *>(opaque);
  if (c.in_channels < 4 || c.in_channels % 4 != 0) return;  // never chosen for such channels
  const qz_conv2d_geometry g = qz_conv2d_geometry_of(c);
  const int64_t b = static_cast<int64_t>(item) / c.out_channels;
  const int64_t co = static_cast<int64_t>(item) % c.out_channels;
  const int64_t ch = c.in_channels;
  const float *image = c.padded + b * g.padded_height * g.padded_width * ch;
  const float *w = c.relaid + co * c.kernel_height * g.row;
  float *out = c.out + (b * c.out_channels + co) * g.out_height * g.out_width;
  for (int64_t oy = 0; oy < g.out_height; ++oy)
    for (int64_t ox = 0; ox < g.out_width; ++ox) {
      __m128 sum = _mm_setzero_ps();
      for (int64_t ky = 0; ky < c.kernel_height; ++ky) {
        const float *x = image + ((oy * c.stride + ky) * g.padded_width + ox * c.stride) * ch;
        const float *wr = w + ky * g.row;
        for (int64_t j = 0; j < g.row; j += 4)
          sum = _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(x + j), _mm_loadu_ps(wr + j)));
      }
      alignas(16) float l[4];
      _mm_store_ps(l, sum);
      out[oy * g.out_width + ox] = (l[0] + l[2]) + (l[1] + l[3]);
    }
}
