// CPU entry of the float 2-D convolution. Per call the input is copied into
// a zero-bordered channel-last buffer and the weights into the same channel
// order; one item per (batch element, output channel) then sums contiguous
// runs of kernel_width x in_channels values. The sums are ordered by kernel
// row, kernel column and channel, so results differ from the host (channel
// outermost) by summation order only.
#include "ypu/cpu/conv2d.h"

#include <cstring>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

void qz_ypu_cpu_conv2d_f32_generic(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_conv2d_context_t *>(opaque);
  const qz_conv2d_geometry g = qz_conv2d_geometry_of(c);
  const int64_t b = static_cast<int64_t>(item) / c.out_channels;
  const int64_t co = static_cast<int64_t>(item) % c.out_channels;
  const int64_t ch = c.in_channels;
  const float *image = c.padded + b * g.padded_height * g.padded_width * ch;
  const float *w = c.relaid + co * c.kernel_height * g.row;
  float *out = c.out + (b * c.out_channels + co) * g.out_height * g.out_width;
  for (int64_t oy = 0; oy < g.out_height; ++oy)
    for (int64_t ox = 0; ox < g.out_width; ++ox) {
      float sum = 0.0f;
      for (int64_t ky = 0; ky < c.kernel_height; ++ky) {
        const float *x = image + ((oy * c.stride + ky) * g.padded_width + ox * c.stride) * ch;
        const float *wr = w + ky * g.row;
        for (int64_t j = 0; j < g.row; ++j) {
          const float product = x[j] * wr[j];
          sum += product;
        }
      }
      out[oy * g.out_width + ox] = sum;
    }
}

qz_status_t qz_ypu_cpu_conv2d_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_conv2d_f32_params_t *>(params);
  if (!p.out || !p.in || !p.weights) return QZ_YPU_CPU_DECLINE;
  // The host handles what the channel-last copy cannot: a stride it rejects,
  // a negative pad (the copy would land outside the border), kernels larger
  // than the padded input (truncating division still gives one output whose
  // window would leave the copy) and empty kernels or channels.
  const int64_t padded_height = int64_t{p.in_height} + 2 * int64_t{p.pad};
  const int64_t padded_width = int64_t{p.in_width} + 2 * int64_t{p.pad};
  if (p.stride < 1 || p.pad < 0 || p.in_height < 1 || p.in_width < 1 || p.in_channels < 1 ||
      p.kernel_height < 1 || p.kernel_width < 1 || padded_height < p.kernel_height ||
      padded_width < p.kernel_width)
    return QZ_YPU_CPU_DECLINE;
  if (p.batch <= 0 || p.out_channels <= 0) return QZ_STATUS_SUCCESS;

  const int64_t channels = p.in_channels;
  const int64_t padded_count = int64_t{p.batch} * padded_height * padded_width * channels;
  const int64_t kernel_count = int64_t{p.out_channels} * p.kernel_height * p.kernel_width * channels;
  qz_ypu_cpu_scratch scratch;
  float *padded = scratch.get<float>(padded_count);
  float *relaid = padded ? scratch.get<float>(kernel_count) : nullptr;
  if (!padded || !relaid) {
    qz_error_push("", 0, &QZ_YPU_ERROR_CPU_SCRATCH);
    return QZ_STATUS_OUT_OF_MEMORY;
  }

  qz_ypu_cpu_conv2d_context_t context{qz_ypu_cpu_operand<float>(p.out, 0),
                                      qz_ypu_cpu_operand<const float>(p.in, 0),
                                      padded,
                                      qz_ypu_cpu_operand<const float>(p.weights, 0),
                                      relaid,
                                      p.stride,
                                      p.pad,
                                      p.batch,
                                      p.out_channels,
                                      p.in_channels,
                                      p.in_height,
                                      p.in_width,
                                      p.kernel_height,
                                      p.kernel_width};
  std::memset(padded, 0, static_cast<size_t>(padded_count) * sizeof(float));
  const int64_t height = p.in_height, width = p.in_width, pad = p.pad;
  for (int64_t b = 0; b < p.batch; ++b)
    for (int64_t ci = 0; ci < channels; ++ci) {
      const float *plane = context.in + (b * channels + ci) * height * width;
      for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
          padded[((b * padded_height + y + pad) * padded_width + x + pad) * channels + ci] =
              plane[y * width + x];
    }
  const int64_t kh = p.kernel_height, kw = p.kernel_width;
  for (int64_t co = 0; co < p.out_channels; ++co)
    for (int64_t ci = 0; ci < channels; ++ci)
      for (int64_t ky = 0; ky < kh; ++ky)
        for (int64_t kx = 0; kx < kw; ++kx)
          relaid[((co * kh + ky) * kw + kx) * channels + ci] =
              context.weights[((co * channels + ci) * kh + ky) * kw + kx];

  qz_ypu_cpu_device_t *cpu = qz_ypu_cpu_device(device);
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      cpu->isa_flags, channels, QZ_YPU_CPU_X86(qz_ypu_cpu_conv2d_f32_avx2), 8,
      QZ_YPU_CPU_X86(qz_ypu_cpu_conv2d_f32_sse41), 4, QZ_YPU_CPU_ARM64(qz_ypu_cpu_conv2d_f32_neon),
      8, qz_ypu_cpu_conv2d_f32_generic);
  // One item per (batch element, output channel), with or without a pool.
  qz_ypu_cpu_run_1d(cpu, task, &context, int64_t{p.batch} * p.out_channels);
  return QZ_STATUS_SUCCESS;
}
