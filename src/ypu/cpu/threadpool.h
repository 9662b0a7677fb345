// The CPU device's worker pool. The calling thread always works on the
// items itself and waits only for items a worker has actually taken: a
// worker that is not running (no free core, a busy machine) never holds up a
// loop, it simply finds nothing left when it gets to run. Idle workers sleep
// in the kernel after a short, bounded spin.
#pragma once

#include <cstddef>
#include <cstdint>

struct qz_ypu_pool_t;

// task(context, slot, item): `slot` is below the pool's thread count (0 is
// the calling thread) and no two tasks running at the same time share it,
// so it can index per-thread scratch.
using qz_ypu_pool_task_t = void (*)(void *context, size_t slot, size_t item);

// A pool of `threads` participants: the caller and threads - 1 workers.
// Null when threads < 2 or a worker cannot be started.
qz_ypu_pool_t *qz_ypu_pool_create(size_t threads);
void qz_ypu_pool_destroy(qz_ypu_pool_t *pool);
// Participants, 1 for no pool.
size_t qz_ypu_pool_threads(const qz_ypu_pool_t *pool);
// Runs task for every item in [0, count) and returns when all have run.
// Without a pool, or with fewer than two items, they run on the calling
// thread in order, with slot 0.
void qz_ypu_pool_run(qz_ypu_pool_t *pool, qz_ypu_pool_task_t task, void *context, size_t count);
