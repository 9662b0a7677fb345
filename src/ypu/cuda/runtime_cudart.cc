// The runtime table over the static CUDA runtime.
#include <cuda_runtime.h>

#include <cstring>

#include "ypu/cuda/runtime.h"

namespace {

cudaMemcpyKind copy_kind(qz_cuda_copy_kind_t kind) {
  switch (kind) {
    case QZ_CUDA_HOST_TO_DEVICE: return cudaMemcpyHostToDevice;
    case QZ_CUDA_DEVICE_TO_HOST: return cudaMemcpyDeviceToHost;
    default: return cudaMemcpyDeviceToDevice;
  }
}

cudaStream_t stream_of(void *stream) { return static_cast<cudaStream_t>(stream); }

int get_device_properties(qz_cuda_device_prop_t *out, int device) {
  cudaDeviceProp prop;
  std::memset(&prop, 0, sizeof prop);
  const cudaError_t error = cudaGetDeviceProperties(&prop, device);
  std::memset(out, 0, sizeof *out);
  if (error != cudaSuccess) return error;
  static_assert(sizeof out->name <= sizeof prop.name);
  std::memcpy(out->name, prop.name, sizeof out->name);
  out->name[sizeof out->name - 1] = '\0';
  out->major = prop.major;
  out->minor = prop.minor;
  out->warp_size = prop.warpSize;
  out->total_global_mem = prop.totalGlobalMem;
  out->multiprocessor_count = prop.multiProcessorCount;
  out->max_threads_per_multiprocessor = prop.maxThreadsPerMultiProcessor;
  out->max_threads_per_block = prop.maxThreadsPerBlock;
  out->shared_mem_per_block = prop.sharedMemPerBlock;
  out->shared_mem_per_multiprocessor = prop.sharedMemPerMultiprocessor;
  for (int i = 0; i < 3; ++i) {
    out->max_threads_dim[i] = prop.maxThreadsDim[i];
    out->max_grid_size[i] = prop.maxGridSize[i];
  }
  return cudaSuccess;
}

const qz_ypu_cuda_runtime_t QZ_YPU_CUDART = {
    .get_device_count = [](int *count) -> int { return cudaGetDeviceCount(count); },
    .get_device_properties = get_device_properties,
    .set_device = [](int device) -> int { return cudaSetDevice(device); },
    .get_device = [](int *device) -> int { return cudaGetDevice(device); },
    .stream_create = [](void **stream) -> int {
      return cudaStreamCreate(reinterpret_cast<cudaStream_t *>(stream));
    },
    .stream_destroy = [](void *stream) -> int { return cudaStreamDestroy(stream_of(stream)); },
    .driver_get_version = [](int *version) -> int { return cudaDriverGetVersion(version); },
    .runtime_get_version = [](int *version) -> int { return cudaRuntimeGetVersion(version); },
    .malloc_async = [](void **pointer, size_t size, void *stream) -> int {
      return cudaMallocAsync(pointer, size, stream_of(stream));
    },
    .free_async = [](void *pointer, void *stream) -> int {
      return cudaFreeAsync(pointer, stream_of(stream));
    },
    .memcpy = [](void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind) -> int {
      return cudaMemcpy(dst, src, size, copy_kind(kind));
    },
    .memcpy_async = [](void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind,
                       void *stream) -> int {
      return cudaMemcpyAsync(dst, src, size, copy_kind(kind), stream_of(stream));
    },
    .memcpy_2d_async = [](void *dst, size_t dst_pitch, const void *src, size_t src_pitch,
                          size_t width, size_t height, qz_cuda_copy_kind_t kind,
                          void *stream) -> int {
      return cudaMemcpy2DAsync(dst, dst_pitch, src, src_pitch, width, height, copy_kind(kind),
                               stream_of(stream));
    },
    .memset_async = [](void *dst, int value, size_t size, void *stream) -> int {
      return cudaMemsetAsync(dst, value, size, stream_of(stream));
    },
    .memset_2d_async = [](void *dst, size_t pitch, int value, size_t width, size_t height,
                          void *stream) -> int {
      return cudaMemset2DAsync(dst, pitch, value, width, height, stream_of(stream));
    },
    .launch_kernel = [](const void *kernel, qz_cuda_thunk_t, qz_cuda_dim3_t grid,
                        qz_cuda_dim3_t block, void **args, size_t shared_bytes,
                        void *stream) -> int {
      return cudaLaunchKernel(kernel, dim3(grid.x, grid.y, grid.z),
                              dim3(block.x, block.y, block.z), args, shared_bytes,
                              stream_of(stream));
    },
    .get_last_error = []() -> int { return cudaGetLastError(); },
    .get_error_string = [](int error) -> const char * {
      return cudaGetErrorString(static_cast<cudaError_t>(error));
    },
    .malloc = [](void **pointer, size_t size) -> int { return cudaMalloc(pointer, size); },
    .free = [](void *pointer) -> int { return cudaFree(pointer); },
    .device_get_attribute = [](int *value, int attribute, int device) -> int {
      return cudaDeviceGetAttribute(value, static_cast<cudaDeviceAttr>(attribute), device);
    },
    .event_create = [](void **event) -> int {
      return cudaEventCreateWithFlags(reinterpret_cast<cudaEvent_t *>(event),
                                      cudaEventDisableTiming);
    },
    .event_destroy = [](void *event) -> int {
      return cudaEventDestroy(static_cast<cudaEvent_t>(event));
    },
    .event_record = [](void *event, void *stream) -> int {
      return cudaEventRecord(static_cast<cudaEvent_t>(event), stream_of(stream));
    },
    .stream_wait_event = [](void *stream, void *event) -> int {
      return cudaStreamWaitEvent(stream_of(stream), static_cast<cudaEvent_t>(event), 0);
    },
    .stream_synchronize = [](void *stream) -> int {
      return cudaStreamSynchronize(stream_of(stream));
    },
};

static_assert(QZ_CUDA_ATTRIBUTE_MEMORY_POOLS_SUPPORTED == cudaDevAttrMemoryPoolsSupported);

const qz_ypu_cuda_runtime_t *qz_ypu_cuda_runtime_current = &QZ_YPU_CUDART;

}  // namespace

const qz_ypu_cuda_runtime_t *qz_ypu_cuda_runtime() { return qz_ypu_cuda_runtime_current; }

void qz_ypu_cuda_runtime_install(const qz_ypu_cuda_runtime_t *runtime) {
  qz_ypu_cuda_runtime_current = runtime ? runtime : &QZ_YPU_CUDART;
}
