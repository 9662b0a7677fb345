// The Metal device: open and close, buffers in shared storage, the device
// list, pipelines by kernel name and the command-buffer state machine behind
// the encoding helpers.
#include "ypu/metal/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// MTLLanguageVersion3_0 and MTLCommandBufferStatusError.
constexpr uintptr_t QZ_MTL_LANGUAGE_VERSION_3_0 = (3u << 16) + 0;
constexpr uintptr_t QZ_MTL_COMMAND_BUFFER_STATUS_ERROR = 5;
constexpr uintptr_t QZ_NS_ASCII_STRING_ENCODING = 1;

const qz_ypu_metal_runtime_t &rt() { return QZ_YPU_METAL_RUNTIME; }
qz_objc_sel sel(const char *name) { return rt().sel(name); }
qz_objc_id send(qz_objc_id self, const char *op) { return rt().send(self, sel(op)); }
uintptr_t send_uint(qz_objc_id self, const char *op) { return rt().send_uint(self, sel(op)); }

void release(qz_objc_id &object) {
  if (object) send(object, "release");
  object = nullptr;
}
qz_objc_id retain(qz_objc_id object) { return object ? send(object, "retain") : nullptr; }

// Objects the calls inside one scope autorelease are released at its end.
class autorelease_pool {
 public:
  autorelease_pool() : pool_(rt().pool_push()) {}
  ~autorelease_pool() { rt().pool_pop(pool_); }
  autorelease_pool(const autorelease_pool &) = delete;
  autorelease_pool &operator=(const autorelease_pool &) = delete;

 private:
  void *pool_;
};

qz_ypu_metal_buffer_t *metal_buffer(qz_ypu_buffer_t *buffer) {
  return reinterpret_cast<qz_ypu_metal_buffer_t *>(buffer);
}
qz_ypu_metal_device_t *metal_device(void *device) {
  return static_cast<qz_ypu_metal_device_t *>(device);
}

// Ends `encoder` without counting it: a command buffer is never committed,
// nor an encoder released, while an encoder of it is still open.
void end_quietly(qz_objc_id &encoder) {
  if (!encoder) return;
  send(encoder, "endEncoding");
  release(encoder);
}

// Commits command_buffer; the previous committed buffer is let go without a
// wait (the queue runs its buffers in commit order).
void commit(qz_ypu_metal_device_t *device) {
  end_quietly(device->compute_encoder);
  end_quietly(device->blit_encoder);
  send(device->command_buffer, "commit");
  release(device->committed_buffer);
  device->committed_buffer = device->command_buffer;
  device->command_buffer = nullptr;
}

// Ends one encoder pass; the fourth pass of a command buffer commits it.
qz_status_t end_encoder(qz_ypu_metal_device_t *device, qz_objc_id &encoder) {
  send(encoder, "endEncoding");
  release(encoder);
  if (device->ended_encoders++ >= QZ_YPU_METAL_COMMIT_INTERVAL - 1) {
    commit(device);
    device->ended_encoders = 0;
  }
  return QZ_STATUS_SUCCESS;
}

bool encoding(const qz_ypu_metal_device_t *device, qz_objc_id encoder) {
  if (device->command_buffer && encoder) return true;
  qz_error_push("", 0, &QZ_YPU_METAL_ERROR_STATE);
  return false;
}

// An NSString's UTF-8 text (null for a null string); it lives as long as
// the autorelease pool around the call.
const char *utf8(qz_objc_id string) {
  return string ? static_cast<const char *>(send(string, "UTF8String")) : nullptr;
}

// The text of an NSError's localizedDescription, or null when it has none.
const char *error_text(qz_objc_id error) {
  return error ? utf8(send(error, "localizedDescription")) : nullptr;
}

// The reason an NSError gives, as a message of its own: quoted and cut as
// any outside text, so the first lines of a compiler's log (the first
// error) are the ones kept. A pipeline's reason also names its kernel.
void push_reason(qz_objc_id error, const qz_error_record_t *record, const char *kernel = nullptr) {
  const char *text = error_text(error);
  if (!text || !*text) return;
  char quoted[QZ_ERROR_QUOTE_BYTES];
  if (kernel)
    qz_error_push("", 0, record, kernel, qz_error_quote(text, quoted));
  else
    qz_error_push("", 0, record, qz_error_quote(text, quoted));
}

// The library from the embedded source: Metal 3.0, fast math. A rejected
// program leaves the compiler's message on the error stack.
qz_objc_id build_library(qz_objc_id mtl_device) {
  qz_objc_id source = rt().send_str(rt().get_class("NSString"), sel("stringWithUTF8String:"),
                                    qz_ypu_metal_library_data);
  qz_objc_id options = send(rt().get_class("MTLCompileOptions"), "new");
  if (!source || !options) {
    release(options);
    return nullptr;
  }
  rt().send_u(options, sel("setLanguageVersion:"), QZ_MTL_LANGUAGE_VERSION_3_0);
  rt().send_flag(options, sel("setFastMathEnabled:"), 1);
  qz_objc_id error = nullptr;  // autoreleased: read inside the caller's pool
  qz_objc_id library = rt().send_id_id_err(mtl_device, sel("newLibraryWithSource:options:error:"),
                                           source, options, &error);
  release(options);
  if (!library) push_reason(error, &QZ_YPU_METAL_ERROR_COMPILER);
  return library;
}

// Before the host copies bytes [offset, offset + length) of a buffer: the
// range is checked, then the GPU work encoded so far is waited for.
qz_status_t ready_for_host(void *handle, const qz_ypu_metal_buffer_t *buffer, int32_t offset,
                           int32_t length) {
  if (offset < 0 || length < 0 || static_cast<int64_t>(offset) + length > buffer->length) {
    qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, "length");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  return qz_ypu_metal_synchronize(metal_device(handle));
}

// A device's name for its list line ("" when it has none).
const char *device_name(qz_objc_id mtl_device) {
  const char *text = utf8(send(mtl_device, "name"));
  return text ? text : "";
}

}  // namespace

qz_status_t qz_ypu_metal_device_open(int32_t device_index, qz_ypu_metal_device_t **out) {
  if (device_index != 0) {
    qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, "device_index");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  auto *device = static_cast<qz_ypu_metal_device_t *>(std::calloc(1, sizeof(qz_ypu_metal_device_t)));
  if (!device) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  autorelease_pool pool;
  const qz_error_record_t *failure = nullptr;
  if (!rt().load() || !(device->mtl_device = rt().create_system_default_device()))
    failure = &QZ_YPU_METAL_ERROR_NO_DEVICE;
  else if (!(device->command_queue = send(device->mtl_device, "newCommandQueue")))
    failure = &QZ_YPU_METAL_ERROR_NO_QUEUE;
  else if (!(device->library = build_library(device->mtl_device)))
    failure = &QZ_YPU_METAL_ERROR_LIBRARY;
  else
    device->max_threadgroup_memory = send_uint(device->mtl_device, "maxThreadgroupMemoryLength");
  if (failure) {
    qz_error_push("", 0, failure);
    if (failure == &QZ_YPU_METAL_ERROR_LIBRARY) qz_error_push("", 0, &QZ_YPU_METAL_ERROR_CHAIN);
    qz_ypu_metal_device_close(device);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  *out = device;
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_metal_device_close(void *handle) {
  qz_ypu_metal_device_t *device = metal_device(handle);
  if (!device) return;
  // Uncommitted work is dropped; committed work finishes on its own.
  end_quietly(device->compute_encoder);
  end_quietly(device->blit_encoder);
  release(device->command_buffer);
  release(device->committed_buffer);
  release(device->library);
  release(device->command_queue);
  release(device->mtl_device);
  std::free(device);
}

qz_status_t qz_ypu_metal_device_list(char ***list, int32_t *count) {
  *list = nullptr;
  *count = 0;
  autorelease_pool pool;
  qz_objc_id devices = rt().load() ? rt().copy_all_devices() : nullptr;
  const uintptr_t n = devices ? send_uint(devices, "count") : 0;
  if (n > INT32_MAX / sizeof(char *)) {
    release(devices);
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  // One slot more than needed, so that no devices still gives an array.
  auto **lines = static_cast<char **>(std::calloc(n + 1, sizeof(char *)));
  qz_objc_id preferred = n ? rt().create_system_default_device() : nullptr;
  if (!lines) {
    release(preferred);
    release(devices);
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  // "gpu:0" opens the system default device, so its line comes first; the
  // others keep the system's order.
  uintptr_t first = 0;
  if (preferred) {
    const uintptr_t id = send_uint(preferred, "registryID");
    for (uintptr_t i = 0; i < n; ++i)
      if (send_uint(rt().send_u(devices, sel("objectAtIndexedSubscript:"), i), "registryID") == id) {
        first = i;
        break;
      }
  }
  for (uintptr_t i = 0; i < n; ++i) {
    const uintptr_t at = i == 0 ? first : (i <= first ? i - 1 : i);
    const char *name = device_name(rt().send_u(devices, sel("objectAtIndexedSubscript:"), at));
    const int length = std::snprintf(nullptr, 0, "gpu:%d - %s", static_cast<int>(i), name);
    lines[i] = length < 0 ? nullptr : static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!lines[i]) {
      qz_ypu_metal_device_list_free(lines, static_cast<int32_t>(i));
      release(preferred);
      release(devices);
      qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
      return QZ_STATUS_OUT_OF_MEMORY;
    }
    std::snprintf(lines[i], static_cast<size_t>(length) + 1, "gpu:%d - %s", static_cast<int>(i), name);
  }
  release(preferred);
  release(devices);
  *list = lines;
  *count = static_cast<int32_t>(n);
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_metal_device_list_free(char **list, int32_t count) {
  if (!list) return;
  for (int32_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
}

qz_status_t qz_ypu_metal_synchronize(qz_ypu_metal_device_t *device) {
  if (device->command_buffer) commit(device);
  if (!device->committed_buffer) return QZ_STATUS_SUCCESS;
  send(device->committed_buffer, "waitUntilCompleted");
  const bool failed = send_uint(device->committed_buffer, "status") == QZ_MTL_COMMAND_BUFFER_STATUS_ERROR;
  release(device->committed_buffer);
  if (!failed) return QZ_STATUS_SUCCESS;
  qz_error_push("", 0, &QZ_YPU_METAL_ERROR_COMMUNICATE);
  return QZ_STATUS_RUNTIME_ERROR;
}

// --- buffers ---------------------------------------------------------------

qz_ypu_buffer_t *qz_ypu_metal_buffer_create(void *handle, int32_t size, int32_t flags) {
  if (size < 0) return nullptr;
  auto *buffer = static_cast<qz_ypu_metal_buffer_t *>(std::malloc(sizeof(qz_ypu_metal_buffer_t)));
  if (!buffer) return nullptr;
  // Options 0: shared storage, default CPU cache mode. Metal makes no empty
  // buffer, so an empty one takes a byte it never uses.
  buffer->mtl_buffer = rt().send_u_u(metal_device(handle)->mtl_device,
                                     sel("newBufferWithLength:options:"),
                                     static_cast<uintptr_t>(size > 0 ? size : 1), 0);
  if (!buffer->mtl_buffer) {
    std::free(buffer);
    return nullptr;
  }
  buffer->length = size;
  buffer->flags = flags;
  return reinterpret_cast<qz_ypu_buffer_t *>(buffer);
}

// Committed GPU work still using the buffer keeps it alive: command buffers
// retain what they reference.
void qz_ypu_metal_buffer_free(void *, qz_ypu_buffer_t *handle) {
  qz_ypu_metal_buffer_t *buffer = metal_buffer(handle);
  if (!buffer) return;
  release(buffer->mtl_buffer);
  std::free(buffer);
}

qz_status_t qz_ypu_metal_buffer_upload(void *handle, qz_ypu_buffer_t *target, const void *source,
                                       int32_t offset, int32_t length) {
  qz_ypu_metal_buffer_t *buffer = metal_buffer(target);
  const qz_status_t status = ready_for_host(handle, buffer, offset, length);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (length > 0) std::memcpy(static_cast<char *>(send(buffer->mtl_buffer, "contents")) + offset, source,
                              static_cast<size_t>(length));
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_metal_buffer_download(void *handle, qz_ypu_buffer_t *source,
                                         void *destination, int32_t offset, int32_t length) {
  qz_ypu_metal_buffer_t *buffer = metal_buffer(source);
  const qz_status_t status = ready_for_host(handle, buffer, offset, length);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (length > 0)
    std::memcpy(destination, static_cast<const char *>(send(buffer->mtl_buffer, "contents")) + offset,
                static_cast<size_t>(length));
  return QZ_STATUS_SUCCESS;
}

// Shared storage: the host works on the buffer itself, after the GPU work
// encoded so far has finished; null when that work failed.
void *qz_ypu_metal_buffer_map(void *handle, qz_ypu_buffer_t *buffer, int32_t) {
  if (qz_ypu_metal_synchronize(metal_device(handle)) != QZ_STATUS_SUCCESS) return nullptr;
  return send(metal_buffer(buffer)->mtl_buffer, "contents");
}

void qz_ypu_metal_buffer_unmap(void *, qz_ypu_buffer_t *, int32_t) {}

void *qz_ypu_metal_host_alloc(void *, int32_t size) {
  return size < 0 ? nullptr : std::malloc(static_cast<size_t>(size));
}

void qz_ypu_metal_host_free(void *, void *pointer) { std::free(pointer); }

int32_t qz_ypu_metal_buffer_size(void *, qz_ypu_buffer_t *buffer) {
  return metal_buffer(buffer)->length;
}

qz_objc_id qz_ypu_metal_buffer_object(const qz_ypu_metal_buffer_t *buffer) {
  return buffer->mtl_buffer;
}
qz_objc_id qz_ypu_metal_get_device(qz_ypu_metal_device_t *device) { return device->mtl_device; }
qz_objc_id qz_ypu_metal_get_queue(qz_ypu_metal_device_t *device) { return device->command_queue; }

// --- pipelines -------------------------------------------------------------

qz_status_t qz_ypu_metal_pipeline_create(qz_ypu_metal_device_t *device, const char *kernel_name,
                                         qz_ypu_metal_pipeline_t **out) {
  auto *pipeline =
      static_cast<qz_ypu_metal_pipeline_t *>(std::calloc(1, sizeof(qz_ypu_metal_pipeline_t)));
  if (!pipeline) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  const size_t length = std::strlen(kernel_name);
  pipeline->kernel_name = static_cast<char *>(std::calloc(length + 1, 1));
  if (!pipeline->kernel_name) {
    std::free(pipeline);
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  std::memcpy(pipeline->kernel_name, kernel_name, length);
  {
    autorelease_pool pool;
    qz_objc_id name =
        rt().send_str(rt().get_class("NSString"), sel("stringWithUTF8String:"), kernel_name);
    pipeline->function = rt().send_id(device->library, sel("newFunctionWithName:"), name);
    if (pipeline->function) {
      qz_objc_id error = nullptr;  // autoreleased: read inside the pool
      pipeline->pipeline_state =
          rt().send_id_err(device->mtl_device, sel("newComputePipelineStateWithFunction:error:"),
                           pipeline->function, &error);
      if (!pipeline->pipeline_state)
        push_reason(error, &QZ_YPU_METAL_ERROR_PIPELINE_REASON, kernel_name);
    }
  }
  if (!pipeline->pipeline_state) {
    qz_error_push("", 0, &QZ_YPU_METAL_ERROR_PIPELINE);
    qz_ypu_metal_pipeline_release(device, pipeline);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  *out = pipeline;
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_metal_pipeline_release(qz_ypu_metal_device_t *, qz_ypu_metal_pipeline_t *pipeline) {
  if (!pipeline) return;
  release(pipeline->pipeline_state);
  release(pipeline->function);
  std::free(pipeline->kernel_name);
  std::free(pipeline);
}

// --- encoding --------------------------------------------------------------

void qz_ypu_metal_begin_compute(qz_ypu_metal_device_t *device,
                                const qz_ypu_metal_pipeline_t *pipeline) {
  autorelease_pool pool;
  if (!device->command_buffer) {
    device->command_buffer = retain(send(device->command_queue, "commandBuffer"));
    qz_objc_id label = rt().send_str_u(rt().get_class("NSString"), sel("stringWithCString:encoding:"),
                                       pipeline->kernel_name, QZ_NS_ASCII_STRING_ENCODING);
    rt().send_id(device->command_buffer, sel("setLabel:"), label);
  }
  if (!device->compute_encoder)
    device->compute_encoder = retain(send(device->command_buffer, "computeCommandEncoder"));
  rt().send_id(device->compute_encoder, sel("setComputePipelineState:"), pipeline->pipeline_state);
}

void qz_ypu_metal_set_buffer(qz_ypu_metal_device_t *device, const qz_ypu_metal_buffer_t *buffer,
                             int32_t offset, int32_t index) {
  rt().send_id_u_u(device->compute_encoder, sel("setBuffer:offset:atIndex:"), buffer->mtl_buffer,
                   static_cast<uintptr_t>(static_cast<intptr_t>(offset)), static_cast<uintptr_t>(index));
}

void qz_ypu_metal_set_bytes(qz_ypu_metal_device_t *device, const void *bytes, int32_t length,
                            int32_t index) {
  rt().send_ptr_u_u(device->compute_encoder, sel("setBytes:length:atIndex:"), bytes,
                    static_cast<uintptr_t>(length), static_cast<uintptr_t>(index));
}

void qz_ypu_metal_set_threadgroup_memory(qz_ypu_metal_device_t *device, int32_t length,
                                         int32_t index) {
  rt().send_u_u(device->compute_encoder, sel("setThreadgroupMemoryLength:atIndex:"),
                static_cast<uintptr_t>(length), static_cast<uintptr_t>(index));
}

uintptr_t qz_ypu_metal_thread_execution_width(qz_ypu_metal_device_t *,
                                              const qz_ypu_metal_pipeline_t *pipeline) {
  return send_uint(pipeline->pipeline_state, "threadExecutionWidth");
}

uintptr_t qz_ypu_metal_max_threads_per_threadgroup(qz_ypu_metal_device_t *,
                                                   const qz_ypu_metal_pipeline_t *pipeline) {
  return send_uint(pipeline->pipeline_state, "maxTotalThreadsPerThreadgroup");
}

bool qz_ypu_metal_threadgroup_memory_fits(const qz_ypu_metal_device_t *device,
                                          const qz_ypu_metal_pipeline_t *pipeline, uint64_t bytes) {
  const uint64_t own = send_uint(pipeline->pipeline_state, "staticThreadgroupMemoryLength");
  const uint64_t limit = device->max_threadgroup_memory;
  return own <= limit && bytes <= limit - own;
}

qz_status_t qz_ypu_metal_dispatch_threads(qz_ypu_metal_device_t *device,
                                          const qz_ypu_metal_pipeline_t *pipeline, uint32_t width,
                                          int32_t height, uint32_t depth) {
  if (!encoding(device, device->compute_encoder)) return QZ_STATUS_RUNTIME_ERROR;
  // An empty grid has no valid threadgroup: nothing to run.
  if (width > 0 && height > 0 && depth > 0) {
    uintptr_t w = qz_ypu_metal_thread_execution_width(device, pipeline);
    const uintptr_t m = qz_ypu_metal_max_threads_per_threadgroup(device, pipeline);
    if (w == 0) w = 1;
    uintptr_t h = m / w < static_cast<uintptr_t>(height) ? m / w : static_cast<uintptr_t>(height);
    if (h == 0) h = 1;
    rt().send_size_size(device->compute_encoder, sel("dispatchThreads:threadsPerThreadgroup:"),
                        qz_mtl_size_t{width, static_cast<uintptr_t>(height), depth},
                        qz_mtl_size_t{w, h, 1});
  }
  return end_encoder(device, device->compute_encoder);
}

qz_status_t qz_ypu_metal_dispatch_threadgroups(qz_ypu_metal_device_t *device,
                                               const qz_ypu_metal_pipeline_t *pipeline,
                                               uint32_t group_x, uint32_t group_y,
                                               uint32_t group_z, uint32_t groups_x,
                                               uint32_t groups_y, uint32_t groups_z) {
  if (!encoding(device, device->compute_encoder)) return QZ_STATUS_RUNTIME_ERROR;
  const uint64_t threads = uint64_t{group_x} * group_y * group_z;
  if (threads > qz_ypu_metal_max_threads_per_threadgroup(device, pipeline)) {
    qz_error_push("", 0, &QZ_YPU_METAL_ERROR_THREADGROUP);
    // Ended all the same: an open encoder must not reach a commit or a blit.
    end_encoder(device, device->compute_encoder);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  if (threads > 0 && uint64_t{groups_x} * groups_y * groups_z > 0)
    rt().send_size_size(device->compute_encoder, sel("dispatchThreadgroups:threadsPerThreadgroup:"),
                        qz_mtl_size_t{groups_x, groups_y, groups_z},
                        qz_mtl_size_t{group_x, group_y, group_z});
  return end_encoder(device, device->compute_encoder);
}

void qz_ypu_metal_begin_blit(qz_ypu_metal_device_t *device) {
  autorelease_pool pool;
  if (!device->command_buffer)
    device->command_buffer = retain(send(device->command_queue, "commandBuffer"));
  if (!device->blit_encoder)
    device->blit_encoder = retain(send(device->command_buffer, "blitCommandEncoder"));
}

qz_status_t qz_ypu_metal_end_blit(qz_ypu_metal_device_t *device) {
  if (!encoding(device, device->blit_encoder)) return QZ_STATUS_RUNTIME_ERROR;
  return end_encoder(device, device->blit_encoder);
}

qz_objc_id qz_ypu_metal_get_blit_encoder(qz_ypu_metal_device_t *device) {
  return device->blit_encoder;
}
