// Row and column broadcasts and the two-sided bias against the host, over
// shapes that are no multiple of the 8 x 8 blocks, and the clamped grids.
#include "twin.h"

#include "ypu/params.h"

namespace {

struct broadcast_case {
  const char *name;
  uint32_t op;
};

class CudaBroadcast : public ::testing::TestWithParam<broadcast_case> {};

// The kernels fuse the multiply-add of op 47, which the host rounds twice.
void check(twin &t, const broadcast_case &c, const twin_buffer &out, int32_t n) {
  if (c.op == QZ_YPU_OP_FMA_ROW_F32)
    t.expect_close(out, n, 2e-7f, 1e-7f);
  else
    t.expect_same<float>(out, n);
}

TEST_P(CudaBroadcast, MatchesHostBitForBit) {
  const broadcast_case &c = GetParam();
  for (auto [rows, cols] : {std::pair{1, 1}, {7, 9}, {9, 17}, {33, 65}}) {
    SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
    twin t;
    const int32_t n = rows * cols, v = std::max(rows, cols);
    const twin_buffer out = t.buffer(random_floats(n + 1, -1, 1, 3)),
                      a = t.buffer(random_floats(n + 2, -10, 10, n)),
                      vec = t.buffer(random_floats(v + 3, 0.5f, 4, v));
    t.run(c.op, [&](bool g) {
      return qz_ypu_broadcast_params_t{out.on(g), a.on(g), vec.on(g), rows, cols, 4, 8, 12};
    });
    check(t, c, out, n + 1);
  }
}

// One row of 600000 columns: 75000 column blocks, more than a grid holds;
// every kernel loops over the columns beyond the grid.
TEST_P(CudaBroadcast, LongRowsLoop) {
  const broadcast_case &c = GetParam();
  const int32_t cols = 600000;
  twin t;
  const twin_buffer out = t.bytes(4 * cols), a = t.buffer(random_floats(cols, -10, 10, 1)),
                    vec = t.buffer(random_floats(cols, 0.5f, 4, 2));
  t.run(c.op, [&](bool g) {
    return qz_ypu_broadcast_params_t{out.on(g), a.on(g), vec.on(g), 1, cols, 0, 0, 0};
  });
  check(t, c, out, cols);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, CudaBroadcast,
    ::testing::Values(broadcast_case{"add_row", QZ_YPU_OP_ADD_ROW_F32},
                      broadcast_case{"add_col", QZ_YPU_OP_ADD_COL_F32},
                      broadcast_case{"fma_row", QZ_YPU_OP_FMA_ROW_F32},
                      broadcast_case{"div_row", QZ_YPU_OP_DIV_ROW_F32},
                      broadcast_case{"mul_row", QZ_YPU_OP_MUL_ROW_F32},
                      broadcast_case{"mul_col", QZ_YPU_OP_MUL_COL_F32},
                      broadcast_case{"sub_row", QZ_YPU_OP_SUB_ROW_F32},
                      broadcast_case{"sub_col", QZ_YPU_OP_SUB_COL_F32}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CudaBroadcast, BiasOverBatchesRowsAndColumns) {
  struct shape {
    int32_t outer, rows, cols;
  } shapes[] = {{1, 1, 1}, {2, 3, 257}, {3, 5, 600}, {65537, 1, 1}, {1, 65537, 2}};
  for (const shape &s : shapes) {
    SCOPED_TRACE(std::to_string(s.outer) + "x" + std::to_string(s.rows) + "x" +
                 std::to_string(s.cols));
    twin t;
    const int32_t n = s.outer * s.rows * s.cols;
    const twin_buffer x = t.buffer(random_floats(n, -1, 1, n)),
                      a = t.buffer(random_floats(s.outer * s.rows, -1, 1, 5)),
                      b = t.buffer(random_floats(s.outer * s.cols, -1, 1, 6));
    t.run(QZ_YPU_OP_ADD_BIAS_2D_F32, [&](bool g) {
      return qz_ypu_add_bias_2d_f32_params_t{x.on(g), a.on(g), b.on(g), s.outer, s.rows, s.cols};
    });
    t.expect_same<float>(x, n);
  }
}

}  // namespace
