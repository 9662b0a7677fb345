// int8 x int16 linear layers, written (op 20) and added into the output
// (op 19): rounding of the division by 128, saturation, and the 32-bit
// wrap of the accumulator.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/operands.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using i8 = std::vector<int8_t>;
using i16 = std::vector<int16_t>;

class FixedLinear : public testing::TestWithParam<ypu_backend> {};

struct linear_case {
  const char *name;
  uint32_t op;
  int32_t rows, out_features, in_features;
  i16 in;
  i8 weights, bias;
  i16 out_before, out_after;
};

// 513 inputs whose products sum to 2^31 - 64: the sum wraps past INT32_MIN and
// back, then adding the rounding 64 wraps once more, to INT32_MIN.
linear_case rounding_wraps_case() {
  linear_case c{"rounding_add_wraps", QZ_YPU_OP_LINEAR_I8I16, 1, 1, 513,
                i16(513, INT16_MIN), i8(513, INT8_MIN), {0}, {7}, {INT16_MIN}};
  c.in.back() = -64;
  c.weights.back() = 1;
  return c;
}

TEST_P(FixedLinear, MatchesHandComputedValues) {
  constexpr uint32_t kWrite = QZ_YPU_OP_LINEAR_I8I16, kAdd = QZ_YPU_OP_LINEAR_ACC_I8I16;
  const linear_case cases[] = {
      // acc = in x weight with a zero bias: (acc + 64) >> 7 rounds halves up.
      {"acc_64", kWrite, 1, 1, 1, {64}, {1}, {0}, {7}, {1}},
      {"acc_63", kWrite, 1, 1, 1, {63}, {1}, {0}, {7}, {0}},
      {"acc_minus_64", kWrite, 1, 1, 1, {-64}, {1}, {0}, {7}, {0}},
      {"acc_minus_65", kWrite, 1, 1, 1, {-65}, {1}, {0}, {7}, {-1}},
      {"acc_2_pow_22_saturates", kWrite, 1, 1, 1, {INT16_MIN}, {INT8_MIN}, {0}, {7}, {INT16_MAX}},
      {"saturates_low", kWrite, 1, 1, 1, {INT16_MIN}, {INT8_MAX}, {INT8_MIN}, {7}, {INT16_MIN}},
      {"bias_times_1024", kWrite, 1, 1, 1, {0}, {9}, {1}, {7}, {8}},
      {"no_inputs", kWrite, 1, 1, 0, {}, {}, {-3}, {7}, {-24}},
      {"no_inputs_acc", kAdd, 1, 1, 0, {}, {}, {-3}, {7}, {-17}},
      // Two rows by two features: bias per feature, weights one row per feature.
      {"matrix", kWrite, 2, 2, 3,
       {100, -200, 300, 1, 2, 3}, {1, 2, 3, -4, 5, 6}, {1, -1}, {7, 7, 7, 7}, {13, -5, 8, -8}},
      {"matrix_acc", kAdd, 2, 2, 3,
       {100, -200, 300, 1, 2, 3}, {1, 2, 3, -4, 5, 6}, {1, -1},
       {100, 200, -300, 400}, {113, 195, -292, 392}},
      // The old value plus v saturates, not v alone.
      {"acc_saturates_high", kAdd, 1, 1, 1, {0}, {1}, {125}, {32000}, {INT16_MAX}},
      {"acc_saturates_low", kAdd, 1, 1, 1, {0}, {1}, {-125}, {-32000}, {INT16_MIN}},
      {"acc_sums_before_saturating", kAdd, 1, 1, 1, {INT16_MIN}, {INT8_MIN}, {0}, {INT16_MIN}, {0}},
      // 512 products of 2^22 wrap to INT32_MIN, far below the int16 range.
      {"sum_wraps", kWrite, 1, 1, 512, i16(512, INT16_MIN), i8(512, INT8_MIN), {0}, {7}, {INT16_MIN}},
      rounding_wraps_case(),
  };
  for (const linear_case &c : cases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    auto out = place(h, c.out_before, 6);
    auto in = place(h, c.in, 4);
    // The weights and bias have no offset fields: they start their buffers.
    auto weights = place(h, c.weights, 0);
    auto bias = place(h, c.bias, 0);
    const qz_ypu_linear_i8i16_params_t params{
        .out = out.buffer, .in = in.buffer, .weights = weights.buffer, .bias = bias.buffer,
        .rows = c.rows, .out_features = c.out_features, .in_features = c.in_features,
        .out_offset = out.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(c.op, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), c.out_after);
    EXPECT_TRUE(guards_intact(h, out));
  }
}

TEST_P(FixedLinear, AccumulatingTwiceAddsTwice) {
  ypu_harness h(GetParam());
  auto out = place(h, i16{30000}, 2);
  auto in = place(h, i16{0}, 2);
  auto weights = place(h, i8{0}, 0);
  auto bias = place(h, i8{125}, 0);  // v = 1000
  const qz_ypu_linear_acc_i8i16_params_t params{
      .out = out.buffer, .in = in.buffer, .weights = weights.buffer, .bias = bias.buffer,
      .rows = 1, .out_features = 1, .in_features = 1, .out_offset = 2, .in_offset = 2};
  for (int16_t expected : {31000, 32000, 32767, 32767}) {
    ASSERT_EQ(h.run(QZ_YPU_OP_LINEAR_ACC_I8I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), i16{expected});
  }
}

QZ_FIXED_BACKENDS(FixedLinear);

}  // namespace
