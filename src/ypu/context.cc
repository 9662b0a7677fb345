#include <cstring>
#include <iterator>

#include "ypu/records.h"
#include "ypu/ypu.h"

extern const qz_ypu_backend_t QZ_YPU_CPU_BACKEND;
#if defined(QZ_WITH_CUDA)
extern const qz_ypu_backend_t QZ_YPU_CUDA_BACKEND;
#define QZ_YPU_CUDA_COLUMN &QZ_YPU_CUDA_BACKEND
#else
#define QZ_YPU_CUDA_COLUMN nullptr
#endif
#if defined(QZ_WITH_METAL)
extern const qz_ypu_backend_t QZ_YPU_METAL_BACKEND;
#define QZ_YPU_METAL_COLUMN &QZ_YPU_METAL_BACKEND
#else
#define QZ_YPU_METAL_COLUMN nullptr
#endif

namespace {

const qz_ypu_backend_t *qz_ypu_backends[QZ_YPU_BACKEND_COUNT] = {
    &QZ_YPU_CPU_BACKEND, QZ_YPU_CUDA_COLUMN, nullptr, nullptr, QZ_YPU_METAL_COLUMN};

// Releases the states of ops [0, end) from the highest op down.
void qz_ypu_states_release(qz_ypu_context_t *context, const qz_ypu_backend_t *backend,
                           uint32_t end) {
  if (!backend->state_release) return;
  for (uint32_t op = end; op-- > 0;)
    if (backend->state_release[op]) backend->state_release[op](context->device, context->states[op]);
}

}  // namespace

const qz_ypu_backend_t *qz_ypu_backend(uint32_t index) {
  return index < QZ_YPU_BACKEND_COUNT ? qz_ypu_backends[index] : nullptr;
}

const char *qz_ypu_backend_name(uint32_t index) {
  static constexpr const char *names[QZ_YPU_BACKEND_COUNT] = {"cpu", "cuda", "test", "unknown",
                                                              "metal"};
  return index < QZ_YPU_BACKEND_COUNT ? names[index] : "unknown";
}

const char *qz_ypu_op_name(uint32_t op) {
  static constexpr const char *names[] = {
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) #name,
#include "ypu/ops.inc"
#undef QZ_YPU_OP
  };
  static_assert(std::size(names) == QZ_YPU_OP_COUNT);
  return op < QZ_YPU_OP_COUNT ? names[op] : "unknown";
}

void qz_ypu_backend_install_test(const qz_ypu_backend_t *backend) {
  qz_ypu_backends[QZ_YPU_BACKEND_TEST] = backend;
}

qz_status_t qz_ypu_context_create(uint32_t backend_index, void *device, qz_ypu_context_t **out) {
  const qz_ypu_backend_t *backend = qz_ypu_backend(backend_index);
  if (!backend) return QZ_STATUS_INVALID_ARGUMENT;
  auto context =
      static_cast<qz_ypu_context_t *>(backend->device.host_alloc(device, sizeof(qz_ypu_context_t)));
  if (!context) {
    qz_error_push("", 0, &QZ_YPU_ERROR_CONTEXT_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  std::memset(context, 0, sizeof *context);
  context->backend = backend_index;
  context->device = device;
  context->refcount = 1;
  if (backend->state_init) {
    for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op) {
      if (!backend->state_init[op]) continue;
      const qz_status_t status = backend->state_init[op](device, &context->states[op]);
      if (status != QZ_STATUS_SUCCESS) {
        qz_error_push("", 0, &QZ_YPU_ERROR_OPERATOR, "init");
        qz_ypu_states_release(context, backend, op);
        backend->device.host_free(device, context);
        return status;
      }
    }
  }
  *out = context;
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_context_destroy(qz_ypu_context_t *context) {
  if (!context || --context->refcount > 0) return;
  const qz_ypu_backend_t *backend = qz_ypu_backend(context->backend);
  void *const device = context->device;
  for (auto &slot : context->cache) {
    if (slot.buffer) backend->device.buffer_free(device, slot.buffer);
    slot.buffer = nullptr;
  }
  qz_ypu_states_release(context, backend, QZ_YPU_OP_COUNT);
  backend->device.host_free(device, context);
  if (backend->device.device_close) backend->device.device_close(device);
}

qz_status_t qz_ypu_execute(qz_ypu_context_t *context, uint32_t op, const void *params) {
  if (op >= QZ_YPU_OP_COUNT) return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_backend_t *backend = qz_ypu_backend(context->backend);
  if (!(context->flags & QZ_YPU_CONTEXT_HOST_ONLY) && backend->execute && backend->execute[op]) {
    // A backend that declines the call did not fail: whatever it pushed on
    // the way goes, and the host implementation answers instead.
    const qz_error_mark_t mark = qz_error_mark();
    const qz_status_t status = backend->execute[op](context->device, context->states[op], params);
    if (status != QZ_STATUS_INVALID_ARGUMENT) return status;
    qz_error_rewind(mark);
  }
  if (qz_ypu_host_ops[op]) return qz_ypu_host_ops[op](context, params);
  return QZ_STATUS_INVALID_ARGUMENT;
}

qz_ypu_buffer_t *qz_ypu_buffer_create(uint32_t backend, void *device, int32_t size) {
  return qz_ypu_backend(backend)->device.buffer_create(device, size, 0);
}

void *qz_ypu_buffer_map(uint32_t backend, void *device, qz_ypu_buffer_t *buffer) {
  return qz_ypu_backend(backend)->device.buffer_map(device, buffer, 1);
}

void qz_ypu_buffer_unmap(uint32_t backend, void *device, qz_ypu_buffer_t *buffer) {
  qz_ypu_backend(backend)->device.buffer_unmap(device, buffer, 1);
}

void qz_ypu_buffer_free(uint32_t backend, void *device, qz_ypu_buffer_t *buffer) {
  qz_ypu_backend(backend)->device.buffer_free(device, buffer);
}

void *qz_ypu_alloc(uint32_t backend, void *device, int32_t size) {
  return qz_ypu_backend(backend)->device.host_alloc(device, size);
}

void qz_ypu_free(uint32_t backend, void *device, void *pointer) {
  qz_ypu_backend(backend)->device.host_free(device, pointer);
}
