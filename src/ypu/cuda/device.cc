// The CUDA device: open and close, the properties snapshot, buffers with
// their host mirrors, and the device list.
#include "ypu/cuda/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

QZ_CUDA_BEGIN

namespace {

const qz_ypu_cuda_runtime_t &rt() { return *qz_ypu_cuda_runtime(); }

qz_ypu_cuda_buffer_t *cuda_buffer(qz_ypu_buffer_t *buffer) {
  return reinterpret_cast<qz_ypu_cuda_buffer_t *>(buffer);
}

// The runtime's text for the sticky error, which is cleared.
const char *take_error_text() { return rt().get_error_string(rt().get_last_error()); }

// A context lost to `error` stays lost: every later call fails with it, so
// each failure says why and what gets past it.
void push_if_lost(int error) {
  if (qz_cuda_error_loses_context(error))
    qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_LOST, error, rt().get_error_string(error));
}

// `count` runtime objects (streams, events) made by `create` into a new
// zeroed array; the first failure: 0x33D, the array keeping what was made.
qz_status_t create_handles(void ***out, int count, int (*create)(void **)) {
  *out = static_cast<void **>(std::calloc(static_cast<size_t>(count), sizeof(void *)));
  if (!*out) {
    qz_error_push_at("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  for (int i = 0; i < count; ++i) {
    if (create(&(*out)[i]) != 0) {
      (*out)[i] = nullptr;
      qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_STREAM);
      return QZ_STATUS_RUNTIME_ERROR;
    }
  }
  return QZ_STATUS_SUCCESS;
}

void destroy_handles(void ***handles, int count, int (*destroy)(void *)) {
  if (!*handles) return;
  for (int i = 0; i < count; ++i)
    if ((*handles)[i]) destroy((*handles)[i]);
  std::free(*handles);
  *handles = nullptr;
}

void destroy_streams(qz_ypu_cuda_device_t *device) {
  destroy_handles(&device->events, QZ_YPU_CUDA_EVENT_COUNT, rt().event_destroy);
  destroy_handles(&device->streams, QZ_YPU_CUDA_STREAM_COUNT, rt().stream_destroy);
}

// Whether the device has the stream-ordered allocator. A runtime that does
// not know the question has none either.
bool has_memory_pools(int device) {
  int supported = 0;
  if (rt().device_get_attribute(&supported, QZ_CUDA_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, device) !=
      0) {
    rt().get_last_error();
    return false;
  }
  return supported != 0;
}

}  // namespace

bool qz_ypu_cuda_buffer_holds(const qz_ypu_buffer_t *buffer, int64_t offset, int64_t bytes) {
  const auto *b = reinterpret_cast<const qz_ypu_cuda_buffer_t *>(buffer);
  return b && offset >= 0 && bytes >= 0 && offset + bytes <= b->size;
}

void qz_ypu_cuda_fail(const qz_error_record_t &record) {
  const int error = rt().get_last_error();
  qz_error_push_at("", 0, &record);
  push_if_lost(error);
}

qz_status_t qz_ypu_cuda_make_current(const qz_ypu_cuda_device_t *device) {
  int current = -1;
  if (rt().get_device(&current) != 0) rt().get_last_error();
  if (current == device->device) return QZ_STATUS_SUCCESS;
  if (rt().set_device(device->device) == 0) return QZ_STATUS_SUCCESS;
  qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_COMMUNICATE);
  return QZ_STATUS_RUNTIME_ERROR;
}

int qz_ypu_cuda_alloc(const qz_ypu_cuda_device_t *device, void **pointer, size_t bytes,
                      void *stream) {
  if (!device || device->memory_pools) return rt().malloc_async(pointer, bytes, stream);
  return rt().malloc(pointer, bytes);
}

int qz_ypu_cuda_free(const qz_ypu_cuda_device_t *device, void *pointer, void *stream) {
  if (!pointer) return 0;
  if (!device || device->memory_pools) return rt().free_async(pointer, stream);
  // Work still queued on the stream may read the memory.
  const int error = rt().stream_synchronize(stream);
  const int freed = rt().free(pointer);
  return error ? error : freed;
}

void qz_ypu_cuda_streams_wait_default(const qz_ypu_cuda_device_t *device, unsigned mask) {
  rt().event_record(device->events[0], nullptr);
  for (int i = 0; i < QZ_YPU_CUDA_STREAM_COUNT; ++i)
    if (mask >> i & 1) rt().stream_wait_event(device->streams[i], device->events[0]);
}

void qz_ypu_cuda_default_waits_streams(const qz_ypu_cuda_device_t *device, unsigned mask) {
  for (int i = 0; i < QZ_YPU_CUDA_STREAM_COUNT; ++i) {
    if (!(mask >> i & 1)) continue;
    rt().event_record(device->events[1 + i], device->streams[i]);
    rt().stream_wait_event(nullptr, device->events[1 + i]);
  }
}

qz_status_t qz_ypu_cuda_launch_status() {
  const int error = rt().get_last_error();
  if (error == 0) return QZ_STATUS_SUCCESS;
  qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_KERNEL);
  push_if_lost(error);
  return QZ_STATUS_RUNTIME_ERROR;
}

qz_status_t qz_ypu_cuda_device_properties_create(int32_t device,
                                                 qz_ypu_cuda_device_properties_t **out) {
  *out = nullptr;
  auto *properties = static_cast<qz_ypu_cuda_device_properties_t *>(
      std::calloc(1, sizeof(qz_ypu_cuda_device_properties_t)));
  if (!properties) {
    qz_error_push_at("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  // A failed query leaves the block zeroed, which the checks below refuse.
  qz_cuda_device_prop_t prop;
  std::memset(&prop, 0, sizeof prop);
  if (rt().get_device_properties(&prop, device) != 0) {
    properties->query_error = take_error_text();
    std::memset(&prop, 0, sizeof prop);
  }
  properties->major = prop.major;
  properties->minor = prop.minor;
  properties->total_global_mem = prop.total_global_mem;
  properties->multiprocessor_count = prop.multiprocessor_count;
  properties->max_threads_per_multiprocessor = prop.max_threads_per_multiprocessor;
  properties->max_threads_per_block = prop.max_threads_per_block;
  properties->shared_mem_per_block = static_cast<int32_t>(prop.shared_mem_per_block);
  properties->shared_mem_per_multiprocessor =
      static_cast<int32_t>(prop.shared_mem_per_multiprocessor);
  for (int i = 0; i < 3; ++i) {
    properties->max_block_dim[i] = prop.max_threads_dim[i];
    properties->max_grid_dim[i] = prop.max_grid_size[i];
  }
  if (prop.warp_size != 32 || prop.max_grid_size[0] <= 65534) {
    qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_INCOMPATIBLE);
    std::free(properties);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  int version = 0;
  if (rt().driver_get_version(&version) != 0)
    properties->driver_version_error = take_error_text();
  else
    properties->driver_version = version;
  version = 0;
  if (rt().runtime_get_version(&version) != 0)
    properties->runtime_version_error = take_error_text();
  else
    properties->runtime_version = version;
  *out = properties;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_cuda_device_open_at(int32_t index, qz_ypu_cuda_device_t **out) {
  auto *device =
      static_cast<qz_ypu_cuda_device_t *>(std::calloc(1, sizeof(qz_ypu_cuda_device_t)));
  if (!device) {
    qz_error_push_at("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  qz_status_t status = QZ_STATUS_RUNTIME_ERROR;
  int count = 0;
  if (const int error = rt().get_device_count(&count)) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_COMMUNICATE);
    qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_NO_DRIVER, error, rt().get_error_string(error));
    goto fail;
  }
  if (index >= count) {
    qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_INDEX, index, count);
    status = QZ_STATUS_INVALID_ARGUMENT;
    goto fail;
  }
  if (rt().set_device(index) != 0 || rt().get_device(&device->device) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_COMMUNICATE);
    goto fail;
  }
  qz_ypu_cuda_compatibility_test_launch();
  if (const int error = rt().get_last_error()) {
    qz_error_push_at("", 0, &QZ_YPU_CUDA_ERROR_DRIVER, rt().get_error_string(error));
    push_if_lost(error);
    goto fail;
  }
  status = qz_ypu_cuda_device_properties_create(device->device, &device->properties);
  if (status != QZ_STATUS_SUCCESS) goto fail;
  status = create_handles(&device->streams, QZ_YPU_CUDA_STREAM_COUNT, rt().stream_create);
  if (status != QZ_STATUS_SUCCESS) goto fail;
  // The streams' hand-overs: events without timing, which cost nothing to
  // record.
  status = create_handles(&device->events, QZ_YPU_CUDA_EVENT_COUNT, rt().event_create);
  if (status != QZ_STATUS_SUCCESS) goto fail;
  device->memory_pools = has_memory_pools(device->device);
  *out = device;
  return QZ_STATUS_SUCCESS;
fail:
  qz_ypu_cuda_device_release(device);
  return status;
}

void qz_ypu_cuda_device_release(void *handle) {
  auto *device = static_cast<qz_ypu_cuda_device_t *>(handle);
  if (!device) return;
  destroy_streams(device);
  std::free(device->properties);
  std::free(device);
}

#define QZ_YPU_CUDA_PROPERTY(name, field)                               \
  int32_t qz_ypu_cuda_##name(const qz_ypu_cuda_device_t *device) {      \
    return device->properties->field;                                   \
  }
QZ_YPU_CUDA_PROPERTY(multiprocessor_count, multiprocessor_count)
QZ_YPU_CUDA_PROPERTY(shared_mem_per_block, shared_mem_per_block)
QZ_YPU_CUDA_PROPERTY(shared_mem_per_multiprocessor, shared_mem_per_multiprocessor)
QZ_YPU_CUDA_PROPERTY(max_block_dim_x, max_block_dim[0])
QZ_YPU_CUDA_PROPERTY(max_block_dim_y, max_block_dim[1])
QZ_YPU_CUDA_PROPERTY(max_block_dim_z, max_block_dim[2])
QZ_YPU_CUDA_PROPERTY(max_grid_dim_x, max_grid_dim[0])
QZ_YPU_CUDA_PROPERTY(max_grid_dim_y, max_grid_dim[1])
QZ_YPU_CUDA_PROPERTY(max_grid_dim_z, max_grid_dim[2])
#undef QZ_YPU_CUDA_PROPERTY

void qz_ypu_cuda_device_list_free(char **list, int32_t count) {
  if (!list) return;
  for (int32_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
}

qz_status_t qz_ypu_cuda_device_list(char ***list, int32_t *count) {
  *list = nullptr;
  *count = 0;
  int devices = 0;
  if (rt().get_device_count(&devices) != 0) {
    // No driver: the machine simply has no GPU to offer. The list succeeds,
    // so it leaves no message (the sticky error is still cleared).
    rt().get_last_error();
    return QZ_STATUS_SUCCESS;
  }
  if (devices <= 0) return QZ_STATUS_SUCCESS;
  auto **lines = static_cast<char **>(std::calloc(static_cast<size_t>(devices), sizeof(char *)));
  if (!lines) {
    qz_error_push_at("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  for (int i = 0; i < devices; ++i) {
    qz_cuda_device_prop_t prop;
    std::memset(&prop, 0, sizeof prop);
    if (rt().get_device_properties(&prop, i) != 0) {
      qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_COMMUNICATE);
      qz_ypu_cuda_device_list_free(lines, i);
      return QZ_STATUS_RUNTIME_ERROR;
    }
    prop.name[sizeof prop.name - 1] = '\0';
    const int length = std::snprintf(nullptr, 0, "gpu:%d - %s", i, prop.name);
    lines[i] = length < 0 ? nullptr : static_cast<char *>(std::malloc(length + 1u));
    if (!lines[i]) {
      qz_error_push_at("", 0, &QZ_ERROR_OUT_OF_MEMORY);
      qz_ypu_cuda_device_list_free(lines, i);
      return QZ_STATUS_OUT_OF_MEMORY;
    }
    std::snprintf(lines[i], length + 1u, "gpu:%d - %s", i, prop.name);
  }
  *list = lines;
  *count = devices;
  return QZ_STATUS_SUCCESS;
}

qz_ypu_buffer_t *qz_ypu_cuda_buffer_create(void *device, int32_t size, int32_t flags) {
  auto *buffer = static_cast<qz_ypu_cuda_buffer_t *>(std::malloc(sizeof(qz_ypu_cuda_buffer_t)));
  if (!buffer) return nullptr;
  // A negative size would widen to an enormous request; the runtime refuses
  // it like any other allocation it cannot serve.
  buffer->device_ptr = nullptr;
  if (qz_ypu_cuda_alloc(static_cast<const qz_ypu_cuda_device_t *>(device), &buffer->device_ptr,
                        static_cast<size_t>(static_cast<intptr_t>(size)), nullptr) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_ALLOC);
    std::free(buffer);
    return nullptr;
  }
  buffer->size = size;
  buffer->flags = flags;
  buffer->map_count = 0;
  buffer->host_copy = nullptr;
  return reinterpret_cast<qz_ypu_buffer_t *>(buffer);
}

void qz_ypu_cuda_buffer_free(void *device, qz_ypu_buffer_t *handle) {
  qz_ypu_cuda_buffer_t *buffer = cuda_buffer(handle);
  if (!buffer) return;
  qz_ypu_cuda_free(static_cast<const qz_ypu_cuda_device_t *>(device), buffer->device_ptr, nullptr);
  // A buffer freed while still mapped (say after a failed fetching map)
  // takes its mirror with it.
  std::free(buffer->host_copy);
  std::free(buffer);
}

qz_status_t qz_ypu_cuda_buffer_upload(void *, qz_ypu_buffer_t *handle, const void *source,
                                      int32_t offset, int32_t length) {
  qz_ypu_cuda_buffer_t *buffer = cuda_buffer(handle);
  if (!qz_ypu_cuda_buffer_holds(handle, offset, length)) {
    qz_error_push_at("", 0, &QZ_ERROR_ARG_INVALID, "length");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (rt().memcpy(static_cast<char *>(buffer->device_ptr) + offset, source,
                  static_cast<size_t>(length), QZ_CUDA_HOST_TO_DEVICE) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_TO_DEVICE);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_cuda_buffer_download(void *, qz_ypu_buffer_t *handle, void *destination,
                                        int32_t offset, int32_t length) {
  qz_ypu_cuda_buffer_t *buffer = cuda_buffer(handle);
  if (!qz_ypu_cuda_buffer_holds(handle, offset, length)) {
    qz_error_push_at("", 0, &QZ_ERROR_ARG_INVALID, "length");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (rt().memcpy(destination, static_cast<const char *>(buffer->device_ptr) + offset,
                  static_cast<size_t>(length), QZ_CUDA_DEVICE_TO_HOST) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_FROM_DEVICE);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  return QZ_STATUS_SUCCESS;
}

void *qz_ypu_cuda_buffer_map(void *, qz_ypu_buffer_t *handle, int32_t mode) {
  qz_ypu_cuda_buffer_t *buffer = cuda_buffer(handle);
  if (buffer->map_count == 0) {
    buffer->host_copy = std::malloc(buffer->size > 0 ? static_cast<size_t>(buffer->size) : 1);
    if (!buffer->host_copy) return nullptr;
    buffer->map_count = 1;
  } else {
    ++buffer->map_count;
  }
  if ((mode & 0xFF) != 0 && buffer->size > 0 &&
      rt().memcpy(buffer->host_copy, buffer->device_ptr, static_cast<size_t>(buffer->size),
                  QZ_CUDA_DEVICE_TO_HOST) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_FROM_DEVICE);
    return nullptr;
  }
  return buffer->host_copy;
}

void qz_ypu_cuda_buffer_unmap(void *, qz_ypu_buffer_t *handle, int32_t mode) {
  qz_ypu_cuda_buffer_t *buffer = cuda_buffer(handle);
  if (buffer->map_count <= 0) return;  // no matching map: nothing to write back
  if ((mode & 0xFF) != 0 && buffer->size > 0 &&
      rt().memcpy(buffer->device_ptr, buffer->host_copy, static_cast<size_t>(buffer->size),
                  QZ_CUDA_HOST_TO_DEVICE) != 0)
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_TO_DEVICE);
  if (--buffer->map_count == 0) {
    std::free(buffer->host_copy);
    buffer->host_copy = nullptr;
  }
}

void *qz_ypu_cuda_host_alloc(void *, int32_t size) {
  return size < 0 ? nullptr : std::malloc(static_cast<size_t>(size));
}

void qz_ypu_cuda_host_free(void *, void *pointer) { std::free(pointer); }

int32_t qz_ypu_cuda_buffer_size(void *, qz_ypu_buffer_t *handle) {
  return cuda_buffer(handle)->size;
}

QZ_CUDA_END

#if !defined(QZ_CUDA_EMU)
qz_status_t qz_ypu_cuda_device_open(int32_t index, void **out) {
  qz_ypu_cuda_device_t *device = nullptr;
  const qz_status_t status = qz_ypu_cuda_device_open_at(index, &device);
  if (status == QZ_STATUS_SUCCESS) *out = device;
  return status;
}

void qz_ypu_cuda_device_close(void *device) { qz_ypu_cuda_device_release(device); }
#endif
