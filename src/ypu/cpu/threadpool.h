// The worker pool of the CPU device and the parallel loops over it. Every
// loop runs on the calling thread, in order (first index outermost), when
// there is no pool, the pool has one thread, or there is a single item; an
// empty range runs nothing. Every loop returns after all items ran.
#pragma once

#include <pthreadpool.h>

#include <cstddef>
#include <cstdint>

using qz_ypu_task_1d_with_thread_t = void (*)(void *context, size_t thread, size_t index);

// A pool of `threads` threads (the caller taking part as worker 0). Returns
// 0 and the pool, or 1 with *out null when none can be had (threads below 1
// included: pthreadpool would read 0 as "one per processor").
int32_t qz_ypu_cpu_pool_create(int32_t threads, pthreadpool_t *out);
// Stops and joins the workers; a null pool is ignored.
void qz_ypu_cpu_pool_destroy(pthreadpool_t pool);

// Whether a loop goes to the pool: it has several items and the pool more
// than one thread.
bool qz_ypu_cpu_pool_runs(pthreadpool_t pool, bool several);

void qz_ypu_cpu_parallelize_1d(pthreadpool_t pool, pthreadpool_task_1d_t task, void *context,
                               size_t range);
// `thread` is below the pool's thread count (0 on the serial path), and no
// two tasks running at the same time get the same `thread`, so it can index
// per-worker scratch.
void qz_ypu_cpu_parallelize_1d_with_thread(pthreadpool_t pool, qz_ypu_task_1d_with_thread_t task,
                                           void *context, size_t range);
void qz_ypu_cpu_parallelize_2d(pthreadpool_t pool, pthreadpool_task_2d_t task, void *context,
                               size_t range_i, size_t range_j);
void qz_ypu_cpu_parallelize_3d(pthreadpool_t pool, pthreadpool_task_3d_t task, void *context,
                               size_t range_i, size_t range_j, size_t range_k);

// The pool path of the with-thread loop, on any pthreadpool (older ones lack
// a with-thread loop of their own).
void qz_ypu_parallelize_1d_with_thread(pthreadpool_t pool, qz_ypu_task_1d_with_thread_t task,
                                       void *context, size_t range, uint32_t flags);
