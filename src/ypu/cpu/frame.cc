#include "ypu/cpu/frame.h"

#include "common/alloc.h"

bool qz_ypu_cpu_uses_pool(const qz_ypu_cpu_device_t *device, int64_t items) {
  return qz_ypu_cpu_pool_runs(device->pool, items >= 2);
}

// The loops of the platform layer take unsigned ranges; a count of zero or
// less runs nothing.
void qz_ypu_cpu_run_1d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_1d_t task,
                       void *context, int64_t count) {
  if (count <= 0) return;
  qz_ypu_cpu_parallelize_1d(device->pool, task, context, static_cast<size_t>(count));
}

void qz_ypu_cpu_run_1d_with_thread(const qz_ypu_cpu_device_t *device,
                                   qz_ypu_cpu_task_1d_with_thread_t task, void *context,
                                   int64_t count) {
  if (count <= 0) return;
  qz_ypu_cpu_parallelize_1d_with_thread(device->pool, task, context, static_cast<size_t>(count));
}

void qz_ypu_cpu_run_2d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_2d_t task,
                       void *context, int64_t count_i, int64_t count_j) {
  if (count_i <= 0 || count_j <= 0) return;
  qz_ypu_cpu_parallelize_2d(device->pool, task, context, static_cast<size_t>(count_i),
                            static_cast<size_t>(count_j));
}

void qz_ypu_cpu_run_3d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_3d_t task,
                       void *context, int64_t count_i, int64_t count_j, int64_t count_k) {
  if (count_i <= 0 || count_j <= 0 || count_k <= 0) return;
  qz_ypu_cpu_parallelize_3d(device->pool, task, context, static_cast<size_t>(count_i),
                            static_cast<size_t>(count_j), static_cast<size_t>(count_k));
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
