#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "host/guarded.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

class Normalization : public testing::TestWithParam<ypu_backend> {};

std::vector<float> random_floats(size_t n, unsigned seed, float lo = -4.f, float hi = 6.f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float &x : v) x = dist(rng);
  return v;
}

// Mean and 1 / sqrt(variance + epsilon) of n values spaced `stride` apart.
std::pair<double, double> moments(const float *x, int n, int stride, double epsilon) {
  double mean = 0, var = 0;
  for (int i = 0; i < n; ++i) mean += x[i * stride];
  mean /= n;
  for (int i = 0; i < n; ++i) var += (x[i * stride] - mean) * (x[i * stride] - mean);
  var /= n;
  return {mean, 1 / std::sqrt(var + epsilon)};
}

std::vector<float> layer_norm(ypu_harness &h, const std::vector<float> &in, const std::vector<float> &gamma,
                              const std::vector<float> &beta, int32_t rows, int32_t cols, float epsilon) {
  const placed_operand x = place(h, in, 1, 2), g = place(h, gamma, 2, 1), b = place(h, beta, 4, 1);
  const placed_operand y = guarded<float>(h, in.size());
  const qz_ypu_layer_norm_f32_params_t params{
      .out = y.buffer, .in = x.buffer, .gamma = g.buffer, .beta = b.buffer, .epsilon = epsilon,
      .rows = rows, .cols = cols, .out_offset = y.offset, .in_offset = x.offset,
      .gamma_offset = g.offset, .beta_offset = b.offset};
  EXPECT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_F32, &params), QZ_STATUS_SUCCESS);
  return read_guarded<float>(h, y);
}

TEST_P(Normalization, LayerNormMatchesDoubleReference) {
  ypu_harness h(GetParam());
  const int rows = 3, cols = 41;
  const std::vector<float> in = random_floats(rows * cols, 1), gamma = random_floats(cols, 2),
                           beta = random_floats(cols, 3);
  const std::vector<float> out = layer_norm(h, in, gamma, beta, rows, cols, 1e-5f);
  for (int r = 0; r < rows; ++r) {
    const auto [mean, k] = moments(&in[r * cols], cols, 1, 1e-5);
    for (int j = 0; j < cols; ++j)
      EXPECT_TRUE(near_value(out[r * cols + j], (in[r * cols + j] - mean) * k * gamma[j] + beta[j],
                             1e-5, 1e-5))
          << r << "," << j;
  }
}

std::vector<uint32_t> bit_patterns(const std::vector<float> &v) {
  std::vector<uint32_t> bits(v.size());
  if (!v.empty()) std::memcpy(bits.data(), v.data(), v.size() * sizeof(float));
  return bits;
}

// Rows are normalised in groups: each row of a batch, and of a batch
// normalised in place, has the bits it has alone.
TEST_P(Normalization, LayerNormRowsOfABatchMatchEachRowAlone) {
  ypu_harness h(GetParam());
  const int cols = 37;
  const std::vector<float> gamma = random_floats(cols, 5), beta = random_floats(cols, 6);
  for (const int rows : {1, 3, 4, 5, 8, 9}) {
    SCOPED_TRACE(rows);
    const std::vector<float> in = random_floats(size_t(rows) * cols, 10 + rows, -30.f, 50.f);
    const std::vector<float> batch = layer_norm(h, in, gamma, beta, rows, cols, 1e-5f);
    std::vector<float> alone;
    for (int r = 0; r < rows; ++r) {
      const std::vector<float> row(in.begin() + r * cols, in.begin() + (r + 1) * cols);
      const std::vector<float> out = layer_norm(h, row, gamma, beta, 1, cols, 1e-5f);
      alone.insert(alone.end(), out.begin(), out.end());
    }
    EXPECT_EQ(bit_patterns(batch), bit_patterns(alone));

    const placed_operand x = place(h, in), g = place(h, gamma), b = place(h, beta);
    const qz_ypu_layer_norm_f32_params_t params{
        .out = x.buffer, .in = x.buffer, .gamma = g.buffer, .beta = b.buffer, .epsilon = 1e-5f,
        .rows = rows, .cols = cols, .out_offset = x.offset, .in_offset = x.offset,
        .gamma_offset = g.offset, .beta_offset = b.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_F32, &params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(bit_patterns(read_guarded<float>(h, x)), bit_patterns(alone));
  }
}

TEST_P(Normalization, LayerNormOfAConstantRowIsBeta) {
  ypu_harness h(GetParam());
  const std::vector<float> beta = {0.25f, -1.f, 7.f, 0.f, 2.f, 3.f, -4.f, 5.f};
  const std::vector<float> out =
      layer_norm(h, std::vector<float>(8, 3.f), std::vector<float>(8, 9.f), beta, 1, 8, 1e-5f);
  EXPECT_EQ(out, beta);
}

TEST_P(Normalization, PlainLayerNormMatchesDoubleReference) {
  ypu_harness h(GetParam());
  const int rows = 2, cols = 33;
  const std::vector<float> in = random_floats(rows * cols, 4);
  const placed_operand x = place(h, in);
  const placed_operand y = guarded<float>(h, in.size());
  const qz_ypu_layer_norm_plain_f32_params_t params{.out = y.buffer, .in = x.buffer,
                                                    .epsilon = 1e-3f, .rows = rows, .cols = cols,
                                                    .out_offset = y.offset, .in_offset = x.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_PLAIN_F32, &params), QZ_STATUS_SUCCESS);
  const std::vector<float> out = read_guarded<float>(h, y);
  for (int r = 0; r < rows; ++r) {
    const auto [mean, k] = moments(&in[r * cols], cols, 1, 1e-3);
    for (int j = 0; j < cols; ++j)
      EXPECT_TRUE(near_value(out[r * cols + j], (in[r * cols + j] - mean) * k, 1e-5, 1e-5));
  }
}

TEST_P(Normalization, ColumnLayerNormScalesByPositionAlongTheAxis) {
  ypu_harness h(GetParam());
  const int batch = 2, length = 5, cols = 3;
  const std::vector<float> in = random_floats(batch * length * cols, 5),
                           gamma = random_floats(length, 6), beta = random_floats(length, 7);
  const placed_operand x = place(h, in), g = place(h, gamma, 1, 1), b = place(h, beta, 2, 2);
  const placed_operand y = guarded<float>(h, in.size(), 4, 4);
  const qz_ypu_layer_norm_columns_f32_params_t params{
      .out = y.buffer, .in = x.buffer, .gamma = g.buffer, .beta = b.buffer, .epsilon = 1e-5f,
      .batch = batch, .length = length, .cols = cols, .out_offset = y.offset, .in_offset = x.offset,
      .gamma_offset = g.offset, .beta_offset = b.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_COLUMNS_F32, &params), QZ_STATUS_SUCCESS);
  const std::vector<float> out = read_guarded<float>(h, y);
  for (int bi = 0; bi < batch; ++bi) {
    for (int j = 0; j < cols; ++j) {
      const float *column = &in[bi * length * cols + j];
      const auto [mean, k] = moments(column, length, cols, 1e-5);
      for (int l = 0; l < length; ++l) {
        const int at = bi * length * cols + l * cols + j;
        EXPECT_TRUE(near_value(out[at], (in[at] - mean) * k * gamma[l] + beta[l], 1e-5, 1e-5))
            << bi << "," << l << "," << j;
      }
    }
  }
}

TEST_P(Normalization, RmsNormMatchesDoubleReference) {
  ypu_harness h(GetParam());
  const int rows = 3, cols = 17;
  const std::vector<float> in = random_floats(rows * cols, 8), gamma = random_floats(cols, 9);
  const placed_operand x = place(h, in), g = place(h, gamma, 5, 1);
  const placed_operand y = guarded<float>(h, in.size());
  const qz_ypu_rms_norm_f32_params_t params{.out = y.buffer, .in = x.buffer, .gamma = g.buffer,
                                            .epsilon = 1e-6f, .rows = rows, .cols = cols,
                                            .out_offset = y.offset, .in_offset = x.offset,
                                            .gamma_offset = g.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_RMS_NORM_F32, &params), QZ_STATUS_SUCCESS);
  const std::vector<float> out = read_guarded<float>(h, y);
  for (int r = 0; r < rows; ++r) {
    double s = 0;
    for (int j = 0; j < cols; ++j) s += double(in[r * cols + j]) * in[r * cols + j];
    const double k = 1 / std::sqrt(s / cols + 1e-6);
    for (int j = 0; j < cols; ++j)
      EXPECT_TRUE(near_value(out[r * cols + j], in[r * cols + j] * k * gamma[j], 1e-5, 1e-6));
  }
}

// Op 36 has no offsets: its operands start at the buffer's first byte, with
// guard elements only after them.
std::vector<int16_t> group_norm(ypu_harness &h, const std::vector<float> &in, int32_t length,
                                int32_t cols, float epsilon) {
  const placed_operand x = place(h, in, 0, 1);
  const placed_operand y = guarded<int16_t>(h, in.size(), 0, 3);
  const qz_ypu_group_norm_f32_params_t params{.out = y.buffer, .in = x.buffer, .epsilon = epsilon,
                                              .length = length, .cols = cols};
  EXPECT_EQ(h.run(QZ_YPU_OP_GROUP_NORM_F32, &params), QZ_STATUS_SUCCESS);
  return read_guarded<int16_t>(h, y);
}

TEST_P(Normalization, GroupNormToQ10MatchesDoubleReference) {
  ypu_harness h(GetParam());
  const int length = 9, cols = 4;
  const std::vector<float> in = random_floats(length * cols, 10);
  const std::vector<int16_t> out = group_norm(h, in, length, cols, 1e-5f);
  for (int j = 0; j < cols; ++j) {
    const auto [mean, k] = moments(&in[j], length, cols, 1e-5);
    for (int l = 0; l < length; ++l) {
      // Truncated toward zero; rounding may move a value next to an integer
      // across it.
      const double want = std::trunc((in[l * cols + j] - mean) * k * 1024);
      EXPECT_NEAR(out[l * cols + j], want, 1.0) << l << "," << j;
    }
  }
}

TEST_P(Normalization, GroupNormSaturatesAndDefinesZeroVariance) {
  ypu_harness h(GetParam());
  // One outlier among 1100 values normalises to about +-33, beyond Q10's
  // int16 range; the other values sit just below zero, truncated toward it.
  const int length = 1100, cols = 3;
  std::vector<float> in(length * cols, 0.f);
  in[0 * cols + 0] = 100.f;
  in[7 * cols + 1] = -100.f;
  for (int l = 0; l < length; ++l) in[l * cols + 2] = 1.5f;  // constant column
  const std::vector<int16_t> out = group_norm(h, in, length, cols, 0.f);
  EXPECT_EQ(out[0 * cols + 0], 32767);
  EXPECT_EQ(out[7 * cols + 1], -32768);
  EXPECT_EQ(out[1 * cols + 0], -30);  // -1024 / sqrt(1099) = -30.9
  EXPECT_EQ(out[1 * cols + 1], 30);
  // Zero variance with zero epsilon is 0 * infinity: written as 0.
  for (int l = 0; l < length; ++l) ASSERT_EQ(out[l * cols + 2], 0) << l;
}

struct gaussian_case {
  std::vector<float> values;  // positions x channels
  std::vector<float> widths, centres;
  std::vector<int32_t> anchors;
  int32_t channels, after, before;
};

std::vector<float> gaussian(ypu_harness &h, const gaussian_case &c) {
  const int32_t rows = static_cast<int32_t>(c.anchors.size());
  const int32_t positions = static_cast<int32_t>(c.widths.size());
  const placed_operand v = place(h, c.values, 0, 1), w = place(h, c.widths, 0, 1),
                       m = place(h, c.centres, 0, 1), a = place(h, c.anchors, 0, 1);
  const placed_operand y = guarded<float>(h, size_t(rows) * std::max(c.channels, 0), 0, 2);
  const qz_ypu_gaussian_weights_f32_params_t params{
      .out = y.buffer, .values = v.buffer, .widths = w.buffer, .centres = m.buffer,
      .anchors = a.buffer, .rows = rows, .positions = positions, .channels = c.channels,
      .after = c.after, .before = c.before};
  EXPECT_EQ(h.run(QZ_YPU_OP_GAUSSIAN_WEIGHTS_F32, &params), QZ_STATUS_SUCCESS);
  return read_guarded<float>(h, y);
}

TEST_P(Normalization, GaussianWeightsMatchDoubleReference) {
  ypu_harness h(GetParam());
  gaussian_case c;
  const int positions = 12;
  c.channels = 3;
  c.after = 2;
  c.before = 3;
  c.values = random_floats(positions * c.channels, 11);
  c.widths = random_floats(positions, 12, 0.5f, 3.f);
  c.centres = random_floats(positions, 13, 0.f, 8.f);
  c.anchors = {0, 5, 11, 3, 9, 1, 6, 2};  // windows clipped at both ends too
  const std::vector<float> out = gaussian(h, c);
  for (int i = 0; i < static_cast<int>(c.anchors.size()); ++i) {
    const int lo = std::max(0, c.anchors[i] - c.before);
    const int hi = std::min(positions - 1, c.anchors[i] + c.after);
    for (int ch = 0; ch < c.channels; ++ch) {
      double s = 0, t = 0;
      for (int k = lo; k <= hi; ++k) {
        const double d = i - c.centres[k];
        const double w = std::exp(-std::min(100.0, d * d) / (2.0 * c.widths[k] * c.widths[k]));
        s += w;
        t += w * c.values[k * c.channels + ch];
      }
      EXPECT_TRUE(near_value(out[i * c.channels + ch], t / std::max(1e-8, s), 1e-5, 1e-6))
          << i << "," << ch;
    }
  }
}

TEST_P(Normalization, GaussianWindowEdges) {
  ypu_harness h(GetParam());
  gaussian_case c;
  c.channels = 2;
  c.after = 0;
  c.before = 0;
  c.values = {1.5f, -2.5f, 4.f, 8.f, 3.f, 6.f};
  c.widths = {1.f, 2.f, 0.5f};
  c.centres = {0.f, 1.3f, 2.f};
  // Rows 0 and 1: one position each; rows 2 and 3: anchors far outside (the
  // window arithmetic must not wrap); row 4: anchor past the end.
  c.anchors = {0, 1, INT32_MAX, INT32_MIN, 3};
  std::vector<float> out = gaussian(h, c);
  EXPECT_EQ(out[0], 1.5f);
  EXPECT_EQ(out[1], -2.5f);
  EXPECT_FLOAT_EQ(out[2], 4.f);
  EXPECT_FLOAT_EQ(out[3], 8.f);
  for (int i = 4; i < 10; ++i) EXPECT_EQ(out[i], 0.f) << i;

  c.after = INT32_MAX;
  c.before = INT32_MAX;
  c.anchors = {INT32_MIN, INT32_MAX};  // every position, without overflow
  out = gaussian(h, c);
  for (float v : out) EXPECT_TRUE(std::isfinite(v));

  c.channels = 0;  // nothing to compute, nothing written
  out = gaussian(h, c);
  EXPECT_TRUE(out.empty());
}

TEST_P(Normalization, EmptyShapesWriteNothing) {
  ypu_harness h(GetParam());
  const std::vector<float> in = {1.f, 2.f, 3.f, 4.f};
  const placed_operand x = place(h, in), g = place(h, in), b = place(h, in);
  const placed_operand y = guarded<float>(h, 4);
  for (auto [rows, cols] : {std::pair{0, 4}, std::pair{4, 0}, std::pair{-2, 2}, std::pair{2, -2}}) {
    const qz_ypu_layer_norm_f32_params_t ln{.out = y.buffer, .in = x.buffer, .gamma = g.buffer,
                                            .beta = b.buffer, .epsilon = 1e-5f, .rows = rows,
                                            .cols = cols, .out_offset = y.offset,
                                            .in_offset = x.offset, .gamma_offset = g.offset,
                                            .beta_offset = b.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_F32, &ln), QZ_STATUS_SUCCESS);
    const qz_ypu_layer_norm_plain_f32_params_t plain{.out = y.buffer, .in = x.buffer,
                                                     .epsilon = 1e-5f, .rows = rows, .cols = cols,
                                                     .out_offset = y.offset, .in_offset = x.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_PLAIN_F32, &plain), QZ_STATUS_SUCCESS);
    const qz_ypu_rms_norm_f32_params_t rms{.out = y.buffer, .in = x.buffer, .gamma = g.buffer,
                                           .epsilon = 1e-5f, .rows = rows, .cols = cols,
                                           .out_offset = y.offset, .in_offset = x.offset,
                                           .gamma_offset = g.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_RMS_NORM_F32, &rms), QZ_STATUS_SUCCESS);
    const qz_ypu_layer_norm_columns_f32_params_t columns{
        .out = y.buffer, .in = x.buffer, .gamma = g.buffer, .beta = b.buffer, .epsilon = 1e-5f,
        .batch = 1, .length = rows, .cols = cols, .out_offset = y.offset, .in_offset = x.offset,
        .gamma_offset = g.offset, .beta_offset = b.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_LAYER_NORM_COLUMNS_F32, &columns), QZ_STATUS_SUCCESS);
  }
  expect_untouched(h, y);
}

INSTANTIATE_TEST_SUITE_P(Backends, Normalization, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
