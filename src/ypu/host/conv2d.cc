// Host implementation of the float 2-D convolution: zero padding, a common
// stride for both axes, no bias. Each output element accumulates its
// products in the loop order below (input channel outermost), one rounded
// product at a time, which is the order the CPU kernel reproduces.
#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

// (size + 2 pad - kernel) / stride + 1 with C division, in 64 bits: a large
// pad would wrap the 32-bit sum.
int64_t output_extent(int32_t size, int32_t pad, int32_t kernel, int32_t stride) {
  return (int64_t{size} + 2 * int64_t{pad} - kernel) / stride + 1;
}

}  // namespace

qz_status_t qz_ypu_host_conv2d_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_conv2d_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  const float *w = frame.in<float>(p.weights, 0);
  if (!frame.ok()) return frame.status();
  // The output size divides by the stride.
  if (p.stride <= 0) {
    qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, "stride");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  const int64_t out_height = output_extent(p.in_height, p.pad, p.kernel_height, p.stride);
  const int64_t out_width = output_extent(p.in_width, p.pad, p.kernel_width, p.stride);
  if (out_height <= 0 || out_width <= 0) return QZ_STATUS_SUCCESS;
  const int64_t plane = out_height * out_width, in_plane = int64_t{p.in_height} * p.in_width;
  const int64_t kernel_plane = int64_t{p.kernel_height} * p.kernel_width;

  for (int32_t n = 0; n < p.batch; ++n) {
    float *out_block = out + n * (p.out_channels * plane);
    const float *in_block = in + n * (p.in_channels * in_plane);
    for (int64_t i = 0; i < p.out_channels * plane; ++i) out_block[i] = 0.0f;
    for (int32_t ci = 0; ci < p.in_channels; ++ci)
      for (int32_t co = 0; co < p.out_channels; ++co)
        for (int32_t ky = 0; ky < p.kernel_height; ++ky)
          for (int32_t kx = 0; kx < p.kernel_width; ++kx) {
            const float weight = w[(int64_t{co} * p.in_channels + ci) * kernel_plane +
                                   int64_t{ky} * p.kernel_width + kx];
            const float *in_plane_ci = in_block + ci * in_plane;
            float *out_plane = out_block + co * plane;
            for (int64_t oy = 0; oy < out_height; ++oy) {
              const int64_t iy = oy * p.stride - p.pad + ky;
              if (iy < 0 || iy >= p.in_height) continue;
              for (int64_t ox = 0; ox < out_width; ++ox) {
                const int64_t ix = ox * p.stride - p.pad + kx;
                if (ix < 0 || ix >= p.in_width) continue;
                const float product = in_plane_ci[iy * p.in_width + ix] * weight;
                out_plane[oy * out_width + ox] = product + out_plane[oy * out_width + ox];
              }
            }
          }
  }
  return QZ_STATUS_SUCCESS;
}
