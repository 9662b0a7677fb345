// The Metal device, its buffers, pipelines and the encoding helpers with
// which every Metal operation entry records its work. All GPU work goes
// through the device's one command queue; command buffers are committed
// after every fourth ended encoder pass, and the host waits only where it
// needs results (upload, download, map, synchronize).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/error.h"
#include "ypu/metal/runtime.h"
#include "ypu/ypu.h"

inline constexpr int32_t QZ_YPU_METAL_COMMIT_INTERVAL = 4;

// The backend device handle a context holds (calloc'ed at open). Every
// object reference below is held with one retain.
struct qz_ypu_metal_device_t {
  qz_objc_id mtl_device;        // the system default MTLDevice
  qz_objc_id command_queue;     // the one MTLCommandQueue
  qz_objc_id library;           // MTLLibrary built from the embedded program
  qz_objc_id committed_buffer;  // newest committed, not yet waited for
  qz_objc_id command_buffer;    // being encoded, not yet committed
  qz_objc_id compute_encoder;   // open compute encoder of command_buffer
  qz_objc_id blit_encoder;      // open blit encoder of command_buffer
  int32_t ended_encoders;       // ended into command_buffer: 0 to 3 between calls
  // [mtl_device maxThreadgroupMemoryLength], read at open: the bytes of
  // threadgroup memory one threadgroup may use, its kernel's own arrays
  // included.
  uintptr_t max_threadgroup_memory;
};

// One GPU buffer in shared storage: the host reaches it through `contents`.
struct qz_ypu_metal_buffer_t {
  qz_objc_id mtl_buffer;
  int32_t length;  // bytes, as requested
  int32_t flags;   // kept, never interpreted
};

// One compute pipeline, owned by the operation state that made it.
struct qz_ypu_metal_pipeline_t {
  char *kernel_name;  // own copy; also the label of command buffers it starts
  qz_objc_id function;
  qz_objc_id pipeline_state;
};

// The GPU program: the Metal source of every kernel (the prelude first, then
// each kernel file in name order), NUL-terminated; generated at build time.
// No Metal compiler exists where the library is built, so the device builds
// its library from this text at open.
extern const char qz_ypu_metal_library_data[];
extern const size_t qz_ypu_metal_library_size;  // bytes, without the NUL

inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_CHAIN{0x320, nullptr};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_COMMUNICATE{
    0x334, "Failed to communicate with device."};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_NO_DEVICE{0x33E, "Failed to get device."};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_NO_QUEUE{0x33F, "Failed to get device."};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_LIBRARY{
    0x340, "Failed to load device specific code."};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_PIPELINE{
    0x341, "Failed to load device specific code."};
// Comes before 0x340 when the compiler gave a reason: its message, quoted.
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_COMPILER{
    0x342, "The Metal compiler rejected the library: %s"};
// Comes before 0x341 when the device gave a reason for refusing a kernel.
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_PIPELINE_REASON{
    0x346, "The Metal device refused the pipeline of `%s`: %s"};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_STATE{0x343, "Device state error."};
inline constexpr qz_error_record_t QZ_YPU_METAL_ERROR_THREADGROUP{0x344, "Device state error."};

// --- called by name ---------------------------------------------------------
// Only index 0, the system default device, can be opened. On failure *out is
// left untouched and nothing stays allocated.
qz_status_t qz_ypu_metal_device_open(int32_t device_index, qz_ypu_metal_device_t **out);
// Lines "gpu:%d - %s", the default device first (it is the one "gpu:0"
// opens). No device: success with count 0 and a non-null array.
qz_status_t qz_ypu_metal_device_list(char ***list, int32_t *count);
void qz_ypu_metal_device_list_free(char **list, int32_t count);
// Commits the open command buffer and waits for the newest committed one.
// QZ_STATUS_RUNTIME_ERROR (0x334) when that command buffer failed on the GPU.
qz_status_t qz_ypu_metal_synchronize(qz_ypu_metal_device_t *device);

qz_status_t qz_ypu_metal_pipeline_create(qz_ypu_metal_device_t *device, const char *kernel_name,
                                         qz_ypu_metal_pipeline_t **out);
void qz_ypu_metal_pipeline_release(qz_ypu_metal_device_t *device,
                                   qz_ypu_metal_pipeline_t *pipeline);

// --- encoding helpers -------------------------------------------------------
// A compute entry: begin_compute, its set_bytes / set_buffer /
// set_threadgroup_memory calls in any order, then exactly one dispatch,
// which ends the encoder. A blit entry: begin_blit, get_blit_encoder, its
// copies and fills, end_blit.
void qz_ypu_metal_begin_compute(qz_ypu_metal_device_t *device,
                                const qz_ypu_metal_pipeline_t *pipeline);
void qz_ypu_metal_set_buffer(qz_ypu_metal_device_t *device, const qz_ypu_metal_buffer_t *buffer,
                             int32_t offset, int32_t index);
// Parameter records hold the layer's handles; this is the same call.
inline void qz_ypu_metal_set_buffer(qz_ypu_metal_device_t *device, const qz_ypu_buffer_t *buffer,
                                    int32_t offset, int32_t index) {
  qz_ypu_metal_set_buffer(device, reinterpret_cast<const qz_ypu_metal_buffer_t *>(buffer), offset,
                          index);
}
// The bytes are copied into the command stream at once.
void qz_ypu_metal_set_bytes(qz_ypu_metal_device_t *device, const void *bytes, int32_t length,
                            int32_t index);
void qz_ypu_metal_set_threadgroup_memory(qz_ypu_metal_device_t *device, int32_t length,
                                         int32_t index);
// A grid of width x height x depth threads in threadgroups of
// (w, min(m / w, height), 1). An empty grid dispatches nothing.
qz_status_t qz_ypu_metal_dispatch_threads(qz_ypu_metal_device_t *device,
                                          const qz_ypu_metal_pipeline_t *pipeline, uint32_t width,
                                          int32_t height, uint32_t depth);
// groups_* threadgroups of group_* threads; a threadgroup larger than the
// pipeline allows is refused with 0x344 (the encoder is still ended).
qz_status_t qz_ypu_metal_dispatch_threadgroups(qz_ypu_metal_device_t *device,
                                               const qz_ypu_metal_pipeline_t *pipeline,
                                               uint32_t group_x, uint32_t group_y,
                                               uint32_t group_z, uint32_t groups_x,
                                               uint32_t groups_y, uint32_t groups_z);
uintptr_t qz_ypu_metal_thread_execution_width(qz_ypu_metal_device_t *device,
                                              const qz_ypu_metal_pipeline_t *pipeline);
uintptr_t qz_ypu_metal_max_threads_per_threadgroup(qz_ypu_metal_device_t *device,
                                                   const qz_ypu_metal_pipeline_t *pipeline);
// Whether `bytes` of threadgroup memory set for one dispatch (each length a
// multiple of 16) fit beside the arrays the pipeline's kernel declares
// ([pipeline_state staticThreadgroupMemoryLength]) within the device's
// limit. A dispatch beyond it is not run by Metal: an entry whose memory
// grows with a shape checks first and leaves a shape that does not fit to
// the host implementation.
bool qz_ypu_metal_threadgroup_memory_fits(const qz_ypu_metal_device_t *device,
                                          const qz_ypu_metal_pipeline_t *pipeline, uint64_t bytes);
void qz_ypu_metal_begin_blit(qz_ypu_metal_device_t *device);
qz_status_t qz_ypu_metal_end_blit(qz_ypu_metal_device_t *device);
qz_objc_id qz_ypu_metal_get_blit_encoder(qz_ypu_metal_device_t *device);
qz_objc_id qz_ypu_metal_buffer_object(const qz_ypu_metal_buffer_t *buffer);
inline qz_objc_id qz_ypu_metal_buffer_object(const qz_ypu_buffer_t *buffer) {
  return qz_ypu_metal_buffer_object(reinterpret_cast<const qz_ypu_metal_buffer_t *>(buffer));
}
qz_objc_id qz_ypu_metal_get_device(qz_ypu_metal_device_t *device);
qz_objc_id qz_ypu_metal_get_queue(qz_ypu_metal_device_t *device);

// --- column 4 of the device-level backend interface ------------------------
void qz_ypu_metal_device_close(void *device);
qz_status_t qz_ypu_metal_buffer_upload(void *device, qz_ypu_buffer_t *buffer, const void *source,
                                       int32_t offset, int32_t length);
qz_status_t qz_ypu_metal_buffer_download(void *device, qz_ypu_buffer_t *buffer,
                                         void *destination, int32_t offset, int32_t length);
qz_ypu_buffer_t *qz_ypu_metal_buffer_create(void *device, int32_t size, int32_t flags);
void *qz_ypu_metal_buffer_map(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
void qz_ypu_metal_buffer_unmap(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
void qz_ypu_metal_buffer_free(void *device, qz_ypu_buffer_t *buffer);
void *qz_ypu_metal_host_alloc(void *device, int32_t size);
void qz_ypu_metal_host_free(void *device, void *pointer);
int32_t qz_ypu_metal_buffer_size(void *device, qz_ypu_buffer_t *buffer);

// The Metal column of the dispatch tables.
extern const qz_ypu_backend_t QZ_YPU_METAL_BACKEND;
