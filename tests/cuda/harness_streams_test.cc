// The GPU harness's devices, streams and events: work on a lazy stream
// happens only once something needs it, events order one stream after
// another, streams and allocations belong to a device, and the
// stream-ordered allocator can be missing.
#include <gtest/gtest.h>

#include <vector>

#include "gpu_harness/cuda_harness.h"
#include "ypu/cuda/kernel.h"

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::cuda_harness;

QZ_CUDA_KERNEL void copy_one(int *out, const int *in) { *out = *in + 1; }

const qz_cuda_emu::qz_ypu_cuda_runtime_t &rt() { return *qz_cuda_emu::qz_ypu_cuda_runtime(); }

struct stream_fixture {
  cuda_harness runtime;
  void *stream = nullptr;
  void *event = nullptr;
  int *memory = nullptr;  // [0]: the producer's output, [1]: the consumer's
  stream_fixture(bool lazy_default, bool lazy_streams) {
    runtime.lazy_default_stream = lazy_default;
    runtime.lazy_streams = lazy_streams;
    rt().stream_create(&stream);
    rt().event_create(&event);
    void *p = nullptr;
    rt().malloc_async(&p, 8, nullptr);
    memory = static_cast<int *>(p);
  }
  ~stream_fixture() {
    rt().free_async(memory, nullptr);
    rt().event_destroy(event);
    rt().stream_destroy(stream);
  }
  int read(int i) {
    int value = 0;
    rt().memcpy(&value, memory + i, 4, qz_cuda_emu::QZ_CUDA_DEVICE_TO_HOST);
    return value;
  }
};

// A lazy stream's launch has not run when the default stream reads; a wait
// on an event recorded after it makes the read see it.
TEST(GpuHarnessStreams, LazyStreamRunsOnlyWhenWaitedFor) {
  for (const bool wait : {false, true}) {
    SCOPED_TRACE(wait);
    stream_fixture f(false, true);
    const int seven = 7;
    rt().memcpy(f.memory, &seven, 4, qz_cuda_emu::QZ_CUDA_HOST_TO_DEVICE);
    rt().stream_wait_event(f.stream, f.event);  // never recorded: no wait
    qz_cuda_emu::qz_cuda_launch_on(copy_one, {1}, {1}, 0, f.stream, f.memory + 1,
                                   static_cast<const int *>(f.memory));
    if (wait) {
      rt().event_record(f.event, f.stream);
      rt().stream_wait_event(nullptr, f.event);
    }
    EXPECT_EQ(f.read(1), wait ? 8 : -1);  // new memory holds 0xFF bytes
    rt().stream_synchronize(f.stream);
    EXPECT_EQ(f.read(1), 8);
  }
}

// The other way: the default stream lags, so a stream that reads what the
// default stream wrote sees it only after waiting for it. Uploads are
// default-stream work too.
TEST(GpuHarnessStreams, ConsumerWaitsForTheDefaultStream) {
  for (const bool wait : {false, true}) {
    SCOPED_TRACE(wait);
    stream_fixture f(true, false);
    const int seven = 7;
    rt().memcpy(f.memory, &seven, 4, qz_cuda_emu::QZ_CUDA_HOST_TO_DEVICE);
    if (wait) {
      rt().event_record(f.event, nullptr);
      rt().stream_wait_event(f.stream, f.event);
    }
    qz_cuda_emu::qz_cuda_launch_on(copy_one, {1}, {1}, 0, f.stream, f.memory + 1,
                                   static_cast<const int *>(f.memory));
    rt().event_record(f.event, f.stream);
    rt().stream_wait_event(nullptr, f.event);
    EXPECT_EQ(f.read(1), wait ? 8 : 0);  // 0: the junk byte pattern plus one
  }
}

// Streams belong to the device current at their creation, allocations and
// launches to the device current when made; another device's stream is
// refused, as the runtime refuses it.
TEST(GpuHarnessStreams, DevicesOwnTheirStreamsAndMemory) {
  cuda_harness runtime;
  runtime.device_count = 2;
  ASSERT_EQ(rt().set_device(1), 0);
  void *stream = nullptr, *p = nullptr;
  ASSERT_EQ(rt().stream_create(&stream), 0);
  ASSERT_EQ(rt().malloc_async(&p, 4, stream), 0);
  EXPECT_EQ(runtime.allocation_device(p), 1);
  int *out = static_cast<int *>(p);
  qz_cuda_emu::qz_cuda_launch_on(copy_one, {1}, {1}, 0, stream, out, static_cast<const int *>(out));
  EXPECT_EQ(rt().get_last_error(), 0);
  ASSERT_EQ(rt().set_device(0), 0);
  qz_cuda_emu::qz_cuda_launch_on(copy_one, {1}, {1}, 0, stream, out, static_cast<const int *>(out));
  EXPECT_EQ(rt().get_last_error(), qz_gpu_harness::kCudaErrorInvalidResourceHandle);
  EXPECT_EQ(rt().memset_async(p, 0, 4, stream), qz_gpu_harness::kCudaErrorInvalidResourceHandle);
  rt().get_last_error();
  qz_cuda_emu::qz_cuda_launch(copy_one, {1}, {1}, out, static_cast<const int *>(out));
  EXPECT_EQ(runtime.launch_devices(), (std::vector<int>{1, 0, 0}));
  ASSERT_EQ(rt().set_device(1), 0);
  EXPECT_EQ(rt().free_async(p, stream), 0);
  EXPECT_EQ(rt().stream_destroy(stream), 0);
  EXPECT_EQ(runtime.live_allocations(), 0);
}

// Without memory pools the stream-ordered allocator is refused; the
// attribute says so.
TEST(GpuHarnessStreams, MemoryPoolSwitch) {
  for (const bool pools : {true, false}) {
    cuda_harness runtime;
    runtime.memory_pools = pools;
    int supported = -1;
    ASSERT_EQ(rt().device_get_attribute(
                  &supported, qz_cuda_emu::QZ_CUDA_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, 0),
              0);
    EXPECT_EQ(supported, pools ? 1 : 0);
    void *p = nullptr;
    EXPECT_EQ(rt().malloc_async(&p, 4, nullptr),
              pools ? 0 : qz_gpu_harness::kCudaErrorNotSupported);
    EXPECT_EQ(rt().get_last_error(), pools ? 0 : qz_gpu_harness::kCudaErrorNotSupported);
    if (pools) {
      EXPECT_EQ(rt().free_async(p, nullptr), 0);
    }
  }
}

}  // namespace
