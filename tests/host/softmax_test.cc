#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "host/guarded.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

class Softmax : public testing::TestWithParam<ypu_backend> {};

std::vector<float> run_softmax(ypu_harness &h, const std::vector<float> &in, int32_t rows,
                               int32_t cols) {
  const placed_operand x = place(h, in, 5, 1);
  const placed_operand y = guarded<float>(h, in.size());
  const qz_ypu_softmax_f32_params_t params{.out = y.buffer, .in = x.buffer, .rows = rows,
                                           .cols = cols, .out_offset = y.offset,
                                           .in_offset = x.offset};
  EXPECT_EQ(h.run(QZ_YPU_OP_SOFTMAX_F32, &params), QZ_STATUS_SUCCESS);
  return read_guarded<float>(h, y);
}

TEST_P(Softmax, FloatFixtures) {
  ypu_harness h(GetParam());
  EXPECT_EQ(run_softmax(h, {0.f, 0.f}, 1, 2), (std::vector<float>{0.5f, 0.5f}));
  EXPECT_EQ(run_softmax(h, {1000.f, 0.f}, 1, 2), (std::vector<float>{1.f, 0.f}));
  EXPECT_EQ(run_softmax(h, {-3.5f, 7.f, 1e30f}, 3, 1), (std::vector<float>{1.f, 1.f, 1.f}));
  const std::vector<float> with_inf = run_softmax(h, {1.f, INFINITY, 2.f}, 1, 3);
  for (float v : with_inf) EXPECT_TRUE(std::isnan(v));
}

TEST_P(Softmax, FloatMatchesDoubleReference) {
  ypu_harness h(GetParam());
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-20.f, 20.f);
  const int32_t rows = 4, cols = 37;
  std::vector<float> in(rows * cols);
  for (float &v : in) v = dist(rng);
  const std::vector<float> out = run_softmax(h, in, rows, cols);
  for (int32_t r = 0; r < rows; ++r) {
    double m = -INFINITY, total = 0;
    for (int32_t j = 0; j < cols; ++j) m = std::max(m, double(in[r * cols + j]));
    for (int32_t j = 0; j < cols; ++j) total += std::exp(in[r * cols + j] - m);
    for (int32_t j = 0; j < cols; ++j)
      EXPECT_TRUE(near_value(out[r * cols + j], std::exp(in[r * cols + j] - m) / total, 1e-5))
          << r << "," << j;
  }
}

TEST_P(Softmax, FloatInPlace) {
  ypu_harness h(GetParam());
  const std::vector<float> in = {1.f, 2.f, 3.f, -1.f, 0.f, 1.f};
  const placed_operand x = place(h, in);
  const qz_ypu_softmax_f32_params_t params{.out = x.buffer, .in = x.buffer, .rows = 2, .cols = 3,
                                           .out_offset = x.offset, .in_offset = x.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_SOFTMAX_F32, &params), QZ_STATUS_SUCCESS);
  const std::vector<float> out = read_guarded<float>(h, x);
  const double e = std::exp(1.0), total = 1 + e + e * e;
  for (int r = 0; r < 2; ++r) {
    EXPECT_TRUE(near_value(out[3 * r], 1 / total, 1e-6));
    EXPECT_TRUE(near_value(out[3 * r + 1], e / total, 1e-6));
    EXPECT_TRUE(near_value(out[3 * r + 2], e * e / total, 1e-6));
  }
}

TEST_P(Softmax, FloatEmptyShapesWriteNothing) {
  ypu_harness h(GetParam());
  const placed_operand x = place(h, std::vector<float>{1.f, 2.f});
  const placed_operand y = guarded<float>(h, 2);
  for (auto [rows, cols] : {std::pair{0, 2}, std::pair{2, 0}, std::pair{-1, 2}, std::pair{2, -3}}) {
    const qz_ypu_softmax_f32_params_t params{.out = y.buffer, .in = x.buffer, .rows = rows,
                                             .cols = cols, .out_offset = y.offset,
                                             .in_offset = x.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_SOFTMAX_F32, &params), QZ_STATUS_SUCCESS);
  }
  expect_untouched(h, y);
}

struct fixed_run {
  qz_status_t status;
  std::vector<int32_t> out;
};

fixed_run run_fixed(ypu_harness &h, const std::vector<int16_t> &in, int32_t rows, int32_t cols,
                    size_t out_count) {
  const placed_operand x = place(h, in, 3, 1);
  const placed_operand y = guarded<int32_t>(h, out_count);
  const qz_ypu_softmax_fixed_i16_params_t params{.out = y.buffer, .in = x.buffer, .rows = rows,
                                                 .cols = cols, .out_offset = y.offset,
                                                 .in_offset = x.offset};
  fixed_run result{h.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, &params), {}};
  result.out = read_guarded<int32_t>(h, y);
  return result;
}

TEST_P(Softmax, FixedRowsOfEqualValues) {
  ypu_harness h(GetParam());
  // Every exponential is 2147483646; r = 2^62 / (n * 2147483646), clamped to
  // int32 (for a single value it would be just above).
  for (int32_t n : {1, 2, 3, 7}) {
    const int64_t r = std::min<int64_t>((int64_t{1} << 62) / (n * int64_t{2147483646}), INT32_MAX);
    const int64_t want = (r * 2147483646 + (int64_t{1} << 30)) >> 31;
    const fixed_run got = run_fixed(h, std::vector<int16_t>(n, -300), 1, n, n);
    ASSERT_EQ(got.status, QZ_STATUS_SUCCESS);
    for (int32_t v : got.out) EXPECT_EQ(v, want) << "n = " << n;
  }
  EXPECT_EQ(run_fixed(h, {5}, 1, 1, 1).out[0], 2147483645);
  EXPECT_EQ(run_fixed(h, {5, 5}, 1, 2, 2).out[0], 1073741824);
}

TEST_P(Softmax, FixedMatchesDoubleReference) {
  ypu_harness h(GetParam());
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> dist(-6000, 6000);
  const int32_t rows = 3, cols = 29;
  std::vector<int16_t> in(rows * cols);
  for (int16_t &v : in) v = static_cast<int16_t>(dist(rng));
  in[5] = -32768;  // more than 16383 below its row's maximum: the floor value
  in[6] = 32767;
  const fixed_run got = run_fixed(h, in, rows, cols, in.size());
  ASSERT_EQ(got.status, QZ_STATUS_SUCCESS);
  for (int32_t r = 0; r < rows; ++r) {
    int m = -32768;
    for (int32_t j = 0; j < cols; ++j) m = std::max<int>(m, in[r * cols + j]);
    // Differences beyond the table saturate at e^(-16383/1024).
    auto weight = [&](int x) { return std::exp(-std::min(m - x, 16383) / 1024.0); };
    double total = 0;
    for (int32_t j = 0; j < cols; ++j) total += weight(in[r * cols + j]);
    for (int32_t j = 0; j < cols; ++j) {
      const double want = 2147483648.0 * weight(in[r * cols + j]) / total;
      EXPECT_NEAR(got.out[r * cols + j], want, 4.0) << r << "," << j;
    }
  }
}

TEST_P(Softmax, FixedEmptyRowIsRejectedWithoutWriting) {
  ypu_harness h(GetParam());
  const placed_operand x = place(h, std::vector<int16_t>{1, 2});
  const placed_operand y = guarded<int32_t>(h, 2);
  for (int32_t cols : {0, -1}) {
    const qz_ypu_softmax_fixed_i16_params_t params{.out = y.buffer, .in = x.buffer, .rows = 2,
                                                   .cols = cols, .out_offset = y.offset,
                                                   .in_offset = x.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, &params), QZ_STATUS_INVALID_ARGUMENT);
  }
  const qz_ypu_softmax_fixed_i16_params_t no_rows{.out = y.buffer, .in = x.buffer, .rows = 0,
                                                  .cols = 0, .out_offset = y.offset,
                                                  .in_offset = x.offset};
  EXPECT_EQ(h.run(QZ_YPU_OP_SOFTMAX_FIXED_I16, &no_rows), QZ_STATUS_SUCCESS);
  expect_untouched(h, y);
}

INSTANTIATE_TEST_SUITE_P(Backends, Softmax, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
