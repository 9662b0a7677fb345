#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "host/operand.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using host_test::bits;
using host_test::expect_guards;
using host_test::fetch;
using host_test::operand;
using host_test::place;
using host_test::place_blank;
using host_test::same_floats;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class TopK : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};

  struct result {
    std::vector<float> values;
    std::vector<int32_t> indices;
  };

  // Op 87 with an offset on every operand.
  result insertion(const std::vector<float> &in, int32_t k) {
    const operand oi = place(h, in, 4);
    const operand values = place_blank<float>(h, k, 8), indices = place_blank<int32_t>(h, k, 12);
    const qz_ypu_topk_f32_params_t p{.in = oi.buffer, .values = values.buffer,
                                     .indices = indices.buffer, .n = int32_t(in.size()),
                                     .k = k, .in_offset = oi.offset,
                                     .values_offset = values.offset,
                                     .indices_offset = indices.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_TOPK_F32, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, values);
    expect_guards(h, indices);
    return {fetch<float>(h, values), fetch<int32_t>(h, indices)};
  }

  // Op 25 or 26 over `rows` rows of `in`.
  result sorting(uint32_t op, const std::vector<float> &in, int32_t rows, int32_t k) {
    const int32_t cols = int32_t(in.size()) / rows;
    const operand oi = place(h, in, 0);
    const operand values = place_blank<float>(h, size_t(rows) * k, 0);
    const operand indices = place_blank<int32_t>(h, size_t(rows) * k, 0);
    const qz_ypu_topk_sort_f32_params_t p{.indices = indices.buffer, .values = values.buffer,
                                          .in = oi.buffer, .rows = rows, .k = k, .cols = cols};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, values);
    expect_guards(h, indices);
    return {fetch<float>(h, values), fetch<int32_t>(h, indices)};
  }
};

struct tie_case {
  const char *name;
  std::vector<float> in;
  int32_t k;
  std::vector<float> values;
  std::vector<int32_t> indices;
};

// Insertion keeps the first of equal values ahead; a pair displaced from a
// run of equal values lands after the rest of the run.
TEST_P(TopK, InsertionOrderOfTies) {
  const float lowest = -FLT_MAX;
  const tie_case cases[] = {
      {"equal pair", {3, 5, 5, 4}, 3, {5, 5, 4}, {1, 2, 3}},
      {"displaced first of a run drops out", {2, 2, 3}, 2, {3, 2}, {2, 1}},
      {"displaced first of a run goes last", {5, 5, 5, 9}, 4, {9, 5, 5, 5}, {3, 1, 2, 0}},
      {"k = 1 keeps the first maximum", {1, 7, 7, 2}, 1, {7}, {1}},
      {"fewer values than k", {1, 2}, 4, {2, 1, lowest, lowest}, {1, 0, 0, 0}},
      {"never keeps -inf or the lowest float", {-kInf, lowest, -kInf}, 2, {lowest, lowest}, {0, 0}},
      {"skips NaN", {kNaN, 1, kNaN, 2}, 2, {2, 1}, {3, 1}},
      {"+inf enters", {1, kInf}, 2, {kInf, 1}, {1, 0}},
  };
  std::vector<tie_case> all(std::begin(cases), std::end(cases));
  {
    // Runs of 16 with nothing to enter are passed over whole: values that
    // enter sit in several runs (two in one, one at a run's last place), a
    // tie across runs.
    std::vector<float> in(56, 0.0f);
    in[5] = 1, in[16] = 4, in[18] = 6, in[20] = kNaN, in[47] = 3, in[50] = 4, in[55] = 2;
    all.push_back({"long row, several runs", in, 4, {6, 4, 4, 3}, {18, 16, 50, 47}});
    // The only value that enters is in the tail after the last full run.
    std::vector<float> tail(38, -kInf);
    tail[37] = 1;
    all.push_back({"long row, tail", tail, 2, {1, lowest}, {37, 0}});
  }
  for (const auto &c : all) {
    SCOPED_TRACE(c.name);
    const result r = insertion(c.in, c.k);
    EXPECT_TRUE(same_floats(r.values, c.values));
    EXPECT_EQ(r.indices, c.indices);
  }
}

TEST_P(TopK, InsertionWithoutKWritesNothing) {
  for (const int32_t k : {0, -2}) {
    const std::vector<float> before = {4, 4};
    const operand in = place<float>(h, {1, 2, 3}, 4), values = place(h, before, 8);
    const operand indices = place<int32_t>(h, {9, 9}, 12);
    const qz_ypu_topk_f32_params_t p{in.buffer, values.buffer, indices.buffer, 3, k,
                                     in.offset, values.offset, indices.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_TOPK_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<float>(h, values), before);
    EXPECT_EQ(fetch<int32_t>(h, indices), (std::vector<int32_t>{9, 9}));
    expect_guards(h, values);
    expect_guards(h, indices);
  }
}

// The sorting ops order ties by ascending index and put NaNs after every
// number (also by index); +0 and -0 are equal values.
TEST_P(TopK, SortingOrderOfTies) {
  const tie_case cases[] = {
      {"ties by index", {1, 3, 3, 2, 3}, 4, {3, 3, 3, 2}, {1, 2, 4, 3}},
      {"all equal", {6, 6, 6}, 3, {6, 6, 6}, {0, 1, 2}},
      {"NaNs last", {kNaN, 1, kNaN, 5}, 4, {5, 1, kNaN, kNaN}, {3, 1, 0, 2}},
      {"signed zeros tie", {-0.0f, 0.0f, -1}, 3, {-0.0f, 0.0f, -1}, {0, 1, 2}},
      {"infinities", {-kInf, 2, kInf}, 3, {kInf, 2, -kInf}, {2, 1, 0}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const result r = sorting(QZ_YPU_OP_TOPK_SORT_F32, c.in, 1, c.k);
    EXPECT_TRUE(same_floats(r.values, c.values));
    EXPECT_EQ(r.indices, c.indices);
    EXPECT_EQ(sorting(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, c.in, 1, c.k).indices, c.indices);
  }
}

// Many rows with many repeated values, against a stable sort by descending
// value (which orders ties by index, as the operation does).
TEST_P(TopK, SortingMatchesStableSortOnEveryRow) {
  const int32_t rows = 3, cols = 200, k = 50;
  std::vector<float> in(rows * cols);
  for (size_t i = 0; i < in.size(); ++i) in[i] = float((i * 37 + 11) % 13) - 6.0f;
  const result r = sorting(QZ_YPU_OP_TOPK_SORT_F32, in, rows, k);
  for (int32_t row = 0; row < rows; ++row) {
    std::vector<int32_t> order(cols);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int32_t a, int32_t b) { return in[row * cols + a] > in[row * cols + b]; });
    for (int32_t j = 0; j < k; ++j) {
      EXPECT_EQ(r.indices[row * k + j], order[j]) << row << "," << j;
      EXPECT_EQ(r.values[row * k + j], in[row * cols + order[j]]);
    }
  }
}

TEST_P(TopK, SortSoftmaxNormalisesTheKeptValues) {
  // k = 1: the row maximum with weight 1.
  const result one = sorting(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, {0.5f, 4, -2, 4, 1, 9, 3, 2}, 2, 1);
  EXPECT_EQ(one.values, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(one.indices, (std::vector<int32_t>{1, 1}));
  // k = 3 of 4 against a double softmax of the three largest.
  const result three = sorting(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, {1, 3, -5, 2}, 1, 3);
  EXPECT_EQ(three.indices, (std::vector<int32_t>{1, 3, 0}));
  const double total = 1 + std::exp(-1.0) + std::exp(-2.0);
  const double expected[] = {1 / total, std::exp(-1.0) / total, std::exp(-2.0) / total};
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(three.values[j], expected[j], 1e-7);
  // Large values do not overflow: the maximum is subtracted first.
  const result large = sorting(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, {1000, 1000}, 1, 2);
  EXPECT_EQ(large.values, (std::vector<float>{0.5f, 0.5f}));
}

TEST_P(TopK, SortingWithoutWorkWritesNothing) {
  const std::vector<float> before = {4, 4};
  for (const auto &[rows, k] : {std::pair{0, 1}, {1, 0}, {-1, 1}, {1, -1}}) {
    const operand in = place<float>(h, {1, 2}, 0), values = place(h, before, 0);
    const operand indices = place<int32_t>(h, {9, 9}, 0);
    for (const uint32_t op : {QZ_YPU_OP_TOPK_SORT_F32, QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32}) {
      const qz_ypu_topk_sort_f32_params_t p{indices.buffer, values.buffer, in.buffer, rows, k, 2};
      ASSERT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
      EXPECT_EQ(fetch<float>(h, values), before);
      EXPECT_EQ(fetch<int32_t>(h, indices), (std::vector<int32_t>{9, 9}));
    }
  }
}

// More kept values than the row holds would read past the sorted pairs.
TEST_P(TopK, SortingRejectsKAboveCols) {
  const operand in = place<float>(h, {1, 2}, 0), values = place<float>(h, {4, 4, 4}, 0);
  const operand indices = place<int32_t>(h, {9, 9, 9}, 0);
  for (const uint32_t op : {QZ_YPU_OP_TOPK_SORT_F32, QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32})
    for (const int32_t cols : {2, 0, -1}) {
      const qz_ypu_topk_sort_f32_params_t p{indices.buffer, values.buffer, in.buffer, 1, 3, cols};
      EXPECT_EQ(h.run(op, &p), QZ_STATUS_INVALID_ARGUMENT);
      EXPECT_EQ(fetch<float>(h, values), (std::vector<float>{4, 4, 4}));
    }
}

// A row of 2^28 pairs needs 2 GiB of scratch, more than a 32-bit size can
// ask for: refused before anything is mapped or allocated.
TEST_P(TopK, SortingRejectsRowsTooLongForTheScratch) {
  const operand in = place<float>(h, {1, 2}, 0), values = place<float>(h, {4}, 0);
  const operand indices = place<int32_t>(h, {9}, 0);
  for (const uint32_t op : {QZ_YPU_OP_TOPK_SORT_F32, QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32}) {
    const qz_ypu_topk_sort_f32_params_t p{indices.buffer, values.buffer, in.buffer, 1, 1, 1 << 28};
    EXPECT_EQ(h.run(op, &p), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fetch<float>(h, values), std::vector<float>{4});
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, TopK, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST(TopKFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const operand in = place<float>(h, {1, 2}), values = place<float>(h, {4, 4});
  const operand indices = place<int32_t>(h, {9, 9});
  const int live_host = h.fake()->live_host;
  h.fake()->fail_map = true;
  const qz_ypu_topk_f32_params_t insertion{in.buffer, values.buffer, indices.buffer, 2, 2,
                                           in.offset, values.offset, indices.offset};
  EXPECT_NE(h.run(QZ_YPU_OP_TOPK_F32, &insertion), QZ_STATUS_SUCCESS);
  const qz_ypu_topk_sort_f32_params_t sort{indices.buffer, values.buffer, in.buffer, 1, 2, 2};
  EXPECT_NE(h.run(QZ_YPU_OP_TOPK_SORT_F32, &sort), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, &sort), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<float>(h, values), (std::vector<float>{4, 4}));
  EXPECT_EQ(h.fake()->live_host, live_host);
}

// The sorting scratch comes from the backend; when it cannot be had the
// operation fails with nothing written and nothing leaked.
TEST(TopKFake, ScratchAllocationFailureIsOutOfMemory) {
  ypu_harness h(ypu_backend::fake);
  const operand in = place<float>(h, {1, 2}, 0), values = place<float>(h, {4, 4}, 0);
  const operand indices = place<int32_t>(h, {9, 9}, 0);
  const int live_host = h.fake()->live_host;
  h.fake()->fail_host_alloc = true;
  const qz_ypu_topk_sort_f32_params_t p{indices.buffer, values.buffer, in.buffer, 1, 2, 2};
  EXPECT_EQ(h.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(fetch<float>(h, values), (std::vector<float>{4, 4}));
  h.fake()->fail_host_alloc = false;
  ASSERT_EQ(h.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(h.fake()->live_host, live_host);
  EXPECT_EQ(fetch<int32_t>(h, indices), (std::vector<int32_t>{1, 0}));
}

}  // namespace
