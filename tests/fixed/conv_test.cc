// Fixed-point 1-D convolutions: depthwise accumulate (op 10), full (op 11)
// and depthwise transposed (op 12), against hand-computed fixtures.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/operands.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using i8 = std::vector<int8_t>;
using i16 = std::vector<int16_t>;
using i32 = std::vector<int32_t>;

class FixedConv : public testing::TestWithParam<ypu_backend> {};

// Operand offsets differ from one another so that a mixed-up offset shows.
constexpr int32_t kOutOffset = 8, kWeightsOffset = 3, kInOffset = 6;

struct dwconv_case {
  const char *name;
  int32_t rows, channels, taps;
  i16 in;
  i8 weights;
  i32 out_before, out_after;
};

TEST_P(FixedConv, DepthwiseAccumulates) {
  const dwconv_case cases[] = {
      {"one_channel", 1, 1, 2, {3, 4}, {2, -1}, {10}, {12}},
      {"two_rows_two_channels", 2, 2, 2,
       {1, -2, 3, 4, -5, 6}, {2, 3, -1, 5}, {100, 200, -7, 0}, {99, 214, 4, 42}},
      // 2^22 pushed past INT32_MAX and below INT32_MIN wraps around.
      {"wraps_up", 1, 1, 1, {INT16_MIN}, {INT8_MIN}, {INT32_MAX - (1 << 22) + 1}, {INT32_MIN}},
      {"wraps_down", 1, 1, 1, {INT16_MIN}, {INT8_MAX}, {INT32_MIN}, {INT32_MAX - 4161536 + 1}},
      {"no_taps", 1, 1, 0, {5}, {}, {17}, {17}},
      {"no_rows", 0, 1, 1, {5}, {1}, {17}, {17}},
  };
  for (const dwconv_case &c : cases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    auto out = place(h, c.out_before, kOutOffset);
    auto weights = place(h, c.weights, kWeightsOffset);
    auto in = place(h, c.in, kInOffset);
    const qz_ypu_dwconv1d_acc_i8i16_params_t params{
        .out = out.buffer, .weights = weights.buffer, .in = in.buffer,
        .rows = c.rows, .channels = c.channels, .taps = c.taps,
        .out_offset = out.offset, .weights_offset = weights.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_DWCONV1D_ACC_I8I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), c.out_after);
    EXPECT_TRUE(guards_intact(h, out));
  }
}

struct conv_case {
  const char *name;
  int32_t rows, out_channels, in_channels, taps;
  i16 in;
  i8 weights;
  i32 out;
};

TEST_P(FixedConv, FullConvolutionOverwrites) {
  const conv_case cases[] = {
      // One tap: a plain matrix product of the input with the weights' transpose.
      {"one_tap_matrix_product", 2, 2, 3, 1,
       {1, 2, 3, -4, 5, -6}, {1, 0, -1, 2, -3, 4}, {-2, 8, 2, -47}},
      // Two taps: each output reads its input row and the next one.
      {"two_taps", 2, 2, 2, 2,
       {1, 2, 3, -1, 0, 4}, {1, -2, 3, 1, 0, 1, 0, 1}, {5, 1, 9, 3}},
      {"no_taps_writes_zeros", 2, 2, 3, 0, {}, {}, {0, 0, 0, 0}},
      {"no_input_channels_writes_zeros", 2, 1, 0, 2, {}, {}, {0, 0}},
  };
  for (const conv_case &c : cases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    auto out = place(h, i32(c.out.size(), 0x7777), kOutOffset);
    auto weights = place(h, c.weights, kWeightsOffset);
    auto in = place(h, c.in, kInOffset);
    const qz_ypu_conv1d_i8i16_params_t params{
        .out = out.buffer, .weights = weights.buffer, .in = in.buffer, .rows = c.rows,
        .out_channels = c.out_channels, .in_channels = c.in_channels, .taps = c.taps,
        .out_offset = out.offset, .weights_offset = weights.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_CONV1D_I8I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), c.out);
    EXPECT_TRUE(guards_intact(h, out));
  }
}

TEST_P(FixedConv, FullConvolutionSumWrapsInThirtyTwoBits) {
  // 512 products of 2^22 make 2^31, one past INT32_MAX; 1024 make 2^32.
  for (const auto &[length, expected] : {std::pair{512, INT32_MIN}, std::pair{1024, 0}}) {
    SCOPED_TRACE(length);
    ypu_harness h(GetParam());
    auto out = place(h, i32{1}, kOutOffset);
    auto weights = place(h, i8(length, INT8_MIN), kWeightsOffset);
    auto in = place(h, i16(length, INT16_MIN), kInOffset);
    const qz_ypu_conv1d_i8i16_params_t params{
        .out = out.buffer, .weights = weights.buffer, .in = in.buffer, .rows = 1,
        .out_channels = 1, .in_channels = length, .taps = 1,
        .out_offset = out.offset, .weights_offset = weights.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_CONV1D_I8I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), i32{expected});
  }
}

struct transposed_case {
  const char *name;
  int32_t rows, channels, taps, stride;
  i16 in;
  i8 weights;
  i32 out_before, out_after;
};

TEST_P(FixedConv, TransposedAddsIntoTheOutput) {
  const transposed_case cases[] = {
      {"zeroed_output", 2, 1, 2, 2, {1, 2}, {3, 5}, {0, 0, 0, 0}, {3, 5, 6, 10}},
      {"filled_output", 2, 1, 2, 2, {1, 2}, {3, 5}, {1, 1, 1, 1}, {4, 6, 7, 11}},
      // Overlapping taps with two channels.
      {"stride_one", 2, 2, 3, 1,
       {1, -1, 2, 3}, {1, 2, 3, 4, 5, 6}, i32(8, 0), {1, -2, 5, 2, 11, 6, 10, 18}},
      // A stride above the tap count leaves rows between the inputs' spans alone.
      {"stride_past_taps", 2, 1, 2, 3,
       {1, 2}, {3, 5}, {100, 100, 100, 100, 100}, {103, 105, 100, 106, 110}},
      // Stride 0 stacks every input row onto the same taps rows.
      {"stride_zero", 2, 1, 2, 0, {1, 2}, {3, 5}, {0, 0}, {9, 15}},
      {"wraps", 1, 1, 1, 1, {INT16_MIN}, {INT8_MIN}, {INT32_MAX}, {INT32_MIN + (1 << 22) - 1}},
  };
  for (const transposed_case &c : cases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    auto out = place(h, c.out_before, kOutOffset);
    auto weights = place(h, c.weights, kWeightsOffset);
    auto in = place(h, c.in, kInOffset);
    const qz_ypu_dwconv1d_transposed_i8i16_params_t params{
        .out = out.buffer, .weights = weights.buffer, .in = in.buffer, .rows = c.rows,
        .channels = c.channels, .taps = c.taps, .stride = c.stride,
        .out_offset = out.offset, .weights_offset = weights.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, &params), QZ_STATUS_SUCCESS);
    // The CPU entry takes strides of at least 1 that divide the taps, and it
    // overwrites the output with the sums instead of adding into it.
    const bool cpu_entry = (GetParam() == ypu_backend::cpu || GetParam() == ypu_backend::cpu_pool) &&
                           c.stride >= 1 && c.taps % c.stride == 0;
    i32 want = c.out_after;
    if (cpu_entry)
      for (size_t i = 0; i < want.size(); ++i)
        want[i] = static_cast<int32_t>(static_cast<uint32_t>(want[i]) -
                                       static_cast<uint32_t>(c.out_before[i]));
    EXPECT_EQ(values_of(h, out), want);
    EXPECT_TRUE(guards_intact(h, out));
  }
}

TEST_P(FixedConv, TransposedRefusesNegativeStride) {
  ypu_harness h(GetParam());
  auto out = place(h, i32{1, 2, 3, 4}, kOutOffset);
  auto weights = place(h, i8{3, 5}, kWeightsOffset);
  auto in = place(h, i16{1, 2}, kInOffset);
  const qz_ypu_dwconv1d_transposed_i8i16_params_t params{
      .out = out.buffer, .weights = weights.buffer, .in = in.buffer, .rows = 2,
      .channels = 1, .taps = 2, .stride = -2,
      .out_offset = out.offset, .weights_offset = weights.offset, .in_offset = in.offset};
  EXPECT_EQ(h.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, &params), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(values_of(h, out), (i32{1, 2, 3, 4}));
  EXPECT_TRUE(guards_intact(h, out));
}

QZ_FIXED_BACKENDS(FixedConv);

}  // namespace
