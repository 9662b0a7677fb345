#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "cpu_elementwise/runner.h"
#include "support/error_stack.h"
#include "ypu/params.h"

namespace {

struct conv_shape {
  int32_t stride, pad, batch, out_channels, in_channels, in_height, in_width, kernel_height, kernel_width;
};

int64_t extent(int32_t size, int32_t pad, int32_t kernel, int32_t stride) {
  return (int64_t{size} + 2 * pad - kernel) / stride + 1;
}

size_t out_count(const conv_shape &s) {
  const int64_t h = extent(s.in_height, s.pad, s.kernel_height, s.stride);
  const int64_t w = extent(s.in_width, s.pad, s.kernel_width, s.stride);
  return h > 0 && w > 0 ? size_t(s.batch) * s.out_channels * h * w : 0;
}

std::vector<float> run_conv(int32_t threads, uint32_t isa, const conv_shape &s, const std::vector<float> &in,
                            const std::vector<float> &w, size_t outputs,
                            qz_status_t expect = QZ_STATUS_SUCCESS) {
  op_runner r(threads, isa);
  const slot si = r.input(in, false), sw = r.input(w, false);
  const slot so = r.output<float>(outputs, false);
  const qz_ypu_conv2d_f32_params_t p{so.buffer,      si.buffer,   sw.buffer,   s.stride,
                                     s.pad,          s.batch,     s.out_channels, s.in_channels,
                                     s.in_height,    s.in_width,  s.kernel_height, s.kernel_width};
  EXPECT_EQ(r.run(QZ_YPU_OP_CONV2D_F32, &p), expect);
  return r.result<float>(so);
}

// Channels around the 4- and 8-lane steps; strides, pads and kernels mixed.
constexpr conv_shape kShapes[] = {
    {1, 0, 1, 2, 3, 5, 5, 3, 3},   {1, 1, 2, 3, 4, 6, 5, 3, 3},  {2, 1, 1, 2, 8, 7, 6, 3, 3},
    {1, 0, 2, 5, 16, 4, 4, 1, 1},  {2, 0, 1, 3, 12, 5, 7, 2, 3}, {1, 2, 3, 1, 9, 3, 3, 3, 3},
    {3, 1, 1, 4, 24, 9, 9, 4, 4},
};

class Conv2d : public testing::TestWithParam<isa_variant> {};

TEST_P(Conv2d, MatchesTheHostUpToSummationOrder) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  for (const conv_shape &s : kShapes) {
    const uint32_t seed = 13000u + s.in_channels * 10 + s.stride;
    const auto in = random_floats(size_t(s.batch) * s.in_channels * s.in_height * s.in_width, seed);
    const auto w = random_floats(size_t(s.out_channels) * s.in_channels * s.kernel_height * s.kernel_width,
                                 seed + 1);
    const size_t outputs = out_count(s);
    const auto host = run_conv(0, 0, s, in, w, outputs);
    // Sums of kernel_height x kernel_width x in_channels products of values
    // in [-2, 2]: a reordering moves each by at most terms x eps x 4 x terms.
    const double terms = double(s.kernel_height) * s.kernel_width * s.in_channels;
    const double bound = terms * 1.2e-7 * 4.0 * terms;
    std::vector<float> first;
    for (int32_t threads : kThreadCounts) {
      SCOPED_TRACE(testing::Message() << "channels=" << s.in_channels << " stride=" << s.stride
                                      << " seed=" << seed << " threads=" << threads);
      const auto got = run_conv(threads, GetParam().mask, s, in, w, outputs);
      if (first.empty()) first = got;
      EXPECT_TRUE(same_bits(got, first));
      for (size_t i = 0; i < outputs; ++i) ASSERT_NEAR(got[i], host[i], bound) << "output " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cpu, Conv2d, testing::ValuesIn(kIsaVariants), variant_name);

// One channel, 3x3 input, 2x2 kernel of ones, pad 1: every output is the
// sum of the input values under the window.
TEST(Conv2d, HandComputedWindowSums) {
  const conv_shape s{1, 1, 1, 1, 1, 3, 3, 2, 2};
  const std::vector<float> in = {1, 2, 3, 4, 5, 6, 7, 8, 9}, w = {1, 1, 1, 1};
  const auto got = run_conv(2, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41, s, in, w, 16);
  EXPECT_EQ(got, (std::vector<float>{1, 3, 5, 3, 5, 12, 16, 9, 11, 24, 28, 15, 7, 15, 17, 9}));
}

// Shapes the channel-last copy cannot take go to the host: a kernel taller
// than the padded input with stride 2 (truncating division still gives one
// output row), a negative pad, a zero stride. The results are the host's.
TEST(Conv2d, ShapesBeyondTheCopyAreTheHosts) {
  struct declined {
    conv_shape shape;
    qz_status_t status;
  };
  const declined cases[] = {
      {{2, 0, 1, 2, 8, 3, 5, 4, 3}, QZ_STATUS_SUCCESS},
      {{1, -1, 1, 2, 8, 6, 6, 3, 3}, QZ_STATUS_SUCCESS},
      {{0, 0, 1, 2, 8, 6, 6, 3, 3}, QZ_STATUS_INVALID_ARGUMENT},
  };
  for (const declined &c : cases) {
    const conv_shape &s = c.shape;
    const auto in = random_floats(size_t(s.batch) * s.in_channels * s.in_height * s.in_width, 5);
    const auto w = random_floats(size_t(s.out_channels) * s.in_channels * s.kernel_height * s.kernel_width, 6);
    const size_t outputs = s.stride > 0 ? out_count(s) : 4;
    const auto host = run_conv(0, 0, s, in, w, outputs, c.status);
    const auto got = run_conv(4, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41, s, in, w, outputs, c.status);
    EXPECT_TRUE(same_bits(got, host)) << "stride=" << s.stride << " pad=" << s.pad;
    take_error_stack();
  }
}

TEST(Conv2d, ScratchFailureReportsAndWritesNothing) {
  const conv_shape s{1, 1, 1, 2, 8, 4, 4, 3, 3};
  const auto in = random_floats(8 * 16, 1), w = random_floats(2 * 8 * 9, 2);
  for (int fail_at : {1, 2}) {
    op_runner r(1, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41);
    const slot si = r.input(in, false), sw = r.input(w, false), so = r.output<float>(out_count(s), false);
    const qz_ypu_conv2d_f32_params_t p{so.buffer, si.buffer, sw.buffer, s.stride, s.pad, s.batch,
                                       s.out_channels, s.in_channels, s.in_height, s.in_width,
                                       s.kernel_height, s.kernel_width};
    take_error_stack();
    qz_alloc_fail_at(fail_at);
    EXPECT_EQ(r.run(QZ_YPU_OP_CONV2D_F32, &p), QZ_STATUS_OUT_OF_MEMORY) << "allocation " << fail_at;
    qz_alloc_fail_at(0);
    EXPECT_EQ(take_error_stack(),
              std::vector<std::string>{"0633a7d 00000324: Failed to allocate, out of memory."});
    for (float x : r.result<float>(so)) ASSERT_TRUE(std::isnan(x));
  }
}

}  // namespace
