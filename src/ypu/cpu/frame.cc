#include "ypu/cpu/frame.h"

#include "common/alloc.h"

namespace {

// Loops of one, two or three indices run on the pool as one flat range of
// items; each item is one (i), (i, j) or (i, j, k) of the loop.
struct qz_ypu_cpu_flat_loop {
  void *context;
  qz_ypu_cpu_task_1d_t task_1d;
  qz_ypu_cpu_task_2d_t task_2d;
  qz_ypu_cpu_task_3d_t task_3d;
  size_t count_j, count_k;
};

void qz_ypu_cpu_flat_1d(void *opaque, size_t, size_t item) {
  const auto &loop = *static_cast<const qz_ypu_cpu_flat_loop *>(opaque);
  loop.task_1d(loop.context, item);
}

void qz_ypu_cpu_flat_2d(void *opaque, size_t, size_t item) {
  const auto &loop = *static_cast<const qz_ypu_cpu_flat_loop *>(opaque);
  loop.task_2d(loop.context, item / loop.count_j, item % loop.count_j);
}

void qz_ypu_cpu_flat_3d(void *opaque, size_t, size_t item) {
  const auto &loop = *static_cast<const qz_ypu_cpu_flat_loop *>(opaque);
  const size_t jk = item % (loop.count_j * loop.count_k);
  loop.task_3d(loop.context, item / (loop.count_j * loop.count_k), jk / loop.count_k,
               jk % loop.count_k);
}

// The item count of a flattened loop, or 0 when it would not fit the
// pool's numbering (such loops run on the calling thread).
int64_t qz_ypu_cpu_flat_count(int64_t a, int64_t b, int64_t c) {
  constexpr int64_t limit = int64_t{1} << 31;
  if (a >= limit || b >= limit || c >= limit) return 0;
  if (a * b >= limit) return 0;
  const int64_t ab = a * b;
  if (ab * c >= limit) return 0;
  return ab * c;
}

}  // namespace

bool qz_ypu_cpu_uses_pool(const qz_ypu_cpu_device_t *device, int64_t items) {
  return device->pool && qz_ypu_pool_threads(device->pool) > 1 && items >= 2;
}

void qz_ypu_cpu_run_1d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_1d_t task,
                       void *context, int64_t count) {
  if (count <= 0) return;
  if (qz_ypu_cpu_uses_pool(device, count) && qz_ypu_cpu_flat_count(count, 1, 1) > 0) {
    qz_ypu_cpu_flat_loop loop{context, task, nullptr, nullptr, 1, 1};
    qz_ypu_pool_run(device->pool, qz_ypu_cpu_flat_1d, &loop, static_cast<size_t>(count));
    return;
  }
  for (int64_t i = 0; i < count; ++i) task(context, static_cast<size_t>(i));
}

void qz_ypu_cpu_run_1d_with_thread(const qz_ypu_cpu_device_t *device,
                                   qz_ypu_cpu_task_1d_with_thread_t task, void *context,
                                   int64_t count) {
  if (count <= 0) return;
  if (qz_ypu_cpu_uses_pool(device, count) && qz_ypu_cpu_flat_count(count, 1, 1) > 0) {
    qz_ypu_pool_run(device->pool, task, context, static_cast<size_t>(count));
    return;
  }
  for (int64_t i = 0; i < count; ++i) task(context, 0, static_cast<size_t>(i));
}

void qz_ypu_cpu_run_2d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_2d_t task,
                       void *context, int64_t count_i, int64_t count_j) {
  if (count_i <= 0 || count_j <= 0) return;
  const int64_t items = qz_ypu_cpu_flat_count(count_i, count_j, 1);
  if (items > 0 && qz_ypu_cpu_uses_pool(device, items)) {
    qz_ypu_cpu_flat_loop loop{context, nullptr, task, nullptr, static_cast<size_t>(count_j), 1};
    qz_ypu_pool_run(device->pool, qz_ypu_cpu_flat_2d, &loop, static_cast<size_t>(items));
    return;
  }
  for (int64_t i = 0; i < count_i; ++i)
    for (int64_t j = 0; j < count_j; ++j) task(context, static_cast<size_t>(i), static_cast<size_t>(j));
}

void qz_ypu_cpu_run_3d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_3d_t task,
                       void *context, int64_t count_i, int64_t count_j, int64_t count_k) {
  if (count_i <= 0 || count_j <= 0 || count_k <= 0) return;
  const int64_t items = qz_ypu_cpu_flat_count(count_i, count_j, count_k);
  if (items > 0 && qz_ypu_cpu_uses_pool(device, items)) {
    qz_ypu_cpu_flat_loop loop{context, nullptr, nullptr, task, static_cast<size_t>(count_j),
                              static_cast<size_t>(count_k)};
    qz_ypu_pool_run(device->pool, qz_ypu_cpu_flat_3d, &loop, static_cast<size_t>(items));
    return;
  }
  for (int64_t i = 0; i < count_i; ++i)
    for (int64_t j = 0; j < count_j; ++j)
      for (int64_t k = 0; k < count_k; ++k)
        task(context, static_cast<size_t>(i), static_cast<size_t>(j), static_cast<size_t>(k));
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
  if (bytes < 0 || count_ == kMaxBlocks) return nullptr;
  void *block = qz_aligned_alloc(QZ_YPU_CPU_SCRATCH_ALIGNMENT, bytes);
  if (block) blocks_[count_++] = block;
  return block;
}
