#include "ypu/cpu/threadpool.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

TEST(WorkerPool, SlotsAreNeverSharedByConcurrentTasks) {
  for (size_t threads = 1; threads <= 8; ++threads) {
    qz_ypu_pool_t *pool = qz_ypu_pool_create(threads);
    EXPECT_EQ(pool != nullptr, threads > 1);
    EXPECT_EQ(qz_ypu_pool_threads(pool), threads);
    for (size_t range : {size_t(1), threads - 1, threads, threads + 1, size_t(1000), size_t(4099)}) {
      if (range == 0) continue;
      SCOPED_TRACE(testing::Message() << threads << " threads, range " << range);
      for (int repeat = 0; repeat < 5; ++repeat) {
        slot_check check(threads, range);
        qz_ypu_pool_run(pool, check_task, &check, range);
        EXPECT_EQ(check.violations.load(), 0);
        for (size_t i = 0; i < range; ++i) ASSERT_EQ(check.seen[i].load(), 1) << i;
      }
    }
    qz_ypu_pool_destroy(pool);
  }
}

TEST(WorkerPool, EmptyRangeRunsNothing) {
  slot_check check(1, 0);
  qz_ypu_pool_run(nullptr, check_task, &check, 0);
  EXPECT_EQ(check.violations.load(), 0);
}

void count_task(void *opaque, size_t, size_t index) {
  static_cast<std::vector<std::atomic<int>> *>(opaque)->at(index).fetch_add(1);
}

// Loops follow each other faster than workers wake: a worker that arrives
// late must take nothing of the loop it missed and nothing twice.
TEST(WorkerPool, BackToBackLoopsRunEveryItemOnce) {
  qz_ypu_pool_t *pool = qz_ypu_pool_create(4);
  ASSERT_NE(pool, nullptr);
  for (int loop = 0; loop < 20000; ++loop) {
    const size_t range = 2 + loop % 7;
    std::vector<std::atomic<int>> seen(range);
    qz_ypu_pool_run(pool, count_task, &seen, range);
    for (size_t i = 0; i < range; ++i) ASSERT_EQ(seen[i].load(), 1) << loop << " " << i;
  }
  qz_ypu_pool_destroy(pool);
}

void sleepy_task(void *, size_t, size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// Workers that have gone to sleep wake for the next loop, and a pool whose
// workers sleep is destroyed without waiting for anything.
TEST(WorkerPool, SleepingWorkersWakeAndStop) {
  qz_ypu_pool_t *pool = qz_ypu_pool_create(3);
  ASSERT_NE(pool, nullptr);
  qz_ypu_pool_run(pool, sleepy_task, nullptr, 6);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  slot_check check(3, 500);
  qz_ypu_pool_run(pool, check_task, &check, 500);
  EXPECT_EQ(check.violations.load(), 0);
  for (size_t i = 0; i < 500; ++i) ASSERT_EQ(check.seen[i].load(), 1) << i;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  qz_ypu_pool_destroy(pool);
}

}  // namespace
