// The harness's Metal layer: dispatch shapes, the built-in positions,
// SIMD-group operations, threadgroup memory and atomics.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "gpu_harness/metal_launch.h"

namespace {

using qz_gpu_harness::dim3_t;
using qz_gpu_harness::schedule;

const qz_metal_emu::kernel_entry &kernel(const char *name) {
  const qz_metal_emu::kernel_entry *k = qz_metal_emu::find_kernel(name);
  if (!k) ADD_FAILURE() << "no kernel " << name;
  return *k;
}

TEST(MetalHarness, FindsKernelsByNameOnly) {
  EXPECT_NE(qz_metal_emu::find_kernel("probe_simd"), nullptr);
  EXPECT_EQ(qz_metal_emu::find_kernel("probe"), nullptr);
  EXPECT_EQ(qz_metal_emu::find_kernel("probe_simd_"), nullptr);
}

struct shape_case {
  const char *name;
  dim3_t threads, per_group;
  bool exact;  // dispatchThreads (else dispatchThreadgroups with `threads` as group counts)
};

class MetalHarnessPositions : public testing::TestWithParam<shape_case> {};

// Non-uniform threadgroups: only the grid's threads run, and an edge group
// reports its own size; threadgroup dispatches cover whole groups.
TEST_P(MetalHarnessPositions, EveryThreadSeesItsPlace) {
  const shape_case &c = GetParam();
  dim3_t grid = c.threads;
  if (!c.exact) grid = {c.threads.x * c.per_group.x, c.threads.y * c.per_group.y, 1};
  const uint32_t stride = grid.x;
  std::vector<uint32_t> out(size_t{grid.x} * grid.y * 6 + 6, 0xDEADBEEFu);
  qz_metal_emu::bindings b;
  b.buffer[0] = out.data();
  b.bytes[1] = &stride;
  if (c.exact)
    qz_metal_emu::run_threads(kernel("probe_positions"), b, c.threads, c.per_group);
  else
    qz_metal_emu::run_threadgroups(kernel("probe_positions"), b, c.threads, c.per_group);
  for (uint32_t y = 0; y < grid.y; ++y)
    for (uint32_t x = 0; x < grid.x; ++x) {
      const uint32_t *cell = &out[(size_t{y} * stride + x) * 6];
      const uint32_t gx = x / c.per_group.x, gy = y / c.per_group.y;
      const uint32_t sx = std::min(c.per_group.x, grid.x - gx * c.per_group.x);
      const uint32_t sy = std::min(c.per_group.y, grid.y - gy * c.per_group.y);
      ASSERT_EQ(cell[0], x % c.per_group.x + 1000 * (y % c.per_group.y)) << x << "," << y;
      ASSERT_EQ(cell[1], sx + 1000 * sy) << x << "," << y;
      ASSERT_EQ(cell[2], gx + 1000 * gy);
      ASSERT_EQ(cell[3], grid.x + 1000 * grid.y);
      ASSERT_EQ(cell[4], x);
      ASSERT_EQ(cell[5], y);
    }
  EXPECT_EQ(out.back(), 0xDEADBEEFu) << "a thread outside the grid ran";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MetalHarnessPositions,
    testing::Values(shape_case{"exact_fit", {64, 2, 1}, {32, 2, 1}, true},
                    shape_case{"partial_x", {70, 1, 1}, {32, 1, 1}, true},
                    shape_case{"partial_both", {33, 5, 1}, {8, 4, 1}, true},
                    shape_case{"one_thread", {1, 1, 1}, {32, 8, 1}, true},
                    shape_case{"threadgroups", {3, 2, 1}, {16, 2, 1}, false}),
    [](const testing::TestParamInfo<shape_case> &info) { return info.param.name; });

// A threadgroup of 40 threads: a full SIMD-group and one of 8 lanes, whose
// operations see only their own lanes.
TEST(MetalHarness, SimdGroupOperationsSeeOnlyLiveLanes) {
  const int n = 40;
  std::vector<float> in(n), out(n * 8);
  for (int i = 0; i < n; ++i) in[i] = static_cast<float>(i + 1);
  qz_metal_emu::bindings b;
  b.buffer[0] = in.data();
  b.buffer[1] = out.data();
  qz_metal_emu::run_threads(kernel("probe_simd"), b, {n, 1, 1}, {64, 1, 1});
  for (int i = 0; i < n; ++i) {
    const int first = i < 32 ? 0 : 32, end = i < 32 ? 32 : n, lane = i - first;
    float sum = 0, prefix = 0;
    for (int j = first; j < end; ++j) sum += in[j];
    for (int j = first; j < i; ++j) prefix += in[j];
    const float *row = &out[i * 8];
    EXPECT_EQ(row[0], sum) << i;
    EXPECT_EQ(row[1], in[end - 1]) << i;
    EXPECT_EQ(row[2], prefix) << i;
    EXPECT_EQ(row[3], i + 1 < end ? in[i + 1] : in[i]) << i;
    EXPECT_EQ(row[4], in[first]) << i;
    const int x = first + (lane ^ 2);
    EXPECT_EQ(row[5], x < end ? in[x] : in[i]) << i;
    EXPECT_EQ(row[6], lane);
    EXPECT_EQ(row[7], i / 32);
  }
}

// Threadgroup memory of both kinds is per group, fresh for each group, and
// a barrier-ordered reduction gives the same bits under every schedule.
TEST(MetalHarness, ThreadgroupMemoryAndAtomicsUnderEverySchedule) {
  const uint32_t n = 100, group = 24, groups = (n + group - 1) / group;
  std::vector<float> in(n);
  for (uint32_t i = 0; i < n; ++i) in[i] = 0.25f * static_cast<float>(i % 7) - 0.5f;
  for (schedule order : qz_gpu_harness::kAllSchedules) {
    qz_metal_emu::set_schedule(order);
    float total = 0;
    std::vector<float> sums(groups * 2, -99.0f);
    qz_metal_emu::bindings b;
    b.buffer[0] = in.data();
    b.buffer[1] = &total;
    b.buffer[2] = sums.data();
    b.threadgroup_length[0] = group * sizeof(float);
    b.threadgroup_length[1] = group * sizeof(float);
    qz_metal_emu::run_threads(kernel("probe_threadgroup"), b, {n, 1, 1}, {group, 1, 1});
    float expected_total = 0;
    for (uint32_t g = 0; g < groups; ++g) {
      const uint32_t begin = g * group, end = std::min(n, begin + group);
      float s = 0;
      for (uint32_t i = begin; i < end; ++i) s += in[i];
      EXPECT_NEAR(sums[g * 2], s, 1e-6) << "group " << g;
      EXPECT_EQ(sums[g * 2 + 1], in[begin] - 1.0f) << "group " << g;
      expected_total += sums[g * 2];
    }
    EXPECT_EQ(total, expected_total);
  }
  qz_metal_emu::set_schedule(schedule::forward);
}

}  // namespace
