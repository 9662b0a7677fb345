// Device strings: "best", or a prefix of "cpu" or "gpu" with an optional
// ":number" (CPU thread count or GPU index).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ypu/cpu/device.h"
#include "ypu/cuda/device.h"
#if defined(QZ_WITH_METAL)
#include "ypu/metal/device.h"
#endif
#include "ypu/records.h"

namespace {

struct qz_ypu_gpu_t {
  uint32_t backend;
  qz_status_t (*open)(int32_t index, void **out);
  void (*close)(void *device);
};

#if defined(_WIN32)
constexpr bool QZ_YPU_HAS_GPU = false;
constexpr qz_ypu_gpu_t QZ_YPU_GPU{};
#elif defined(QZ_WITH_METAL)
qz_status_t qz_ypu_open_metal(int32_t index, void **out) {
  qz_ypu_metal_device_t *device = nullptr;
  const qz_status_t status = qz_ypu_metal_device_open(index, &device);
  if (status == QZ_STATUS_SUCCESS) *out = device;
  return status;
}
constexpr bool QZ_YPU_HAS_GPU = true;
constexpr qz_ypu_gpu_t QZ_YPU_GPU{QZ_YPU_BACKEND_METAL, qz_ypu_open_metal,
                                   qz_ypu_metal_device_close};
#else
constexpr bool QZ_YPU_HAS_GPU = true;
constexpr qz_ypu_gpu_t QZ_YPU_GPU{QZ_YPU_BACKEND_CUDA, qz_ypu_cuda_device_open,
                                   qz_ypu_cuda_device_close};
#endif

// Reads the text after the colon. An empty number is 0; anything that is not
// entirely a decimal number fitting 32 bits is refused.
bool qz_ypu_parse_number(const char *text, int32_t *number) {
  if (*text == '\0') {
    *number = 0;
    return true;
  }
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  const bool ok = errno == 0 && *end == '\0' && end != text && value >= INT32_MIN &&
                  value <= INT32_MAX;
  errno = 0;
  if (ok) *number = static_cast<int32_t>(value);
  return ok;
}

bool qz_ypu_name_is_prefix(const char *device, size_t length, const char *of) {
  return length <= std::strlen(of) && std::strncmp(device, of, length) == 0;
}

// The device string as a message shows it.
qz_status_t qz_ypu_refuse(const qz_error_record_t &record, const char *device_string) {
  char quoted[QZ_ERROR_QUOTE_BYTES];
  qz_error_push("", 0, &record, qz_error_quote(device_string, quoted));
  return QZ_STATUS_INVALID_ARGUMENT;
}

qz_status_t qz_ypu_open_cpu(const char *device_string, int32_t threads, qz_ypu_context_t **out) {
  if (threads > QZ_YPU_CPU_MAX_THREADS)
    return qz_ypu_refuse(QZ_YPU_ERROR_DEVICE_STRING, device_string);
  qz_ypu_cpu_device_t *device = nullptr;
  qz_status_t status = qz_ypu_cpu_device_open(threads, &device);
  if (status != QZ_STATUS_SUCCESS) {
    // The open itself reports nothing; the records below carry no text.
    char quoted[QZ_ERROR_QUOTE_BYTES];
    qz_error_push("", 0, &QZ_YPU_ERROR_CPU_DEVICE, qz_error_quote(device_string, quoted),
                  status == QZ_STATUS_OUT_OF_MEMORY ? "out of memory"
                                                    : qz_status_to_string(status));
    qz_error_push("", 0, &QZ_ERROR_CALLER);
    qz_error_push("", 0, &QZ_ERROR_CALLER);
    return status;
  }
  status = qz_ypu_context_create(QZ_YPU_BACKEND_CPU, device, out);
  if (status != QZ_STATUS_SUCCESS) {
    qz_ypu_cpu_device_close(device);
    qz_error_push("", 0, &QZ_ERROR_CALLER);
  }
  return status;
}

qz_status_t qz_ypu_open_gpu(const qz_ypu_gpu_t &gpu, int32_t index, qz_ypu_context_t **out) {
  void *device = nullptr;
  qz_status_t status = gpu.open(index, &device);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_push("", 0, &QZ_ERROR_CALLER);
    qz_error_push("", 0, &QZ_ERROR_CALLER);
    return status;
  }
  status = qz_ypu_context_create(gpu.backend, device, out);
  if (status != QZ_STATUS_SUCCESS) {
    gpu.close(device);
    qz_error_push("", 0, &QZ_ERROR_CALLER);
  }
  return status;
}

}  // namespace

qz_status_t qz_ypu_context_from_device_string(const char *device, const char *preferred,
                                              qz_ypu_context_t **out) {
  int32_t number = 0;
  size_t name_length = std::strlen(device);
  if (const char *colon = std::strchr(device, ':')) {
    if (!qz_ypu_parse_number(colon + 1, &number))
      return qz_ypu_refuse(QZ_YPU_ERROR_DEVICE_NUMBER, device);
    name_length = static_cast<size_t>(colon - device);
  }
  if (std::strcmp(device, "best") == 0) {
    // The preferred device is an attempt: when the fallback opens, its
    // messages go.
    const qz_error_mark_t mark = qz_error_mark();
    if (qz_ypu_context_from_device_string(preferred, "gpu", out) == QZ_STATUS_SUCCESS)
      return QZ_STATUS_SUCCESS;
    const qz_status_t status = qz_ypu_context_from_device_string("cpu", "gpu", out);
    if (status != QZ_STATUS_SUCCESS)
      qz_error_push("", 0, &QZ_ERROR_CALLER);
    else
      qz_error_rewind(mark);
    return status;
  }
  if (qz_ypu_name_is_prefix(device, name_length, "cpu")) return qz_ypu_open_cpu(device, number, out);
  if (QZ_YPU_HAS_GPU && qz_ypu_name_is_prefix(device, name_length, "gpu"))
    return qz_ypu_open_gpu(QZ_YPU_GPU, number, out);
  return qz_ypu_refuse(QZ_YPU_ERROR_DEVICE_STRING, device);
}
