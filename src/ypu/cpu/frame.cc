#include "ypu/cpu/frame.h"

#include <chrono>

#include "common/alloc.h"

namespace {

// Waking the workers and waiting for the last of them costs some
// microseconds, more on a busy machine: a loop whose rest would take the
// calling thread less than this alone is not handed out.
constexpr int64_t QZ_YPU_CPU_SHARE_ABOVE_NS = 100000;
// A shared rest that took this much longer than the calling thread alone
// would have means a worker was not running (no free core): the loops of
// the next while then stay on the calling thread.
constexpr int64_t QZ_YPU_CPU_STALL_NS = 200000;
constexpr int64_t QZ_YPU_CPU_ALONE_MIN_NS = 20000000;
constexpr int64_t QZ_YPU_CPU_ALONE_MAX_NS = 2000000000;

int64_t qz_ypu_cpu_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Items of an (a × b × c) loop after its first, saturated at INT64_MAX.
int64_t qz_ypu_cpu_items_after_first(int64_t a, int64_t b, int64_t c) {
  int64_t ab, abc;
  if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) return INT64_MAX;
  return abc - 1;
}

// Runs `first` (the loop's first item) on the calling thread, then the
// `rest` items after it: on the pool (`shared`) when the device has one, has
// not just seen a stall, and the first item shows the rest to be worth it;
// otherwise on the calling thread (`serial`).
template <class First, class Shared, class Serial>
void qz_ypu_cpu_run_loop(const qz_ypu_cpu_device_t *device, int64_t rest, First first,
                         Shared shared, Serial serial) {
  if (rest < 1 || !qz_ypu_cpu_uses_pool(device, 2)) {
    first();
    serial();
    return;
  }
  const int64_t start = qz_ypu_cpu_now_ns();
  first();
  // After a stall the first item's time is not needed: no second reading.
  if (start < device->alone_until_ns) {
    serial();
    return;
  }
  const int64_t first_ns = qz_ypu_cpu_now_ns() - start;
  if (!qz_ypu_cpu_worth_sharing(first_ns, rest)) {
    serial();
    return;
  }
  const int64_t shared_start = qz_ypu_cpu_now_ns();
  shared();
  const int64_t end = qz_ypu_cpu_now_ns();
  const bool stalled = qz_ypu_cpu_sharing_stalled(end - shared_start, first_ns, rest);
  if (stalled)
    device->alone_until_ns = end + qz_ypu_cpu_max(device->alone_for_ns, QZ_YPU_CPU_ALONE_MIN_NS);
  device->alone_for_ns = qz_ypu_cpu_next_alone_ns(device->alone_for_ns, stalled);
}

// The rest of a loop whose first item already ran: 1-D loops are shifted by
// one, 2-D and 3-D loops skip their (0, 0[, 0]).
struct qz_ypu_cpu_rest_t {
  void *context;
  qz_ypu_cpu_task_1d_t task_1d;
  qz_ypu_cpu_task_1d_with_thread_t task_1d_with_thread;
  qz_ypu_cpu_task_2d_t task_2d;
  qz_ypu_cpu_task_3d_t task_3d;
};

void qz_ypu_cpu_rest_1d(void *opaque, size_t i) {
  const auto &rest = *static_cast<const qz_ypu_cpu_rest_t *>(opaque);
  rest.task_1d(rest.context, i + 1);
}

void qz_ypu_cpu_rest_1d_with_thread(void *opaque, size_t thread, size_t i) {
  const auto &rest = *static_cast<const qz_ypu_cpu_rest_t *>(opaque);
  rest.task_1d_with_thread(rest.context, thread, i + 1);
}

void qz_ypu_cpu_rest_2d(void *opaque, size_t i, size_t j) {
  const auto &rest = *static_cast<const qz_ypu_cpu_rest_t *>(opaque);
  if ((i | j) != 0) rest.task_2d(rest.context, i, j);
}

void qz_ypu_cpu_rest_3d(void *opaque, size_t i, size_t j, size_t k) {
  const auto &rest = *static_cast<const qz_ypu_cpu_rest_t *>(opaque);
  if ((i | j | k) != 0) rest.task_3d(rest.context, i, j, k);
}

}  // namespace

bool qz_ypu_cpu_sharing_stalled(int64_t shared_ns, int64_t first_ns, int64_t rest) {
  int64_t alone_ns;
  if (first_ns < 0 || rest < 0 || __builtin_mul_overflow(first_ns, rest, &alone_ns) ||
      alone_ns > INT64_MAX - QZ_YPU_CPU_STALL_NS)
    return false;
  return shared_ns > alone_ns + QZ_YPU_CPU_STALL_NS;
}

int64_t qz_ypu_cpu_next_alone_ns(int64_t alone_ns, bool stalled) {
  const int64_t now = qz_ypu_cpu_max(alone_ns, QZ_YPU_CPU_ALONE_MIN_NS);
  if (stalled) return now >= QZ_YPU_CPU_ALONE_MAX_NS / 2 ? QZ_YPU_CPU_ALONE_MAX_NS : 2 * now;
  return qz_ypu_cpu_max(now - now / 64, QZ_YPU_CPU_ALONE_MIN_NS);
}

bool qz_ypu_cpu_worth_sharing(int64_t first_ns, int64_t rest) {
  if (first_ns <= 0 || rest <= 0) return false;
  // first_ns · rest > limit, without forming the product.
  return rest > QZ_YPU_CPU_SHARE_ABOVE_NS / first_ns;
}

bool qz_ypu_cpu_uses_pool(const qz_ypu_cpu_device_t *device, int64_t items) {
  return qz_ypu_cpu_pool_runs(device->pool, items >= 2);
}

// The pool's loops take unsigned ranges; a count of zero or less runs
// nothing.
void qz_ypu_cpu_run_1d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_1d_t task,
                       void *context, int64_t count) {
  if (count <= 0) return;
  qz_ypu_cpu_rest_t rest{context, task, nullptr, nullptr, nullptr};
  qz_ypu_cpu_run_loop(
      device, count - 1, [&] { task(context, 0); },
      [&] {
        qz_ypu_cpu_parallelize_1d(device->pool, qz_ypu_cpu_rest_1d, &rest,
                                  static_cast<size_t>(count - 1));
      },
      [&] {
        for (int64_t i = 1; i < count; ++i) task(context, static_cast<size_t>(i));
      });
}

void qz_ypu_cpu_run_1d_with_thread(const qz_ypu_cpu_device_t *device,
                                   qz_ypu_cpu_task_1d_with_thread_t task, void *context,
                                   int64_t count) {
  if (count <= 0) return;
  // The first item is over before the pool starts, so its slot 0 is free
  // again for the rest.
  qz_ypu_cpu_rest_t rest{context, nullptr, task, nullptr, nullptr};
  qz_ypu_cpu_run_loop(
      device, count - 1, [&] { task(context, 0, 0); },
      [&] {
        qz_ypu_cpu_parallelize_1d_with_thread(device->pool, qz_ypu_cpu_rest_1d_with_thread, &rest,
                                              static_cast<size_t>(count - 1));
      },
      [&] {
        for (int64_t i = 1; i < count; ++i) task(context, 0, static_cast<size_t>(i));
      });
}

void qz_ypu_cpu_run_2d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_2d_t task,
                       void *context, int64_t count_i, int64_t count_j) {
  if (count_i <= 0 || count_j <= 0) return;
  qz_ypu_cpu_rest_t rest{context, nullptr, nullptr, task, nullptr};
  qz_ypu_cpu_run_loop(
      device, qz_ypu_cpu_items_after_first(count_i, count_j, 1), [&] { task(context, 0, 0); },
      [&] {
        qz_ypu_cpu_parallelize_2d(device->pool, qz_ypu_cpu_rest_2d, &rest,
                                  static_cast<size_t>(count_i), static_cast<size_t>(count_j));
      },
      [&] {
        for (int64_t i = 0; i < count_i; ++i)
          for (int64_t j = i == 0 ? 1 : 0; j < count_j; ++j)
            task(context, static_cast<size_t>(i), static_cast<size_t>(j));
      });
}

void qz_ypu_cpu_run_3d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_3d_t task,
                       void *context, int64_t count_i, int64_t count_j, int64_t count_k) {
  if (count_i <= 0 || count_j <= 0 || count_k <= 0) return;
  qz_ypu_cpu_rest_t rest{context, nullptr, nullptr, nullptr, task};
  qz_ypu_cpu_run_loop(
      device, qz_ypu_cpu_items_after_first(count_i, count_j, count_k),
      [&] { task(context, 0, 0, 0); },
      [&] {
        qz_ypu_cpu_parallelize_3d(device->pool, qz_ypu_cpu_rest_3d, &rest,
                                  static_cast<size_t>(count_i), static_cast<size_t>(count_j),
                                  static_cast<size_t>(count_k));
      },
      [&] {
        for (int64_t i = 0; i < count_i; ++i)
          for (int64_t j = 0; j < count_j; ++j)
            for (int64_t k = i == 0 && j == 0 ? 1 : 0; k < count_k; ++k)
              task(context, static_cast<size_t>(i), static_cast<size_t>(j),
                   static_cast<size_t>(k));
      });
}

int64_t qz_ypu_cpu_scratch_bytes(int64_t count, int64_t size) {
  if (count < 0 || size < 0) return -1;
  if (size != 0 && count > INT64_MAX / size) return -1;
  return count * size;
}

qz_ypu_cpu_scratch::~qz_ypu_cpu_scratch() {
  while (count_ > 0) qz_aligned_free(blocks_[--count_]);
}

void *qz_ypu_cpu_scratch::get(int64_t bytes) {
  if (bytes < 0) return nullptr;
  // Blocks of the area keep the heap's alignment and, like heap blocks, are
  // distinct even for a zero size.
  constexpr int64_t align = QZ_YPU_CPU_SCRATCH_ALIGNMENT;
  const int64_t rounded =
      bytes > int64_t{kAreaBytes} ? bytes : (qz_ypu_cpu_max(bytes, int64_t{1}) + align - 1) & -align;
  if (rounded <= int64_t(kAreaBytes - area_used_)) {
    // An injected allocation failure counts area blocks too.
    if (qz_alloc_should_fail()) return nullptr;
    void *block = area_ + area_used_;
    area_used_ += size_t(rounded);
    return block;
  }
  if (count_ == kMaxBlocks) return nullptr;
  void *block = qz_aligned_alloc(QZ_YPU_CPU_SCRATCH_ALIGNMENT, bytes);
  if (block) blocks_[count_++] = block;
  return block;
}
