// The harness's Metal layer: dispatch shapes, the built-in positions,
// SIMD-group operations at every width, threadgroup order, threadgroup
// memory and atomics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "gpu_harness/metal_launch.h"
#include "support/metal_standin.h"
#include "support/metal_test.h"
#include "ypu/metal/device.h"

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

// probe_simd's rows for n threads of one threadgroup in SIMD-groups of
// `width` lanes: the last group holds the lanes left over, and every
// operation sees only its own group's live lanes.
void expect_simd_rows(const std::vector<float> &in, const std::vector<float> &out, int width) {
  const int n = static_cast<int>(in.size());
  for (int i = 0; i < n; ++i) {
    const int first = i / width * width, end = std::min(first + width, n), lane = i - first;
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
    EXPECT_EQ(row[6], lane) << i;
    EXPECT_EQ(row[7], i / width) << i;
  }
}

// 40 threads in one threadgroup, so the last SIMD-group is partial at 16
// and 64 lanes (8 and 40 lanes live) and whole at 8 (XOR 2 stays inside).
constexpr int kSimdProbeThreads = 40;

std::vector<float> simd_probe_input() {
  std::vector<float> in(kSimdProbeThreads);
  for (int i = 0; i < kSimdProbeThreads; ++i) in[i] = static_cast<float>(i + 1);
  return in;
}

class MetalHarnessSimdWidth : public testing::TestWithParam<int> {};

TEST_P(MetalHarnessSimdWidth, OperationsSeeOnlyTheirGroupsLiveLanes) {
  const std::vector<float> in = simd_probe_input();
  std::vector<float> out(in.size() * 8);
  qz_metal_emu::bindings b;
  b.buffer[0] = const_cast<float *>(in.data());
  b.buffer[1] = out.data();
  qz_metal_emu::run_threads(kernel("probe_simd"), b, {kSimdProbeThreads, 1, 1}, {64, 1, 1},
                            static_cast<uint32_t>(GetParam()));
  expect_simd_rows(in, out, GetParam());
}

class MetalStandinSimdWidth : public MetalTest, public testing::WithParamInterface<int> {};

// A pipeline's threadExecutionWidth is the width of the SIMD-groups its
// kernel runs in: the Metal entries size their threadgroups from it.
TEST_P(MetalStandinSimdWidth, PipelinesRunInSimdGroupsOfTheirWidth) {
  qz_metal_standin::standin().thread_execution_width = static_cast<uint64_t>(GetParam());
  qz_ypu_metal_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
  qz_ypu_metal_pipeline_t *probe = nullptr;
  ASSERT_EQ(qz_ypu_metal_pipeline_create(device, "probe_simd", &probe), QZ_STATUS_SUCCESS);
  EXPECT_EQ(qz_ypu_metal_thread_execution_width(device, probe), uintptr_t(GetParam()));
  const std::vector<float> in = simd_probe_input();
  std::vector<float> out(in.size() * 8);
  qz_ypu_buffer_t *in_buffer = qz_ypu_metal_buffer_create(device, int32_t(in.size() * 4), 0);
  qz_ypu_buffer_t *out_buffer = qz_ypu_metal_buffer_create(device, int32_t(out.size() * 4), 0);
  qz_ypu_metal_buffer_upload(device, in_buffer, in.data(), 0, int32_t(in.size() * 4));
  qz_ypu_metal_begin_compute(device, probe);
  qz_ypu_metal_set_buffer(device, in_buffer, 0, 0);
  qz_ypu_metal_set_buffer(device, out_buffer, 0, 1);
  EXPECT_EQ(qz_ypu_metal_dispatch_threadgroups(device, probe, kSimdProbeThreads, 1, 1, 1, 1, 1),
            QZ_STATUS_SUCCESS);
  qz_ypu_metal_buffer_download(device, out_buffer, out.data(), 0, int32_t(out.size() * 4));
  expect_simd_rows(in, out, GetParam());
  qz_ypu_metal_buffer_free(device, in_buffer);
  qz_ypu_metal_buffer_free(device, out_buffer);
  qz_ypu_metal_pipeline_release(device, probe);
  qz_ypu_metal_device_close(device);
}

// The widths of the GPUs the Metal build runs on.
INSTANTIATE_TEST_SUITE_P(Widths, MetalHarnessSimdWidth, testing::Values(8, 16, 32, 64),
                         [](const testing::TestParamInfo<int> &info) {
                           return "lanes_" + std::to_string(info.param);
                         });
INSTANTIATE_TEST_SUITE_P(Widths, MetalStandinSimdWidth, testing::Values(8, 16, 32, 64),
                         [](const testing::TestParamInfo<int> &info) {
                           return "lanes_" + std::to_string(info.param);
                         });

// Threadgroups run one after another in an order of the schedule's: in
// grid order, reversed, and two others, so a result that depends on the
// order of atomics across threadgroups differs between schedules.
TEST(MetalHarness, ThreadgroupOrderDiffersBetweenSchedules) {
  const dim3_t groups{5, 3, 2};
  const uint32_t count = groups.x * groups.y * groups.z;
  std::vector<std::vector<uint32_t>> orders;
  for (schedule order : qz_gpu_harness::kAllSchedules) {
    qz_metal_emu::set_schedule(order);
    uint32_t next = 0;
    std::vector<uint32_t> seen(count, 0xDEADBEEFu);
    qz_metal_emu::bindings b;
    b.buffer[0] = &next;
    b.buffer[1] = seen.data();
    qz_metal_emu::run_threadgroups(kernel("probe_group_order"), b, groups, {4, 1, 1});
    ASSERT_EQ(next, count);
    std::vector<uint32_t> sorted = seen;
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> each(count);
    std::iota(each.begin(), each.end(), 0u);
    EXPECT_EQ(sorted, each) << "every threadgroup runs once";
    orders.push_back(seen);
  }
  qz_metal_emu::set_schedule(schedule::forward);
  std::vector<uint32_t> grid_order(count);
  std::iota(grid_order.begin(), grid_order.end(), 0u);
  EXPECT_EQ(orders[0], grid_order);
  for (size_t i = 0; i < orders.size(); ++i)
    for (size_t j = i + 1; j < orders.size(); ++j)
      EXPECT_NE(orders[i], orders[j]) << "schedules " << i << " and " << j;
}

// Threadgroup memory of both kinds is per group, fresh for each group, and
// a barrier-ordered reduction gives the same bits under every schedule. The
// inputs are multiples of 1/4 with small sums, so every float addition is
// exact and the atomic total does not depend on the groups' order.
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

// The program's fast math: a maths function given or giving an infinity or
// a NaN stops the program, naming the kernel; finite values and the precise
// forms pass.
TEST(MetalHarnessDeathTest, FastMathMeetsOnlyFiniteValues) {
  const float inf = std::numeric_limits<float>::infinity();
  struct probe {
    float value, function;  // 0 exp, 1 precise::exp, 2 max, 3 simd_max
    const char *death;      // null: runs
  };
  const probe probes[] = {
      {-inf, 0, "exp of -inf in kernel probe_fast_math"},
      {100.0f, 0, "exp of inf in kernel probe_fast_math"},
      {-inf, 1, nullptr},
      {-inf, 2, "max of -inf in kernel probe_fast_math"},
      {std::numeric_limits<float>::quiet_NaN(), 3, "max of nan in kernel probe_fast_math"},
      {-3.4028235e38f, 3, nullptr},
      {-80.0f, 0, nullptr},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const probe &p : probes) {
    SCOPED_TRACE(testing::Message() << p.value << " into function " << p.function);
    const float in[2] = {p.value, p.function};
    float out = 0;
    qz_metal_emu::bindings b;
    b.buffer[0] = const_cast<float *>(in);
    b.buffer[1] = &out;
    const auto run = [&] {
      qz_metal_emu::run_threads(kernel("probe_fast_math"), b, {4, 1, 1}, {4, 1, 1}, 4);
    };
    if (p.death) {
      EXPECT_DEATH(run(), p.death);
    } else {
      run();
      EXPECT_FALSE(std::isnan(out));
    }
  }
}

}  // namespace
