// Parallel loop with a worker slot index, over the installed pthreadpool.
#pragma once

#include <pthreadpool.h>

#include <cstddef>
#include <cstdint>

using qz_ypu_task_1d_with_thread_t = void (*)(void *context, size_t thread, size_t index);

// Runs task(context, thread, i) for every i in [0, range). `thread` is below
// the pool's thread count (1 without a pool), and no two tasks running at the
// same time get the same `thread`, so it can index per-worker scratch.
void qz_ypu_parallelize_1d_with_thread(pthreadpool_t pool, qz_ypu_task_1d_with_thread_t task,
                                       void *context, size_t range, uint32_t flags);
