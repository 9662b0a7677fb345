// The Metal matrix products against the host implementation: the int8 x
// int16 linear layers bit for bit, the float products bit for bit where the
// kernel adds in the host's order (op 40) and within the order bound where
// it sums across a SIMD-group (op 21).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "metal/metal_twin.h"
#include "support/metal_test.h"
#include "ypu/metal/ops.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {


struct linear_case {
  const char *name;
  int32_t rows, outputs, inputs;
  int x_limit;  // activations in [-x_limit, x_limit]
};

class MetalLinearI8I16 : public MetalTest, public testing::WithParamInterface<linear_case> {};

// Outputs past a multiple of 16 leave threads idle; large activations drive
// the sums past int16 so both ends saturate; op 19 adds to an output that
// holds values near the limits.
TEST_P(MetalLinearI8I16, BothFormsMatchTheHostBitForBit) {
  const linear_case &c = GetParam();
  for (const qz_gpu_harness::schedule order : kAllSchedules)
    for (const bool accumulate : {false, true}) {
      SCOPED_TRACE(accumulate ? "op 19" : "op 20");
      metal_twin t(order);
      const int32_t offset = 6;  // bytes: three int16 ahead of the operands
      const auto x =
          random_ints<int16_t>(3 + size_t(c.rows) * c.inputs, -c.x_limit, c.x_limit, 20);
      const auto w = random_ints<int8_t>(size_t(c.outputs) * c.inputs, -128, 127, 21);
      const auto bias = random_ints<int8_t>(c.outputs, -128, 127, 22);
      const auto start =
          random_ints<int16_t>(3 + size_t(c.rows) * c.outputs + 5, -32768, 32767, 23);
      const twin_buffer xb = t.buffer(x), wb = t.buffer(w), bb = t.buffer(bias),
                              out = t.buffer(start);
      t.run(accumulate ? QZ_YPU_OP_LINEAR_ACC_I8I16 : QZ_YPU_OP_LINEAR_I8I16,
            accumulate ? "taabe10" : "taabe36", [&](bool gpu) {
              return qz_ypu_linear_i8i16_params_t{out.on(gpu), xb.on(gpu), wb.on(gpu),
                                                  bb.on(gpu),  c.rows,     c.outputs,
                                                  c.inputs,    offset,     offset};
            });
      t.expect_same<int16_t>(out, start.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalLinearI8I16,
                         testing::Values(linear_case{"one_output", 1, 1, 1, 100},
                                         linear_case{"outputs_17", 3, 17, 31, 300},
                                         linear_case{"saturating", 2, 20, 200, 32767},
                                         linear_case{"inputs_past_simd_width", 5, 33, 100, 1000}),
                         [](const testing::TestParamInfo<linear_case> &info) {
                           return info.param.name;
                         });

// The rounding of v = (dot + 64 + bias·1024) >> 7 on one input: 64 gives 1,
// 63 gives 0, -65 gives -1 (arithmetic shift), a bias of 1 adds 8.
TEST_F(MetalLinearI8I16, RoundsWithSixtyFourBeforeTheShift) {
  struct rounding {
    int16_t x;
    int8_t w, bias;
    int16_t want;
  };
  for (const rounding r : {rounding{64, 1, 0, 1}, rounding{63, 1, 0, 0}, rounding{-65, 1, 0, -1},
                           rounding{0, 1, 1, 8}, rounding{64, 1, 1, 9}}) {
    metal_context gpu;
    qz_ypu_buffer_t *x = gpu.buffer(std::vector<int16_t>{r.x});
    qz_ypu_buffer_t *w = gpu.buffer(std::vector<int8_t>{r.w});
    qz_ypu_buffer_t *b = gpu.buffer(std::vector<int8_t>{r.bias});
    qz_ypu_buffer_t *out = gpu.buffer(std::vector<int16_t>{-7});
    const qz_ypu_linear_i8i16_params_t p{out, x, w, b, 1, 1, 1, 0, 0};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_LINEAR_I8I16, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<int16_t>(out, 1)[0], r.want) << r.x << " " << +r.bias;
  }
}

struct batched_case {
  const char *name;
  uint32_t b_per_head;
  int32_t batch, heads, rows, cols, depth;
};

class MetalMatmulBatched : public MetalTest, public testing::WithParamInterface<batched_case> {};

// Each output is a dot product of `depth` terms added per lane, then across
// the SIMD-group; two orders of D terms differ by at most 2·D·u·Σ|term|.
// The key block is chosen by the head (b_per_head) or the row.
TEST_P(MetalMatmulBatched, MatchesTheHostWithinTheOrderBound) {
  const batched_case &c = GetParam();
  for (const qz_gpu_harness::schedule order : kAllSchedules) {
    metal_twin t(order);
    const size_t rows = size_t(c.batch) * c.heads * c.rows;
    const size_t blocks = c.b_per_head ? c.heads : c.rows;
    const auto a = random_floats(rows * c.depth, -1, 1, 30);
    const auto b = random_floats(blocks * c.cols * c.depth, -1, 1, 31);
    const twin_buffer ab = t.buffer(a), bb = t.buffer(b),
                            out = t.bytes(int32_t(rows * c.cols * 4), 0xFF);
    t.run(QZ_YPU_OP_MATMUL_NT_BATCHED_F32, "taabe116", [&](bool gpu) {
      return qz_ypu_matmul_nt_batched_f32_params_t{out.on(gpu),  ab.on(gpu), bb.on(gpu),
                                                   c.b_per_head, c.batch,    c.heads,
                                                   c.rows,       c.cols,     c.depth};
    });
    std::vector<double> bound(rows * c.cols);
    for (size_t row = 0; row < rows; ++row) {
      const size_t h = row / c.rows % c.heads, r = row % c.rows;
      const size_t block = c.b_per_head ? h : r;
      for (int32_t q = 0; q < c.cols; ++q) {
        double magnitude = 0;
        for (int32_t l = 0; l < c.depth; ++l)
          magnitude +=
              std::fabs(double{a[row * c.depth + l]} * b[(block * c.cols + q) * c.depth + l]);
        bound[row * c.cols + q] = 2.0 * c.depth * kUnitRoundoff * magnitude;
      }
    }
    t.expect_within(out, bound);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalMatmulBatched,
                         testing::Values(batched_case{"block_per_row", 0, 2, 3, 4, 5, 7},
                                         batched_case{"block_per_head", 1, 2, 3, 4, 5, 7},
                                         batched_case{"depth_past_simd_width", 1, 1, 2, 3, 4, 75},
                                         batched_case{"one_of_each", 0, 1, 1, 1, 1, 1}),
                         [](const testing::TestParamInfo<batched_case> &info) {
                           return info.param.name;
                         });

struct matmul_case {
  const char *name;
  int32_t m, n, k;
};

class MetalMatmulNt : public MetalTest, public testing::WithParamInterface<matmul_case> {};

// One thread per output adding in index order from 0, as the host does:
// the same bits, at the records' byte offsets.
TEST_P(MetalMatmulNt, MatchesTheHostBitForBit) {
  const matmul_case &c = GetParam();
  metal_twin t;
  const auto a = random_floats(2 + size_t(c.m) * c.k, -3, 3, 40);
  const auto b = random_floats(1 + size_t(c.n) * c.k, -3, 3, 41);
  const twin_buffer ab = t.buffer(a), bb = t.buffer(b);
  const twin_buffer out = t.bytes(int32_t(12 + size_t(c.m) * c.n * 4 + 8), 0xFF);
  t.run(QZ_YPU_OP_MATMUL_NT_F32, "taabe145", [&](bool gpu) {
    return qz_ypu_matmul_nt_f32_params_t{out.on(gpu), ab.on(gpu), bb.on(gpu), c.m, c.n,
                                         c.k,         12,         8,          4};
  });
  t.expect_same<uint32_t>(out, 3 + size_t(c.m) * c.n + 2);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MetalMatmulNt,
    testing::Values(matmul_case{"one", 1, 1, 1}, matmul_case{"tall", 37, 3, 16},
                    matmul_case{"wide", 2, 45, 33}, matmul_case{"empty_sums", 3, 4, 0}),
    [](const testing::TestParamInfo<matmul_case> &info) { return info.param.name; });

// An operand offset before its buffer's start is not bound to a kernel:
// the entries hand such records back (to the host implementation).
TEST_F(MetalMatmulNt, NegativeOffsetsAreNotBound) {
  metal_context gpu;
  qz_ypu_buffer_t *a = gpu.buffer(64), *b = gpu.buffer(64), *out = gpu.buffer(64);
  const qz_ypu_matmul_nt_f32_params_t matmul{out, a, b, 2, 2, 2, -4, 0, 0};
  EXPECT_EQ(qz_ypu_metal_matmul_nt_f32(gpu.device(), nullptr, &matmul), QZ_STATUS_INVALID_ARGUMENT);
  const qz_ypu_linear_i8i16_params_t linear{out, a, b, b, 1, 2, 2, 0, -2};
  EXPECT_EQ(qz_ypu_metal_linear_i8i16(gpu.device(), nullptr, &linear), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
}

}  // namespace
