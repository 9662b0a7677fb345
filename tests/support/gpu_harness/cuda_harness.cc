// The harness's CUDA runtime table.
#include "gpu_harness/cuda_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "gpu_harness/cuda_devices.h"

namespace qz_cuda_emu {
namespace {
const qz_ypu_cuda_runtime_t *g_runtime = nullptr;
}
const qz_ypu_cuda_runtime_t *qz_ypu_cuda_runtime() {
  if (!g_runtime) {
    std::fprintf(stderr, "gpu harness: the CUDA backend ran without a cuda_harness\n");
    std::abort();
  }
  return g_runtime;
}
void qz_ypu_cuda_runtime_install(const qz_ypu_cuda_runtime_t *runtime) { g_runtime = runtime; }
}  // namespace qz_cuda_emu

namespace qz_gpu_harness {
namespace {

using qz_cuda_emu::qz_cuda_copy_kind_t;
using qz_cuda_emu::qz_cuda_device_prop_t;
using qz_cuda_emu::qz_cuda_dim3_t;
using qz_cuda_emu::qz_cuda_thunk_t;

cuda_harness *g_harness = nullptr;

// Where the shuffled schedule's held-back atomic additions land (see
// defer_float_add), checked when a stream's work runs (streams may run it
// late, see cuda_devices.cc): work on a stream first lands what earlier work
// of that stream and of the default stream added; work on the default
// stream lands everything; freed memory lands what targets it.
void land_for_stream(void *stream) {
  g_harness->land_adds([&](const cuda_harness::pending_add &a) {
    return stream && a.stream != stream && a.stream != nullptr;
  });
}

// Counts the call and applies an injected failure (made sticky).
#define QZ_HARNESS_ENTER(call)                                  \
  if (const int injected = g_harness->enter(cuda_call::call)) \
  return g_harness->set_error(injected)
// The same for a call that needs the device's context, which fails with the
// error that lost it, if any.
#define QZ_HARNESS_CONTEXT(call) \
  QZ_HARNESS_ENTER(call);        \
  if (const int lost = g_harness->lost_error()) return lost

int get_device_count(int *count) {
  QZ_HARNESS_ENTER(get_device_count);
  *count = g_harness->device_count;
  return 0;
}

int get_device_properties(qz_cuda_device_prop_t *prop, int device) {
  QZ_HARNESS_ENTER(get_device_properties);
  if (device < 0 || device >= g_harness->device_count) return g_harness->set_error(101);
  *prop = g_harness->prop;
  // Devices are told apart by a number after the configured name.
  const size_t length = std::strlen(prop->name);
  if (length + 12 < sizeof prop->name)
    std::snprintf(prop->name + length, 12, " %d", device);
  return 0;
}

int set_device(int device) {
  QZ_HARNESS_ENTER(set_device);
  if (device < 0 || device >= g_harness->device_count) return g_harness->set_error(101);
  set_current_device(device);
  return 0;
}

int get_device(int *device) {
  QZ_HARNESS_ENTER(get_device);
  *device = current_device();
  return 0;
}

int driver_get_version(int *version) {
  QZ_HARNESS_ENTER(driver_get_version);
  *version = g_harness->driver_version;
  return 0;
}

int runtime_get_version(int *version) {
  QZ_HARNESS_ENTER(runtime_get_version);
  *version = g_harness->runtime_version;
  return 0;
}

// New device memory holds junk: all bits set, a NaN as float.
int allocate(void **pointer, size_t size) {
  if (size > (size_t{1} << 34)) return g_harness->set_error(kCudaErrorMemoryAllocation);
  void *p = std::malloc(size ? size : 1);
  if (!p) return g_harness->set_error(kCudaErrorMemoryAllocation);
  std::memset(p, 0xFF, size);
  g_harness->allocations_[p] = size;
  g_harness->allocation_devices_[p] = current_device();
  *pointer = p;
  return 0;
}

int malloc_async(void **pointer, size_t size, void *) {
  QZ_HARNESS_CONTEXT(malloc_async);
  if (!g_harness->memory_pools) return g_harness->set_error(kCudaErrorNotSupported);
  return allocate(pointer, size);
}

int malloc_sync(void **pointer, size_t size) {
  QZ_HARNESS_CONTEXT(malloc);
  return allocate(pointer, size);
}

// Memory of a lost context is gone with it: released, but the call fails.
int release(void *pointer) {
  if (!pointer) return g_harness->lost_error();
  const auto it = g_harness->allocations_.find(pointer);
  if (it == g_harness->allocations_.end()) return g_harness->set_error(kCudaErrorInvalidValue);
  const char *first = static_cast<const char *>(pointer), *end = first + it->second;
  g_harness->land_adds([&](const cuda_harness::pending_add &a) {
    const char *at = reinterpret_cast<const char *>(a.address);
    return at < first || at >= end;
  });
  g_harness->allocations_.erase(it);
  g_harness->allocation_devices_.erase(pointer);
  std::free(pointer);
  return g_harness->lost_error();
}

// The memory goes when the stream reaches the release: work queued ahead of
// it may still read it, work of other streams must be ordered before it.
int free_async(void *pointer, void *stream) {
  QZ_HARNESS_ENTER(free_async);
  if (!g_harness->memory_pools) return g_harness->set_error(kCudaErrorNotSupported);
  if (!pointer) return g_harness->lost_error();
  if (!g_harness->allocations_.count(pointer)) return g_harness->set_error(kCudaErrorInvalidValue);
  if (const int error = stream_submit(stream, [pointer] { release(pointer); })) return error;
  return g_harness->lost_error();
}

int free_sync(void *pointer) {
  QZ_HARNESS_ENTER(free);
  return release(pointer);
}

// A copy queued on a stream. Host memory is read when the copy is issued
// (as the runtime stages pageable memory) and written when it runs, after
// the held-back atomic additions it must see have landed.
int queue_copy(void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind, void *stream) {
  if (!size) return 0;
  if (kind == qz_cuda_emu::QZ_CUDA_HOST_TO_DEVICE) {
    auto staged = std::make_shared<std::vector<char>>(static_cast<const char *>(src),
                                                      static_cast<const char *>(src) + size);
    return stream_submit(stream, [=] {
      land_for_stream(stream);
      std::memcpy(dst, staged->data(), size);
    });
  }
  return stream_submit(stream, [=] {
    land_for_stream(stream);
    std::memmove(dst, src, size);
  });
}

// The synchronous copy runs on the default stream; the host waits for it
// when it reads device memory.
int copy(void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind) {
  QZ_HARNESS_CONTEXT(memcpy);
  if (const int error = queue_copy(dst, src, size, kind, nullptr)) return error;
  if (kind == qz_cuda_emu::QZ_CUDA_DEVICE_TO_HOST) stream_drain(nullptr);
  return 0;
}

int copy_async(void *dst, const void *src, size_t size, qz_cuda_copy_kind_t kind, void *stream) {
  QZ_HARNESS_CONTEXT(memcpy_async);
  return queue_copy(dst, src, size, kind, stream);
}

int copy_2d_async(void *dst, size_t dst_pitch, const void *src, size_t src_pitch, size_t width,
                  size_t height, qz_cuda_copy_kind_t, void *stream) {
  QZ_HARNESS_CONTEXT(memcpy_2d_async);
  if (width > dst_pitch || width > src_pitch) return g_harness->set_error(kCudaErrorInvalidValue);
  return stream_submit(stream, [=] {
    land_for_stream(stream);
    for (size_t r = 0; r < height; ++r)
      std::memmove(static_cast<char *>(dst) + r * dst_pitch,
                   static_cast<const char *>(src) + r * src_pitch, width);
  });
}

int fill_async(void *dst, int value, size_t size, void *stream) {
  QZ_HARNESS_CONTEXT(memset_async);
  if (!size) return 0;
  return stream_submit(stream, [=] {
    land_for_stream(stream);
    std::memset(dst, value, size);
  });
}

int fill_2d_async(void *dst, size_t pitch, int value, size_t width, size_t height, void *stream) {
  QZ_HARNESS_CONTEXT(memset_2d_async);
  if (width > pitch) return g_harness->set_error(kCudaErrorInvalidValue);
  return stream_submit(stream, [=] {
    land_for_stream(stream);
    for (size_t r = 0; r < height; ++r)
      std::memset(static_cast<char *>(dst) + r * pitch, value, width);
  });
}

struct launch_t {
  const void *kernel;
  qz_cuda_thunk_t thunk;
  void **args;
};

void run_thread(void *context) {
  auto *launch = static_cast<launch_t *>(context);
  launch->thunk->run(launch->kernel, launch->args);
}

// A launch's own copy of its arguments, kept until it has run.
struct kept_arguments {
  qz_cuda_thunk_t thunk;
  void **args;
  ~kept_arguments() { thunk->release(args); }
};

int launch_kernel(const void *kernel, qz_cuda_thunk_t thunk, qz_cuda_dim3_t grid,
                  qz_cuda_dim3_t block, void **args, size_t shared_bytes, void *stream) {
  QZ_HARNESS_CONTEXT(launch_kernel);
  g_harness->launch_streams_.push_back(stream);
  g_harness->launch_devices_.push_back(current_device());
  // A kernel given a misaligned operand faults instead of running, and the
  // context is lost for good.
  if (g_harness->misaligned_operands) return g_harness->set_error(kCudaErrorMisalignedAddress);
  if (!thunk || !kernel) return g_harness->set_error(kCudaErrorInvalidDeviceFunction);
  const qz_cuda_device_prop_t &p = g_harness->prop;
  const uint64_t threads = uint64_t{block.x} * block.y * block.z;
  const bool valid =
      grid.x >= 1 && grid.y >= 1 && grid.z >= 1 &&
      grid.x <= static_cast<uint32_t>(p.max_grid_size[0]) &&
      grid.y <= static_cast<uint32_t>(p.max_grid_size[1]) &&
      grid.z <= static_cast<uint32_t>(p.max_grid_size[2]) && block.x >= 1 && block.y >= 1 &&
      block.z >= 1 && block.x <= static_cast<uint32_t>(p.max_threads_dim[0]) &&
      block.y <= static_cast<uint32_t>(p.max_threads_dim[1]) &&
      block.z <= static_cast<uint32_t>(p.max_threads_dim[2]) &&
      threads <= static_cast<uint64_t>(p.max_threads_per_block) &&
      shared_bytes <= p.shared_mem_per_block;
  if (!valid) return g_harness->set_error(kCudaErrorInvalidConfiguration);
  std::shared_ptr<kept_arguments> kept(new kept_arguments{thunk, thunk->copy(args)});
  const schedule order = g_harness->order;
  return stream_submit(stream, [=] {
    land_for_stream(stream);
    launch_t launch{kernel, thunk, kept->args};
    g_harness->running_stream_ = stream;
    run_grid({grid.x, grid.y, grid.z}, {block.x, block.y, block.z}, order, run_thread, &launch,
             shared_bytes);
  });
}

int get_last_error() {
  if (const int lost = g_harness->lost_error()) return lost;
  const int error = g_harness->last_error;
  g_harness->last_error = 0;
  return error;
}

const qz_cuda_emu::qz_ypu_cuda_runtime_t HARNESS_RUNTIME = {
    .get_device_count = get_device_count,
    .get_device_properties = get_device_properties,
    .set_device = set_device,
    .get_device = get_device,
    .stream_create = stream_create,
    .stream_destroy = stream_destroy,
    .driver_get_version = driver_get_version,
    .runtime_get_version = runtime_get_version,
    .malloc_async = malloc_async,
    .free_async = free_async,
    .memcpy = copy,
    .memcpy_async = copy_async,
    .memcpy_2d_async = copy_2d_async,
    .memset_async = fill_async,
    .memset_2d_async = fill_2d_async,
    .launch_kernel = launch_kernel,
    .get_last_error = get_last_error,
    .get_error_string = cuda_error_text,
    .malloc = malloc_sync,
    .free = free_sync,
    .device_get_attribute = device_get_attribute,
    .event_create = event_create,
    .event_destroy = event_destroy,
    .event_record = event_record,
    .stream_wait_event = stream_wait_event,
    .stream_synchronize = stream_synchronize,
};

}  // namespace

bool defer_float_add(float *address, float value) {
  if (!g_harness || g_harness->order != schedule::shuffled) return false;
  g_harness->pending_adds_.push_back({address, value, g_harness->running_stream_});
  return true;
}

template <class Keep>
void cuda_harness::land_adds(Keep keep) {
  std::vector<pending_add> landing, kept;
  for (const pending_add &a : pending_adds_) (keep(a) ? kept : landing).push_back(a);
  if (landing.empty()) return;
  shuffle_items(landing.data(), landing.size(), shuffle_state_);
  for (const pending_add &a : landing) *a.address += a.value;
  pending_adds_.swap(kept);
}

cuda_harness &active_harness() {
  if (!g_harness) {
    std::fprintf(stderr, "gpu harness: no cuda_harness is active\n");
    std::abort();
  }
  return *g_harness;
}

const char *cuda_error_text(int error) {
  switch (error) {
    case 0: return "no error";
    case kCudaErrorInvalidValue: return "invalid argument";
    case kCudaErrorMemoryAllocation: return "out of memory";
    case kCudaErrorInvalidConfiguration: return "invalid configuration argument";
    case kCudaErrorInsufficientDriver:
      return "CUDA driver version is insufficient for CUDA runtime version";
    case kCudaErrorInvalidDeviceFunction: return "invalid device function";
    case 101: return "invalid device ordinal";
    case kCudaErrorNoKernelImage: return "no kernel image is available for execution on the device";
    case 226: return "Invalid access of peer GPU memory over nvlink or a hardware error";
    case 700: return "an illegal memory access was encountered";
    case 702: return "the launch timed out and was terminated";
    case 710: return "device-side assert triggered";
    case 714: return "hardware stack error";
    case 715: return "an illegal instruction was encountered";
    case kCudaErrorMisalignedAddress: return "misaligned address";
    case 717: return "operation not supported on global/shared address space";
    case 718: return "invalid program counter";
    case 719: return "unspecified launch failure";
    case 721: return "tensor memory not completely freed";
    case 810: return "the MPS client has been terminated by the server";
    // Spelt as the runtime spells it.
    case 911: return "an async error has occured in external entity outside of CUDA";
    case kCudaErrorInvalidResourceHandle: return "invalid resource handle";
    case kCudaErrorNotSupported: return "operation not supported";
    default: return "unrecognized error code";
  }
}

cuda_harness::cuda_harness() {
  std::memset(&prop, 0, sizeof prop);
  std::snprintf(prop.name, sizeof prop.name, "Harness GPU");
  prop.major = 7;
  prop.minor = 5;
  prop.warp_size = 32;
  prop.total_global_mem = uint64_t{16} << 30;
  prop.multiprocessor_count = 40;
  prop.max_threads_per_multiprocessor = 1024;
  prop.max_threads_per_block = 1024;
  prop.shared_mem_per_block = 48 * 1024;
  prop.shared_mem_per_multiprocessor = 64 * 1024;
  prop.max_threads_dim[0] = 1024;
  prop.max_threads_dim[1] = 1024;
  prop.max_threads_dim[2] = 64;
  prop.max_grid_size[0] = 2147483647;
  prop.max_grid_size[1] = 65535;
  prop.max_grid_size[2] = 65535;
  g_harness = this;
  set_current_device(0);
  qz_cuda_emu::qz_ypu_cuda_runtime_install(&HARNESS_RUNTIME);
}

cuda_harness::~cuda_harness() {
  streams_reset();
  for (auto &[pointer, size] : allocations_) std::free(const_cast<void *>(pointer));
  qz_cuda_emu::qz_ypu_cuda_runtime_install(nullptr);
  g_harness = nullptr;
}

void cuda_harness::fail(cuda_call call, int after, int error) {
  faults_[static_cast<int>(call)] = {after, error};
}

int cuda_harness::enter(cuda_call call) {
  const int i = static_cast<int>(call);
  ++calls_[i];
  fault &f = faults_[i];
  if (f.after < 0) return 0;
  if (f.after-- > 0) return 0;
  f.after = -1;
  return f.error;
}

int cuda_harness::set_error(int error) {
  last_error = error;
  if (qz_cuda_emu::qz_cuda_error_loses_context(error)) lost_[current_device()] = error;
  return error;
}

int cuda_harness::lost_error() const {
  const auto it = lost_.find(current_device());
  return it == lost_.end() ? 0 : it->second;
}

void cuda_harness::reset_device() {
  lost_.erase(current_device());
  last_error = 0;
}

size_t cuda_harness::allocation_size(const void *pointer) const {
  const auto it = allocations_.find(pointer);
  return it == allocations_.end() ? 0 : it->second;
}

}  // namespace qz_gpu_harness
