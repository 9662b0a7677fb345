// Sizes and offsets that no buffer can satisfy are refused before anything
// is mapped or indexed (their products would wrap 32-bit arithmetic), and a
// failed mapping is reported instead of dereferenced.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/operands.h"
#include "support/error_stack.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

class FixedLimits : public testing::TestWithParam<ypu_backend> {};

// Runs one op with `out` as its output and `any` for every other operand.
using runner = std::function<qz_status_t(ypu_harness &, qz_ypu_buffer_t *out, int32_t out_offset,
                                         qz_ypu_buffer_t *any)>;

struct limit_case {
  const char *name;
  const char *argument;  // the operand the refusal names
  runner run;
};

template <class Params>
qz_status_t run_op(ypu_harness &h, uint32_t op, const Params &params) {
  return h.run(op, &params);
}

const limit_case kCases[] = {
    {"dwconv_rows_times_channels", "out",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_DWCONV1D_ACC_I8I16,
                     qz_ypu_dwconv1d_acc_i8i16_params_t{
                         .out = out, .weights = any, .in = any, .rows = 65536,
                         .channels = 8192, .taps = 1, .out_offset = offset});
     }},
    {"dwconv_rows_plus_taps", "in",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_DWCONV1D_ACC_I8I16,
                     qz_ypu_dwconv1d_acc_i8i16_params_t{
                         .out = out, .weights = any, .in = any, .rows = 1,
                         .channels = 1, .taps = INT32_MAX, .out_offset = offset});
     }},
    {"conv_weights_three_factors", "weights",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_CONV1D_I8I16,
                     qz_ypu_conv1d_i8i16_params_t{
                         .out = out, .weights = any, .in = any, .rows = 1,
                         .out_channels = 65536, .in_channels = 65536, .taps = 65536,
                         .out_offset = offset});
     }},
    {"conv_negative_offset", "in",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_CONV1D_I8I16,
                     qz_ypu_conv1d_i8i16_params_t{
                         .out = out, .weights = any, .in = any, .rows = 1, .out_channels = 1,
                         .in_channels = 1, .taps = 1, .out_offset = offset, .in_offset = -2});
     }},
    {"transposed_rows_times_stride", "out",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16,
                     qz_ypu_dwconv1d_transposed_i8i16_params_t{
                         .out = out, .weights = any, .in = any, .rows = 65537,
                         .channels = 1, .taps = 1, .stride = 65536, .out_offset = offset});
     }},
    {"linear_in_features", "in",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_LINEAR_I8I16,
                     qz_ypu_linear_i8i16_params_t{
                         .out = out, .in = any, .weights = any, .bias = any, .rows = 1,
                         .out_features = 1, .in_features = INT32_MAX, .out_offset = offset});
     }},
    {"linear_acc_output_offset", "out",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_LINEAR_ACC_I8I16,
                     qz_ypu_linear_acc_i8i16_params_t{
                         .out = out, .in = any, .weights = any, .bias = any, .rows = 1,
                         .out_features = 1, .in_features = 1, .out_offset = INT32_MAX - 1});
     }},
    {"lstm_three_gate_parts", "gates",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_LSTM_CELL_I16,
                     qz_ypu_lstm_cell_i16_params_t{.out = out, .state = any, .gates = any,
                                                   .hidden = 1 << 29, .out_offset = offset});
     }},
    {"quantize_float_bytes", "in",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_QUANTIZE_ROWS_I16,
                     qz_ypu_quantize_rows_i16_params_t{
                         .out = out, .factors = any, .in = any, .rows = 1 << 20,
                         .cols = 1 << 9, .out_offset = offset});
     }},
    {"affine_columns", "out",
     [](ypu_harness &h, qz_ypu_buffer_t *out, int32_t offset, qz_ypu_buffer_t *any) {
       return run_op(h, QZ_YPU_OP_AFFINE_COLUMNS_I16,
                     qz_ypu_affine_columns_i16_params_t{
                         .out = out, .in = any, .offsets = any, .scales = any, .rows = 3,
                         .cols = 1 << 30, .out_offset = offset});
     }},
};

TEST_P(FixedLimits, RefusesOperandsNoBufferCanHold) {
  for (const limit_case &c : kCases) {
    SCOPED_TRACE(c.name);
    ypu_harness h(GetParam());
    take_error_stack();
    auto out = place(h, std::vector<int32_t>{1, 2, 3, 4}, 4);
    auto any = place(h, std::vector<int32_t>{5, 6, 7, 8}, 0);
    EXPECT_EQ(c.run(h, out.buffer, out.offset, any.buffer), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(values_of(h, out), (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(guards_intact(h, out));
    const std::vector<std::string> stack = take_error_stack();
    ASSERT_EQ(stack.size(), 1u);
    EXPECT_NE(stack[0].find("Argument `" + std::string(c.argument) + "` is invalid."),
              std::string::npos)
        << stack[0];
  }
}

TEST(FixedLimitsFake, FailedMappingIsAFailureStatus) {
  ypu_harness h(ypu_backend::fake);
  auto out = place(h, std::vector<int16_t>{1, 2}, 2);
  auto any = place(h, std::vector<int16_t>{3, 4}, 0);
  h.fake()->fail_map = true;
  const qz_ypu_linear_i8i16_params_t params{
      .out = out.buffer, .in = any.buffer, .weights = any.buffer, .bias = any.buffer,
      .rows = 1, .out_features = 2, .in_features = 2, .out_offset = out.offset};
  EXPECT_NE(h.run(QZ_YPU_OP_LINEAR_I8I16, &params), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(values_of(h, out), (std::vector<int16_t>{1, 2}));
}

QZ_FIXED_BACKENDS(FixedLimits);

}  // namespace
