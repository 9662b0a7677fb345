// The CUDA runtime calls of the backend, behind a table of function pointers.
// The library fills it from the static CUDA runtime; the tests' GPU harness
// installs its own table to run the same backend code on the CPU and to make
// any call fail.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The backend's sources are compiled twice: into the library, and into the
// test harness, where they live in a namespace of their own so that both
// copies can sit in one test program.
#if defined(QZ_CUDA_EMU)
#define QZ_CUDA_BEGIN namespace qz_cuda_emu {
#define QZ_CUDA_END }
#else
#define QZ_CUDA_BEGIN
#define QZ_CUDA_END
#endif

QZ_CUDA_BEGIN

// Launch geometry, laid out as the runtime's dim3.
struct qz_cuda_dim3_t {
  uint32_t x = 1, y = 1, z = 1;
};

// The device properties the backend reads, as the runtime reports them.
struct qz_cuda_device_prop_t {
  char name[256];
  int32_t major;
  int32_t minor;
  int32_t warp_size;
  uint64_t total_global_mem;
  int32_t multiprocessor_count;
  int32_t max_threads_per_multiprocessor;
  int32_t max_threads_per_block;
  uint64_t shared_mem_per_block;
  uint64_t shared_mem_per_multiprocessor;
  int32_t max_threads_dim[3];
  int32_t max_grid_size[3];
};

// How the CPU harness runs a kernel: `run` calls `kernel` with the arguments
// behind `args` (one GPU thread); `copy` makes a heap copy of those
// arguments (a new argument array, released with `release`) so that a launch
// can run after the launching call has returned, as on a GPU. The library's
// kernels carry no thunk.
struct qz_cuda_host_kernel_t {
  void (*run)(const void *kernel, void **args);
  void **(*copy)(void **args);
  void (*release)(void **copy);
};
using qz_cuda_thunk_t = const qz_cuda_host_kernel_t *;

// The device attribute that tells whether the stream-ordered allocator
// (cudaMallocAsync) works on a device (cudaDevAttrMemoryPoolsSupported).
inline constexpr int QZ_CUDA_ATTRIBUTE_MEMORY_POOLS_SUPPORTED = 115;

enum qz_cuda_copy_kind_t : int32_t {
  QZ_CUDA_HOST_TO_DEVICE = 1,
  QZ_CUDA_DEVICE_TO_HOST = 2,
  QZ_CUDA_DEVICE_TO_DEVICE = 3,
};

// Every call returns the runtime's error number (0: success). Streams are
// opaque; null is the default stream.
struct qz_ypu_cuda_runtime_t {
  int (*get_device_count)(int *count);
  int (*get_device_properties)(qz_cuda_device_prop_t *prop, int device);
  int (*set_device)(int device);
  int (*get_device)(int *device);
  int (*stream_create)(void **stream);
  int (*stream_destroy)(void *stream);
  int (*driver_get_version)(int *version);
  int (*runtime_get_version)(int *version);
  int (*malloc_async)(void **pointer, size_t size, void *stream);
  int (*free_async)(void *pointer, void *stream);
  int (*memcpy)(void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind);
  int (*memcpy_async)(void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind,
                      void *stream);
  int (*memcpy_2d_async)(void *dst, size_t dst_pitch, const void *src, size_t src_pitch,
                         size_t width, size_t height, qz_cuda_copy_kind_t kind, void *stream);
  int (*memset_async)(void *dst, int value, size_t size, void *stream);
  int (*memset_2d_async)(void *dst, size_t pitch, int value, size_t width, size_t height,
                         void *stream);
  int (*launch_kernel)(const void *kernel, qz_cuda_thunk_t thunk, qz_cuda_dim3_t grid,
                       qz_cuda_dim3_t block, void **args, size_t shared_bytes, void *stream);
  int (*get_last_error)();
  const char *(*get_error_string)(int error);
  // Allocations that are not stream-ordered (they may wait for the device).
  int (*malloc)(void **pointer, size_t size);
  int (*free)(void *pointer);
  // cudaDeviceGetAttribute.
  int (*device_get_attribute)(int *value, int attribute, int device);
  // Events made without timing, which order work across streams: a stream
  // waiting on an event runs nothing issued after the wait before the work
  // issued ahead of the event's record.
  int (*event_create)(void **event);
  int (*event_destroy)(void *event);
  int (*event_record)(void *event, void *stream);
  int (*stream_wait_event)(void *stream, void *event);
  int (*stream_synchronize)(void *stream);
};

// Whether `error` leaves the device's context unusable: a fault of running
// work (illegal address or instruction, misaligned address, a launch that
// failed or timed out, a device-side assert, a hardware stack error, an
// invalid program counter or address space, tensor memory left allocated at
// a kernel's end, an external device's error), an error the GPU contained
// (226), or the client of a shared GPU server terminated by the server
// (810). Every later call that needs the context returns it, and
// cudaGetLastError does not clear it; only a new context (a new process)
// gets past it.
inline bool qz_cuda_error_loses_context(int error) {
  switch (error) {
    case 226:
    case 700: case 702: case 710: case 714: case 715: case 716: case 717: case 718: case 719:
    case 721:
    case 810:
    case 911:
      return true;
    default:
      return false;
  }
}

// The table in use. The library starts with the real runtime; tests swap it.
const qz_ypu_cuda_runtime_t *qz_ypu_cuda_runtime();
void qz_ypu_cuda_runtime_install(const qz_ypu_cuda_runtime_t *runtime);

QZ_CUDA_END
