// The CUDA device, its buffers and its device list: the records every CUDA
// entry works on and the device-level half of the backend interface.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "ypu/cuda/runtime.h"
#include "ypu/ypu.h"

// What the device-string parser calls (also the no-device stand-in's names).
qz_status_t qz_ypu_cuda_device_open(int32_t index, void **out);
void qz_ypu_cuda_device_close(void *device);

QZ_CUDA_BEGIN

inline constexpr int QZ_YPU_CUDA_STREAM_COUNT = 8;
// events[0] marks the default stream's work for the streams to wait on;
// events[1 + i] marks the work of streams[i] for the default stream.
inline constexpr int QZ_YPU_CUDA_EVENT_COUNT = QZ_YPU_CUDA_STREAM_COUNT + 1;

struct qz_ypu_cuda_device_properties_t {
  const char *query_error;
  int32_t major;
  int32_t minor;
  int32_t driver_version;
  const char *driver_version_error;
  int32_t runtime_version;
  const char *runtime_version_error;
  uint64_t total_global_mem;
  int32_t multiprocessor_count;
  int32_t max_threads_per_multiprocessor;
  int32_t max_threads_per_block;
  int32_t shared_mem_per_block;
  int32_t shared_mem_per_multiprocessor;
  int32_t max_block_dim[3];
  int32_t max_grid_dim[3];
};

struct qz_ypu_cuda_device_t {
  int32_t device;
  qz_ypu_cuda_device_properties_t *properties;
  void **streams;  // QZ_YPU_CUDA_STREAM_COUNT runtime streams
  void **events;   // QZ_YPU_CUDA_EVENT_COUNT events without timing
  // Whether the device has the stream-ordered allocator; without it device
  // memory comes from plain allocations.
  bool memory_pools;
};

struct qz_ypu_cuda_buffer_t {
  void *device_ptr;
  int32_t size;
  int32_t flags;
  int32_t map_count;
  void *host_copy;
};

inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_COMMUNICATE{
    0x334, "Failed to communicate with device."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_INDEX{
    0x335, "GPU device index `%d` is out of range. Found `%d` available GPU devices."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_DRIVER{
    0x336,
    "GPU device drivers are incompatible (device error: %s). Refer to docs to find the "
    "appropriate version for updating."};
// Follows 0x334 when the device count cannot be had: what that means.
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_NO_DRIVER{
    0x338, "No CUDA driver or GPU was found (error %d: %s)."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_INCOMPATIBLE{
    0x337, "Selected GPU device is incompatible with the library."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_ALLOC{0x339, "Failed to alloc memory."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_TO_DEVICE{0x33A,
                                                               "Failed to copy memory to device."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_FROM_DEVICE{
    0x33B, "Failed to copy memory from device."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_KERNEL{0x33C, "Failed to execute gpu kernel."};
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_STREAM{0x33D, "Failed to create gpu stream."};
// After a fault that loses the context, pushed behind the failing call's own
// record by every later call: nothing on this device works again.
inline constexpr qz_error_record_t QZ_YPU_CUDA_ERROR_LOST{
    0x345, "The GPU context is lost after error %d (%s); recreate the engine."};

// The entries behind the parser's names, in the harness's namespace too.
qz_status_t qz_ypu_cuda_device_open_at(int32_t index, qz_ypu_cuda_device_t **out);
void qz_ypu_cuda_device_release(void *device);
qz_status_t qz_ypu_cuda_device_properties_create(int32_t device,
                                                 qz_ypu_cuda_device_properties_t **out);

qz_status_t qz_ypu_cuda_buffer_upload(void *device, qz_ypu_buffer_t *buffer, const void *source,
                                      int32_t offset, int32_t length);
qz_status_t qz_ypu_cuda_buffer_download(void *device, qz_ypu_buffer_t *buffer, void *destination,
                                        int32_t offset, int32_t length);
void qz_ypu_cuda_device_list_free(char **list, int32_t count);
qz_status_t qz_ypu_cuda_device_list(char ***list, int32_t *count);
qz_ypu_buffer_t *qz_ypu_cuda_buffer_create(void *device, int32_t size, int32_t flags);
void *qz_ypu_cuda_buffer_map(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
void qz_ypu_cuda_buffer_unmap(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
void qz_ypu_cuda_buffer_free(void *device, qz_ypu_buffer_t *buffer);
void *qz_ypu_cuda_host_alloc(void *device, int32_t size);
void qz_ypu_cuda_host_free(void *device, void *pointer);
int32_t qz_ypu_cuda_buffer_size(void *device, qz_ypu_buffer_t *buffer);

int32_t qz_ypu_cuda_multiprocessor_count(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_shared_mem_per_block(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_shared_mem_per_multiprocessor(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_max_block_dim_x(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_max_block_dim_y(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_max_block_dim_z(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_max_grid_dim_x(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_max_grid_dim_y(const qz_ypu_cuda_device_t *device);
int32_t qz_ypu_cuda_max_grid_dim_z(const qz_ypu_cuda_device_t *device);

// Launches the empty compatibility kernel on the default stream (its module
// is the first one the driver has to load).
void qz_ypu_cuda_compatibility_test_launch();

// After a failed runtime call: reads the runtime's sticky error (which
// clears it unless the context is lost), then pushes `record` (no
// arguments), and QZ_YPU_CUDA_ERROR_LOST when the context is lost.
void qz_ypu_cuda_fail(const qz_error_record_t &record);

// Makes `device` the calling thread's current device (the runtime keeps one
// per thread); only when another one is current. Failure: 0x334.
qz_status_t qz_ypu_cuda_make_current(const qz_ypu_cuda_device_t *device);

// Device memory ordered on `stream` (null: the default stream): the
// stream-ordered allocator where the device has it, else a plain allocation,
// freed once the stream's work is done (no device: the stream-ordered
// allocator). The runtime's error number.
int qz_ypu_cuda_alloc(const qz_ypu_cuda_device_t *device, void **pointer, size_t bytes,
                      void *stream);
int qz_ypu_cuda_free(const qz_ypu_cuda_device_t *device, void *pointer, void *stream);

// Hand-overs between the default stream and the device's streams: the
// streams of `mask` (bit i: streams[i]) wait for the work issued so far on
// the default stream; the default stream waits for the work issued so far
// on those streams. Errors stay in the runtime's error state for the entry's
// check.
void qz_ypu_cuda_streams_wait_default(const qz_ypu_cuda_device_t *device, unsigned mask);
void qz_ypu_cuda_default_waits_streams(const qz_ypu_cuda_device_t *device, unsigned mask);

// Whether every byte offset of the op's record that the entry turns into a
// pointer to 2- or 4-byte elements is a multiple of the element size (the
// GPU faults on a misaligned access, and the fault ends the context).
bool qz_ypu_cuda_offsets_aligned(uint32_t op, const void *params);

// Whether `buffer` (null: no buffer) holds the byte range [offset, offset +
// bytes), checked in 64 bits.
bool qz_ypu_cuda_buffer_holds(const qz_ypu_buffer_t *buffer, int64_t offset, int64_t bytes);

// The device address of an operand: the buffer's memory plus a signed byte
// offset.
#if defined(QZ_CUDA_EMU)
// The harness faults, as the GPU does, on an operand its elements cannot be
// read from.
void qz_cuda_emu_typed_access(const void *pointer, size_t alignment);
#endif
template <class T>
T *qz_ypu_cuda_operand(const qz_ypu_buffer_t *buffer, int32_t offset = 0) {
  auto *b = reinterpret_cast<const qz_ypu_cuda_buffer_t *>(buffer);
  char *pointer = static_cast<char *>(b->device_ptr) + static_cast<intptr_t>(offset);
#if defined(QZ_CUDA_EMU)
  qz_cuda_emu_typed_access(pointer, alignof(T));
#endif
  return reinterpret_cast<T *>(pointer);
}

// The one cudaGetLastError after an entry's launches: 0x33C on failure
// (and QZ_YPU_CUDA_ERROR_LOST behind it when the context is lost).
qz_status_t qz_ypu_cuda_launch_status();

// The CUDA column of the dispatch tables.
extern const qz_ypu_backend_t QZ_YPU_CUDA_BACKEND;

QZ_CUDA_END
