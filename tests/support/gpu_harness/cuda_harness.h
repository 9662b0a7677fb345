// The CUDA runtime of the GPU harness: a fake device whose memory is host
// memory, whose streams all run in issue order at once, and whose kernels run
// on the CPU through grid.h. Every call can be made to fail.
//
// A `cuda_harness` installs itself into the backend's runtime seam for its
// lifetime; tests then use the harness copies of the backend (namespace
// qz_cuda_emu), e.g. through a context on qz_cuda_emu::QZ_YPU_CUDA_BACKEND.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <vector>

#include "gpu_harness/grid.h"
#include "ypu/cuda/device.h"

namespace qz_gpu_harness {

enum class cuda_call {
  get_device_count,
  get_device_properties,
  set_device,
  get_device,
  stream_create,
  stream_destroy,
  driver_get_version,
  runtime_get_version,
  malloc_async,
  free_async,
  memcpy,
  memcpy_async,
  memcpy_2d_async,
  memset_async,
  memset_2d_async,
  launch_kernel,
  malloc,
  free,
  device_get_attribute,
  event_create,
  event_destroy,
  event_record,
  stream_wait_event,
  stream_synchronize,
  count
};

// Runtime error numbers the harness reports (the runtime's own values).
inline constexpr int kCudaErrorInvalidValue = 1;
inline constexpr int kCudaErrorMemoryAllocation = 2;
inline constexpr int kCudaErrorInvalidConfiguration = 9;
inline constexpr int kCudaErrorInsufficientDriver = 35;
inline constexpr int kCudaErrorInvalidDeviceFunction = 98;
inline constexpr int kCudaErrorNoKernelImage = 209;
inline constexpr int kCudaErrorInvalidResourceHandle = 400;
inline constexpr int kCudaErrorMisalignedAddress = 716;
inline constexpr int kCudaErrorNotSupported = 801;

class cuda_harness {
 public:
  cuda_harness();
  ~cuda_harness();
  cuda_harness(const cuda_harness &) = delete;
  cuda_harness &operator=(const cuda_harness &) = delete;

  // The fake machine: `device_count` identical devices with `prop`.
  int device_count = 1;
  qz_cuda_emu::qz_cuda_device_prop_t prop;
  schedule order = schedule::forward;
  int runtime_version = 13000;
  int driver_version = 13000;

  // Devices, streams and events (cuda_devices.cc). Each host thread has its
  // current device (0 at first); allocations and launches belong to the
  // device current when they are made, and a stream of one device used while
  // another is current is refused. Stream work (launches, async copies and
  // fills, stream-ordered releases) runs in order on its stream; a stream
  // marked lazy runs its work only when something needs it (a download, a
  // stream synchronisation, an event another stream waits for), the others
  // run theirs at once, so the work of two streams happens in an order that
  // only events and synchronisations fix, as on a GPU, and a missing wait
  // shows as stale or missing results. By default the context's streams are
  // lazy and each device's default stream is not.
  bool lazy_default_stream = false;
  bool lazy_streams = true;
  // Whether the devices have the stream-ordered allocator (when not,
  // cudaMallocAsync and cudaFreeAsync are refused as not supported).
  bool memory_pools = true;
  // The device of a live allocation (-1 if unknown), and of every launch so
  // far, in issue order.
  int allocation_device(const void *pointer) const;
  const std::vector<int> &launch_devices() const { return launch_devices_; }
  // Typed operands made at addresses their elements cannot be read from;
  // after one, launches fault (error 716) instead of running.
  int misaligned_operands = 0;
  std::map<const void *, int> allocation_devices_;
  std::vector<int> launch_devices_;

  // The call fails with `error` after `after` more successful calls; once.
  void fail(cuda_call call, int after = 0, int error = kCudaErrorMemoryAllocation);
  // A fault of work already running on the current device, seen by the next
  // call: an error that loses the context (an illegal address, a launch
  // failure...) then stays, and every later call that needs the context
  // fails with it; cudaGetLastError reports it without clearing it.
  void device_fault(int error) { set_error(error); }
  // The error that lost the current device's context (0: none).
  int lost_error() const;
  // Test-only way out, as cudaDeviceReset is on a GPU: forgets the current
  // device's lost context and its pending error.
  void reset_device();

  int calls(cuda_call call) const { return calls_[static_cast<int>(call)]; }
  int live_allocations() const { return static_cast<int>(allocations_.size()); }
  int live_streams() const { return live_streams_; }
  // The stream of every launch so far, in issue order (null: the default
  // stream).
  const std::vector<void *> &launch_streams() const { return launch_streams_; }
  // The bytes of an allocation made through the runtime (null if unknown).
  size_t allocation_size(const void *pointer) const;

  // Called by the runtime table.
  int enter(cuda_call call);  // counts the call; the injected error or 0
  int set_error(int error);   // records the sticky error, returns it
  int last_error = 0;         // pending until cudaGetLastError reads it
  std::map<int, int> lost_;   // device ordinal -> the error that lost it
  // Float atomic additions held back by the shuffled schedule.
  struct pending_add {
    float *address;
    float value;
    void *stream;
  };
  std::vector<pending_add> pending_adds_;
  void *running_stream_ = nullptr;  // of the launch running now
  uint64_t shuffle_state_ = 0xADD5;
  // Lands the pending additions that `keep` does not keep, in a permuted
  // order.
  template <class Keep>
  void land_adds(Keep keep);
  std::map<const void *, size_t> allocations_;
  int live_streams_ = 0;
  std::vector<void *> launch_streams_;

 private:
  struct fault {
    int after = -1;
    int error = 0;
  };
  std::array<fault, static_cast<int>(cuda_call::count)> faults_{};
  std::array<int, static_cast<int>(cuda_call::count)> calls_{};
};

// The error text the harness's runtime gives for `error`.
const char *cuda_error_text(int error);

}  // namespace qz_gpu_harness
