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

struct conv_shape {
  int32_t stride, pad, batch, out_channels, in_channels, in_height, in_width, kernel_height,
      kernel_width;
  int32_t out_height() const { return (in_height + 2 * pad - kernel_height) / stride + 1; }
  int32_t out_width() const { return (in_width + 2 * pad - kernel_width) / stride + 1; }
};

std::vector<float> values(size_t count, int step, int modulus) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = float(int(i * step % modulus) - modulus / 2);
  return v;
}

// Direct definition: a sum over input channels and kernel taps of in-range
// positions, in double (exact for these small integers).
std::vector<float> reference(const conv_shape &s, const std::vector<float> &in,
                             const std::vector<float> &w) {
  const int oh = s.out_height(), ow = s.out_width();
  std::vector<float> out;
  for (int n = 0; n < s.batch; ++n)
    for (int co = 0; co < s.out_channels; ++co)
      for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox) {
          double sum = 0;
          for (int ci = 0; ci < s.in_channels; ++ci)
            for (int ky = 0; ky < s.kernel_height; ++ky)
              for (int kx = 0; kx < s.kernel_width; ++kx) {
                const int iy = oy * s.stride - s.pad + ky, ix = ox * s.stride - s.pad + kx;
                if (iy < 0 || iy >= s.in_height || ix < 0 || ix >= s.in_width) continue;
                sum += double(in[((n * s.in_channels + ci) * s.in_height + iy) * s.in_width + ix]) *
                       w[((co * s.in_channels + ci) * s.kernel_height + ky) * s.kernel_width + kx];
              }
          out.push_back(float(sum));
        }
  return out;
}

class Conv2d : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
};

TEST_P(Conv2d, MatchesDirectDefinition) {
  const struct {
    conv_shape shape;
    int32_t expected_height, expected_width;
  } cases[] = {
      {{1, 1, 2, 3, 2, 5, 5, 3, 3}, 5, 5},  // 3 x 3, stride 1, pad 1 keeps the size
      {{2, 0, 1, 2, 2, 5, 5, 3, 3}, 2, 2},  // stride 2, pad 0 on 5 x 5
      {{2, 1, 2, 1, 3, 4, 6, 3, 3}, 2, 3},  // stride 2 with padding
      {{1, 0, 1, 2, 1, 3, 4, 2, 3}, 2, 2},  // a kernel that is not square
      {{3, 2, 1, 1, 1, 2, 2, 1, 1}, 2, 2},  // outputs that see only padding stay 0
  };
  for (const auto &c : cases) {
    const conv_shape &s = c.shape;
    SCOPED_TRACE(testing::Message() << "stride " << s.stride << " pad " << s.pad);
    ASSERT_EQ(s.out_height(), c.expected_height);
    ASSERT_EQ(s.out_width(), c.expected_width);
    const auto in = values(size_t(s.batch) * s.in_channels * s.in_height * s.in_width, 5, 17);
    const auto w =
        values(size_t(s.out_channels) * s.in_channels * s.kernel_height * s.kernel_width, 3, 7);
    const operand oi = place(h, in, 0), ow = place(h, w, 0);
    const operand out = place_blank<float>(
        h, size_t(s.batch) * s.out_channels * s.out_height() * s.out_width(), 0);
    const qz_ypu_conv2d_f32_params_t p{
        .out = out.buffer, .in = oi.buffer, .weights = ow.buffer, .stride = s.stride,
        .pad = s.pad, .batch = s.batch, .out_channels = s.out_channels,
        .in_channels = s.in_channels, .in_height = s.in_height, .in_width = s.in_width,
        .kernel_height = s.kernel_height, .kernel_width = s.kernel_width};
    ASSERT_EQ(h.run(QZ_YPU_OP_CONV2D_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<float>(h, out), reference(s, in, w));
    expect_guards(h, out);
  }
}

// Each output adds its products one at a time, input channel outermost: with
// channels holding 1e8, 1 and -1e8 the 1 is lost (another order keeps it).
TEST_P(Conv2d, AccumulatesInChannelOrder) {
  const operand in = place<float>(h, {1e8f, 1.0f, -1e8f}, 0), w = place<float>(h, {1, 1, 1}, 0);
  const operand out = place_blank<float>(h, 1, 0);
  const qz_ypu_conv2d_f32_params_t p{.out = out.buffer, .in = in.buffer, .weights = w.buffer,
                                     .stride = 1, .pad = 0, .batch = 1, .out_channels = 1,
                                     .in_channels = 3, .in_height = 1, .in_width = 1,
                                     .kernel_height = 1, .kernel_width = 1};
  ASSERT_EQ(h.run(QZ_YPU_OP_CONV2D_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, out), std::vector<float>{0.0f});
}

// The output size divides by the stride: a stride of 0 (or less) is refused
// and nothing is written.
TEST_P(Conv2d, NonPositiveStrideIsRejected) {
  const std::vector<float> before = {3, 3, 3, 3};
  const operand in = place<float>(h, {1, 2, 3, 4}, 0), w = place<float>(h, {1}, 0);
  const operand out = place(h, before, 0);
  for (const int32_t stride : {0, -1}) {
    const qz_ypu_conv2d_f32_params_t p{.out = out.buffer, .in = in.buffer, .weights = w.buffer,
                                       .stride = stride, .pad = 0, .batch = 1,
                                       .out_channels = 1, .in_channels = 1, .in_height = 2,
                                       .in_width = 2, .kernel_height = 1, .kernel_width = 1};
    EXPECT_EQ(h.run(QZ_YPU_OP_CONV2D_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fetch<float>(h, out), before);
    expect_guards(h, out);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Conv2d, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST(Conv2dFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const operand in = place<float>(h, {1}, 0), w = place<float>(h, {1}, 0);
  const operand out = place<float>(h, {7}, 0);
  h.fake()->fail_map = true;
  const qz_ypu_conv2d_f32_params_t p{out.buffer, in.buffer, w.buffer, 1, 0, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_NE(h.run(QZ_YPU_OP_CONV2D_F32, &p), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<float>(h, out), std::vector<float>{7});
}

}  // namespace
