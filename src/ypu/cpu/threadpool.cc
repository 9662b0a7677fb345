#include "ypu/cpu/threadpool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Polls before sleeping: long enough to catch the next loop of a running
// translation (operations follow each other within microseconds), short
// enough that an idle or starved worker gives its core back at once.
constexpr int kSpinPolls = 1000;

inline void qz_ypu_pool_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// A loop goes to the workers only when the caller alone would need longer
// than this for the rest of it: waking workers and waiting for their last
// item costs some microseconds, more on a busy machine.
constexpr std::chrono::microseconds kShareAbove{100};

// A wait this long for the workers' last items means one was descheduled;
// the loops of the following while then stay on the caller.
constexpr std::chrono::microseconds kStallLimit{200};
constexpr std::chrono::milliseconds kAloneAfterStall{2000};

// Items are numbered below 2^32 and tickets carry the loop's generation in
// their top half, so a worker still holding an old loop cannot take an item
// of the next one.
constexpr uint64_t kItemMask = 0xFFFFFFFFu;

}  // namespace

struct qz_ypu_pool_t {
  size_t threads = 0;
  std::mutex mutex;
  std::condition_variable wake;      // workers: a new loop or stop
  std::condition_variable finished;  // caller: the last item is done
  // Numbers loops; only the caller touches it.
  uint32_t generation = 0;
  // The loop handed to the workers, written under the mutex.
  qz_ypu_pool_task_t task = nullptr;
  void *context = nullptr;
  size_t count = 0;
  bool stop = false;
  // The last loop handed to the workers (stored under the mutex, polled
  // without it while spinning).
  std::atomic<uint32_t> published{0};
  std::atomic<uint64_t> ticket{0};     // generation << 32 | next item
  std::atomic<size_t> done{0};
  std::vector<std::thread> workers;
  // Caller-side: loops run on the caller alone until then, after a loop
  // whose workers kept the caller waiting (see qz_ypu_pool_run).
  std::chrono::steady_clock::time_point alone_until{};

  bool take(uint32_t loop, size_t items, size_t *item) {
    uint64_t t = ticket.load(std::memory_order_acquire);
    for (;;) {
      if (static_cast<uint32_t>(t >> 32) != loop || (t & kItemMask) >= items) return false;
      if (ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel)) {
        *item = static_cast<size_t>(t & kItemMask);
        return true;
      }
    }
  }

  void work(size_t slot) {
    uint32_t seen = 0;
    for (;;) {
      for (int i = 0; i < kSpinPolls && published.load(std::memory_order_acquire) == seen; ++i)
        qz_ypu_pool_relax();
      qz_ypu_pool_task_t loop_task;
      void *loop_context;
      size_t items;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return stop || published.load(std::memory_order_relaxed) != seen; });
        if (stop) return;
        seen = published.load(std::memory_order_relaxed);
        loop_task = task;
        loop_context = context;
        items = count;
      }
      size_t item;
      while (take(seen, items, &item)) {
        loop_task(loop_context, slot, item);
        if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == items) {
          std::lock_guard<std::mutex> lock(mutex);
          finished.notify_one();
        }
      }
    }
  }
};

qz_ypu_pool_t *qz_ypu_pool_create(size_t threads) {
  if (threads < 2) return nullptr;
  auto *pool = new (std::nothrow) qz_ypu_pool_t;
  if (!pool) return nullptr;
  pool->threads = threads;
  try {
    pool->workers.reserve(threads - 1);
    for (size_t slot = 1; slot < threads; ++slot)
      pool->workers.emplace_back([pool, slot] { pool->work(slot); });
  } catch (...) {
    qz_ypu_pool_destroy(pool);
    return nullptr;
  }
  return pool;
}

void qz_ypu_pool_destroy(qz_ypu_pool_t *pool) {
  if (!pool) return;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->stop = true;
  }
  pool->wake.notify_all();
  for (std::thread &worker : pool->workers) worker.join();
  delete pool;
}

size_t qz_ypu_pool_threads(const qz_ypu_pool_t *pool) { return pool ? pool->threads : 1; }

void qz_ypu_pool_run(qz_ypu_pool_t *pool, qz_ypu_pool_task_t task, void *context, size_t count) {
  if (!pool || count < 2 || count > kItemMask) {
    for (size_t i = 0; i < count; ++i) task(context, 0, i);
    return;
  }
  // A loop is handed out only once its first item shows it is worth it;
  // until then the workers know nothing of it. Tickets carry the loop's
  // number, so a worker still on an older loop can take nothing here.
  const uint32_t loop = ++pool->generation;
  pool->done.store(1, std::memory_order_relaxed);
  pool->ticket.store((uint64_t{loop} << 32) | 1, std::memory_order_release);
  const auto start = std::chrono::steady_clock::now();
  task(context, 0, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  if (took * static_cast<int64_t>(count - 1) <= kShareAbove || start < pool->alone_until) {
    for (size_t i = 1; i < count; ++i) task(context, 0, i);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->task = task;
    pool->context = context;
    pool->count = count;
    pool->published.store(loop, std::memory_order_release);
  }
  pool->wake.notify_all();
  size_t item;
  while (pool->take(loop, count, &item)) {
    task(context, 0, item);
    pool->done.fetch_add(1, std::memory_order_acq_rel);
  }
  // Only items that workers took are left; wait for those.
  if (pool->done.load(std::memory_order_acquire) == count) return;
  const auto waiting = std::chrono::steady_clock::now();
  for (int i = 0; i < kSpinPolls && pool->done.load(std::memory_order_acquire) != count; ++i)
    qz_ypu_pool_relax();
  if (pool->done.load(std::memory_order_acquire) != count) {
    std::unique_lock<std::mutex> lock(pool->mutex);
    pool->finished.wait(lock, [&] { return pool->done.load(std::memory_order_acquire) == count; });
  }
  // A long wait means a worker was descheduled in the middle of an item:
  // the machine has no core to spare. Sharing then costs more than it gains,
  // so the caller works alone for a while before trying the workers again.
  const auto now = std::chrono::steady_clock::now();
  if (now - waiting > kStallLimit) pool->alone_until = now + kAloneAfterStall;
}
