#include "ypu/cpu/threadpool.h"

#include "common/alloc.h"

namespace {

struct qz_ypu_thread_tiles {
  qz_ypu_task_1d_with_thread_t task;
  void *context;
  size_t tile;
};

// The range is cut into at most T tiles; each tile runs whole inside one
// call, so its tile number is a slot no concurrent call shares.
void qz_ypu_run_tile(void *opaque, size_t start, size_t count) {
  auto tiles = static_cast<const qz_ypu_thread_tiles *>(opaque);
  const size_t slot = start / tiles->tile;
  for (size_t i = start; i < start + count; ++i) tiles->task(tiles->context, slot, i);
}

}  // namespace

void qz_ypu_parallelize_1d_with_thread(pthreadpool_t pool, qz_ypu_task_1d_with_thread_t task,
                                       void *context, size_t range, uint32_t flags) {
  if (range == 0) return;
  const size_t threads = pool ? pthreadpool_get_threads_count(pool) : 1;
  const qz_ypu_thread_tiles tiles{task, context, (range + threads - 1) / threads};
  pthreadpool_parallelize_1d_tile_1d(pool, qz_ypu_run_tile, const_cast<qz_ypu_thread_tiles *>(&tiles),
                                     range, tiles.tile, flags);
}

int32_t qz_ypu_cpu_pool_create(int32_t threads, pthreadpool_t *out) {
  *out = nullptr;
  if (threads < 1 || qz_alloc_should_fail()) return 1;
  *out = pthreadpool_create(static_cast<size_t>(threads));
  return *out ? 0 : 1;
}

void qz_ypu_cpu_pool_destroy(pthreadpool_t pool) {
  if (pool) pthreadpool_destroy(pool);
}

bool qz_ypu_cpu_pool_runs(pthreadpool_t pool, bool several) {
  return several && pool && pthreadpool_get_threads_count(pool) > 1;
}

void qz_ypu_cpu_parallelize_1d(pthreadpool_t pool, pthreadpool_task_1d_t task, void *context,
                               size_t range) {
  if (qz_ypu_cpu_pool_runs(pool, range >= 2)) {
    pthreadpool_parallelize_1d(pool, task, context, range, 0);
    return;
  }
  for (size_t i = 0; i < range; ++i) task(context, i);
}

void qz_ypu_cpu_parallelize_1d_with_thread(pthreadpool_t pool, qz_ypu_task_1d_with_thread_t task,
                                           void *context, size_t range) {
  if (qz_ypu_cpu_pool_runs(pool, range >= 2)) {
    qz_ypu_parallelize_1d_with_thread(pool, task, context, range, 0);
    return;
  }
  for (size_t i = 0; i < range; ++i) task(context, 0, i);
}

void qz_ypu_cpu_parallelize_2d(pthreadpool_t pool, pthreadpool_task_2d_t task, void *context,
                               size_t range_i, size_t range_j) {
  if (range_i == 0 || range_j == 0) return;
  if (qz_ypu_cpu_pool_runs(pool, range_i > 1 || range_j > 1)) {
    pthreadpool_parallelize_2d(pool, task, context, range_i, range_j, 0);
    return;
  }
  for (size_t i = 0; i < range_i; ++i)
    for (size_t j = 0; j < range_j; ++j) task(context, i, j);
}

void qz_ypu_cpu_parallelize_3d(pthreadpool_t pool, pthreadpool_task_3d_t task, void *context,
                               size_t range_i, size_t range_j, size_t range_k) {
  if (range_i == 0 || range_j == 0 || range_k == 0) return;
  // Only whether there are at least two items matters; the product of the
  // ranges is never formed.
  if (qz_ypu_cpu_pool_runs(pool, range_i > 1 || range_j > 1 || range_k > 1)) {
    pthreadpool_parallelize_3d(pool, task, context, range_i, range_j, range_k, 0);
    return;
  }
  for (size_t i = 0; i < range_i; ++i)
    for (size_t j = 0; j < range_j; ++j)
      for (size_t k = 0; k < range_k; ++k) task(context, i, j, k);
}
