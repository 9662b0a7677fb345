// The Metal row and column broadcasts and the 2-D bias addition against the
// host implementations, bit for bit (the formulas are the host's).
#include "metal_twin.h"

#include "ypu/params.h"

namespace {

struct shape {
  int32_t rows, cols;
};
// A single element, one row or column, widths around a SIMD-group, and a
// grid taller than one threadgroup allows (1024 / 32 = 32 columns per
// group).
constexpr shape kShapes[] = {{1, 1}, {1, 33}, {33, 1}, {7, 45}, {64, 3}, {5, 100}};

struct broadcast_case {
  const char *name;
  uint32_t op;
  const char *kernel;
  bool per_row;  // v has one value per row (else one per column)
};

class MetalBroadcast : public MetalTest, public ::testing::WithParamInterface<broadcast_case> {};

// Operands at byte offsets, the output pre-filled (fma_row accumulates into
// it; the others must overwrite it) and guarded after its last element.
TEST_P(MetalBroadcast, MatchesHostOverShapes) {
  const broadcast_case &c = GetParam();
  for (const shape s : kShapes) {
    SCOPED_TRACE(testing::Message() << s.rows << "x" << s.cols);
    const int32_t n = s.rows * s.cols, vn = c.per_row ? s.rows : s.cols;
    metal_twin t;
    const twin_buffer out = t.buffer(random_floats(n + 4, -3, 3, n + 9)),
                      a = t.buffer(random_floats(n + 1, -10, 10, n)),
                      v = t.buffer(random_floats(vn + 2, 0.5f, 4, n + 1));
    t.run(c.op, c.kernel, [&](bool g) {
      return qz_ypu_broadcast_params_t{out.on(g), a.on(g), v.on(g), s.rows, s.cols, 12, 4, 8};
    });
    t.expect_same<float>(out, n + 4);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, MetalBroadcast,
    ::testing::Values(broadcast_case{"add_row", QZ_YPU_OP_ADD_ROW_F32, "taabe122", false},
                      broadcast_case{"add_col", QZ_YPU_OP_ADD_COL_F32, "taabe151", true},
                      broadcast_case{"div_row", QZ_YPU_OP_DIV_ROW_F32, "taabe264", false},
                      broadcast_case{"mul_row", QZ_YPU_OP_MUL_ROW_F32, "taabe230", false},
                      broadcast_case{"fma_row", QZ_YPU_OP_FMA_ROW_F32, "taabe63", false},
                      broadcast_case{"mul_col", QZ_YPU_OP_MUL_COL_F32, "taabe195", true},
                      broadcast_case{"sub_row", QZ_YPU_OP_SUB_ROW_F32, "taabe93", false},
                      broadcast_case{"sub_col", QZ_YPU_OP_SUB_COL_F32, "taabe103", true}),
    [](const auto &info) { return std::string(info.param.name); });

class MetalBroadcastLayout : public MetalTest {};

// A fixture that tells rows from columns and shows the accumulation.
TEST_F(MetalBroadcastLayout, RowsAndColumnsFixture) {
  metal_twin t;
  const twin_buffer a = t.buffer(std::vector<float>{1, 2, 3, 4, 5, 6}),
                    v = t.buffer(std::vector<float>{10, 20, 30}),
                    out = t.buffer(std::vector<float>{1, 1, 1, 1, 1, 1});
  t.run(QZ_YPU_OP_FMA_ROW_F32, "taabe63", [&](bool g) {
    return qz_ypu_fma_row_f32_params_t{out.on(g), a.on(g), v.on(g), 2, 3, 0, 0, 0};
  });
  EXPECT_EQ(t.gpu_values<float>(out, 6), (std::vector<float>{11, 41, 91, 41, 101, 181}));
  t.run(QZ_YPU_OP_SUB_COL_F32, "taabe103", [&](bool g) {
    return qz_ypu_sub_col_f32_params_t{out.on(g), a.on(g), v.on(g), 2, 3, 0, 0, 0};
  });
  EXPECT_EQ(t.gpu_values<float>(out, 6), (std::vector<float>{-9, -8, -7, -16, -15, -14}));
}

class MetalAddBias2d : public MetalTest {};

// Op 62: both biases are added first, then to x in place.
TEST_F(MetalAddBias2d, MatchesHostOverShapes) {
  struct case3 {
    int32_t batches, rows, cols;
  };
  for (const case3 c : {case3{1, 1, 1}, case3{1, 3, 40}, case3{2, 33, 5}, case3{3, 4, 64}}) {
    SCOPED_TRACE(testing::Message() << c.batches << "x" << c.rows << "x" << c.cols);
    const int32_t n = c.batches * c.rows * c.cols;
    metal_twin t;
    // Magnitudes far apart, so adding x before both biases would round
    // differently.
    const twin_buffer x = t.buffer(random_floats(n + 2, -1e-3f, 1e-3f, n)),
                      rb = t.buffer(random_floats(c.batches * c.rows, -1e4f, 1e4f, n + 1)),
                      cb = t.buffer(random_floats(c.batches * c.cols, -1, 1, n + 2));
    t.run(QZ_YPU_OP_ADD_BIAS_2D_F32, "taabe137", [&](bool g) {
      return qz_ypu_add_bias_2d_f32_params_t{x.on(g), rb.on(g), cb.on(g),
                                             c.batches, c.rows,  c.cols};
    });
    t.expect_same<float>(x, n + 2);
  }
}

}  // namespace
