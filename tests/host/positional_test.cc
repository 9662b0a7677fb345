#include <cmath>
#include <cstdint>
#include <string>
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

class Positional : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
};

std::vector<float> ramp(size_t count, float start = 1.0f) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = start + float(i) * 0.25f;
  return v;
}

// Angles are computed in float before their sine and cosine; comparing with
// a double computation allows a few float roundings of the angle.
void expect_close(const std::vector<float> &got, const std::vector<double> &want, double tolerance,
                  const std::string &what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_NEAR(got[i], want[i], tolerance * (1.0 + std::fabs(want[i]))) << what << " element " << i;
}

// ---------------------------------------------------------------------------
// Op 7: applying a rotary table.

struct apply_case {
  const char *name;
  int32_t batch, positions, heads, head_dim, table_stride, position_offset, adjacent;
};

// data rotated in double, pairs taken as the operation defines them.
std::vector<double> apply_reference(const apply_case &c, const std::vector<float> &data,
                                    const std::vector<float> &table) {
  std::vector<double> out(data.begin(), data.end());
  for (int32_t b = 0; b < c.batch; ++b)
    for (int32_t p = 0; p < c.positions; ++p)
      for (int32_t hd = 0; hd < c.heads; ++hd) {
        double *x = out.data() + ((size_t(b) * c.positions + p) * c.heads + hd) * c.head_dim;
        const float *row = table.data() + size_t(c.position_offset + p) * c.table_stride;
        const int32_t pairs = c.adjacent ? c.head_dim / 2 : c.table_stride / 2;
        for (int32_t q = 0; q < pairs; ++q) {
          const int32_t i0 = c.adjacent ? 2 * q : q, i1 = c.adjacent ? 2 * q + 1 : q + pairs;
          const double co = row[2 * q], si = row[2 * q + 1], a = x[i0], bb = x[i1];
          x[i0] = co * a - si * bb;
          x[i1] = si * a + co * bb;
        }
      }
  return out;
}

TEST_P(Positional, ApplyTableMatchesReference) {
  const apply_case cases[] = {
      {"adjacent", 2, 3, 2, 6, 6, 0, 1},
      {"adjacent, odd head keeps its last element", 1, 2, 2, 5, 6, 1, 1},
      {"half-split", 2, 3, 2, 8, 8, 1, 0},
      {"half-split, partial", 1, 3, 3, 8, 4, 2, 0},
      {"half-split, odd stride", 1, 2, 2, 8, 5, 0, 0},
  };
  for (const apply_case &c : cases) {
    SCOPED_TRACE(c.name);
    const size_t count = size_t(c.batch) * c.positions * c.heads * c.head_dim;
    const std::vector<float> data = ramp(count, -3.0f);
    std::vector<float> table(size_t(c.position_offset + c.positions) * c.table_stride);
    for (size_t i = 0; i < table.size(); ++i) table[i] = std::cos(0.7f * float(i) + 0.3f);
    const operand od = place(h, data, 0), ot = place(h, table, 0);
    const qz_ypu_rope_apply_table_f32_params_t p{
        .data = od.buffer, .table = ot.buffer, .batch = c.batch, .positions = c.positions,
        .heads = c.heads, .head_dim = c.head_dim, .table_stride = c.table_stride,
        .position_offset = c.position_offset, .adjacent = c.adjacent};
    ASSERT_EQ(h.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, &p), QZ_STATUS_SUCCESS);
    expect_close(fetch<float>(h, od), apply_reference(c, data, table), 1e-6, c.name);
    expect_guards(h, od);
  }
}

// (1, 0) pairs leave the data alone; (0, 1) pairs map (x0, x1) to (−x1, x0);
// a partial table leaves the tail of each head as it was. All exact.
TEST_P(Positional, ApplyTableIdentityAndQuarterTurn) {
  const std::vector<float> data = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const char *name;
    std::vector<float> table;
    int32_t table_stride, adjacent;
    std::vector<float> expected;
  } cases[] = {
      {"identity, adjacent", {1, 0, 1, 0, 1, 0, 1, 0}, 8, 1, data},
      {"identity, half-split", {1, 0, 1, 0, 1, 0, 1, 0}, 8, 0, data},
      {"quarter turn, adjacent", {0, 1, 0, 1, 0, 1, 0, 1}, 8, 1, {-2, 1, -4, 3, -6, 5, -8, 7}},
      {"quarter turn, half-split", {0, 1, 0, 1, 0, 1, 0, 1}, 8, 0, {-5, -6, -7, -8, 1, 2, 3, 4}},
      {"quarter turn, partial", {0, 1, 0, 1}, 4, 0, {-3, -4, 1, 2, 5, 6, 7, 8}},
  };
  for (const auto &c : cases) {
    const operand od = place(h, data, 0), ot = place(h, c.table, 0);
    const qz_ypu_rope_apply_table_f32_params_t p{
        .data = od.buffer, .table = ot.buffer, .batch = 1, .positions = 1, .heads = 1,
        .head_dim = 8, .table_stride = c.table_stride, .position_offset = 0,
        .adjacent = c.adjacent};
    ASSERT_EQ(h.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, &p), QZ_STATUS_SUCCESS) << c.name;
    EXPECT_EQ(fetch<float>(h, od), c.expected) << c.name;
  }
}

// A half-split stride longer than the head would pair elements of the next
// head; negative strides and offsets would index before the table.
TEST_P(Positional, ApplyTableRejectsRowsThatDoNotFit) {
  const std::vector<float> data = ramp(16);
  const operand od = place(h, data, 0), ot = place(h, std::vector<float>(64, 0.5f), 0);
  const struct {
    int32_t table_stride, position_offset, adjacent;
  } cases[] = {{10, 0, 0}, {-2, 0, 1}, {8, -1, 1}, {8, -1, 0}};
  for (const auto &c : cases) {
    const qz_ypu_rope_apply_table_f32_params_t p{
        .data = od.buffer, .table = ot.buffer, .batch = 1, .positions = 1, .heads = 2,
        .head_dim = 8, .table_stride = c.table_stride, .position_offset = c.position_offset,
        .adjacent = c.adjacent};
    EXPECT_EQ(h.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, &p), QZ_STATUS_INVALID_ARGUMENT)
        << c.table_stride << " " << c.position_offset;
    EXPECT_EQ(fetch<float>(h, od), data);
  }
}

// ---------------------------------------------------------------------------
// Op 22: scaled embedding lookup with positional rows.

TEST_P(Positional, EmbeddingScalesRowsAndAddsPositions) {
  const int32_t width = 3;
  const std::vector<float> table = {1, 2, 3, 10, 20, 30, -1, -2, -3, 5, 6, 7};  // 4 rows
  const std::vector<float> add = {0, 0, 0, 100, 200, 300, 400, 500, 600, 700, 800, 900};
  const std::vector<int32_t> ids = {3, 0, 1, 2, 2, 3};  // batch 2, tokens 3
  const operand ot = place(h, table, 0), oa = place(h, add, 0), oi = place(h, ids, 0);
  const operand out = place_blank<float>(h, 2 * 3 * width, 0);
  const qz_ypu_embedding_scale_add_f32_params_t p{
      .out = out.buffer, .ids = oi.buffer, .table = ot.buffer, .add = oa.buffer, .scale = 2.0f,
      .start = 1, .batch = 2, .tokens = 3, .width = width};
  ASSERT_EQ(h.run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, out), (std::vector<float>{
                                      110, 212, 314, 402, 504, 606, 720, 840, 960,  //
                                      98, 196, 294, 398, 496, 594, 710, 812, 914}));
  expect_guards(h, out);
}

// Token ids and the first positional row must name rows that exist.
TEST_P(Positional, EmbeddingRejectsRowsOutsideTheTables) {
  // Buffers of exactly 4 and 3 rows of 2: no guard bytes that could pass
  // for rows.
  qz_ypu_buffer_t *table = h.buffer(std::vector<float>(4 * 2, 1.0f));
  qz_ypu_buffer_t *add = h.buffer(std::vector<float>(3 * 2, 1.0f));
  const struct {
    const char *name;
    std::vector<int32_t> ids;
    int32_t start;
  } cases[] = {{"negative id", {0, -1}, 0},
               {"id past the table", {4, 0}, 0},
               {"positions past the rows", {0, 1}, 2},
               {"negative start", {0, 1}, -1}};
  for (const auto &c : cases) {
    const operand oi = place(h, c.ids, 0), out = place(h, std::vector<float>(4, 9.0f), 0);
    const qz_ypu_embedding_scale_add_f32_params_t p{
        .out = out.buffer, .ids = oi.buffer, .table = table, .add = add,
        .scale = 1.0f, .start = c.start, .batch = 1, .tokens = 2, .width = 2};
    EXPECT_EQ(h.run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32, &p), QZ_STATUS_INVALID_ARGUMENT) << c.name;
    EXPECT_EQ(fetch<float>(h, out), std::vector<float>(4, 9.0f)) << c.name;
  }
  // The last row of each table is still a row.
  const operand oi = place(h, std::vector<int32_t>{3, 0}, 0), out = place_blank<float>(h, 4, 0);
  const qz_ypu_embedding_scale_add_f32_params_t p{
      .out = out.buffer, .ids = oi.buffer, .table = table, .add = add, .scale = 1.0f,
      .start = 1, .batch = 1, .tokens = 2, .width = 2};
  EXPECT_EQ(h.run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, out), std::vector<float>(4, 2.0f));
}

// ---------------------------------------------------------------------------
// Ops 32 and 53: rotary table builders.

TEST_P(Positional, ThreeAxisTableChoosesPositionsByPair) {
  const struct {
    const char *name;
    int32_t limit1, limit2, width;
  } cases[] = {{"all axes", 12, 12, 14}, {"limits cut the later axes", 4, 6, 14},
               {"no limits", 0, 0, 12}, {"odd width", 12, 12, 9}};
  const std::vector<int32_t> positions = {3, 11, 29, 0, 0, 0, 7, 2, 5};
  const float base = 50.0f;
  for (const auto &c : cases) {
    const int32_t tokens = 3;
    const operand op = place(h, positions, 0);
    const operand out = place(h, std::vector<float>(size_t(tokens) * c.width, -7.0f), 20);
    const qz_ypu_rope_table_3axis_f32_params_t p{
        .out = out.buffer, .positions = op.buffer, .limit1 = c.limit1, .limit2 = c.limit2,
        .base = base, .tokens = tokens, .width = c.width, .out_offset = out.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_ROPE_TABLE_3AXIS_F32, &p), QZ_STATUS_SUCCESS) << c.name;
    std::vector<double> want(size_t(tokens) * c.width, -7.0);
    for (int32_t t = 0; t < tokens; ++t)
      for (int32_t w = 0; w < c.width / 2; ++w) {
        int32_t axis = 0;
        if (w % 3 == 1 && w < c.limit1) axis = 1;
        if (w % 3 == 2 && w < c.limit2) axis = 2;
        const double angle = positions[3 * t + axis] / std::pow(double(base), 2.0 * w / c.width);
        want[size_t(t) * c.width + 2 * w] = std::cos(angle);
        want[size_t(t) * c.width + 2 * w + 1] = std::sin(angle);
      }
    expect_close(fetch<float>(h, out), want, 1e-5, c.name);
    expect_guards(h, out);
  }
}

TEST_P(Positional, ScaledTableMatchesReferenceAndStartsAtMagnitude) {
  for (int32_t width : {8, 7}) {
    const int32_t tokens = 4;
    const std::vector<float> factors = {0.0f, 1.0f, 2.0f, 0.5f, 4.0f};  // leading pad float
    const operand of = place(h, factors, 0);
    // An odd width has no partner for its last float: it must stay as it
    // was, and nothing may be written past the last row.
    const operand out = place(h, std::vector<float>(size_t(tokens) * width, -7.0f), 16);
    const qz_ypu_rope_table_scaled_f32_params_t p{
        .out = out.buffer, .factors = of.buffer, .base = 100.0f, .magnitude = 1.5f,
        .tokens = tokens, .width = width, .out_offset = out.offset, .factors_offset = 4};
    ASSERT_EQ(h.run(QZ_YPU_OP_ROPE_TABLE_SCALED_F32, &p), QZ_STATUS_SUCCESS);
    std::vector<double> want(size_t(tokens) * width, -7.0);
    for (int32_t t = 0; t < tokens; ++t)
      for (int32_t i = 0; i + 1 < width; i += 2) {
        const double angle = t / (std::pow(100.0, double(i) / width) * factors[1 + i / 2]);
        want[size_t(t) * width + i] = 1.5 * std::cos(angle);
        want[size_t(t) * width + i + 1] = 1.5 * std::sin(angle);
      }
    const std::vector<float> got = fetch<float>(h, out);
    expect_close(got, want, 1e-5, "width " + std::to_string(width));
    for (int32_t i = 0; i + 1 < width; i += 2) {  // token 0: (magnitude, 0) exactly
      EXPECT_EQ(got[i], 1.5f);
      EXPECT_EQ(got[i + 1], 0.0f);
    }
    expect_guards(h, out);
  }
}

// ---------------------------------------------------------------------------
// Op 60: rotary embedding with exponential frequencies.

TEST_P(Positional, ExpFrequenciesMatchReference) {
  const struct {
    const char *name;
    int32_t batch, positions, heads, head_dim, start;
  } cases[] = {{"even heads", 2, 3, 2, 8, 5}, {"odd head keeps its last element", 1, 2, 3, 7, 1}};
  const float log_step = -0.6f;
  for (const auto &c : cases) {
    const size_t count = size_t(c.batch) * c.positions * c.heads * c.head_dim;
    const std::vector<float> in = ramp(count, -2.0f);
    const operand oi = place(h, in, 0), out = place(h, std::vector<float>(count, 42.0f), 0);
    const qz_ypu_rope_expfreq_f32_params_t p{
        .out = out.buffer, .in = oi.buffer, .batch = c.batch, .positions = c.positions,
        .heads = c.heads, .head_dim = c.head_dim, .start = c.start, .log_step = log_step};
    ASSERT_EQ(h.run(QZ_YPU_OP_ROPE_EXPFREQ_F32, &p), QZ_STATUS_SUCCESS);
    std::vector<double> want(count, 42.0);
    const int32_t half = c.head_dim / 2;
    for (int32_t b = 0; b < c.batch; ++b)
      for (int32_t q = 0; q < c.positions; ++q)
        for (int32_t hd = 0; hd < c.heads; ++hd) {
          const size_t row = ((size_t(b) * c.positions + q) * c.heads + hd) * c.head_dim;
          for (int32_t i = 0; i < half; ++i) {
            const double angle = std::exp(i * double(log_step)) * (c.start + q);
            const double x0 = in[row + i], x1 = in[row + i + half];
            want[row + i] = std::cos(angle) * x0 - std::sin(angle) * x1;
            want[row + i + half] = std::sin(angle) * x0 + std::cos(angle) * x1;
          }
        }
    expect_close(fetch<float>(h, out), want, 1e-5, c.name);
  }
}

TEST_P(Positional, ExpFrequenciesAtPositionZeroCopy) {
  const std::vector<float> in = ramp(2 * 6, -1.0f);
  const operand oi = place(h, in, 0), out = place_blank<float>(h, in.size(), 0);
  const qz_ypu_rope_expfreq_f32_params_t p{.out = out.buffer, .in = oi.buffer, .batch = 1,
                                           .positions = 1, .heads = 2, .head_dim = 6, .start = 0,
                                           .log_step = -0.3f};
  ASSERT_EQ(h.run(QZ_YPU_OP_ROPE_EXPFREQ_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, out), in);
}

// ---------------------------------------------------------------------------
// Op 92: rotary embedding over two position axes.

// head_dim 8: pairs 0 and 1 turn by the row position (pair 0 at frequency
// 1), pairs 2 and 3 by the column position (pair 2 at frequency 1). Inputs
// of 1 in the first half show cos and sin of those angles.
std::vector<float> rope2d_unit_input(int32_t tokens) {
  std::vector<float> in(size_t(tokens) * 8, 0.0f);
  for (int32_t t = 0; t < tokens; ++t)
    for (int32_t i = 0; i < 4; ++i) in[size_t(t) * 8 + i] = 1.0f;
  return in;
}

TEST_P(Positional, Rope2dTokenPositions) {
  // window 2, window_rows 2, window_cols 2: (row, column) position per token.
  const int32_t expected[12][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 2}, {0, 3},
                                   {1, 2}, {1, 3}, {2, 0}, {2, 1}, {3, 0}, {3, 1}};
  const operand oi = place(h, rope2d_unit_input(12), 0);
  const operand out = place_blank<float>(h, 12 * 8, 0);
  const qz_ypu_rope2d_f32_params_t p{.out = out.buffer, .in = oi.buffer, .tokens = 12,
                                     .heads = 1, .head_dim = 8, .base = 10000.0f, .window = 2,
                                     .window_rows = 2, .window_cols = 2};
  ASSERT_EQ(h.run(QZ_YPU_OP_ROPE2D_F32, &p), QZ_STATUS_SUCCESS);
  const std::vector<float> got = fetch<float>(h, out);
  for (int32_t t = 0; t < 12; ++t) {
    const float *row = got.data() + t * 8;
    const double p1 = expected[t][0], p2 = expected[t][1];
    EXPECT_NEAR(row[0], std::cos(p1), 1e-6) << "token " << t;
    EXPECT_NEAR(row[4], std::sin(p1), 1e-6) << "token " << t;
    EXPECT_NEAR(row[2], std::cos(p2), 1e-6) << "token " << t;
    EXPECT_NEAR(row[6], std::sin(p2), 1e-6) << "token " << t;
    // Pairs 1 and 3 turn at frequency 1/100.
    EXPECT_NEAR(row[1], std::cos(p1 / 100), 1e-6) << "token " << t;
    EXPECT_NEAR(row[7], std::sin(p2 / 100), 1e-6) << "token " << t;
  }
  expect_guards(h, out);
}

TEST_P(Positional, Rope2dSingleCellWindowsDoNotRotate) {
  const std::vector<float> in = ramp(5 * 2 * 8, -4.0f);
  const operand oi = place(h, in, 0), out = place_blank<float>(h, in.size(), 0);
  const qz_ypu_rope2d_f32_params_t p{.out = out.buffer, .in = oi.buffer, .tokens = 5,
                                     .heads = 2, .head_dim = 8, .base = 10000.0f, .window = 1,
                                     .window_rows = 1, .window_cols = 1};
  ASSERT_EQ(h.run(QZ_YPU_OP_ROPE2D_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, out), in);
}

// Windows far beyond any token number: the row position is 0 and the column
// position the token number, with no wrapped products on the way.
TEST_P(Positional, Rope2dHugeWindows) {
  const operand oi = place(h, rope2d_unit_input(4), 0);
  const operand out = place_blank<float>(h, 4 * 8, 0);
  const qz_ypu_rope2d_f32_params_t p{.out = out.buffer, .in = oi.buffer, .tokens = 4,
                                     .heads = 1, .head_dim = 8, .base = 10000.0f,
                                     .window = 1 << 20, .window_rows = INT32_MAX,
                                     .window_cols = INT32_MAX};
  ASSERT_EQ(h.run(QZ_YPU_OP_ROPE2D_F32, &p), QZ_STATUS_SUCCESS);
  const std::vector<float> got = fetch<float>(h, out);
  for (int32_t t = 0; t < 4; ++t) {
    EXPECT_EQ(got[t * 8 + 0], 1.0f) << t;
    EXPECT_NEAR(got[t * 8 + 2], std::cos(double(t)), 1e-6) << t;
  }
}

TEST_P(Positional, Rope2dRejectsEmptyWindows) {
  const std::vector<float> in = ramp(8), before(8, 3.0f);
  const operand oi = place(h, in, 0), out = place(h, before, 0);
  const int32_t windows[][3] = {{0, 1, 1}, {1, 0, 1}, {1, 1, 0}, {-2, 1, 1}};
  for (const auto &w : windows) {
    const qz_ypu_rope2d_f32_params_t p{.out = out.buffer, .in = oi.buffer, .tokens = 1,
                                       .heads = 1, .head_dim = 8, .base = 10000.0f,
                                       .window = w[0], .window_rows = w[1], .window_cols = w[2]};
    EXPECT_EQ(h.run(QZ_YPU_OP_ROPE2D_F32, &p), QZ_STATUS_INVALID_ARGUMENT)
        << w[0] << " " << w[1] << " " << w[2];
    EXPECT_EQ(fetch<float>(h, out), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Positional, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
