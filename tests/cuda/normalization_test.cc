// Row and column normalisations, the row mean and the softmaxes against the
// host, over row lengths around the block and warp sizes, and under every
// harness schedule (a missing barrier shows as a schedule-dependent result).
#include "twin.h"

#include "gpu_harness/device_maths.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::device_relative_error;
using qz_gpu_harness::kAllSchedules;
using qz_gpu_harness::kDeviceMaths;
using qz_gpu_harness::kHostMathsUlps;
using qz_gpu_harness::schedule;

// The relative difference the GPU's documented maths adds against the
// host: the row scale's rsqrtf (the host's 1 / sqrtf rounds twice), and for
// the softmax each exponential in its value and in the row's sum.
constexpr double kRsqrtRel = device_relative_error(kDeviceMaths.rsqrtf) + 2 * 0x1p-24;
constexpr double kSoftmaxRel =
    2 * (device_relative_error(kDeviceMaths.expf) + device_relative_error(kHostMathsUlps));

constexpr int32_t kLengths[] = {1, 31, 32, 33, 511, 512, 513, 700, 5000};

struct row_case {
  const char *name;
  uint32_t op;
  float rel, abs;    // the reductions' different orders against the host
  double maths_rel;  // the device maths' part, relative
};

class CudaRows : public ::testing::TestWithParam<row_case> {};

// Runs the row op on `rows` rows of n values; returns the device's output.
std::vector<float> run_rows(twin &t, const row_case &c, int32_t rows, int32_t n,
                            const std::vector<float> &in) {
  const int32_t total = rows * n;
  const twin_buffer out = t.bytes(4 * total + 4), x = t.buffer(in),
                    gamma = t.buffer(random_floats(n, 0.5f, 2, 7)),
                    beta = t.buffer(random_floats(n, -1, 1, 8));
  switch (c.op) {
    case QZ_YPU_OP_LAYER_NORM_F32:
      t.run(c.op, [&](bool g) {
        return qz_ypu_layer_norm_f32_params_t{out.on(g), x.on(g), gamma.on(g), beta.on(g), 1e-5f,
                                              rows,      n,       4,           0,          0,
                                              0};
      });
      break;
    case QZ_YPU_OP_LAYER_NORM_PLAIN_F32:
      t.run(c.op, [&](bool g) {
        return qz_ypu_layer_norm_plain_f32_params_t{out.on(g), x.on(g), 1e-5f, rows, n, 4, 0};
      });
      break;
    case QZ_YPU_OP_RMS_NORM_F32:
      t.run(c.op, [&](bool g) {
        return qz_ypu_rms_norm_f32_params_t{out.on(g), x.on(g), gamma.on(g), 1e-5f, rows, n,
                                            4,         0,       0};
      });
      break;
    default:
      t.run(c.op, [&](bool g) {
        return qz_ypu_softmax_f32_params_t{out.on(g), x.on(g), rows, n, 4, 0};
      });
  }
  const auto all = t.gpu_values<float>(out, total + 1);
  EXPECT_EQ(all[0], 0.0f) << "the float before the output offset is untouched";
  const auto host = t.host_values<float>(out, total + 1);
  for (int32_t i = 1; i <= total; ++i)
    EXPECT_NEAR(all[i], host[i], c.abs + (c.rel + c.maths_rel) * std::fabs(host[i]))
        << "element " << i - 1;
  return all;
}

TEST_P(CudaRows, MatchesHostAtEveryLengthAndSchedule) {
  const row_case &c = GetParam();
  for (int32_t n : kLengths) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const int32_t rows = n > 1000 ? 2 : 3;
    const std::vector<float> in = random_floats(rows * n, -4, 6, n);
    std::vector<float> first;
    for (schedule order : kAllSchedules) {
      twin t(order);
      const std::vector<float> out = run_rows(t, c, rows, n, in);
      if (first.empty())
        first = out;
      else
        EXPECT_EQ(std::memcmp(out.data(), first.data(), 4 * out.size()), 0)
            << "result depends on the schedule " << static_cast<int>(order);
    }
  }
}

// Values near 100 with a spread of 0.01: the one-pass variance cancels to
// about zero and may come out negative, which must not give NaN rows.
TEST(CudaRows, LargeMeanSmallSpreadStaysFinite) {
  const int32_t n = 700;
  const std::vector<float> in = random_floats(n, 99.995f, 100.005f, 3);
  twin t;
  const twin_buffer out = t.bytes(4 * n), plain = t.bytes(4 * n), x = t.buffer(in),
                    gamma = t.buffer(std::vector<float>(n, 1)),
                    beta = t.buffer(std::vector<float>(n, 0));
  t.run(QZ_YPU_OP_LAYER_NORM_F32, [&](bool g) {
    return qz_ypu_layer_norm_f32_params_t{out.on(g), x.on(g), gamma.on(g), beta.on(g), 1e-5f,
                                          1, n, 0, 0, 0, 0};
  });
  t.run(QZ_YPU_OP_LAYER_NORM_PLAIN_F32, [&](bool g) {
    return qz_ypu_layer_norm_plain_f32_params_t{plain.on(g), x.on(g), 1e-5f, 1, n, 0, 0};
  });
  for (float v : t.gpu_values<float>(out, n)) ASSERT_TRUE(std::isfinite(v));
  for (float v : t.gpu_values<float>(plain, n)) ASSERT_TRUE(std::isfinite(v));
}

INSTANTIATE_TEST_SUITE_P(
    Ops, CudaRows,
    ::testing::Values(
        row_case{"layer_norm", QZ_YPU_OP_LAYER_NORM_F32, 2e-4f, 2e-4f, kRsqrtRel},
        row_case{"layer_norm_plain", QZ_YPU_OP_LAYER_NORM_PLAIN_F32, 2e-4f, 2e-4f, kRsqrtRel},
        row_case{"rms_norm", QZ_YPU_OP_RMS_NORM_F32, 1e-5f, 1e-6f, kRsqrtRel},
        row_case{"softmax", QZ_YPU_OP_SOFTMAX_F32, 2e-5f, 1e-9f, kSoftmaxRel}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CudaRows, IdenticalValuesGiveBeta) {
  twin t;
  const int32_t n = 600;
  const std::vector<float> beta_values = random_floats(n, -1, 1, 2);
  const twin_buffer out = t.bytes(4 * n), x = t.buffer(std::vector<float>(n, 3.25f)),
                    gamma = t.buffer(random_floats(n, 0.5f, 2, 1)), beta = t.buffer(beta_values);
  t.run(QZ_YPU_OP_LAYER_NORM_F32, [&](bool g) {
    return qz_ypu_layer_norm_f32_params_t{out.on(g), x.on(g), gamma.on(g), beta.on(g), 1e-5f,
                                          1, n, 0, 0, 0, 0};
  });
  EXPECT_EQ(t.gpu_values<float>(out, n), beta_values);
}

TEST(CudaRows, SoftmaxOfOneElementIsOne) {
  twin t;
  const twin_buffer out = t.bytes(4 * 3), x = t.buffer(std::vector<float>{-7, 0, 88});
  t.run(QZ_YPU_OP_SOFTMAX_F32,
        [&](bool g) { return qz_ypu_softmax_f32_params_t{out.on(g), x.on(g), 3, 1, 0, 0}; });
  EXPECT_EQ(t.gpu_values<float>(out, 3), (std::vector<float>{1, 1, 1}));
}

// The fixed-point softmax truncates where the host rounds: within 2 units
// of Q31 per step; the row total stays near 2^31.
TEST(CudaRows, FixedSoftmaxAtEveryLengthAndSchedule) {
  for (int32_t n : kLengths) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const int32_t rows = 2;
    std::vector<int16_t> in = random_ints<int16_t>(rows * n, -20000, 20000, n);
    in[0] = 20000;
    if (n > 2) in[1] = 20000 - 16384;  // a = 16383, the tables' last entries
    std::vector<int32_t> first;
    for (schedule order : kAllSchedules) {
      twin t(order);
      const twin_buffer out = t.bytes(4 * rows * n), x = t.buffer(in);
      t.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, [&](bool g) {
        return qz_ypu_softmax_fixed_i16_params_t{out.on(g), x.on(g), rows, n, 0, 0};
      });
      const auto g = t.gpu_values<int32_t>(out, rows * n), h = t.host_values<int32_t>(out, rows * n);
      for (int32_t i = 0; i < rows * n; ++i)
        ASSERT_NEAR(g[i], h[i], 4 + std::abs(h[i]) / 1000000) << "element " << i;
      if (first.empty())
        first = g;
      else
        EXPECT_EQ(g, first) << "result depends on the schedule";
    }
  }
}

TEST(CudaRows, FixedSoftmaxOfEqualValues) {
  twin t;
  const int32_t n = 8;
  const twin_buffer out = t.bytes(4 * n), x = t.buffer(std::vector<int16_t>(n, 1234));
  t.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, [&](bool g) {
    return qz_ypu_softmax_fixed_i16_params_t{out.on(g), x.on(g), 1, n, 0, 0};
  });
  // e = (2^31 - 1)^2 >> 31 for every element, so each gets about 2^31 / 8.
  for (int32_t v : t.gpu_values<int32_t>(out, n)) EXPECT_NEAR(v, 268435456, 2);
}

TEST(CudaColumns, LayerNormColumns) {
  struct shape {
    int32_t batch, length, cols;
  } shapes[] = {{1, 1, 1}, {2, 5, 300}, {3, 33, 7}, {65537, 2, 1}};
  for (const shape &s : shapes) {
    SCOPED_TRACE(std::to_string(s.batch) + "x" + std::to_string(s.length) + "x" +
                 std::to_string(s.cols));
    twin t;
    const int32_t n = s.batch * s.length * s.cols;
    const twin_buffer out = t.bytes(4 * n + 4), x = t.buffer(random_floats(n, -3, 5, n)),
                      gamma = t.buffer(random_floats(s.length, 0.5f, 2, 1)),
                      beta = t.buffer(random_floats(s.length, -1, 1, 2));
    t.run(QZ_YPU_OP_LAYER_NORM_COLUMNS_F32, [&](bool g) {
      return qz_ypu_layer_norm_columns_f32_params_t{out.on(g), x.on(g), gamma.on(g), beta.on(g),
                                                    1e-5f,     s.batch, s.length,    s.cols,
                                                    4,         0,       0,           0};
    });
    t.expect_close(out, n + 1, 2e-6f, 2e-6f);
  }
}

TEST(CudaColumns, GroupNormToQ10) {
  for (auto [length, cols] : {std::pair{1, 1}, {7, 300}, {40, 5}}) {
    twin t;
    const int32_t n = length * cols;
    std::vector<float> in = random_floats(n, -3, 5, n);
    if (length > 1) in[0] = 1e4f;  // saturates
    const twin_buffer out = t.bytes(2 * n), x = t.buffer(in);
    t.run(QZ_YPU_OP_GROUP_NORM_F32, [&](bool g) {
      return qz_ypu_group_norm_f32_params_t{out.on(g), x.on(g), 1e-5f, length, cols};
    });
    const auto g = t.gpu_values<int16_t>(out, n), h = t.host_values<int16_t>(out, n);
    for (int32_t i = 0; i < n; ++i) ASSERT_NEAR(g[i], h[i], 1) << "element " << i;
  }
}

TEST(CudaColumns, MeanRows) {
  for (auto [rows, cols] : {std::pair{1, 1}, {1, 70}, {9, 130}, {300, 3}}) {
    twin t;
    const twin_buffer out = t.bytes(4 * cols + 8), x = t.buffer(random_floats(rows * cols, -3, 5, cols));
    t.run(QZ_YPU_OP_MEAN_ROWS_F32, [&](bool g) {
      return qz_ypu_mean_rows_f32_params_t{out.on(g), x.on(g), rows, cols, 8, 0};
    });
    t.expect_same<float>(out, cols + 2);
  }
}

}  // namespace
