// The CPU device. What it asks of the operating system comes through
// QZ_YPU_CPU_SYSTEM, which each build's platform folder defines.
#include "ypu/cpu/device.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/error.h"
#include "ypu/cpu/threadpool.h"

namespace {
std::atomic<uint32_t> qz_ypu_cpu_isa_mask{~0u};
}  // namespace

int32_t qz_ypu_cpu_processor_count() { return QZ_YPU_CPU_SYSTEM.processor_count(); }

namespace {
int32_t qz_ypu_cpu_default_base(const qz_ypu_cpu_system_t &system) {
  return system.usable_processor_count ? system.usable_processor_count()
                                       : system.processor_count();
}
}  // namespace

int32_t qz_ypu_cpu_usable_processor_count() { return qz_ypu_cpu_default_base(QZ_YPU_CPU_SYSTEM); }

void qz_ypu_cpu_mask_isa_flags(uint32_t mask) { qz_ypu_cpu_isa_mask.store(mask); }

qz_status_t qz_ypu_cpu_device_open_with(const qz_ypu_cpu_system_t &system, int32_t threads,
                                        qz_ypu_cpu_device_t **out) {
  if (threads == 0) {
    // Half the processors this process may run on: a process confined to a
    // few cores must not start a worker for every core of the machine.
    const int32_t processors = qz_ypu_cpu_default_base(system);
    if (processors == 0 && system.unknown_count_fails) return QZ_STATUS_RUNTIME_ERROR;
    threads = processors / 2;
  }
  if (threads > QZ_YPU_CPU_MAX_THREADS) threads = QZ_YPU_CPU_MAX_THREADS;
  auto device = static_cast<qz_ypu_cpu_device_t *>(
      qz_aligned_alloc(QZ_YPU_CPU_ALIGNMENT, sizeof(qz_ypu_cpu_device_t)));
  if (!device) return QZ_STATUS_OUT_OF_MEMORY;
  device->threads = threads >= 1 ? threads : 1;
  device->isa_flags = system.isa_flags() & qz_ypu_cpu_isa_mask.load();
  device->pool = nullptr;
  device->alone_until_ns = 0;
  device->alone_for_ns = 0;
  // Item counts follow `threads`; the pool gets no more threads than the
  // process may run on where the system can tell (more would only take
  // turns on the same cores, and a worker descheduled in the middle of a
  // loop holds it up).
  int32_t pool_threads = device->threads;
  if (system.usable_processor_count && threads > 1) {
    const int32_t usable = system.usable_processor_count();
    if (usable >= 1 && usable < pool_threads) pool_threads = usable;
  }
  if (pool_threads > 1 && qz_ypu_cpu_pool_create(pool_threads, &device->pool) != 0) {
    qz_aligned_free(device);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  *out = device;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_cpu_device_open(int32_t threads, qz_ypu_cpu_device_t **out) {
  return qz_ypu_cpu_device_open_with(QZ_YPU_CPU_SYSTEM, threads, out);
}

void qz_ypu_cpu_device_close(void *opaque) {
  auto device = static_cast<qz_ypu_cpu_device_t *>(opaque);
  if (!device) return;
  // Join the workers before the record that holds the pool goes.
  qz_ypu_cpu_pool_destroy(device->pool);
  qz_aligned_free(device);
}

namespace {
bool qz_ypu_cpu_range_ok(const qz_ypu_cpu_buffer_t *buffer, int32_t offset, int32_t length) {
  return offset >= 0 && length >= 0 &&
         static_cast<int64_t>(offset) + length <= static_cast<int64_t>(buffer->size);
}
}  // namespace

qz_status_t qz_ypu_cpu_buffer_upload(void *, qz_ypu_buffer_t *handle, const void *source,
                                     int32_t offset, int32_t length) {
  qz_ypu_cpu_buffer_t *buffer = qz_ypu_cpu_buffer(handle);
  if (!qz_ypu_cpu_range_ok(buffer, offset, length)) return QZ_STATUS_INVALID_ARGUMENT;
  if (length) std::memcpy(static_cast<char *>(buffer->data) + offset, source, length);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_cpu_buffer_download(void *, qz_ypu_buffer_t *handle, void *destination,
                                       int32_t offset, int32_t length) {
  qz_ypu_cpu_buffer_t *buffer = qz_ypu_cpu_buffer(handle);
  if (!qz_ypu_cpu_range_ok(buffer, offset, length)) return QZ_STATUS_INVALID_ARGUMENT;
  if (length) std::memcpy(destination, static_cast<const char *>(buffer->data) + offset, length);
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_cpu_device_list_free(char **list, int32_t count) {
  if (!list) return;
  for (int32_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
}

qz_status_t qz_ypu_cpu_device_list_with(const qz_ypu_cpu_system_t &system, char ***list,
                                        int32_t *count) {
  const int32_t processors = system.processor_count();
  if (processors == 0 && system.unknown_count_fails) return QZ_STATUS_RUNTIME_ERROR;
  auto lines = static_cast<char **>(std::calloc(1, sizeof(char *)));
  if (lines) {
    const char *format = "cpu:[0-%d] - CPU (%d threads)";
    const int length = std::snprintf(nullptr, 0, format, processors, processors);
    lines[0] = static_cast<char *>(std::malloc(length + 1));
    if (lines[0]) {
      std::snprintf(lines[0], length + 1, format, processors, processors);
      *list = lines;
      *count = 1;
      return QZ_STATUS_SUCCESS;
    }
  }
  qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
  std::free(lines);
  return QZ_STATUS_OUT_OF_MEMORY;
}

qz_status_t qz_ypu_cpu_device_list(char ***list, int32_t *count) {
  return qz_ypu_cpu_device_list_with(QZ_YPU_CPU_SYSTEM, list, count);
}

qz_ypu_buffer_t *qz_ypu_cpu_buffer_create(void *, int32_t size, int32_t flags) {
  auto buffer = static_cast<qz_ypu_cpu_buffer_t *>(
      qz_aligned_alloc(QZ_YPU_CPU_ALIGNMENT, sizeof(qz_ypu_cpu_buffer_t)));
  if (!buffer) return nullptr;
  buffer->data = qz_aligned_alloc(QZ_YPU_CPU_ALIGNMENT, size);
  if (!buffer->data) {
    qz_aligned_free(buffer);
    return nullptr;
  }
  buffer->size = size;
  buffer->flags = flags;
  return reinterpret_cast<qz_ypu_buffer_t *>(buffer);
}

void *qz_ypu_cpu_buffer_map(void *, qz_ypu_buffer_t *buffer, int32_t) {
  return qz_ypu_cpu_buffer(buffer)->data;
}

void qz_ypu_cpu_buffer_unmap(void *, qz_ypu_buffer_t *, int32_t) {}

void qz_ypu_cpu_buffer_free(void *, qz_ypu_buffer_t *handle) {
  qz_ypu_cpu_buffer_t *buffer = qz_ypu_cpu_buffer(handle);
  if (!buffer || (buffer->flags & QZ_YPU_CPU_BUFFER_NO_FREE)) return;
  qz_aligned_free(buffer->data);
  qz_aligned_free(buffer);
}

void *qz_ypu_cpu_host_alloc(void *, int32_t size) {
  return qz_aligned_alloc(QZ_YPU_CPU_ALIGNMENT, size);
}

void qz_ypu_cpu_host_free(void *, void *pointer) { qz_aligned_free(pointer); }

int32_t qz_ypu_cpu_buffer_size(void *, qz_ypu_buffer_t *buffer) {
  return qz_ypu_cpu_buffer(buffer)->size;
}
