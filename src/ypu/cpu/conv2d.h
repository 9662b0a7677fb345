// Float 2-D convolution on the CPU: the input and weights are re-laid
// channel-last in scratch so that each output value is one contiguous dot
// product per kernel row.
#pragma once

#include <cstddef>
#include <cstdint>

struct qz_ypu_cpu_conv2d_context_t {
  float *out;
  const float *in;
  const float *padded;   // [batch][in_height + 2 pad][in_width + 2 pad][in_channels], zero border
  const float *weights;
  const float *relaid;   // [out_channels][kernel_height][kernel_width][in_channels]
  int32_t stride;
  int32_t pad;
  int32_t batch;
  int32_t out_channels;
  int32_t in_channels;
  int32_t in_height;
  int32_t in_width;
  int32_t kernel_height;
  int32_t kernel_width;
};

// Item a: batch element a / out_channels, output channel a % out_channels.
// Generic: one accumulator; SSE4.1 (in_channels % 4 == 0): four lanes by
// channel mod 4; AVX2 (in_channels % 8 == 0): eight lanes with fused
// multiply-add.
void qz_ypu_cpu_conv2d_f32_generic(void *context, size_t a);
void qz_ypu_cpu_conv2d_f32_sse41(void *context, size_t a);
void qz_ypu_cpu_conv2d_f32_avx2(void *context, size_t a);
// NEON (in_channels % 8 == 0): two accumulators of four lanes, no fused
// multiply-add.
void qz_ypu_cpu_conv2d_f32_neon(void *context, size_t a);

namespace {

// The geometry a task needs, in 64 bits. The entry has checked that the
// padded input is at least as large as the kernel, so both extents are >= 1
// and every window lies inside the padded input.
struct qz_conv2d_geometry {
  int64_t out_height, out_width, padded_height, padded_width, row;  // row = kernel_width x channels
};

inline qz_conv2d_geometry qz_conv2d_geometry_of(const qz_ypu_cpu_conv2d_context_t &c) {
  const int64_t ph = int64_t{c.in_height} + 2 * int64_t{c.pad};
  const int64_t pw = int64_t{c.in_width} + 2 * int64_t{c.pad};
  return {(ph - c.kernel_height) / c.stride + 1, (pw - c.kernel_width) / c.stride + 1, ph, pw,
          int64_t{c.kernel_width} * c.in_channels};
}

}  // namespace
