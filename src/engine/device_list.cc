// Listing the devices of every backend in the build, CPU first.
#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "ypu/ypu.h"
#if defined(QZ_WITH_METAL)
#include "ypu/metal/device.h"
#endif

namespace {

inline constexpr qz_error_record_t QZ_NORVO_ERROR_DEVICE_LIST{0x320, nullptr};

struct qz_norvo_backend_lines {
  void (*list_free)(char **list, int32_t count) = nullptr;
  char **list = nullptr;
  int32_t count = 0;
};

// Holds each backend's own list until the merged copy is made.
struct qz_norvo_gathered_lines {
  qz_norvo_backend_lines lines[QZ_YPU_BACKEND_COUNT];
  int used = 0;
  ~qz_norvo_gathered_lines() {
    for (int i = 0; i < used; ++i) lines[i].list_free(lines[i].list, lines[i].count);
  }
  // Adds one backend's lines; on failure its status, with a message pushed.
  qz_status_t gather(qz_status_t (*list_fn)(char ***, int32_t *),
                     void (*list_free)(char **, int32_t), int64_t *total) {
    qz_norvo_backend_lines &added = lines[used];
    const qz_status_t status = list_fn(&added.list, &added.count);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_LIST);
      return status;
    }
    added.list_free = list_free;
    ++used;
    if (added.count > 0) *total += added.count;
    return QZ_STATUS_SUCCESS;
  }
};

void qz_norvo_free_lines(char **lines, int32_t count) {
  for (int32_t i = 0; i < count; ++i) std::free(lines[i]);
  std::free(lines);
}

}  // namespace

extern "C" qz_status_t qz_norvo_list_hardware_devices(char ***devices, int32_t *count) {
  qz_error_stack_begin();
  if (!devices) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, "hardware_devices");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (!count) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, "num_hardware_devices");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  *devices = nullptr;
  *count = 0;

  qz_norvo_gathered_lines gathered;
  int64_t total = 0;
  for (uint32_t index = 0; index < QZ_YPU_BACKEND_COUNT; ++index) {
    const qz_ypu_backend_t *backend = qz_ypu_backend(index);
    if (index != QZ_YPU_BACKEND_TEST && backend && backend->device.device_list) {
      const qz_status_t status = gathered.gather(backend->device.device_list,
                                                 backend->device.device_list_free, &total);
      if (status != QZ_STATUS_SUCCESS) return status;
    }
#if defined(QZ_WITH_METAL)
    // The Metal column has no list entries: its list follows the CPU line.
    if (index == QZ_YPU_BACKEND_CPU) {
      const qz_status_t status =
          gathered.gather(qz_ypu_metal_device_list, qz_ypu_metal_device_list_free, &total);
      if (status != QZ_STATUS_SUCCESS) return status;
    }
#endif
  }
  if (total < 1) return QZ_STATUS_SUCCESS;

  auto merged = static_cast<char **>(std::calloc(total, sizeof(char *)));
  if (!merged) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  int32_t copied = 0;
  for (int i = 0; i < gathered.used; ++i) {
    for (int32_t j = 0; j < gathered.lines[i].count; ++j) {
      const char *line = gathered.lines[i].list[j];
      if (!line) continue;
      merged[copied] = strdup(line);
      if (!merged[copied]) {
        qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
        qz_norvo_free_lines(merged, copied);
        return QZ_STATUS_OUT_OF_MEMORY;
      }
      ++copied;
    }
  }
  *devices = merged;
  *count = copied;
  return QZ_STATUS_SUCCESS;
}

extern "C" void qz_norvo_free_hardware_devices(char **devices, int32_t count) {
  if (devices) qz_norvo_free_lines(devices, count);
}
