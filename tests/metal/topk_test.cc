// The Metal top-k selections against the host implementations: the per-row
// sorts (one GPU thread per row) and the single-row top-k, which waits for
// the device and selects over the shared buffers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "metal_twin.h"
#include "ypu/params.h"

namespace {

using qz_metal_standin::standin;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct sort_case {
  const char *name;
  int32_t rows, cols, k;
  int value_levels;  // values drawn from this many integers (ties), 0: continuous
  bool with_nans;
};

constexpr sort_case SORT_CASES[] = {
    {"one_of_one", 1, 1, 1, 0, false},
    {"continuous", 5, 37, 6, 0, false},
    {"many_ties", 6, 40, 12, 3, false},
    {"nans_among_ties", 4, 25, 25, 4, true},
    {"long_rows", 3, 300, 8, 0, true},
};

std::vector<float> sort_input(const sort_case &c, uint32_t seed) {
  std::vector<float> v;
  if (c.value_levels > 0) {
    for (const int x : random_ints<int>(size_t(c.rows) * c.cols, 0, c.value_levels - 1, seed))
      v.push_back(static_cast<float>(x));
  } else {
    v = random_floats(size_t(c.rows) * c.cols, -10.0f, 10.0f, seed);
  }
  if (c.with_nans)
    for (size_t i = 3; i < v.size(); i += 7) v[i] = kNaN;
  return v;
}

class MetalRowSorts : public testing::TestWithParam<sort_case> {};

// The host orders equal values by index and NaNs after every number, as the
// kernels' sort does, so indices and kept values are the same.
TEST_P(MetalRowSorts, SortMatchesHostIncludingTiesAndNaNs) {
  const sort_case c = GetParam();
  metal_twin t;
  auto in = t.buffer(sort_input(c, 1));
  const size_t kept = size_t(c.rows) * c.k;
  auto indices = t.bytes(int32_t(kept * 4), 0xFF);
  auto values = t.bytes(int32_t(kept * 4), 0xFF);
  t.run(QZ_YPU_OP_TOPK_SORT_F32, [&](bool g) {
    return qz_ypu_topk_sort_f32_params_t{indices.on(g), values.on(g), in.on(g), c.rows, c.k, c.cols};
  });
  t.expect_same<int32_t>(indices, kept);
  t.expect_same<float>(values, kept);
}

// With the softmax: the same indices; the weights within the reciprocal's
// and the k-term sum's rounding (the host divides each by the sum, the
// kernel multiplies by its reciprocal).
TEST_P(MetalRowSorts, SortWithSoftmaxMatchesHost) {
  const sort_case c = GetParam();
  metal_twin t;
  auto in = t.buffer(sort_input(c, 2));
  const size_t kept = size_t(c.rows) * c.k;
  auto indices = t.bytes(int32_t(kept * 4), 0xFF);
  auto values = t.bytes(int32_t(kept * 4), 0xFF);
  t.run(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, [&](bool g) {
    return qz_ypu_topk_sort_softmax_f32_params_t{indices.on(g), values.on(g), in.on(g),
                                                 c.rows,        c.k,          c.cols};
  });
  t.expect_same<int32_t>(indices, kept);
  t.expect_close(values, kept, (2.0f * c.k + 8.0f) * kUnitRoundoff, 1e-37f);
}

INSTANTIATE_TEST_SUITE_P(Rows, MetalRowSorts, testing::ValuesIn(SORT_CASES),
                         [](const testing::TestParamInfo<sort_case> &info) {
                           return std::string(info.param.name);
                         });

// By hand: equal values keep ascending index order, a NaN sorts last (before
// the bits-based test a NaN stopped the bubble sort's swaps, leaving the
// row unsorted around it), and one kept weight becomes 1.
TEST(MetalRowSortsByHand, TiesByIndexNaNsLastAndASingleWeightOfOne) {
  metal_context gpu;
  qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{1.0f, kNaN, 5.0f, 1.0f, 5.0f, -2.0f});
  qz_ypu_buffer_t *indices = gpu.buffer(6 * 4, 0xFF);
  qz_ypu_buffer_t *values = gpu.buffer(6 * 4, 0xFF);
  const qz_ypu_topk_sort_f32_params_t p{indices, values, in, 1, 6, 6};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<int32_t>(indices, 6), (std::vector<int32_t>{2, 4, 0, 3, 5, 1}));
  const qz_ypu_topk_sort_softmax_f32_params_t one{indices, values, in, 1, 1, 6};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, &one), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<int32_t>(indices, 1)[0], 2);
  EXPECT_EQ(gpu.read<float>(values, 1)[0], 1.0f);
}

// The pairs' temporary cannot be had: reported, nothing encoded.
TEST(MetalRowSortsByHand, MissingTemporaryIsReported) {
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(64);
  qz_metal_standin::standin().buffers_fail = true;
  const qz_ypu_topk_sort_f32_params_t p{b, b, b, 2, 2, 4};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 000000C8: Failed to allocate, out of memory."});
}

// k beyond the row would keep pairs past it: the host implementation is
// asked, and refuses.
TEST(MetalRowSortsByHand, KBeyondTheRowIsRefused) {
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(64);
  const qz_ypu_topk_sort_f32_params_t p{b, b, b, 2, 5, 4};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
}

// --- the single-row top-k ----------------------------------------------------------

struct topk_case {
  const char *name;
  std::vector<float> row;
  int32_t k;
  std::vector<float> values;
  std::vector<int32_t> indices;
};

// Repeated maxima keep their input order and a value equal to the k-th is
// not taken; NaNs are never taken; k beyond the row keeps the lowest float
// and index 0 in the tail.
const topk_case TOPK_CASES[] = {
    {"ties_keep_input_order", {3, 7, 7, 1, 7, 3}, 4, {7, 7, 7, 3}, {1, 2, 4, 0}},
    {"nans_never_taken", {kNaN, 2, kNaN, -1}, 3, {2, -1, -FLT_MAX}, {1, 3, 0}},
    {"k_beyond_the_row", {0.5f}, 3, {0.5f, -FLT_MAX, -FLT_MAX}, {0, 0, 0}},
};

class MetalSingleRowTopk : public testing::TestWithParam<topk_case> {};

// Every operand at a byte offset (the host implementation runs the same
// insertion, from src/ypu/topk_insert.h).
TEST_P(MetalSingleRowTopk, SelectsByInsertion) {
  const topk_case &c = GetParam();
  metal_context gpu;
  std::vector<float> in(2, 9.0f);
  in.insert(in.end(), c.row.begin(), c.row.end());
  qz_ypu_buffer_t *input = gpu.buffer(in);
  qz_ypu_buffer_t *values = gpu.buffer((c.k + 1) * 4, 0xEE);
  qz_ypu_buffer_t *indices = gpu.buffer((c.k + 2) * 4, 0xEE);
  const qz_ypu_topk_f32_params_t p{input, values, indices, int32_t(c.row.size()), c.k, 8, 4, 8};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_F32, &p), QZ_STATUS_SUCCESS);
  const auto v = gpu.read<float>(values, c.k + 1);
  const auto i = gpu.read<int32_t>(indices, c.k + 2);
  EXPECT_EQ(std::vector<float>(v.begin() + 1, v.end()), c.values);
  EXPECT_EQ(std::vector<int32_t>(i.begin() + 2, i.end()), c.indices);
  uint32_t untouched;
  std::memset(&untouched, 0xEE, 4);
  EXPECT_EQ(std::memcmp(&v[0], &untouched, 4), 0) << "wrote before the values offset";
}

INSTANTIATE_TEST_SUITE_P(Rows, MetalSingleRowTopk, testing::ValuesIn(TOPK_CASES),
                         [](const testing::TestParamInfo<topk_case> &info) {
                           return std::string(info.param.name);
                         });

// The selection waits for the work encoded before it: a softmax recorded
// into the input and not yet run by the device is what it selects from.
TEST(MetalSingleRowTopkOrder, SeesTheResultsOfEarlierPasses) {
  metal_context gpu;
  qz_ypu_buffer_t *logits = gpu.buffer(std::vector<float>{0.0f, 3.0f, 1.0f, 2.0f});
  qz_ypu_buffer_t *probabilities = gpu.buffer(16, 0);
  qz_ypu_buffer_t *values = gpu.buffer(8, 0xFF);
  qz_ypu_buffer_t *indices = gpu.buffer(8, 0xFF);
  const qz_ypu_softmax_f32_params_t softmax{probabilities, logits, 1, 4, 0, 0};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_SOFTMAX_F32, &softmax), QZ_STATUS_SUCCESS);
  const qz_ypu_topk_f32_params_t topk{probabilities, values, indices, 4, 2, 0, 0, 0};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_F32, &topk), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<int32_t>(indices, 2), (std::vector<int32_t>{1, 3}));
  const auto v = gpu.read<float>(values, 2);
  EXPECT_GT(v[0], 0.6f);
  EXPECT_GT(v[1], 0.2f);
}

// k of 0 writes nothing.
TEST(MetalSingleRowTopkOrder, KOfZeroWritesNothing) {
  metal_context gpu;
  qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{1.0f, 2.0f});
  qz_ypu_buffer_t *values = gpu.buffer(4, 0x5A);
  qz_ypu_buffer_t *indices = gpu.buffer(4, 0x5A);
  const qz_ypu_topk_f32_params_t p{in, values, indices, 2, 0, 0, 0, 0};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<uint32_t>(values, 1)[0], 0x5A5A5A5Au);
  EXPECT_EQ(gpu.read<uint32_t>(indices, 1)[0], 0x5A5A5A5Au);
}

// --- the graph framework's top-k -------------------------------------------------

// Runs the single-row top-k of `row` with k on a fresh stand-in device whose
// system is set up by `setup`; returns values and indices.
struct topk_run {
  std::vector<float> values;
  std::vector<int32_t> indices;
  int graph_runs, graph_nodes;
};

template <class Setup>
topk_run run_topk(const std::vector<float> &row, int32_t k, int calls, Setup setup) {
  qz_metal_standin::reset();
  setup(standin());
  topk_run r{};
  {
    metal_context gpu;
    qz_ypu_buffer_t *in = gpu.buffer(row);
    qz_ypu_buffer_t *values = gpu.buffer(k * 4, 0xEE);
    qz_ypu_buffer_t *indices = gpu.buffer(k * 4, 0xEE);
    const qz_ypu_topk_f32_params_t p{in, values, indices, int32_t(row.size()), k, 0, 0, 0};
    for (int i = 0; i < calls; ++i) EXPECT_EQ(gpu.run(QZ_YPU_OP_TOPK_F32, &p), QZ_STATUS_SUCCESS);
    r.values = gpu.read<float>(values, size_t(k));
    r.indices = gpu.read<int32_t>(indices, size_t(k));
  }
  r.graph_runs = standin().graph_runs;
  r.graph_nodes = standin().graph_nodes;
  EXPECT_EQ(standin().violations, std::vector<std::string>{});
  EXPECT_EQ(standin().live_objects, 0) << "graph objects left behind";
  return r;
}

const std::vector<float> kRow{0.25f, 4.0f, -1.0f, 3.0f, 4.0f, 0.5f, 2.0f};

// Where the input can be wrapped, the graph selects: the k largest values in
// descending order, each with its own position (the order among equal
// values is the framework's). Calls with the same k reuse one top-k node.
TEST(MetalGraphTopk, SelectsThroughTheGraphAndKeepsOneNodePerK) {
  const topk_run r = run_topk(kRow, 3, 2, [](auto &m) { m.no_copy_whole_pages = false; });
  EXPECT_EQ(r.graph_runs, 2);
  EXPECT_EQ(r.graph_nodes, 1);
  EXPECT_EQ(r.values, (std::vector<float>{4.0f, 4.0f, 3.0f}));
  for (size_t i = 0; i < r.indices.size(); ++i) EXPECT_EQ(kRow[size_t(r.indices[i])], r.values[i]);
}

// The platform wraps memory without copying only over whole pages; a
// buffer it refuses (here every one: the stand-in's are not page-aligned)
// leaves the selection to the host loop, which gives the same values.
TEST(MetalGraphTopk, UnwrappableInputFallsBackToTheHostLoop) {
  const topk_run r = run_topk(kRow, 3, 1, [](auto &) {});
  EXPECT_EQ(r.graph_runs, 0);
  EXPECT_EQ(r.values, (std::vector<float>{4.0f, 4.0f, 3.0f}));
  EXPECT_EQ(r.indices, (std::vector<int32_t>{1, 4, 3}));
}

// Before macOS 11 there is no graph: the host loop selects. So it does for
// a k beyond the row, whose tail only the loop defines.
TEST(MetalGraphTopk, NoFrameworkOrKBeyondTheRowTakesTheHostLoop) {
  const topk_run old_system = run_topk(kRow, 2, 1, [](auto &m) { m.graph_framework = false; });
  EXPECT_EQ(old_system.graph_runs, 0);
  EXPECT_EQ(old_system.graph_nodes, 0);
  EXPECT_EQ(old_system.indices, (std::vector<int32_t>{1, 4}));
  const topk_run beyond = run_topk({1.0f, 2.0f}, 3, 1, [](auto &m) { m.no_copy_whole_pages = false; });
  EXPECT_EQ(beyond.graph_runs, 0);
  EXPECT_EQ(beyond.values, (std::vector<float>{2.0f, 1.0f, -FLT_MAX}));
  EXPECT_EQ(beyond.indices, (std::vector<int32_t>{1, 0, 0}));
}

}  // namespace
