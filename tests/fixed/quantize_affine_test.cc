// Per-row quantisation of floats to int16 (op 55) and the per-column affine
// map of int16 values (op 81).
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/operands.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using i16 = std::vector<int16_t>;
using f32 = std::vector<float>;

class FixedQuantize : public testing::TestWithParam<ypu_backend> {};
class FixedAffine : public testing::TestWithParam<ypu_backend> {};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The factor that turns a row's codes back into values: m / (31 x 2^17),
// formed in double and rounded once.
float factor_of(double largest) { return static_cast<float>(largest / (31.0 * 131072.0)); }

struct quantize_case {
  const char *name;
  int32_t rows, cols;
  f32 in;
  i16 out;
  f32 factors;
};

TEST_P(FixedQuantize, ScalesEachRowToItsLargestMagnitude) {
  const quantize_case cases[] = {
      {"two_columns", 1, 2, {1.0f, -0.5f}, {31744, -15872}, {factor_of(1.0)}},
      // Rows with different maxima; the fractions truncate towards zero.
      {"rows", 3, 3,
       {1.0f, -0.5f, 0.25f, 0.3f, -2.0f, 1.1f, 0.7f, -3.3f, 4.0f},
       {31744, -15872, 7936, 4761, -31744, 17459, 5555, -26188, 31744},
       {factor_of(1.0), factor_of(2.0), factor_of(4.0)}},
      // A zero row (negative zeros included) gives zeros and factor 0, with no NaN.
      {"zero_row", 2, 3, {0.0f, -0.0f, 0.0f, 2.0f, 0.0f, -1.0f}, {0, 0, 0, 31744, 0, -15872},
       {0.0f, factor_of(2.0)}},
      // NaN never becomes the maximum and quantises to 0.
      {"nan_element", 1, 3, {kNaN, 2.0f, -1.0f}, {0, 31744, -15872}, {factor_of(2.0)}},
      // 31 / m overflows to infinity: nonzero values saturate, zeros stay 0.
      {"magnitude_below_31_over_max", 1, 3, {1e-40f, 0.0f, -1e-40f}, {32767, 0, -32768}, {0.0f}},
      // An infinite maximum makes t = 0: every code is 0 and the factor infinite.
      {"infinite_element", 1, 2, {kInf, 1.0f}, {0, 0}, {kInf}},
  };
  for (const quantize_case &c : cases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    auto out = place(h, i16(c.out.size(), 0x1111), 2);
    auto factors = place(h, f32(c.factors.size(), 9.0f), 4);
    auto in = place(h, c.in, 8);
    const qz_ypu_quantize_rows_i16_params_t params{
        .out = out.buffer, .factors = factors.buffer, .in = in.buffer, .rows = c.rows,
        .cols = c.cols, .out_offset = out.offset, .factors_offset = factors.offset,
        .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_QUANTIZE_ROWS_I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), c.out);
    EXPECT_EQ(values_of(h, factors), c.factors);
    EXPECT_TRUE(guards_intact(h, out));
    EXPECT_TRUE(guards_intact(h, factors));
  }
}

TEST_P(FixedQuantize, NoColumnsClearsTheFactorsOnly) {
  ypu_harness h(GetParam());
  auto out = place(h, i16{5, 6}, 2);
  auto factors = place(h, f32{9.0f, 9.0f, 9.0f}, 4);
  auto in = place(h, f32{1.0f, 2.0f}, 8);
  for (int32_t cols : {0, -1}) {
    const qz_ypu_quantize_rows_i16_params_t params{
        .out = out.buffer, .factors = factors.buffer, .in = in.buffer, .rows = 3, .cols = cols,
        .out_offset = out.offset, .factors_offset = factors.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_QUANTIZE_ROWS_I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, factors), (f32{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(values_of(h, out), (i16{5, 6}));
    EXPECT_TRUE(guards_intact(h, out));
    EXPECT_TRUE(guards_intact(h, factors));
  }
}

struct affine_case {
  const char *name;
  int32_t rows, cols;
  i16 in, offsets, scales, out;
};

TEST_P(FixedAffine, MapsEachColumn) {
  const affine_case cases[] = {
      // The difference leaves the int16 range and the result saturates.
      {"difference_saturates_high", 1, 1, {INT16_MAX}, {INT16_MIN}, {1024}, {INT16_MAX}},
      {"difference_saturates_low", 1, 1, {INT16_MIN}, {INT16_MAX}, {1024}, {INT16_MIN}},
      // The largest products, 65535 x -32768 and -65535 x -32768, still fit in 32 bits.
      {"extreme_negative_product", 1, 1, {INT16_MAX}, {INT16_MIN}, {INT16_MIN}, {INT16_MIN}},
      {"extreme_positive_product", 1, 1, {INT16_MIN}, {INT16_MAX}, {INT16_MIN}, {INT16_MAX}},
      // The shift rounds towards minus infinity.
      {"shift_floors", 4, 1, {3, -3, 1, -1}, {0}, {1000}, {2, -3, 0, -1}},
      {"per_column", 2, 3,
       {100, 20, 0, -7, -10, 5}, {0, 10, -5}, {1024, 512, 2048}, {100, 5, 10, -7, -10, 20}},
  };
  for (const affine_case &c : cases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    auto out = place(h, i16(c.out.size(), 0x1111), 6);
    auto in = place(h, c.in, 2);
    // The offsets and scales have no offset fields: they start their buffers.
    auto offsets = place(h, c.offsets, 0);
    auto scales = place(h, c.scales, 0);
    const qz_ypu_affine_columns_i16_params_t params{
        .out = out.buffer, .in = in.buffer, .offsets = offsets.buffer, .scales = scales.buffer,
        .rows = c.rows, .cols = c.cols, .out_offset = out.offset, .in_offset = in.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_AFFINE_COLUMNS_I16, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(values_of(h, out), c.out);
    EXPECT_TRUE(guards_intact(h, out));
  }
}

TEST_P(FixedAffine, InPlace) {
  ypu_harness h(GetParam());
  auto data = place(h, i16{100, -7, 20, -10}, 4);
  auto offsets = place(h, i16{0, 10}, 0);
  auto scales = place(h, i16{1024, 512}, 0);
  const qz_ypu_affine_columns_i16_params_t params{
      .out = data.buffer, .in = data.buffer, .offsets = offsets.buffer, .scales = scales.buffer,
      .rows = 2, .cols = 2, .out_offset = data.offset, .in_offset = data.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_AFFINE_COLUMNS_I16, &params), QZ_STATUS_SUCCESS);
  EXPECT_EQ(values_of(h, data), (i16{100, -9, 20, -10}));
  EXPECT_TRUE(guards_intact(h, data));
}

QZ_FIXED_BACKENDS(FixedQuantize);
QZ_FIXED_BACKENDS(FixedAffine);

}  // namespace
