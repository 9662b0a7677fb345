#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "ypu/cpu/threadpool.h"

namespace {

struct slot_check {
  size_t threads;
  std::vector<std::atomic<int>> busy;  // tasks running per slot
  std::vector<std::atomic<int>> seen;  // times each index ran
  std::atomic<int> violations{0};
  slot_check(size_t t, size_t range) : threads(t), busy(t), seen(range) {}
};

void check_task(void *opaque, size_t thread, size_t index) {
  auto check = static_cast<slot_check *>(opaque);
  if (thread >= check->threads) {
    ++check->violations;
    return;
  }
  if (check->busy[thread].fetch_add(1) != 0) ++check->violations;
  // Some work, so that tasks overlap in time.
  volatile double x = 0;
  for (int k = 0; k < 200; ++k) x = x + k * 0.5;
  check->seen[index].fetch_add(1);
  check->busy[thread].fetch_sub(1);
}

TEST(ThreadIndexLoop, SlotsAreNeverSharedByConcurrentTasks) {
  for (size_t threads = 1; threads <= 8; ++threads) {
    pthreadpool_t pool = threads > 1 ? pthreadpool_create(threads) : nullptr;
    for (size_t range : {size_t(1), threads - 1, threads, threads + 1, size_t(1000), size_t(4099)}) {
      if (range == 0) continue;
      SCOPED_TRACE(testing::Message() << threads << " threads, range " << range);
      for (int repeat = 0; repeat < 5; ++repeat) {
        slot_check check(threads, range);
        qz_ypu_parallelize_1d_with_thread(pool, check_task, &check, range, 0);
        EXPECT_EQ(check.violations.load(), 0);
        for (size_t i = 0; i < range; ++i) ASSERT_EQ(check.seen[i].load(), 1) << i;
      }
    }
    if (pool) pthreadpool_destroy(pool);
  }
}

TEST(ThreadIndexLoop, EmptyRangeRunsNothing) {
  slot_check check(1, 0);
  qz_ypu_parallelize_1d_with_thread(nullptr, check_task, &check, 0, 0);
  EXPECT_EQ(check.violations.load(), 0);
}

}  // namespace
