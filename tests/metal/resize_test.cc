// The Metal resizes against the host implementation. Both compute the same
// taps and weights but combine them in another order, so each output is
// compared within a bound: every output is a sum of at most 16 products of
// an input value by weights, each operation rounding by at most u; with
// M = Σ|value·weight| over its taps, 2·(16 + 2)·u·M covers both orders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "metal/metal_twin.h"
#include "support/metal_test.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {


struct image_case {
  const char *name;
  int32_t out_h, out_w, in_h, in_w, channels;
};

// The largest input magnitude bounds M (the cubic weights' magnitudes sum
// to at most 1.5 per axis, so 2.25 for both).
double image_bound(const std::vector<float> &in) {
  double largest = 0;
  for (float v : in) largest = std::max(largest, double{std::fabs(v)});
  return 2.0 * 18 * kUnitRoundoff * 2.25 * largest;
}

class MetalResizeImage : public MetalTest, public testing::WithParamInterface<image_case> {};

TEST_P(MetalResizeImage, BicubicAndBilinearMatchTheHost) {
  const image_case &c = GetParam();
  const size_t out_count = size_t(c.out_h) * c.out_w * c.channels;
  const auto in = random_floats(size_t(c.in_h) * c.in_w * c.channels, -4, 4, 50);
  struct op {
    uint32_t id;
    const char *kernel;
  };
  for (const op o : {op{QZ_YPU_OP_RESIZE_BICUBIC_F32, "taabe242"},
                     op{QZ_YPU_OP_RESIZE_BILINEAR_F32, "taabe223"}}) {
    SCOPED_TRACE(o.kernel);
    metal_twin t;
    const twin_buffer ib = t.buffer(in), out = t.bytes(int32_t(out_count * 4), 0xFF);
    t.run(o.id, o.kernel, [&](bool gpu) {
      return qz_ypu_resize_bicubic_f32_params_t{out.on(gpu), ib.on(gpu), c.out_h,   c.out_w,
                                                c.in_h,      c.in_w,     c.channels};
    });
    t.expect_within(out, std::vector<double>(out_count, image_bound(in)));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalResizeImage,
                         testing::Values(image_case{"same_size", 5, 6, 5, 6, 3},
                                         image_case{"upscale", 9, 11, 4, 3, 2},
                                         image_case{"downscale", 3, 4, 8, 13, 1},
                                         image_case{"one_output_row", 1, 7, 5, 5, 2},
                                         image_case{"one_input_pixel", 4, 4, 1, 1, 3}),
                         [](const testing::TestParamInfo<image_case> &info) {
                           return info.param.name;
                         });

// With equal sizes the bicubic weights are 1 at distance 0 and exactly 0 at
// distances 1 and 2, and the bilinear positions land on the pixels: both
// give the input back bit for bit.
TEST_F(MetalResizeImage, EqualSizesGiveTheInputBack) {
  const auto in = random_floats(4 * 5 * 2, -4, 4, 51);
  for (const uint32_t op : {QZ_YPU_OP_RESIZE_BICUBIC_F32, QZ_YPU_OP_RESIZE_BILINEAR_F32}) {
    metal_context gpu;
    qz_ypu_buffer_t *ib = gpu.buffer(in);
    qz_ypu_buffer_t *out = gpu.buffer(int32_t(in.size() * 4), 0xFF);
    const qz_ypu_resize_bicubic_f32_params_t p{out, ib, 4, 5, 4, 5, 2};
    ASSERT_EQ(gpu.run(op, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<float>(out, in.size()), in) << "op " << op;
  }
}

struct line_case {
  const char *name;
  int32_t out_n, in_n, channels;
};

class MetalResizeLinear : public MetalTest, public testing::WithParamInterface<line_case> {};

// Two taps: both forms are within 3u of the exact blend of values at most
// max|in| in size.
TEST_P(MetalResizeLinear, MatchesTheHost) {
  const line_case &c = GetParam();
  metal_twin t;
  const auto in = random_floats(size_t(c.in_n) * c.channels, -4, 4, 52);
  const size_t out_count = size_t(c.out_n) * c.channels;
  const twin_buffer ib = t.buffer(in), out = t.bytes(int32_t(out_count * 4), 0xFF);
  t.run(QZ_YPU_OP_RESIZE_LINEAR_F32, "taabe269", [&](bool gpu) {
    return qz_ypu_resize_linear_f32_params_t{out.on(gpu), ib.on(gpu), c.out_n, c.in_n, c.channels};
  });
  t.expect_within(out, std::vector<double>(out_count, 2 * 3 * kUnitRoundoff * 4.0 * 2));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalResizeLinear,
                         testing::Values(line_case{"upscale_clamps_both_ends", 13, 4, 3},
                                         line_case{"downscale", 5, 17, 2},
                                         line_case{"one_input", 6, 1, 4},
                                         line_case{"same_length", 7, 7, 1}),
                         [](const testing::TestParamInfo<line_case> &info) {
                           return info.param.name;
                         });

// An empty input cannot feed an output: the host implementation reports it
// (the kernels would read before the input).
TEST_F(MetalResizeImage, EmptyInputIsLeftToTheHostWhichRefusesIt) {
  metal_context gpu;
  qz_ypu_buffer_t *ib = gpu.buffer(16);
  qz_ypu_buffer_t *out = gpu.buffer(64);
  const qz_ypu_resize_bicubic_f32_params_t p{out, ib, 2, 2, 0, 3, 1};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_RESIZE_BICUBIC_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
  take_error_stack();
}

}  // namespace
