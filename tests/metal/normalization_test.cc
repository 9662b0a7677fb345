// The Metal normalisations, row softmaxes, column reductions, the LSTM
// cell, the Gaussian-weighted average and the polar spectrum against the
// host implementations, through qz_ypu_execute on the stand-in device.
//
// Bounds: where a kernel adds in the host's order (the layer norms' two
// passes, the column loops) the results are compared bit for bit. The RMS
// norm and the float softmax add n terms of one sign in another order
// (per-thread strides, then the SIMD group, then the groups); two orders of
// one sum of n non-negative terms differ by at most 2(n - 1)u of the sum
// (u = 2^-24), and a reciprocal or a square root adds a few u, so their
// outputs are compared within (2n + 8)u relative.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "metal_twin.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::schedule;

float order_bound(int32_t n) { return (2.0f * static_cast<float>(n) + 8.0f) * kUnitRoundoff; }

struct row_shape {
  const char *name;
  int32_t rows, cols;
};

// One element, rows shorter than a SIMD group, exactly one, one more, a
// whole 512-thread group and rows longer than it.
constexpr row_shape ROW_SHAPES[] = {
    {"one", 1, 1},           {"short_rows", 3, 7},   {"simd_width", 2, 32},
    {"simd_plus_one", 2, 33}, {"group_width", 2, 512}, {"long_rows", 3, 1100},
};

class MetalRowOps : public testing::TestWithParam<row_shape> {};

// Layer norm with scale and shift, every operand at its own byte offset:
// the same two passes as the host, so the same bits.
TEST_P(MetalRowOps, LayerNormMatchesHostBitForBit) {
  const row_shape s = GetParam();
  metal_twin t;
  const size_t n = size_t(s.rows) * s.cols;
  auto in = t.buffer(random_floats(n + 2, -3.0f, 5.0f, 1));
  auto gamma = t.buffer(random_floats(s.cols + 1, 0.5f, 2.0f, 2));
  auto beta = t.buffer(random_floats(s.cols + 3, -1.0f, 1.0f, 3));
  auto out = t.bytes(int32_t(n + 1) * 4);
  t.run(QZ_YPU_OP_LAYER_NORM_F32, [&](bool g) {
    return qz_ypu_layer_norm_f32_params_t{out.on(g), in.on(g), gamma.on(g), beta.on(g), 1e-5f,
                                          s.rows, s.cols, 4, 8, 4, 12};
  });
  t.expect_same<float>(out, n + 1);
}

// The plain form: the host takes the variance in one pass (mean of squares
// less the squared mean), the kernel in two, so they differ by the
// cancellation of the one-pass form: for values within [-3, 5] and variance
// near 4/3 * 16, about n u times the mean square over the variance.
TEST_P(MetalRowOps, PlainLayerNormMatchesHostWithinTheOnePassError) {
  const row_shape s = GetParam();
  metal_twin t;
  const size_t n = size_t(s.rows) * s.cols;
  auto in = t.buffer(random_floats(n, -3.0f, 5.0f, 4));
  auto out = t.bytes(int32_t(n) * 4);
  t.run(QZ_YPU_OP_LAYER_NORM_PLAIN_F32, [&](bool g) {
    return qz_ypu_layer_norm_plain_f32_params_t{out.on(g), in.on(g), 1e-3f, s.rows, s.cols, 0, 0};
  });
  t.expect_close(out, n, 8.0f * order_bound(s.cols), 8.0f * order_bound(s.cols));
}

// RMS norm: 512 threads per row, sums combined per SIMD group and across
// the groups, under every order in which the harness resumes threads.
TEST_P(MetalRowOps, RmsNormMatchesHostUnderEverySchedule) {
  const row_shape s = GetParam();
  const size_t n = size_t(s.rows) * s.cols;
  for (schedule order : kAllSchedules) {
    metal_twin t(order);
    auto in = t.buffer(random_floats(n + 1, -2.0f, 2.0f, 5));
    auto weight = t.buffer(random_floats(s.cols, 0.5f, 1.5f, 6));
    auto out = t.bytes(int32_t(n + 2) * 4);
    t.run(QZ_YPU_OP_RMS_NORM_F32, [&](bool g) {
      return qz_ypu_rms_norm_f32_params_t{out.on(g), in.on(g), weight.on(g), 1e-6f,
                                          s.rows,    s.cols,   8,            4,   0};
    });
    t.expect_close(out, n + 2, order_bound(s.cols), 1e-30f);
  }
}

// Float softmax: one SIMD group per row.
TEST_P(MetalRowOps, SoftmaxMatchesHostUnderEverySchedule) {
  const row_shape s = GetParam();
  const size_t n = size_t(s.rows) * s.cols;
  for (schedule order : kAllSchedules) {
    metal_twin t(order);
    auto in = t.buffer(random_floats(n, -20.0f, 20.0f, 7));
    auto out = t.bytes(int32_t(n) * 4);
    t.run(QZ_YPU_OP_SOFTMAX_F32, [&](bool g) {
      return qz_ypu_softmax_f32_params_t{out.on(g), in.on(g), s.rows, s.cols, 0, 0};
    });
    t.expect_close(out, n, order_bound(s.cols), 1e-37f);
  }
}

// Fixed-point softmax: integers throughout, so the same integers as the
// host, whatever the threadgroup's width against the row (rows up to 1100
// take the 1024-thread group's stride loop).
TEST_P(MetalRowOps, FixedSoftmaxMatchesHostExactly) {
  const row_shape s = GetParam();
  const size_t n = size_t(s.rows) * s.cols;
  for (schedule order : kAllSchedules) {
    metal_twin t(order);
    auto in = t.buffer(random_ints<int16_t>(n, -20000, 20000, 8));
    auto out = t.bytes(int32_t(n) * 4);
    t.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, [&](bool g) {
      return qz_ypu_softmax_fixed_i16_params_t{out.on(g), in.on(g), s.rows, s.cols, 0, 0};
    });
    t.expect_same<int32_t>(out, n);
  }
}

// Column reductions over the rows of the shape: the host's order.
TEST_P(MetalRowOps, ColumnMeanAndQ10SumMatchHostExactly) {
  const row_shape s = GetParam();
  const size_t n = size_t(s.rows) * s.cols;
  metal_twin t;
  auto in = t.buffer(random_floats(n, -4.0f, 4.0f, 9));
  auto mean = t.bytes(s.cols * 4);
  t.run(QZ_YPU_OP_MEAN_ROWS_F32, [&](bool g) {
    return qz_ypu_mean_rows_f32_params_t{mean.on(g), in.on(g), s.rows, s.cols, 0, 0};
  });
  t.expect_same<float>(mean, s.cols);
  auto q10 = t.buffer(random_ints<int16_t>(n, -32768, 32767, 10));
  auto sum = t.bytes(s.cols * 4);
  t.run(QZ_YPU_OP_SUM_ROWS_I16, [&](bool g) {
    return qz_ypu_sum_rows_i16_params_t{sum.on(g), q10.on(g), s.rows, s.cols, 0, 0};
  });
  t.expect_same<float>(sum, s.cols);
}

// Normalisation down the columns: rows of the shape become the normalised
// axis of `batches` blocks.
TEST_P(MetalRowOps, ColumnLayerNormMatchesHostBitForBit) {
  const row_shape s = GetParam();
  const int32_t batches = 2;
  const size_t n = size_t(batches) * s.rows * s.cols;
  metal_twin t;
  auto in = t.buffer(random_floats(n, -2.0f, 3.0f, 11));
  auto gamma = t.buffer(random_floats(s.rows, 0.5f, 2.0f, 12));
  auto beta = t.buffer(random_floats(s.rows, -1.0f, 1.0f, 13));
  auto out = t.bytes(int32_t(n) * 4);
  t.run(QZ_YPU_OP_LAYER_NORM_COLUMNS_F32, [&](bool g) {
    return qz_ypu_layer_norm_columns_f32_params_t{
        out.on(g), in.on(g), gamma.on(g), beta.on(g), 1e-4f, batches, s.rows, s.cols, 0, 0, 0, 0};
  });
  t.expect_same<float>(out, n);
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalRowOps, testing::ValuesIn(ROW_SHAPES),
                         [](const testing::TestParamInfo<row_shape> &info) {
                           return std::string(info.param.name);
                         });

// The fixed-point softmax's exact values: e^0, e^-1, the smallest
// exponential, and rows of equal values (the sum then saturates the
// reciprocal for one element).
TEST(MetalFixedSoftmax, GivesTheExactQ31Values) {
  struct fixed_case {
    std::vector<int16_t> row;
    std::vector<int32_t> expected;
  };
  const fixed_case cases[] = {
      {{0}, {2147483645}},
      {{5, 5}, {1073741824, 1073741824}},
      {{-7, -7, -7, -7}, {536870912, 536870912, 536870912, 536870912}},
      // e^(-1) / (1 + e^(-1)) and the smallest exponential against e^0.
      {{1024, 0}, {1569936343, 577547305}},
      {{16383, 0}, {2147483406, 242}},
  };
  for (const fixed_case &c : cases) {
    metal_context gpu;
    const auto n = static_cast<int32_t>(c.row.size());
    qz_ypu_buffer_t *in = gpu.buffer(c.row);
    qz_ypu_buffer_t *out = gpu.buffer(n * 4);
    const qz_ypu_softmax_fixed_i16_params_t p{out, in, 1, n, 0, 0};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<int32_t>(out, c.row.size()), c.expected) << "row of " << n;
  }
}

// An empty row has nothing to normalise: the host implementation reports it.
TEST(MetalFixedSoftmax, EmptyRowsAreRefusedAsOnTheHost) {
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(16);
  const qz_ypu_softmax_fixed_i16_params_t p{b, b, 2, 0, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, &p), QZ_STATUS_INVALID_ARGUMENT);
}

// Group norm to Q10, within one code of the host (which multiplies by
// 1 / sqrt and then by 1024, the kernel by 1024 / sqrt: the products may
// straddle an integer). Deviations of +-0.5 with variance 0.25 + 1e-3 scale
// to +-1021.96, truncated toward zero on both sides.
TEST(MetalGroupNorm, TruncatesTowardZeroLikeTheHost) {
  {
    metal_context gpu;
    qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{0.5f, -0.5f});
    qz_ypu_buffer_t *out = gpu.buffer(4);
    const qz_ypu_group_norm_f32_params_t p{out, in, 1e-3f, 2, 1};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_GROUP_NORM_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<int16_t>(out, 2), (std::vector<int16_t>{1021, -1021}));
  }
  {
    // A constant column with eps 0 scales 0 by 1024 / 0: NaN, which has no
    // integer value and becomes 0, as on the host.
    metal_context gpu;
    qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{3.0f, 3.0f});
    qz_ypu_buffer_t *out = gpu.buffer(4, 0x55);
    const qz_ypu_group_norm_f32_params_t p{out, in, 0.0f, 2, 1};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_GROUP_NORM_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<int16_t>(out, 2), (std::vector<int16_t>{0, 0}));
  }
  const int32_t rows = 37, cols = 9;
  metal_twin t;
  auto x = t.buffer(random_floats(size_t(rows) * cols, -1.0f, 1.0f, 14));
  auto out = t.bytes(rows * cols * 2);
  t.run(QZ_YPU_OP_GROUP_NORM_F32, [&](bool g) {
    return qz_ypu_group_norm_f32_params_t{out.on(g), x.on(g), 1e-5f, rows, cols};
  });
  const auto g = t.gpu_values<int16_t>(out, size_t(rows) * cols);
  const auto h = t.host_values<int16_t>(out, size_t(rows) * cols);
  for (size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], h[i], 1) << i;
}

// The LSTM cell: integers through the sigmoid table, the same as the host,
// including the gates left in the gates buffer.
TEST(MetalLstmCell, MatchesHostExactlyOverTheWholeInputRange) {
  const int32_t hidden = 300;
  metal_twin t;
  auto gates = t.buffer(random_ints<int16_t>(size_t(3 * hidden) + 2, -32768, 32767, 15));
  auto cell = t.buffer(random_ints<int16_t>(hidden + 1, -32768, 32767, 16));
  auto h = t.bytes((hidden + 3) * 2);
  t.run(QZ_YPU_OP_LSTM_CELL_I16, [&](bool g) {
    return qz_ypu_lstm_cell_i16_params_t{h.on(g), cell.on(g), gates.on(g), hidden, 6, 2, 4};
  });
  t.expect_same<int16_t>(h, hidden + 3);
  t.expect_same<int16_t>(cell, hidden + 1);
  t.expect_same<int16_t>(gates, size_t(3 * hidden) + 2);
}

TEST(MetalLstmCell, ZeroGatesAndCellGiveTheDocumentedState) {
  metal_context gpu;
  qz_ypu_buffer_t *gates = gpu.buffer(std::vector<int16_t>{0, 0, 0});
  qz_ypu_buffer_t *cell = gpu.buffer(std::vector<int16_t>{0});
  qz_ypu_buffer_t *h = gpu.buffer(std::vector<int16_t>{77});
  const qz_ypu_lstm_cell_i16_params_t p{h, cell, gates, 1, 0, 0, 0};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_LSTM_CELL_I16, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<int16_t>(h, 1), std::vector<int16_t>{0});
  EXPECT_EQ(gpu.read<int16_t>(cell, 1), std::vector<int16_t>{0});
  EXPECT_EQ(gpu.read<int16_t>(gates, 3), (std::vector<int16_t>{0, 0, 16384}));
}

// Gaussian weights: the window around each bucket clipped to the sources,
// buckets outside (and far outside, where bucket +- reach passes int32)
// giving 0. The weights' denominators round differently ((w 2) w against
// w w 2) and the host divides in double: a few u per term.
TEST(MetalGaussianWeights, MatchesHostWithWindowsClippedAtBothEnds) {
  const int32_t frames = 7, sources = 5, dim = 6;
  metal_twin t;
  auto values = t.buffer(random_floats(size_t(sources) * dim, -1.0f, 1.0f, 17));
  auto sigma = t.buffer(random_floats(sources, 0.5f, 2.0f, 18));
  auto mu = t.buffer(std::vector<float>{0.0f, 1.5f, 2.0f, 4.0f, 6.5f});
  auto centers = t.buffer(std::vector<int32_t>{0, 1, 4, 2, -3, 9, 2147483647});
  auto out = t.bytes(frames * dim * 4, 0xFF);
  for (const auto &[right, left] : {std::pair{1, 2}, std::pair{0, 0}, std::pair{10, 10}}) {
    t.run(QZ_YPU_OP_GAUSSIAN_WEIGHTS_F32, [&](bool g) {
      return qz_ypu_gaussian_weights_f32_params_t{out.on(g), values.on(g), sigma.on(g), mu.on(g),
                                                  centers.on(g), frames, sources, dim, right, left};
    });
    t.expect_close(out, size_t(frames) * dim, 16 * kUnitRoundoff, 1e-7f);
    const auto g = t.gpu_values<float>(out, size_t(frames) * dim);
    for (int32_t j = 0; j < dim; ++j) {
      // Bucket 9 of 5 sources reaches back to them only with a reach of 5.
      if (left < 5) {
        EXPECT_EQ(g[5 * dim + j], 0.0f) << "bucket 9";
      }
      EXPECT_EQ(g[6 * dim + j], 0.0f) << "bucket INT32_MAX";
    }
  }
}

// Polar spectrum: n = 4 gives three bins weighted 1, 2, 1 over 4 with the
// first and last imaginary parts 0; n = 7 (odd) has no zeroed last bin.
TEST(MetalPolarSpectrum, MatchesHostAndZeroesTheEdgeBins) {
  for (const int32_t n : {4, 7, 16}) {
    const int32_t frames = 3, width = n + 2;
    metal_twin t;
    auto in = t.buffer(random_floats(size_t(frames) * width, -3.0f, 3.0f, 19));
    auto out = t.bytes(frames * width * 4, 0xFF);
    t.run(QZ_YPU_OP_POLAR_SPECTRUM_F32, [&](bool g) {
      return qz_ypu_polar_spectrum_f32_params_t{out.on(g), in.on(g), frames, n, 0, 0};
    });
    t.expect_close(out, size_t(frames) * width, 8 * kUnitRoundoff, 1e-7f);
    const auto g = t.gpu_values<float>(out, size_t(frames) * width);
    for (int32_t f = 0; f < frames; ++f) {
      EXPECT_EQ(g[f * width + 1], 0.0f);
      EXPECT_EQ(g[f * width + n + 1], 0.0f);
    }
  }
}

}  // namespace

namespace {

// A pipeline allowing fewer than the RMS norm's 512 threads per
// threadgroup: the refused dispatch is reported, not passed off as done.
TEST(MetalRmsNormLimits, RefusedThreadgroupIsReported) {
  qz_metal_standin::standin().max_threads_per_threadgroup = 256;
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(64, 0);
  const qz_ypu_rms_norm_f32_params_t p{b, b, b, 1e-6f, 2, 8, 0, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_RMS_NORM_F32, &p), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000344: Device state error."});
}

// A pipeline allowing 2048 threads: the fixed-point softmax's threadgroup
// still stops at the 1024 entries of its per-thread arrays.
TEST(MetalFixedSoftmaxLimits, WideRowsOnAWidePipelineMatchHost) {
  qz_metal_standin::standin().max_threads_per_threadgroup = 2048;
  const int32_t rows = 2, cols = 1500;
  metal_twin t;
  auto in = t.buffer(random_ints<int16_t>(size_t(rows) * cols, -30000, 30000, 20));
  auto out = t.bytes(rows * cols * 4);
  t.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, [&](bool g) {
    return qz_ypu_softmax_fixed_i16_params_t{out.on(g), in.on(g), rows, cols, 0, 0};
  });
  t.expect_same<int32_t>(out, size_t(rows) * cols);
  EXPECT_EQ(qz_metal_standin::standin().dispatches.back().group[0], 1024u);
}

}  // namespace
