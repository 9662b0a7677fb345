#include "ypu/cpu/threadpool.h"

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
