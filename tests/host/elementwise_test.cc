#include <cmath>
#include <cstdint>
#include <limits>
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
using host_test::same_floats;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class Elementwise : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};

  // Runs a two-input op with distinct offsets on every operand and returns
  // the output; the guards around it are checked.
  template <class T>
  std::vector<T> two_input(uint32_t op, const std::vector<T> &a, const std::vector<T> &b) {
    const operand oa = place(h, a, 4), ob = place(h, b, 8);
    const operand out = place_blank<T>(h, a.size(), 12);
    const qz_ypu_two_input_params_t p{.out = out.buffer, .a = oa.buffer, .b = ob.buffer,
                                      .count = int32_t(a.size()), .out_offset = out.offset,
                                      .a_offset = oa.offset, .b_offset = ob.offset};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, out);
    return fetch<T>(h, out);
  }

  template <class Out, class In>
  std::vector<Out> unary(uint32_t op, const std::vector<In> &in) {
    const operand oi = place(h, in, 8), out = place_blank<Out>(h, in.size(), 4);
    const qz_ypu_unary_params_t p{.out = out.buffer, .in = oi.buffer, .count = int32_t(in.size()),
                                  .out_offset = out.offset, .in_offset = oi.offset};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, out);
    return fetch<Out>(h, out);
  }

  std::vector<float> scalar(uint32_t op, const std::vector<float> &in, float s) {
    const operand oi = place(h, in, 8), out = place_blank<float>(h, in.size(), 4);
    const qz_ypu_scalar_params_t p{.out = out.buffer, .in = oi.buffer, .scalar = s,
                                   .count = int32_t(in.size()), .out_offset = out.offset,
                                   .in_offset = oi.offset};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, out);
    return fetch<float>(h, out);
  }

  // `out_before` is the output's initial contents (read by op 47 only).
  std::vector<float> broadcast(uint32_t op, const std::vector<float> &a,
                               const std::vector<float> &v, int32_t rows, int32_t cols,
                               const std::vector<float> &out_before) {
    const operand oa = place(h, a, 4), ov = place(h, v, 8), out = place(h, out_before, 12);
    const qz_ypu_broadcast_params_t p{.out = out.buffer, .a = oa.buffer, .v = ov.buffer,
                                      .rows = rows, .cols = cols, .out_offset = out.offset,
                                      .a_offset = oa.offset, .v_offset = ov.offset};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, out);
    return fetch<float>(h, out);
  }

  template <class In>
  std::vector<float> matrix(uint32_t op, const std::vector<In> &in, int32_t rows, int32_t cols) {
    const operand oi = place(h, in, 8), out = place_blank<float>(h, cols > 0 ? cols : 0, 4);
    const qz_ypu_matrix_params_t p{.out = out.buffer, .in = oi.buffer, .rows = rows,
                                   .cols = cols, .out_offset = out.offset,
                                   .in_offset = oi.offset};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, out);
    return fetch<float>(h, out);
  }
};

// Operands that exercise rounding, signed zeros, infinities and NaN.
const std::vector<float> kA = {1.5f, -0.0f, 3.0e38f, 1.0f, kInf, 0.0f, kNaN, 1.0f / 3.0f, -7.25f};
const std::vector<float> kB = {0.1f, 0.0f, 3.0e38f, 0.0f, kInf, 0.0f, 2.0f, 3.0f, -0.5f};

// Float arithmetic is correctly rounded, so a double result rounded to float
// gives the same bits.
struct float_op {
  uint32_t op;
  double (*reference)(double, double);
};

TEST_P(Elementwise, TwoInputFloatOps) {
  const float_op cases[] = {
      {QZ_YPU_OP_ADD_F32, [](double a, double b) { return a + b; }},
      {QZ_YPU_OP_SUB_F32, [](double a, double b) { return a - b; }},
      {QZ_YPU_OP_MUL_F32, [](double a, double b) { return a * b; }},
      {QZ_YPU_OP_DIV_F32, [](double a, double b) { return a / b; }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.op);
    std::vector<float> expected;
    for (size_t i = 0; i < kA.size(); ++i) expected.push_back(float(c.reference(kA[i], kB[i])));
    EXPECT_TRUE(same_floats(two_input(c.op, kA, kB), expected));
  }
}

TEST_P(Elementwise, ScalarOps) {
  const float_op cases[] = {
      {QZ_YPU_OP_ADD_SCALAR_F32, [](double x, double s) { return x + s; }},
      {QZ_YPU_OP_MUL_SCALAR_F32, [](double x, double s) { return x * s; }},
      {QZ_YPU_OP_RSUB_SCALAR_F32, [](double x, double s) { return s - x; }},
      {QZ_YPU_OP_SCALAR_DIV_F32, [](double x, double s) { return s / x; }},
  };
  for (const auto &c : cases)
    for (const float s : {0.75f, -0.0f, kInf}) {
      SCOPED_TRACE(testing::Message() << "op " << c.op << " scalar " << s);
      std::vector<float> expected;
      for (const float x : kA) expected.push_back(float(c.reference(x, s)));
      EXPECT_TRUE(same_floats(scalar(c.op, kA, s), expected));
    }
}

TEST_P(Elementwise, BroadcastOps) {
  const int32_t rows = 2, cols = 3;
  const std::vector<float> a = {1, 2, 3, 4, 5, 6}, before = {0.5f, -1, 2, 8, 0, -3};
  const std::vector<float> row = {10, 0.25f, -4}, col = {100, -0.5f};
  struct broadcast_op {
    uint32_t op;
    bool along_row;  // v[j] when true, v[i] otherwise
    double (*reference)(double a, double v, double out);
  } cases[] = {
      {QZ_YPU_OP_ADD_ROW_F32, true, [](double a, double v, double) { return a + v; }},
      {QZ_YPU_OP_ADD_COL_F32, false, [](double a, double v, double) { return a + v; }},
      {QZ_YPU_OP_SUB_ROW_F32, true, [](double a, double v, double) { return a - v; }},
      {QZ_YPU_OP_SUB_COL_F32, false, [](double a, double v, double) { return a - v; }},
      {QZ_YPU_OP_MUL_ROW_F32, true, [](double a, double v, double) { return a * v; }},
      {QZ_YPU_OP_MUL_COL_F32, false, [](double a, double v, double) { return a * v; }},
      {QZ_YPU_OP_DIV_ROW_F32, true, [](double a, double v, double) { return a / v; }},
      // Exact here: every product and sum fits a float.
      {QZ_YPU_OP_FMA_ROW_F32, true, [](double a, double v, double out) { return v * a + out; }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.op);
    const std::vector<float> &v = c.along_row ? row : col;
    std::vector<float> expected;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j)
        expected.push_back(
            float(c.reference(a[i * cols + j], c.along_row ? v[j] : v[i], before[i * cols + j])));
    EXPECT_TRUE(same_floats(broadcast(c.op, a, v, rows, cols, before), expected));
  }
}

// The product of op 47 is rounded before the add: (1 + 2^-12)^2 becomes
// 1 + 2^-11, which cancels; a fused multiply-add would leave 2^-24.
TEST_P(Elementwise, FmaRowRoundsTheProduct) {
  const float x = 1.0f + std::ldexp(1.0f, -12);
  EXPECT_TRUE(same_floats(broadcast(QZ_YPU_OP_FMA_ROW_F32, {x}, {x}, 1, 1,
                               {-(1.0f + std::ldexp(1.0f, -11))}),
                     {0.0f}));
}

TEST_P(Elementwise, UnaryFloatOps) {
  EXPECT_TRUE(same_floats(unary<float>(QZ_YPU_OP_RELU_F32,
                                  std::vector<float>{-0.0f, kNaN, -1.0f, 2.5f, kInf, -kInf}),
                     (std::vector<float>{0.0f, 0.0f, 0.0f, 2.5f, kInf, 0.0f})));
  EXPECT_TRUE(same_floats(unary<float>(QZ_YPU_OP_EXP_F32,
                                  std::vector<float>{0.0f, -kInf, kInf, 100.0f, kNaN}),
                     (std::vector<float>{1.0f, 0.0f, kInf, kInf, kNaN})));
  EXPECT_TRUE(same_floats(unary<float>(QZ_YPU_OP_LOG_F32,
                                  std::vector<float>{1.0f, 0.0f, -1.0f, kInf, kNaN}),
                     (std::vector<float>{0.0f, -kInf, kNaN, kInf, kNaN})));
  // Ordinary arguments against double precision, to within an ulp or so.
  const std::vector<float> x = {3.5f, 0.125f, 1.0f, 7.75f, 42.0f};
  const auto e = unary<float>(QZ_YPU_OP_EXP_F32, x), l = unary<float>(QZ_YPU_OP_LOG_F32, x);
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(e[i], std::exp(double(x[i])), std::exp(double(x[i])) * 2e-7) << x[i];
    EXPECT_NEAR(unary<float>(QZ_YPU_OP_EXP_F32, std::vector<float>{-x[i]})[0],
                std::exp(-double(x[i])), std::exp(-double(x[i])) * 2e-7);
    const double log_x = std::log(double(x[i]));
    EXPECT_NEAR(l[i], log_x, 2e-7 * std::max(1.0, std::fabs(log_x)));
  }
}

TEST_P(Elementwise, IntegerOps) {
  EXPECT_EQ((two_input<int16_t>(QZ_YPU_OP_ADD_SAT_I16, {30000, -30000, 100, -32768, 32767},
                                {10000, -10000, -300, -1, 0})),
            (std::vector<int16_t>{32767, -32768, -200, -32768, 32767}));
  EXPECT_EQ((unary<int16_t, int16_t>(QZ_YPU_OP_RELU_I16, {-32768, -1, 0, 1, 32767})),
            (std::vector<int16_t>{0, 0, 0, 1, 32767}));
  // Nearest float: 2^24 + 1 is a tie that goes to even, 2^31 - 1 rounds up.
  EXPECT_EQ((unary<float, int32_t>(QZ_YPU_OP_CONVERT_I32_F32,
                                   {-5, 16777217, 16777219, 2147483647, -2147483647 - 1})),
            (std::vector<float>{-5.0f, 16777216.0f, 16777220.0f, 2147483648.0f, -2147483648.0f}));
  EXPECT_EQ((unary<float, int16_t>(QZ_YPU_OP_CONVERT_I16_F32, {1024, -32768, 1, 32767, 0})),
            (std::vector<float>{1.0f, -32.0f, 1.0f / 1024, 32767.0f / 1024, 0.0f}));
}

TEST_P(Elementwise, ScaleBiasI16) {
  struct scale_case {
    int16_t in, scale;
    uint32_t truncate;
    int16_t expected;
  } cases[] = {
      {1234, 1024, 0, 1234},      {-1234, 1024, 0, -1234},    {3, 200, 0, 1},
      {3, 200, 1, 0},             {-3, 200, 1, -1},           {-3, 200, 0, -1},
      {32767, 32767, 0, 32767},   {-32768, 32767, 0, -32768}, {-32768, -32768, 1, 32767},
      {32767, 1025, 7, 32767},    {-32768, 1024, 1, -32768},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.in << " x " << c.scale << " truncate " << c.truncate);
    const operand oi = place(h, std::vector<int16_t>{c.in}, 6), out = place_blank<int16_t>(h, 1, 2);
    const qz_ypu_scale_bias_i16_params_t p{.out = out.buffer, .in = oi.buffer, .scale = c.scale,
                                           .truncate = c.truncate, .count = 1,
                                           .out_offset = out.offset, .in_offset = oi.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_SCALE_BIAS_I16, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<int16_t>(h, out), std::vector<int16_t>{c.expected});
    expect_guards(h, out);
  }
}

TEST_P(Elementwise, ReverseRows) {
  struct reverse_case {
    int32_t rows, row_length;
    std::vector<uint32_t> before, after;
  } cases[] = {
      {1, 5, {1, 2, 3, 4, 5}, {5, 4, 3, 2, 1}},
      {2, 4, {1, 2, 3, 4, 5, 6, 7, 8}, {4, 3, 2, 1, 8, 7, 6, 5}},
      {3, 1, {1, 2, 3}, {1, 2, 3}},
      {2, 0, {9, 9}, {9, 9}},
      {0, 3, {1, 2, 3}, {1, 2, 3}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " x " << c.row_length);
    const operand data = place(h, c.before, 8);
    const qz_ypu_reverse_rows_params_t p{.data = data.buffer, .rows = c.rows,
                                         .row_length = c.row_length, .offset = data.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_REVERSE_ROWS, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<uint32_t>(h, data), c.after);
    expect_guards(h, data);
  }
}

TEST_P(Elementwise, MeanRows) {
  EXPECT_TRUE(same_floats(matrix<float>(QZ_YPU_OP_MEAN_ROWS_F32, {1, 2, 3, 4, 5, 7}, 3, 2),
                     (std::vector<float>{3.0f, float(13.0 / 3.0)})));
  // Rows are added in ascending order: 1e8 + 1 rounds back to 1e8 first.
  EXPECT_TRUE(
      same_floats(matrix<float>(QZ_YPU_OP_MEAN_ROWS_F32, {1e8f, 1.0f, -1e8f}, 3, 1), {0.0f}));
  // A mean of no rows is 0 / 0.
  EXPECT_TRUE(same_floats(matrix<float>(QZ_YPU_OP_MEAN_ROWS_F32, std::vector<float>{}, 0, 3),
                     (std::vector<float>{kNaN, kNaN, kNaN})));
}

TEST_P(Elementwise, SumRowsI16) {
  EXPECT_TRUE(same_floats(matrix<int16_t>(QZ_YPU_OP_SUM_ROWS_I16, {512, -3, 512, 1}, 2, 2),
                     (std::vector<float>{1.0f, -2.0f / 1024})));
  EXPECT_TRUE(same_floats(matrix<int16_t>(QZ_YPU_OP_SUM_ROWS_I16, std::vector<int16_t>{}, 0, 2),
                     (std::vector<float>{0.0f, 0.0f})));
  // The 32-bit sum wraps: 65539 x 32767 = 2^32 - 2147450883.
  const std::vector<int16_t> column(65539, 32767);
  EXPECT_TRUE(same_floats(matrix<int16_t>(QZ_YPU_OP_SUM_ROWS_I16, column, 65539, 1),
                     {float(-2147450883) / 1024}));
}

// The output may be the same memory as an input at the same offset.
TEST_P(Elementwise, InPlace) {
  const operand a = place<float>(h, {1, 2, 3, 4}, 8), v = place<float>(h, {10, 20}, 4);
  const qz_ypu_broadcast_params_t add_row{.out = a.buffer, .a = a.buffer, .v = v.buffer,
                                          .rows = 2, .cols = 2, .out_offset = a.offset,
                                          .a_offset = a.offset, .v_offset = v.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_ADD_ROW_F32, &add_row), QZ_STATUS_SUCCESS);
  const qz_ypu_scalar_params_t rsub{.out = a.buffer, .in = a.buffer, .scalar = 1.0f, .count = 4,
                                    .out_offset = a.offset, .in_offset = a.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_RSUB_SCALAR_F32, &rsub), QZ_STATUS_SUCCESS);
  const qz_ypu_two_input_params_t mul{.out = a.buffer, .a = a.buffer, .b = a.buffer, .count = 4,
                                      .out_offset = a.offset, .a_offset = a.offset,
                                      .b_offset = a.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_MUL_F32, &mul), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, a), (std::vector<float>{100, 441, 144, 529}));
  expect_guards(h, a);
}

// A record for each layout, naming the same three operands; the output
// holds `out_before`, and a count of `n` covers part of it.
struct layout_records {
  qz_ypu_two_input_params_t two_input;
  qz_ypu_unary_params_t unary;
  qz_ypu_scalar_params_t scalar;
  qz_ypu_broadcast_params_t broadcast;
  qz_ypu_matrix_params_t matrix;
  qz_ypu_reverse_rows_params_t reverse;
  qz_ypu_scale_bias_i16_params_t scale_bias;
};

layout_records records(const operand &out, const operand &a, const operand &b, int32_t n) {
  return {
      .two_input = {out.buffer, a.buffer, b.buffer, n, out.offset, a.offset, b.offset},
      .unary = {out.buffer, a.buffer, n, out.offset, a.offset},
      .scalar = {out.buffer, a.buffer, 2.0f, n, out.offset, a.offset},
      .broadcast = {out.buffer, a.buffer, b.buffer, 1, n, out.offset, a.offset, b.offset},
      .matrix = {out.buffer, a.buffer, 1, n, out.offset, a.offset},
      .reverse = {out.buffer, 1, n, out.offset},
      .scale_bias = {out.buffer, a.buffer, 1024, 0, n, out.offset, a.offset},
  };
}

const void *record_for(uint32_t op, const layout_records &r) {
  switch (op) {
    case QZ_YPU_OP_ADD_F32: case QZ_YPU_OP_ADD_SAT_I16: case QZ_YPU_OP_DIV_F32:
    case QZ_YPU_OP_MUL_F32: case QZ_YPU_OP_SUB_F32:
      return &r.two_input;
    case QZ_YPU_OP_CONVERT_I32_F32: case QZ_YPU_OP_CONVERT_I16_F32: case QZ_YPU_OP_EXP_F32:
    case QZ_YPU_OP_LOG_F32: case QZ_YPU_OP_RELU_F32: case QZ_YPU_OP_RELU_I16:
      return &r.unary;
    case QZ_YPU_OP_ADD_SCALAR_F32: case QZ_YPU_OP_SCALAR_DIV_F32: case QZ_YPU_OP_MUL_SCALAR_F32:
    case QZ_YPU_OP_RSUB_SCALAR_F32:
      return &r.scalar;
    case QZ_YPU_OP_MEAN_ROWS_F32: case QZ_YPU_OP_SUM_ROWS_I16:
      return &r.matrix;
    case QZ_YPU_OP_REVERSE_ROWS:
      return &r.reverse;
    case QZ_YPU_OP_SCALE_BIAS_I16:
      return &r.scale_bias;
    default:
      return &r.broadcast;
  }
}

constexpr uint32_t kAllOps[] = {
    QZ_YPU_OP_ADD_F32,         QZ_YPU_OP_ADD_SAT_I16,      QZ_YPU_OP_ADD_ROW_F32,
    QZ_YPU_OP_ADD_COL_F32,     QZ_YPU_OP_ADD_SCALAR_F32,   QZ_YPU_OP_CONVERT_I32_F32,
    QZ_YPU_OP_CONVERT_I16_F32, QZ_YPU_OP_DIV_F32,          QZ_YPU_OP_DIV_ROW_F32,
    QZ_YPU_OP_SCALAR_DIV_F32,  QZ_YPU_OP_EXP_F32,          QZ_YPU_OP_REVERSE_ROWS,
    QZ_YPU_OP_LOG_F32,         QZ_YPU_OP_MEAN_ROWS_F32,    QZ_YPU_OP_MUL_F32,
    QZ_YPU_OP_MUL_ROW_F32,     QZ_YPU_OP_FMA_ROW_F32,      QZ_YPU_OP_MUL_COL_F32,
    QZ_YPU_OP_MUL_SCALAR_F32,  QZ_YPU_OP_SCALE_BIAS_I16,   QZ_YPU_OP_RELU_F32,
    QZ_YPU_OP_RELU_I16,        QZ_YPU_OP_SUB_F32,          QZ_YPU_OP_SUB_ROW_F32,
    QZ_YPU_OP_SUB_COL_F32,     QZ_YPU_OP_RSUB_SCALAR_F32,  QZ_YPU_OP_SUM_ROWS_I16,
};

// An operation that writes part of its output (a count of zero or less, or
// fewer elements than the buffer holds) leaves the rest of it as it was,
// also on backends that copy buffers on map.
TEST_P(Elementwise, PartialWritesKeepTheRestOfTheOutput) {
  const std::vector<uint32_t> words = {0x3f800000, 0x40000000, 0x40400000, 0x40800000};
  for (const uint32_t op : kAllOps)
    for (const int32_t n : {0, -4, 1}) {
      SCOPED_TRACE(testing::Message() << "op " << op << " count " << n);
      const operand a = place(h, words, 4), b = place(h, words, 8), out = place(h, words, 12);
      const layout_records r = records(out, a, b, n);
      ASSERT_EQ(h.run(op, record_for(op, r)), QZ_STATUS_SUCCESS);
      const std::vector<uint32_t> after = fetch<uint32_t>(h, out);
      // One element (at most 4 bytes) may change; the other three words stay.
      EXPECT_EQ(std::vector<uint32_t>(after.begin() + 1, after.end()),
                std::vector<uint32_t>(words.begin() + 1, words.end()));
      if (n <= 0) {
        EXPECT_EQ(after[0], words[0]);
      }
      expect_guards(h, out);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, Elementwise, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

// A mapping that fails is a failure status, and nothing is written.
TEST(ElementwiseFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const std::vector<uint32_t> words = {1, 2, 3, 4};
  const operand a = place(h, words), b = place(h, words), out = place(h, words);
  const layout_records r = records(out, a, b, 4);
  h.fake()->fail_map = true;
  for (const uint32_t op : kAllOps)
    EXPECT_NE(h.run(op, record_for(op, r)), QZ_STATUS_SUCCESS) << op;
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<uint32_t>(h, out), words);
}

}  // namespace
