#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "host/operand.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using host_test::expect_guards;
using host_test::fetch;
using host_test::operand;
using host_test::place;
using host_test::place_blank;

// [height][width][channels] with distinct, exactly representable values.
std::vector<float> image(int height, int width, int channels) {
  std::vector<float> v(height * width * channels);
  for (size_t i = 0; i < v.size(); ++i) v[i] = float((i * 7) % 23) - 9.0f;
  return v;
}

struct image_shape {
  int32_t out_height, out_width, in_height, in_width, channels;
};

// The bicubic resize in double: half-pixel centres, a = -0.75, clamped taps
// with the unclamped distances' weights.
std::vector<double> bicubic_reference(const std::vector<float> &in, const image_shape &s) {
  const auto weight = [](double d) {
    if (d <= 1) return (1.25 * d - 2.25) * d * d + 1;
    if (d < 2) return ((-0.75 * d + 3.75) * d - 6) * d + 3;
    return 0.0;
  };
  const auto clamp = [](int v, int size) { return std::min(std::max(v, 0), size - 1); };
  std::vector<double> out;
  const double sy = double(s.in_height) / s.out_height, sx = double(s.in_width) / s.out_width;
  for (int i = 0; i < s.out_height; ++i)
    for (int j = 0; j < s.out_width; ++j)
      for (int c = 0; c < s.channels; ++c) {
        const double y = sy * (i + 0.5) - 0.5, x = sx * (j + 0.5) - 0.5;
        const int y0 = int(std::floor(y)), x0 = int(std::floor(x));
        double sum = 0;
        for (int r = y0 - 1; r <= y0 + 2; ++r)
          for (int q = x0 - 1; q <= x0 + 2; ++q)
            sum += weight(std::fabs(y - r)) * weight(std::fabs(x - q)) *
                   in[(clamp(r, s.in_height) * s.in_width + clamp(q, s.in_width)) * s.channels + c];
        out.push_back(sum);
      }
  return out;
}

class Resize : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};

  // Runs op 8 or 9 on `in`; the output buffer holds the image and a guard.
  std::vector<float> run_image(uint32_t op, const std::vector<float> &in, const image_shape &s,
                               qz_status_t expected_status = QZ_STATUS_SUCCESS) {
    const operand oi = place(h, in, 0);
    const size_t count = size_t(std::max(s.out_height, 0)) * std::max(s.out_width, 0) *
                         std::max(s.channels, 0);
    const operand out = place_blank<float>(h, count, 0);
    // Ops 8 and 9 share one field order.
    const qz_ypu_resize_bicubic_f32_params_t p{
        .out = out.buffer, .in = oi.buffer, .out_height = s.out_height,
        .out_width = s.out_width, .in_height = s.in_height, .in_width = s.in_width,
        .channels = s.channels};
    static_assert(sizeof(qz_ypu_resize_bicubic_f32_params_t) ==
                  sizeof(qz_ypu_resize_bilinear_f32_params_t));
    EXPECT_EQ(h.run(op, &p), expected_status);
    expect_guards(h, out);
    return fetch<float>(h, out);
  }

  std::vector<float> run_linear(const std::vector<float> &in, int32_t out_length,
                                int32_t in_length, int32_t channels,
                                qz_status_t expected_status = QZ_STATUS_SUCCESS) {
    const operand oi = place(h, in, 0);
    const operand out =
        place_blank<float>(h, size_t(std::max(out_length, 0)) * std::max(channels, 0), 0);
    const qz_ypu_resize_linear_f32_params_t p{.out = out.buffer, .in = oi.buffer,
                                              .out_length = out_length, .in_length = in_length,
                                              .channels = channels};
    EXPECT_EQ(h.run(QZ_YPU_OP_RESIZE_LINEAR_F32, &p), expected_status);
    expect_guards(h, out);
    return fetch<float>(h, out);
  }
};

// Same size in and out: the bilinear weights are 0 and 1, the bicubic ones
// 0, 1, 0, 0, so both return the input exactly.
TEST_P(Resize, SameSizeReturnsTheInput) {
  const image_shape s{3, 4, 3, 4, 2};
  const std::vector<float> in = image(3, 4, 2);
  EXPECT_EQ(run_image(QZ_YPU_OP_RESIZE_BICUBIC_F32, in, s), in);
  EXPECT_EQ(run_image(QZ_YPU_OP_RESIZE_BILINEAR_F32, in, s), in);
  EXPECT_EQ(run_linear(in, 12, 12, 2), in);
}

TEST_P(Resize, BicubicMatchesDoubleReference) {
  const image_shape shapes[] = {
      {5, 4, 2, 3, 2},  // upsampling: the clamped border taps repeat the edge
      {2, 2, 4, 4, 1},  // downsampling by 2: taps at distances 1.5, 0.5, 0.5, 1.5
      {3, 7, 6, 2, 3},  // mixed
      {1, 1, 3, 3, 1},
  };
  for (const auto &s : shapes) {
    SCOPED_TRACE(testing::Message() << s.in_height << "x" << s.in_width << " -> " << s.out_height
                                    << "x" << s.out_width);
    const std::vector<float> in = image(s.in_height, s.in_width, s.channels);
    const std::vector<float> out = run_image(QZ_YPU_OP_RESIZE_BICUBIC_F32, in, s);
    const std::vector<double> expected = bicubic_reference(in, s);
    ASSERT_EQ(out.size(), expected.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], expected[i], 1e-5) << i;
  }
}

TEST_P(Resize, BilinearAlignsCorners) {
  // 2 x 2 to 3 x 3: corners kept, midpoints averaged.
  EXPECT_EQ(run_image(QZ_YPU_OP_RESIZE_BILINEAR_F32, {0, 4, 8, 12}, {3, 3, 2, 2, 1}),
            (std::vector<float>{0, 2, 4, 4, 6, 8, 8, 10, 12}));
  // A 1 x 1 output takes the first pixel, every channel.
  const std::vector<float> in = image(3, 2, 2);
  EXPECT_EQ(run_image(QZ_YPU_OP_RESIZE_BILINEAR_F32, in, {1, 1, 3, 2, 2}),
            (std::vector<float>{in[0], in[1]}));
  // 1 x 3 to 2 x 5 with one input row: y1 is clamped to row 0.
  EXPECT_EQ(run_image(QZ_YPU_OP_RESIZE_BILINEAR_F32, {0, 8, 16}, {2, 5, 1, 3, 1}),
            (std::vector<float>{0, 4, 8, 12, 16, 0, 4, 8, 12, 16}));
}

TEST_P(Resize, LinearUsesHalfPixelCentres) {
  // Two samples to four, two channels: in0, .75 in0 + .25 in1, .25 in0 + .75 in1, in1.
  EXPECT_EQ(run_linear({4, -8, 8, 16}, 4, 2, 2),
            (std::vector<float>{4, -8, 5, -2, 7, 10, 8, 16}));
  // Four samples to two: each output averages a pair.
  EXPECT_EQ(run_linear({1, 3, 10, 20}, 2, 4, 1), (std::vector<float>{2, 15}));
  // One sample to three: both taps clamp to it, so every output is it.
  for (const float v : run_linear({5}, 3, 1, 1)) EXPECT_NEAR(v, 5.0f, 1e-6f);
}

TEST_P(Resize, EmptyOutputsWriteNothing) {
  const std::vector<float> in = image(2, 2, 1);
  for (const image_shape &s : {image_shape{0, 2, 2, 2, 1}, {2, 0, 2, 2, 1}, {2, 2, 2, 2, 0},
                               {-1, 2, 2, 2, 1}, {2, 2, 2, 2, -3}}) {
    EXPECT_TRUE(run_image(QZ_YPU_OP_RESIZE_BICUBIC_F32, in, s).empty());
    EXPECT_TRUE(run_image(QZ_YPU_OP_RESIZE_BILINEAR_F32, in, s).empty());
  }
  EXPECT_TRUE(run_linear(in, 0, 2, 1).empty());
  EXPECT_TRUE(run_linear(in, 3, 2, 0).empty());
}

// An empty input cannot feed a non-empty output: every tap would read
// outside it.
TEST_P(Resize, EmptyInputIsRejected) {
  const std::vector<float> in = image(2, 2, 1);
  for (const uint32_t op : {QZ_YPU_OP_RESIZE_BICUBIC_F32, QZ_YPU_OP_RESIZE_BILINEAR_F32})
    for (const image_shape &s : {image_shape{2, 2, 0, 2, 1}, {2, 2, 2, -1, 1}}) {
      const std::vector<float> out = run_image(op, in, s, QZ_STATUS_INVALID_ARGUMENT);
      EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) {
        return std::memcmp(&v, "\xC7\xC7\xC7\xC7", 4) == 0;
      }));
    }
  run_linear(in, 2, 0, 1, QZ_STATUS_INVALID_ARGUMENT);
}

INSTANTIATE_TEST_SUITE_P(Backends, Resize, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST(ResizeFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const operand in = place<float>(h, {1, 2, 3, 4}, 0), out = place<float>(h, {7, 7, 7, 7}, 0);
  h.fake()->fail_map = true;
  const qz_ypu_resize_bicubic_f32_params_t cubic{out.buffer, in.buffer, 2, 2, 2, 2, 1};
  const qz_ypu_resize_bilinear_f32_params_t bilinear{out.buffer, in.buffer, 2, 2, 2, 2, 1};
  const qz_ypu_resize_linear_f32_params_t linear{out.buffer, in.buffer, 4, 4, 1};
  EXPECT_NE(h.run(QZ_YPU_OP_RESIZE_BICUBIC_F32, &cubic), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_RESIZE_BILINEAR_F32, &bilinear), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_RESIZE_LINEAR_F32, &linear), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<float>(h, out), (std::vector<float>{7, 7, 7, 7}));
}

}  // namespace
