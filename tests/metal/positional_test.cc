// The Metal rotary position operations against the host implementation.
// The rotations take the same products in the same order as the host, so
// op 7 (table given) matches bit for bit. The others compute their angles
// with pow, exp, sin and cos, which the GPU evaluates with fast math: they
// are compared within a bound on the angle's error. An angle a computed
// through a few rounded operations is within 4u·|a| of the host's, which
// moves its sine and cosine by as much; a rotated value x0·c - x1·s then
// differs by at most (|x0| + |x1|)·(4u·|a| + 2u).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "metal/metal_twin.h"
#include "support/metal_test.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {


struct rope_table_case {
  const char *name;
  int32_t batch, positions, heads, head_dim, table_stride, position_offset, adjacent;
};

class MetalRopeApplyTable : public MetalTest,
                            public testing::WithParamInterface<rope_table_case> {};

// Split halves rotate only the first table_stride values of each head; the
// rest must stay as they were.
TEST_P(MetalRopeApplyTable, RotatesInPlaceAsTheHostDoes) {
  const rope_table_case &c = GetParam();
  metal_twin t;
  const auto x =
      random_floats(size_t(c.batch) * c.positions * c.heads * c.head_dim, -2, 2, 60);
  const auto table =
      random_floats(size_t(c.positions + c.position_offset) * c.table_stride, -1, 1, 61);
  const twin_buffer xb = t.buffer(x), tb = t.buffer(table);
  t.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, c.adjacent ? "taabe50" : "taabe275", [&](bool gpu) {
    return qz_ypu_rope_apply_table_f32_params_t{xb.on(gpu),     tb.on(gpu),        c.batch,
                                                c.positions,    c.heads,           c.head_dim,
                                                c.table_stride, c.position_offset, c.adjacent};
  });
  t.expect_same<uint32_t>(xb, x.size());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MetalRopeApplyTable,
    testing::Values(rope_table_case{"adjacent", 2, 3, 4, 8, 8, 0, 1},
                    rope_table_case{"split_whole_head", 1, 5, 2, 16, 16, 3, 0},
                    rope_table_case{"split_part_of_head", 2, 2, 3, 12, 6, 1, 0},
                    rope_table_case{"head_past_simd_width", 1, 2, 1, 130, 130, 0, 1}),
    [](const testing::TestParamInfo<rope_table_case> &info) { return info.param.name; });

// A split-half table stride longer than the head would rotate the next
// head's values: the host refuses it, and the Metal entry leaves it to the
// host.
TEST_F(MetalRopeApplyTable, StrideLongerThanTheHeadIsRefused) {
  metal_context gpu;
  qz_ypu_buffer_t *x = gpu.buffer(64), *table = gpu.buffer(64);
  const qz_ypu_rope_apply_table_f32_params_t p{x, table, 1, 1, 2, 4, 8, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
}

// Table rows of (cos a, sin a): within (4u·|a| + 2u) of the host's.
std::vector<double> table_bound(int32_t rows, int32_t width, const std::vector<double> &angles,
                                double magnitude = 1.0) {
  std::vector<double> bound(size_t(rows) * width);
  for (size_t i = 0; i < bound.size(); ++i)
    bound[i] = magnitude * (4 * kUnitRoundoff * std::fabs(angles[i / 2]) + 2 * kUnitRoundoff);
  return bound;
}

class MetalRopeTable3Axis : public MetalTest {};

// Op 32 over limits that cut axes 1 and 2 at different pairs (and 0, which
// leaves every pair on axis 0).
TEST_F(MetalRopeTable3Axis, MatchesTheHostForEveryLimit) {
  struct limits {
    int32_t h, w;
  };
  const int32_t tokens = 7, width = 20;
  const auto positions = random_ints<int32_t>(3 * tokens, 0, 300, 62);
  for (const limits l : {limits{10, 10}, limits{4, 7}, limits{0, 0}}) {
    metal_twin t;
    const twin_buffer pb = t.buffer(positions), out = t.bytes(8 + tokens * width * 4, 0xFF);
    t.run(QZ_YPU_OP_ROPE_TABLE_3AXIS_F32, "taabe101", [&](bool gpu) {
      return qz_ypu_rope_table_3axis_f32_params_t{out.on(gpu), pb.on(gpu), l.h,   l.w,
                                                  10000.0f,    tokens,     width, 8};
    });
    std::vector<double> angles(size_t(tokens) * width / 2);
    for (int32_t tk = 0; tk < tokens; ++tk)
      for (int32_t k = 0; k < width / 2; ++k) {
        int32_t axis = k % 3;
        if ((axis == 1 && k >= l.h) || (axis == 2 && k >= l.w)) axis = 0;
        angles[size_t(tk) * width / 2 + k] =
            positions[3 * tk + axis] / std::pow(10000.0, 2.0 * k / width);
      }
    std::vector<double> bound = table_bound(tokens, width, angles);
    bound.insert(bound.begin(), {0.0, 0.0});  // the bytes before the offset stay
    t.expect_within(out, bound);
  }
}

class MetalRopeTableScaled : public MetalTest {};

// Op 53: one thread per position; the magnitude scales the bound.
TEST_F(MetalRopeTableScaled, MatchesTheHost) {
  metal_twin t;
  const int32_t tokens = 9, width = 14;
  const float magnitude = 1.5f;
  const auto factors = random_floats(width / 2 + 1, 0.5f, 4.0f, 63);
  const twin_buffer fb = t.buffer(factors), out = t.bytes(tokens * width * 4, 0xFF);
  t.run(QZ_YPU_OP_ROPE_TABLE_SCALED_F32, "taabe212", [&](bool gpu) {
    return qz_ypu_rope_table_scaled_f32_params_t{out.on(gpu), fb.on(gpu), 500.0f, magnitude,
                                                 tokens,      width,      0,      4};
  });
  std::vector<double> angles(size_t(tokens) * width / 2);
  for (int32_t p = 0; p < tokens; ++p)
    for (int32_t i = 0; i < width / 2; ++i)
      angles[size_t(p) * width / 2 + i] = p / (std::pow(500.0, 2.0 * i / width) * factors[1 + i]);
  t.expect_within(out, table_bound(tokens, width, angles, magnitude));
}

struct embed_case {
  const char *name;
  int32_t batch, positions, heads, head_dim, start;
};

// Rotated values of rows of magnitude at most 2: bound 2·2·(4u·|a| + 2u)
// with |a| at most the largest position (the frequencies are at most 1).
double rotation_bound(double largest_angle) {
  return 4 * (4 * kUnitRoundoff * largest_angle + 2 * kUnitRoundoff);
}

class MetalRopeExpfreq : public MetalTest, public testing::WithParamInterface<embed_case> {};

TEST_P(MetalRopeExpfreq, MatchesTheHost) {
  const embed_case &c = GetParam();
  metal_twin t;
  const size_t count = size_t(c.batch) * c.positions * c.heads * c.head_dim;
  const auto in = random_floats(count, -2, 2, 64);
  const twin_buffer ib = t.buffer(in), out = t.bytes(int32_t(count * 4), 0);
  const float log_step = -std::log(10000.0f) / float(c.head_dim / 2);
  t.run(QZ_YPU_OP_ROPE_EXPFREQ_F32, "taabe284", [&](bool gpu) {
    return qz_ypu_rope_expfreq_f32_params_t{out.on(gpu), ib.on(gpu), c.batch, c.positions,
                                            c.heads,     c.head_dim, c.start, log_step};
  });
  t.expect_within(out, std::vector<double>(count, rotation_bound(c.start + c.positions)));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalRopeExpfreq,
                         testing::Values(embed_case{"one_row", 1, 1, 1, 2, 0},
                                         embed_case{"batches", 2, 5, 3, 8, 0},
                                         embed_case{"late_positions", 1, 4, 2, 16, 1000}),
                         [](const testing::TestParamInfo<embed_case> &info) {
                           return info.param.name;
                         });

struct rope2d_case {
  const char *name;
  int32_t heads, head_dim, window, window_rows, window_cols;
};

class MetalRope2d : public MetalTest, public testing::WithParamInterface<rope2d_case> {};

// Tokens ordered [window_rows][window_cols][window][window]; one token more
// than a full grid wraps to the first window again.
TEST_P(MetalRope2d, MatchesTheHost) {
  const rope2d_case &c = GetParam();
  metal_twin t;
  const int32_t tokens = c.window * c.window * c.window_rows * c.window_cols + 1;
  const size_t count = size_t(tokens) * c.heads * c.head_dim;
  const auto in = random_floats(count, -2, 2, 65);
  const twin_buffer ib = t.buffer(in), out = t.bytes(int32_t(count * 4), 0);
  t.run(QZ_YPU_OP_ROPE2D_F32, "taabe263", [&](bool gpu) {
    return qz_ypu_rope2d_f32_params_t{out.on(gpu), ib.on(gpu),    tokens,
                                      c.heads,     c.head_dim,    100.0f,
                                      c.window,    c.window_rows, c.window_cols};
  });
  const double largest = c.window * std::max(c.window_rows, c.window_cols);
  t.expect_within(out, std::vector<double>(count, rotation_bound(largest)));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalRope2d,
                         testing::Values(rope2d_case{"merge_1", 2, 8, 1, 3, 4},
                                         rope2d_case{"merge_2", 3, 16, 2, 2, 3},
                                         rope2d_case{"odd_quarter", 1, 6, 2, 3, 1}),
                         [](const testing::TestParamInfo<rope2d_case> &info) {
                           return info.param.name;
                         });

// Window sizes of 0 would divide by zero in the kernel: the host refuses
// them and the Metal entry leaves them to it.
TEST_F(MetalRope2d, EmptyWindowsAreRefused) {
  metal_context gpu;
  qz_ypu_buffer_t *in = gpu.buffer(64), *out = gpu.buffer(64);
  const qz_ypu_rope2d_f32_params_t p{out, in, 2, 1, 8, 100.0f, 0, 1, 1};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ROPE2D_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
}

// Ops 7 and 53 report a dispatch that could not be encoded: the rotation
// or the table it should have written is not there.
TEST_F(MetalRopeApplyTable, FailedDispatchIsReported) {
  metal_context gpu;
  qz_ypu_buffer_t *x = gpu.buffer(64), *table = gpu.buffer(64);
  const qz_ypu_rope_apply_table_f32_params_t rotate{x, table, 1, 1, 2, 8, 8, 0, 1};
  const qz_ypu_rope_table_scaled_f32_params_t scaled{x, table, 100.0f, 1.0f, 2, 8, 0, 0};
  qz_metal_standin::standin().encoders_fail = true;
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, &rotate), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ROPE_TABLE_SCALED_F32, &scaled), QZ_STATUS_RUNTIME_ERROR);
  qz_metal_standin::standin().encoders_fail = false;
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{"0633a7d 00000343: Device state error.",
                                      "0633a7d 00000343: Device state error."}));
}

}  // namespace
