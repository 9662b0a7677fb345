// The compute-device layer: op ids, the backend interface, the context, the
// dispatcher and the buffer cache.
#pragma once

#include <cstdint>

#include "qz_norvo.h"

enum qz_ypu_op_t : uint32_t {
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) QZ_YPU_OP_##NAME = id,
#include "ypu/ops.inc"
#undef QZ_YPU_OP
  QZ_YPU_OP_COUNT
};
static_assert(QZ_YPU_OP_COUNT == 95, "the op list must hold ids 0 to 94");

// The op's name as the op list spells it ("add_f32"), or "unknown".
const char *qz_ypu_op_name(uint32_t op);

// The column of every dispatch table.
enum qz_ypu_backend_index : uint32_t {
  QZ_YPU_BACKEND_CPU = 0,
  QZ_YPU_BACKEND_CUDA = 1,
  QZ_YPU_BACKEND_METAL = 4,
};
inline constexpr uint32_t QZ_YPU_BACKEND_COUNT = 5;
// Column 2 belongs to no backend in any build; tests install a fake one there.
inline constexpr uint32_t QZ_YPU_BACKEND_TEST = 2;

// A buffer handle; the record behind it belongs to the backend that made it.
struct qz_ypu_buffer_t;

// Device-level half of the backend interface.
struct qz_ypu_device_ops_t {
  void (*device_close)(void *device);
  qz_status_t (*buffer_upload)(void *device, qz_ypu_buffer_t *buffer, const void *source,
                               int32_t offset, int32_t length);
  qz_status_t (*buffer_download)(void *device, qz_ypu_buffer_t *buffer, void *destination,
                                 int32_t offset, int32_t length);
  void (*device_list_free)(char **list, int32_t count);
  qz_status_t (*device_list)(char ***list, int32_t *count);
  qz_ypu_buffer_t *(*buffer_create)(void *device, int32_t size, int32_t flags);
  // mode 1: the current contents are needed / written back; mode 0: not.
  void *(*buffer_map)(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
  void (*buffer_unmap)(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
  void (*buffer_free)(void *device, qz_ypu_buffer_t *buffer);
  void *(*host_alloc)(void *device, int32_t size);
  void (*host_free)(void *device, void *pointer);
  int32_t (*buffer_size)(void *device, qz_ypu_buffer_t *buffer);
};

// Per-op entries. An execute entry returns QZ_STATUS_INVALID_ARGUMENT to
// decline a call, which then runs on the host implementation.
using qz_ypu_execute_fn = qz_status_t (*)(void *device, void *state, const void *params);
using qz_ypu_state_init_fn = qz_status_t (*)(void *device, void **state);
using qz_ypu_state_release_fn = void (*)(void *device, void *state);

// One backend: its device-level entries and its column of the per-op tables
// (QZ_YPU_OP_COUNT entries each; a null table or entry means "none").
struct qz_ypu_backend_t {
  qz_ypu_device_ops_t device;
  const qz_ypu_execute_fn *execute;
  const qz_ypu_state_init_fn *state_init;
  const qz_ypu_state_release_fn *state_release;
};

// The backend in column `index`, or null when the build has none there.
const qz_ypu_backend_t *qz_ypu_backend(uint32_t index);
// "cpu", "cuda", "metal" or "test", as messages name a backend.
const char *qz_ypu_backend_name(uint32_t index);
// Test seam: puts `backend` (or null) into column QZ_YPU_BACKEND_TEST.
void qz_ypu_backend_install_test(const qz_ypu_backend_t *backend);

inline constexpr int QZ_YPU_BUFFER_CACHE_SLOTS = 64;
inline constexpr int32_t QZ_YPU_BUFFER_CACHE_MAX_AGE = 128;
inline constexpr uint32_t QZ_YPU_CONTEXT_HOST_ONLY = 0x1;

struct qz_ypu_cache_slot_t {
  qz_ypu_buffer_t *buffer;
  int32_t age;
};

struct qz_ypu_context_t {
  uint32_t backend;
  void *device;
  uint32_t flags;
  int32_t refcount;
  void *states[QZ_YPU_OP_COUNT];
  qz_ypu_cache_slot_t cache[QZ_YPU_BUFFER_CACHE_SLOTS];
};

using qz_ypu_host_fn = qz_status_t (*)(qz_ypu_context_t *context, const void *params);
extern const qz_ypu_host_fn qz_ypu_host_ops[QZ_YPU_OP_COUNT];

// The device-level entries of the context's backend.
inline const qz_ypu_device_ops_t &qz_ypu_ops(const qz_ypu_context_t *context) {
  return qz_ypu_backend(context->backend)->device;
}

qz_status_t qz_ypu_context_create(uint32_t backend, void *device, qz_ypu_context_t **out);
// Drops one reference; the last one frees cached buffers, op states, the
// record and the device.
void qz_ypu_context_destroy(qz_ypu_context_t *context);
qz_status_t qz_ypu_execute(qz_ypu_context_t *context, uint32_t op, const void *params);

// Opens the device a device string names and creates a context on it;
// `preferred` is what "best" means to the caller.
qz_status_t qz_ypu_context_from_device_string(const char *device, const char *preferred,
                                              qz_ypu_context_t **out);

// Wrappers for code that holds a backend index and device, not a context.
qz_ypu_buffer_t *qz_ypu_buffer_create(uint32_t backend, void *device, int32_t size);
void *qz_ypu_buffer_map(uint32_t backend, void *device, qz_ypu_buffer_t *buffer);
void qz_ypu_buffer_unmap(uint32_t backend, void *device, qz_ypu_buffer_t *buffer);
void qz_ypu_buffer_free(uint32_t backend, void *device, qz_ypu_buffer_t *buffer);
void *qz_ypu_alloc(uint32_t backend, void *device, int32_t size);
void qz_ypu_free(uint32_t backend, void *device, void *pointer);

// Buffer cache: reuse released buffers (exact fit, else smallest larger).
qz_ypu_buffer_t *qz_ypu_buffer_acquire(qz_ypu_context_t *context, int32_t size);
void qz_ypu_buffer_release(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer);
