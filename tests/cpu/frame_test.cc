#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/frame.h"

namespace {

using range_list = std::vector<std::pair<int64_t, int64_t>>;

range_list split_all(int64_t units, int64_t count) {
  range_list ranges;
  for (int64_t i = 0; i < count; ++i) {
    const qz_ypu_cpu_range_t r = qz_ypu_cpu_split(units, count, i);
    ranges.emplace_back(r.begin, r.end);
  }
  return ranges;
}

TEST(RangeSplit, KnownSplits) {
  EXPECT_EQ(split_all(10, 3), (range_list{{0, 3}, {3, 6}, {6, 10}}));
  EXPECT_EQ(split_all(2, 4), (range_list{{0, 0}, {0, 1}, {1, 1}, {1, 2}}));
  EXPECT_EQ(split_all(0, 3), (range_list{{0, 0}, {0, 0}, {0, 0}}));
  EXPECT_EQ(split_all(7, 1), (range_list{{0, 7}}));
  // Indices outside the items are empty rather than past the range.
  const qz_ypu_cpu_range_t outside = qz_ypu_cpu_split(10, 3, 3);
  EXPECT_EQ(outside.begin, outside.end);
}

// Adjacent items from 0 to N with sizes within one of each other cover every
// unit exactly once; checked per item, without visiting the units.
void expect_partition(int64_t units, int64_t count) {
  SCOPED_TRACE(testing::Message() << units << " units over " << count << " items");
  int64_t next = 0;
  const int64_t smallest = units / count, largest = (units + count - 1) / count;
  for (int64_t i = 0; i < count; ++i) {
    const qz_ypu_cpu_range_t r = qz_ypu_cpu_split(units, count, i);
    ASSERT_EQ(r.begin, next) << "item " << i;
    ASSERT_GE(r.end - r.begin, smallest) << "item " << i;
    ASSERT_LE(r.end - r.begin, largest) << "item " << i;
    next = r.end;
  }
  EXPECT_EQ(next, units);
}

TEST(RangeSplit, CoversLargeRangesExactlyOnce) {
  const int64_t sizes[] = {1, 2, 3, 10, 131071, 131072, 262144, 1000003, (1 << 30) - 1,
                           1 << 30, INT32_MAX};
  for (int64_t threads = 1; threads <= 8; ++threads) {
    for (int64_t units : sizes) {
      // The counts the catalogue can produce for these T and N.
      for (int64_t count : {qz_ypu_cpu_items_elements(threads, units),
                            qz_ypu_cpu_items_threads(threads, units),
                            qz_ypu_cpu_items_squared(threads, units),
                            qz_ypu_cpu_items_feature_pairs(threads, units),
                            qz_ypu_cpu_items_row_blocks(threads, units), threads, threads * threads,
                            threads * threads + 1})
        expect_partition(units, count);
    }
  }
}

struct count_case {
  const char *form;
  int64_t threads, n, want;
};

int64_t apply(const count_case &c) {
  const std::string form = c.form;
  if (form == "elements") return qz_ypu_cpu_items_elements(c.threads, c.n);
  if (form == "threads") return qz_ypu_cpu_items_threads(c.threads, c.n);
  if (form == "squared") return qz_ypu_cpu_items_squared(c.threads, c.n);
  if (form == "pairs") return qz_ypu_cpu_items_feature_pairs(c.threads, c.n);
  if (form == "row_blocks") return qz_ypu_cpu_items_row_blocks(c.threads, c.n);
  if (form == "chunks") return qz_ypu_cpu_items_chunks(c.n, 128);
  return -1;
}

TEST(ItemCounts, CatalogueForms) {
  const count_case cases[] = {
      // min(T, max(1, N / 131072)): short vectors stay on one item.
      {"elements", 8, 0, 1},
      {"elements", 8, 262143, 1},
      {"elements", 8, 262144, 2},
      {"elements", 4, 10'000'000, 4},
      {"elements", 1024, INT32_MAX, 1024},
      // min(T, max(1, N)).
      {"threads", 4, 0, 1},
      {"threads", 4, 3, 3},
      {"threads", 4, 10, 4},
      // min(T^2, N): none for no rows; T^2 for 1024 threads without overflow.
      {"squared", 4, 0, 0},
      {"squared", 4, 10, 10},
      {"squared", 4, 100, 16},
      {"squared", 1024, INT32_MAX, 1024 * 1024},
      {"squared", 1024, 1000, 1000},
      // max(1, min(T^2, N / 2)), or N / 4 in the Windows build.
      {"pairs", 4, 1, 1},
      {"pairs", 4, 7, 7 / QZ_YPU_CPU_FEATURES_PER_ITEM},
      {"pairs", 4, 100, 16},
      {"pairs", 1024, INT32_MAX, 1024 * 1024},
      // min(T^2, max(1, rows / 1024)).
      {"row_blocks", 4, 0, 1},
      {"row_blocks", 4, 1023, 1},
      {"row_blocks", 4, 5000, 4},
      {"row_blocks", 2, 1'000'000, 4},
      // ceil(H / 128).
      {"chunks", 0, 0, 0},
      {"chunks", 0, 1, 1},
      {"chunks", 0, 128, 1},
      {"chunks", 0, 129, 2},
      {"chunks", 0, 257, 3},
  };
  for (const count_case &c : cases)
    EXPECT_EQ(apply(c), c.want) << c.form << " T=" << c.threads << " N=" << c.n;
}

TEST(ItemCounts, WithoutAPoolOneItemCoversTheRange) {
  qz_ypu_cpu_device_t serial{1, 0, nullptr};
  qz_ypu_cpu_device_t pooled{4, 0, pthreadpool_create(4)};
  ASSERT_NE(pooled.pool, nullptr);
  EXPECT_EQ(qz_ypu_cpu_items(&serial, 16), 1);
  EXPECT_EQ(qz_ypu_cpu_items(&serial, 0), 0);
  EXPECT_EQ(qz_ypu_cpu_items(&pooled, 16), 16);
  EXPECT_EQ(qz_ypu_cpu_items(&pooled, 0), 0);
  pthreadpool_destroy(pooled.pool);
}

TEST(RunRule, PoolOnlyWithSeveralThreadsAndItems) {
  qz_ypu_cpu_device_t serial{1, 0, nullptr};
  qz_ypu_cpu_device_t lone{1, 0, pthreadpool_create(1)};
  qz_ypu_cpu_device_t pooled{4, 0, pthreadpool_create(4)};
  EXPECT_FALSE(qz_ypu_cpu_uses_pool(&serial, 10));
  EXPECT_FALSE(qz_ypu_cpu_uses_pool(&lone, 10));
  EXPECT_FALSE(qz_ypu_cpu_uses_pool(&pooled, 1));
  EXPECT_FALSE(qz_ypu_cpu_uses_pool(&pooled, 0));
  EXPECT_TRUE(qz_ypu_cpu_uses_pool(&pooled, 2));
  pthreadpool_destroy(lone.pool);
  pthreadpool_destroy(pooled.pool);
}

// The rest of a loop goes to the pool only when the first item's time
// times the items left exceeds 100 µs.
TEST(RunRule, SharingNeedsEnoughEstimatedWork) {
  struct share_case {
    int64_t first_ns, rest;
    bool want;
  };
  const share_case cases[] = {
      {0, 1000000, false},   // below the clock's resolution
      {1000, 100, false},    // exactly 100 µs
      {1000, 101, true},     {200000, 1, true},  {99999, 1, false},
      {50, INT64_MAX, true}, {INT64_MAX, 1, true}, {INT64_MAX, 0, false},
      {-5, 1000, false},
  };
  for (const share_case &c : cases)
    EXPECT_EQ(qz_ypu_cpu_worth_sharing(c.first_ns, c.rest), c.want)
        << c.first_ns << " ns, " << c.rest << " more";
}

// A shared rest counts as stalled when it took more than 200 µs longer than
// the calling thread alone would have (first item's time × items left).
TEST(RunRule, StallIsSharingSlowerThanWorkingAlone) {
  struct stall_case {
    int64_t shared_ns, first_ns, rest;
    bool want;
  };
  const stall_case cases[] = {
      {300000, 1000, 100, false},  // exactly 100 µs alone + 200 µs
      {300001, 1000, 100, true},   {50000, 1000, 100, false},
      {INT64_MAX, INT64_MAX, 2, false},  // the estimate does not fit: no judgement
      {INT64_MAX, 1, INT64_MAX - 100, false},
      {1000000, -1, 10, false},
  };
  for (const stall_case &c : cases)
    EXPECT_EQ(qz_ypu_cpu_sharing_stalled(c.shared_ns, c.first_ns, c.rest), c.want)
        << c.shared_ns << " ns shared, " << c.first_ns << " ns first, " << c.rest << " more";
}

// The pause after a stall: 20 ms at first, doubled by each stall up to 2 s,
// shortened by a sixty-fourth by each shared loop that ran well, never below
// 20 ms.
TEST(RunRule, PauseAfterStallsGrowsAndShrinks) {
  struct pause_case {
    int64_t alone_ns;
    bool stalled;
    int64_t want;
  };
  const pause_case cases[] = {
      {0, true, 40000000},           {0, false, 20000000},
      {20000000, true, 40000000},    {20000000, false, 20000000},
      {20300000, false, 20000000},   {64000000, false, 63000000},
      {999999999, true, 1999999998}, {1000000000, true, 2000000000},
      {2000000000, true, 2000000000}, {2000000000, false, 1968750000},
      {-5, true, 40000000},          {INT64_MAX, true, 2000000000},
  };
  for (const pause_case &c : cases)
    EXPECT_EQ(qz_ypu_cpu_next_alone_ns(c.alone_ns, c.stalled), c.want)
        << c.alone_ns << " ns, stalled " << c.stalled;
  // A run of stalls reaches the cap and a run of good loops the floor.
  int64_t pause = 0;
  for (int i = 0; i < 20; ++i) pause = qz_ypu_cpu_next_alone_ns(pause, true);
  EXPECT_EQ(pause, 2000000000);
  for (int i = 0; i < 400; ++i) pause = qz_ypu_cpu_next_alone_ns(pause, false);
  EXPECT_EQ(pause, 20000000);
}

// Records what ran, where.
struct trace {
  std::mutex lock;
  std::vector<std::vector<size_t>> calls;
  std::vector<std::thread::id> threads;
  size_t max_slot = 0;
  void add(std::vector<size_t> call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(std::move(call));
    threads.push_back(std::this_thread::get_id());
  }
};

void task_1d(void *t, size_t i) { static_cast<trace *>(t)->add({i}); }
void task_2d(void *t, size_t i, size_t j) { static_cast<trace *>(t)->add({i, j}); }
void task_3d(void *t, size_t i, size_t j, size_t k) { static_cast<trace *>(t)->add({i, j, k}); }
void task_slot(void *opaque, size_t slot, size_t i) {
  auto t = static_cast<trace *>(opaque);
  t->add({i});
  std::lock_guard<std::mutex> guard(t->lock);
  t->max_slot = std::max(t->max_slot, slot);
}

class Loops : public testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { ASSERT_EQ(qz_ypu_cpu_device_open(GetParam(), &device_), QZ_STATUS_SUCCESS); }
  void TearDown() override { qz_ypu_cpu_device_close(device_); }
  qz_ypu_cpu_device_t *device_ = nullptr;
};

using call_list = std::vector<std::vector<size_t>>;

// Index tuples of a nested loop, first index outermost (k omitted for 2-D).
call_list nested(size_t a, size_t b = 0, size_t c = 0) {
  call_list all;
  for (size_t i = 0; i < a; ++i) {
    if (!b) all.push_back({i});
    for (size_t j = 0; j < b; ++j) {
      if (!c) all.push_back({i, j});
      for (size_t k = 0; k < c; ++k) all.push_back({i, j, k});
    }
  }
  return all;
}

TEST_P(Loops, EveryItemRunsOnceSeriallyInOrderWithoutAPool) {
  const bool serial = !device_->pool;
  auto check = [&](trace &t, const call_list &want) {
    if (serial) {
      // In order, on the calling thread.
      EXPECT_EQ(t.calls, want);
      for (auto id : t.threads) EXPECT_EQ(id, std::this_thread::get_id());
    } else {
      std::sort(t.calls.begin(), t.calls.end());
      EXPECT_EQ(t.calls, want);
    }
  };
  {
    trace t;
    qz_ypu_cpu_run_1d(device_, task_1d, &t, 37);
    check(t, nested(37));
  }
  {
    trace t;
    qz_ypu_cpu_run_1d_with_thread(device_, task_slot, &t, 23);
    check(t, nested(23));
    EXPECT_LT(t.max_slot, static_cast<size_t>(device_->threads));
  }
  {
    trace t;
    qz_ypu_cpu_run_2d(device_, task_2d, &t, 3, 5);
    check(t, nested(3, 5));
  }
  {
    trace t;
    qz_ypu_cpu_run_3d(device_, task_3d, &t, 2, 3, 4);
    check(t, nested(2, 3, 4));
  }
}

TEST_P(Loops, ASingleItemRunsOnTheCallingThread) {
  trace t;
  qz_ypu_cpu_run_1d(device_, task_1d, &t, 1);
  qz_ypu_cpu_run_2d(device_, task_2d, &t, 1, 1);
  qz_ypu_cpu_run_3d(device_, task_3d, &t, 1, 1, 1);
  ASSERT_EQ(t.threads.size(), 3u);
  for (auto id : t.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_P(Loops, EmptyCountsRunNothing) {
  trace t;
  qz_ypu_cpu_run_1d(device_, task_1d, &t, 0);
  qz_ypu_cpu_run_1d(device_, task_1d, &t, -5);
  qz_ypu_cpu_run_1d_with_thread(device_, task_slot, &t, 0);
  qz_ypu_cpu_run_2d(device_, task_2d, &t, 4, 0);
  qz_ypu_cpu_run_2d(device_, task_2d, &t, -1, 4);
  qz_ypu_cpu_run_3d(device_, task_3d, &t, 2, 0, 2);
  EXPECT_TRUE(t.calls.empty());
}

// A first item slow enough that the rest certainly goes to the pool (when
// there is one): still every item once, and slots never shared.
struct slow_first {
  trace calls;
  std::vector<std::atomic<int>> busy;
  std::atomic<int> violations{0};
  explicit slow_first(size_t threads) : busy(threads) {}
};

void pause_if_first(size_t first_index_sum) {
  if (first_index_sum == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void slow_1d(void *o, size_t i) {
  pause_if_first(i);
  static_cast<slow_first *>(o)->calls.add({i});
}
void slow_2d(void *o, size_t i, size_t j) {
  pause_if_first(i + j);
  static_cast<slow_first *>(o)->calls.add({i, j});
}
void slow_3d(void *o, size_t i, size_t j, size_t k) {
  pause_if_first(i + j + k);
  static_cast<slow_first *>(o)->calls.add({i, j, k});
}
void slow_slot(void *o, size_t slot, size_t i) {
  auto &s = *static_cast<slow_first *>(o);
  if (slot >= s.busy.size() || s.busy[slot].fetch_add(1) != 0) s.violations.fetch_add(1);
  pause_if_first(i);
  s.calls.add({i});
  if (slot < s.busy.size()) s.busy[slot].fetch_sub(1);
}

TEST_P(Loops, LoopsWorthSharingRunEveryItemOnce) {
  const size_t threads = static_cast<size_t>(device_->threads);
  auto sorted = [](trace &t) {
    std::sort(t.calls.begin(), t.calls.end());
    return t.calls;
  };
  {
    slow_first s(threads);
    qz_ypu_cpu_run_1d(device_, slow_1d, &s, 41);
    EXPECT_EQ(sorted(s.calls), nested(41));
  }
  {
    slow_first s(threads);
    qz_ypu_cpu_run_1d_with_thread(device_, slow_slot, &s, 29);
    EXPECT_EQ(sorted(s.calls), nested(29));
    EXPECT_EQ(s.violations.load(), 0);
  }
  {
    slow_first s(threads);
    qz_ypu_cpu_run_2d(device_, slow_2d, &s, 4, 7);
    EXPECT_EQ(sorted(s.calls), nested(4, 7));
  }
  {
    slow_first s(threads);
    qz_ypu_cpu_run_3d(device_, slow_3d, &s, 3, 2, 5);
    EXPECT_EQ(sorted(s.calls), nested(3, 2, 5));
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, Loops, testing::Values(1, 2, 3, 8),
                         [](const testing::TestParamInfo<int> &info) {
                           return "cpu" + std::to_string(info.param);
                         });

TEST(KernelChoice, WidestUsableVariantFirst) {
  if (!(QZ_YPU_CPU_ISA_BUILT & QZ_YPU_CPU_ISA_AVX2)) GTEST_SKIP() << "x86-64 kernel choice";
  struct choice_case {
    uint32_t flags;
    int64_t length;
    std::string want;
  };
  const choice_case cases[] = {
      {0x5, 16, "avx2"},  {0x5, 12, "sse41"}, {0x5, 10, "plain"}, {0x1, 16, "sse41"},
      {0x4, 12, "plain"}, {0x0, 16, "plain"}, {0x2, 16, "plain"}, {0xFF, 0, "plain"},
      {0xFF, -8, "plain"}, {0x4, 8, "avx2"},
  };
  const char *avx2 = "avx2", *sse41 = "sse41", *plain = "plain";
  for (const choice_case &c : cases)
    EXPECT_EQ(qz_ypu_cpu_choose(c.flags, c.length, avx2, 8, sse41, 4, plain), c.want)
        << "flags " << c.flags << " length " << c.length;
  // Variants without a shape condition go by the flags alone; a missing
  // variant is skipped.
  EXPECT_EQ(std::string(qz_ypu_cpu_choose(0x5, 3, avx2, 1, sse41, 1, plain)), "avx2");
  EXPECT_EQ(std::string(qz_ypu_cpu_choose(0x5, 16, static_cast<const char *>(nullptr), 8, sse41, 4,
                                          plain)),
            "sse41");
}

// Only the bits of the processor family being built choose a kernel: the
// other family's kernels do not exist in this build.
TEST(KernelChoice, OtherFamilyBitsIgnored) {
  const bool arm64 = QZ_YPU_CPU_ISA_BUILT & QZ_YPU_CPU_ISA_NEON;
  EXPECT_EQ(qz_ypu_cpu_usable(0x20, QZ_YPU_CPU_ISA_NEON_MASK, 8, 4), arm64);
  EXPECT_FALSE(qz_ypu_cpu_usable(0x20, QZ_YPU_CPU_ISA_NEON_MASK, 6, 4));
  EXPECT_EQ(qz_ypu_cpu_usable(0x4, QZ_YPU_CPU_ISA_AVX2, 8, 4), !arm64);
  EXPECT_EQ(qz_ypu_cpu_has(0xFF, QZ_YPU_CPU_ISA_NEON_FP16), arm64);
}

TEST(Scratch, AlignedAndFreedOnEveryPath) {
  {
    // Small blocks, blocks beyond what is left of the object's own area and
    // zero sizes: each aligned and apart from every other (filled in turn,
    // every block still holds its own bytes).
    qz_ypu_cpu_scratch scratch;
    std::vector<std::pair<unsigned char *, int64_t>> blocks;
    for (int64_t bytes : {1, 33, 0, 4096, 12000, 40000, 0, 2000, 9000, 32}) {
      auto *block = static_cast<unsigned char *>(scratch.get(bytes));
      ASSERT_NE(block, nullptr) << bytes;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u) << bytes;
      for (const auto &[other, other_bytes] : blocks) EXPECT_NE(block, other) << bytes;
      blocks.emplace_back(block, bytes);
      std::memset(block, int(blocks.size()), size_t(bytes));
    }
    for (size_t i = 0; i < blocks.size(); ++i)
      for (int64_t j = 0; j < blocks[i].second; ++j)
        ASSERT_EQ(blocks[i].first[j], i + 1) << "block " << i << " byte " << j;
    EXPECT_NE(scratch.get<float>(0), nullptr);
  }
  {
    // The second block fails; the first is still freed (the leak checker of
    // the sanitizer build would report it otherwise).
    qz_ypu_cpu_scratch scratch;
    qz_alloc_fail_at(2);
    EXPECT_NE(scratch.get(64), nullptr);
    EXPECT_EQ(scratch.get(64), nullptr);
    qz_alloc_fail_at(0);
  }
}

TEST(Scratch, SizesThatDoNotFitAreRefused) {
  EXPECT_EQ(qz_ypu_cpu_scratch_bytes(1 << 20, 1 << 20), int64_t{1} << 40);
  EXPECT_EQ(qz_ypu_cpu_scratch_bytes(INT64_MAX / 2, 4), -1);
  EXPECT_EQ(qz_ypu_cpu_scratch_bytes(-1, 4), -1);
  qz_ypu_cpu_scratch scratch;
  EXPECT_EQ(scratch.get(-1), nullptr);
  EXPECT_EQ(scratch.get<double>(INT64_MAX / 4), nullptr);
}

}  // namespace
