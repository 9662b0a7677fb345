// The CUDA device, its buffers and its device list, on the harness runtime
// with failures injected into each runtime call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "gpu_harness/cuda_harness.h"
#include "support/error_stack.h"

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::cuda_harness;
using namespace qz_cuda_emu;

const std::string kCommunicate = "0633a7d 00000334: Failed to communicate with device.";
const std::string kIncompatible =
    "0633a7d 00000337: Selected GPU device is incompatible with the library.";
const std::string kOutOfRange =
    "0633a7d 00000335: GPU device index `1` is out of range. Found `1` available GPU devices.";
const std::string kDriver =
    "0633a7d 00000336: GPU device drivers are incompatible (device error: no kernel image is "
    "available for execution on the device). Refer to docs to find the appropriate version for "
    "updating.";
const std::string kNoDriver =
    "0633a7d 00000338: No CUDA driver or GPU was found (error 35: CUDA driver version is "
    "insufficient for CUDA runtime version).";
const std::string kStream = "0633a7d 0000033D: Failed to create gpu stream.";
const std::string kAlloc = "0633a7d 00000339: Failed to alloc memory.";
const std::string kToDevice = "0633a7d 0000033A: Failed to copy memory to device.";
const std::string kFromDevice = "0633a7d 0000033B: Failed to copy memory from device.";

TEST(CudaDevice, OpenTakesPropertiesAndEightStreams) {
  cuda_harness runtime;
  runtime.device_count = 3;
  qz_ypu_cuda_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cuda_device_open_at(2, &device), QZ_STATUS_SUCCESS);
  EXPECT_TRUE(take_error_stack().empty());
  EXPECT_EQ(device->device, 2);
  EXPECT_EQ(runtime.live_streams(), QZ_YPU_CUDA_STREAM_COUNT);
  EXPECT_EQ(runtime.calls(cuda_call::launch_kernel), 1) << "the compatibility kernel";
  const qz_ypu_cuda_device_properties_t &p = *device->properties;
  EXPECT_EQ(p.query_error, nullptr);
  EXPECT_EQ(p.major, 7);
  EXPECT_EQ(p.minor, 5);
  EXPECT_EQ(p.driver_version, 13000);
  EXPECT_EQ(p.runtime_version, 13000);
  EXPECT_EQ(qz_ypu_cuda_multiprocessor_count(device), 40);
  EXPECT_EQ(qz_ypu_cuda_shared_mem_per_block(device), 48 * 1024);
  EXPECT_EQ(qz_ypu_cuda_shared_mem_per_multiprocessor(device), 64 * 1024);
  EXPECT_EQ(qz_ypu_cuda_max_block_dim_x(device), 1024);
  EXPECT_EQ(qz_ypu_cuda_max_block_dim_y(device), 1024);
  EXPECT_EQ(qz_ypu_cuda_max_block_dim_z(device), 64);
  EXPECT_EQ(qz_ypu_cuda_max_grid_dim_x(device), 2147483647);
  EXPECT_EQ(qz_ypu_cuda_max_grid_dim_y(device), 65535);
  EXPECT_EQ(qz_ypu_cuda_max_grid_dim_z(device), 65535);
  qz_ypu_cuda_device_release(device);
  EXPECT_EQ(runtime.live_streams(), 0);
  qz_ypu_cuda_device_release(nullptr);
}

TEST(CudaDevice, VersionQueryFailuresAreRecordedNotReported) {
  cuda_harness runtime;
  runtime.fail(cuda_call::driver_get_version, 0, qz_gpu_harness::kCudaErrorInsufficientDriver);
  qz_ypu_cuda_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cuda_device_open_at(0, &device), QZ_STATUS_SUCCESS);
  EXPECT_STREQ(device->properties->driver_version_error,
               "CUDA driver version is insufficient for CUDA runtime version");
  EXPECT_EQ(device->properties->runtime_version_error, nullptr);
  EXPECT_TRUE(take_error_stack().empty());
  qz_ypu_cuda_device_release(device);
}

// Every failing step of the open: its status and message, the out-parameter
// untouched, nothing left allocated, and the runtime's sticky error cleared.
TEST(CudaDevice, OpenFailsCleanlyAtEveryStep) {
  struct step {
    const char *name;
    void (*setup)(cuda_harness &);
    int32_t index;
    qz_status_t status;
    std::string message;
    std::string explanation = {};  // a second message, when there is one
  } steps[] = {
      {"device count", [](cuda_harness &r) { r.fail(cuda_call::get_device_count, 0, 35); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kCommunicate, kNoDriver},
      {"index past the count", [](cuda_harness &) {}, 1, QZ_STATUS_INVALID_ARGUMENT, kOutOfRange},
      {"no device at all",
       [](cuda_harness &r) { r.device_count = 0; },
       0,
       QZ_STATUS_INVALID_ARGUMENT,
       "0633a7d 00000335: GPU device index `0` is out of range. Found `0` available GPU "
       "devices."},
      {"negative index", [](cuda_harness &) {}, -1, QZ_STATUS_RUNTIME_ERROR, kCommunicate},
      {"set device", [](cuda_harness &r) { r.fail(cuda_call::set_device); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kCommunicate},
      {"get device", [](cuda_harness &r) { r.fail(cuda_call::get_device); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kCommunicate},
      {"compatibility kernel",
       [](cuda_harness &r) {
         r.fail(cuda_call::launch_kernel, 0, qz_gpu_harness::kCudaErrorNoKernelImage);
       },
       0, QZ_STATUS_RUNTIME_ERROR, kDriver},
      {"properties query", [](cuda_harness &r) { r.fail(cuda_call::get_device_properties); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kIncompatible},
      {"warp of 64", [](cuda_harness &r) { r.prop.warp_size = 64; }, 0, QZ_STATUS_RUNTIME_ERROR,
       kIncompatible},
      {"grid of 65534", [](cuda_harness &r) { r.prop.max_grid_size[0] = 65534; }, 0,
       QZ_STATUS_RUNTIME_ERROR, kIncompatible},
      {"first stream", [](cuda_harness &r) { r.fail(cuda_call::stream_create, 0); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kStream},
      {"sixth stream", [](cuda_harness &r) { r.fail(cuda_call::stream_create, 5); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kStream},
      {"first event", [](cuda_harness &r) { r.fail(cuda_call::event_create, 0); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kStream},
      {"last event", [](cuda_harness &r) { r.fail(cuda_call::event_create, 8); }, 0,
       QZ_STATUS_RUNTIME_ERROR, kStream},
  };
  for (const step &s : steps) {
    SCOPED_TRACE(s.name);
    cuda_harness runtime;
    s.setup(runtime);
    auto *sentinel = reinterpret_cast<qz_ypu_cuda_device_t *>(0x1234);
    qz_ypu_cuda_device_t *device = sentinel;
    EXPECT_EQ(qz_ypu_cuda_device_open_at(s.index, &device), s.status);
    EXPECT_EQ(device, sentinel);
    std::vector<std::string> expected{s.message};
    if (!s.explanation.empty()) expected.push_back(s.explanation);
    EXPECT_EQ(take_error_stack(), expected);
    EXPECT_EQ(runtime.live_streams(), 0);
    EXPECT_EQ(runtime.last_error, 0) << "the sticky error is read and cleared";
  }
}

// The stream-ordered allocator where the device has it; plain allocations
// where it does not (or the runtime cannot say), released only after the
// default stream's work, which may still read them.
TEST(CudaDevice, MemoryPoolsOrPlainAllocations) {
  struct variant {
    const char *name;
    bool pools;
    bool query_fails;
  };
  for (const variant v : {variant{"pools", true, false}, {"no pools", false, false},
                          {"query fails", true, true}}) {
    SCOPED_TRACE(v.name);
    cuda_harness runtime;
    runtime.memory_pools = v.pools && !v.query_fails;
    if (v.query_fails)
      runtime.fail(cuda_call::device_get_attribute, 0, qz_gpu_harness::kCudaErrorInvalidValue);
    qz_ypu_cuda_device_t *device = nullptr;
    ASSERT_EQ(qz_ypu_cuda_device_open_at(0, &device), QZ_STATUS_SUCCESS);
    EXPECT_TRUE(take_error_stack().empty());
    EXPECT_EQ(runtime.last_error, 0);
    const bool pools = v.pools && !v.query_fails;
    EXPECT_EQ(device->memory_pools, pools);
    qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device, 16, 0);
    ASSERT_NE(b, nullptr);
    const int syncs = runtime.calls(cuda_call::stream_synchronize);
    qz_ypu_cuda_buffer_free(device, b);
    EXPECT_EQ(runtime.calls(cuda_call::malloc_async), pools ? 1 : 0);
    EXPECT_EQ(runtime.calls(cuda_call::malloc), pools ? 0 : 1);
    EXPECT_EQ(runtime.calls(cuda_call::free), pools ? 0 : 1);
    EXPECT_EQ(runtime.calls(cuda_call::stream_synchronize) - syncs, pools ? 0 : 1);
    EXPECT_EQ(runtime.live_allocations(), 0);
    qz_ypu_cuda_device_release(device);
  }
}

TEST(CudaDevice, AcceptsTheSmallestGrid) {
  cuda_harness runtime;
  runtime.prop.max_grid_size[0] = 65535;
  qz_ypu_cuda_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cuda_device_open_at(0, &device), QZ_STATUS_SUCCESS);
  qz_ypu_cuda_device_release(device);
}

TEST(CudaDeviceList, LinesPerDevice) {
  for (int devices : {0, 1, 2}) {
    cuda_harness runtime;
    runtime.device_count = devices;
    char **list = nullptr;
    int32_t count = -1;
    ASSERT_EQ(qz_ypu_cuda_device_list(&list, &count), QZ_STATUS_SUCCESS);
    ASSERT_EQ(count, devices);
    for (int i = 0; i < devices; ++i)
      EXPECT_EQ(std::string(list[i]), "gpu:" + std::to_string(i) + " - Harness GPU " +
                                          std::to_string(i));
    EXPECT_TRUE(take_error_stack().empty());
    qz_ypu_cuda_device_list_free(list, count);
  }
  qz_ypu_cuda_device_list_free(nullptr, 4);
}

// No driver is no failure: the list is empty and, as after any success, the
// thread's messages are those it held before (here an earlier chain, still
// to be read).
TEST(CudaDeviceList, NoDriverGivesAnEmptyListAndLeavesTheStackAlone) {
  cuda_harness runtime;
  runtime.fail(cuda_call::get_device_count, 0, qz_gpu_harness::kCudaErrorInsufficientDriver);
  qz_error_site("1234567");
  char **list = reinterpret_cast<char **>(0x1);
  int32_t count = -1;
  EXPECT_EQ(qz_ypu_cuda_device_list(&list, &count), QZ_STATUS_SUCCESS);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{site_message("1234567")});
  EXPECT_EQ(runtime.last_error, 0);
}

TEST(CudaDeviceList, FailedPropertiesFreeTheLinesMade) {
  cuda_harness runtime;
  runtime.device_count = 3;
  runtime.fail(cuda_call::get_device_properties, 2);
  char **list = nullptr;
  int32_t count = -1;
  EXPECT_EQ(qz_ypu_cuda_device_list(&list, &count), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kCommunicate});
}

class CudaBuffers : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(qz_ypu_cuda_device_open_at(0, &device_), QZ_STATUS_SUCCESS); }
  void TearDown() override {
    qz_ypu_cuda_device_release(device_);
    EXPECT_EQ(runtime_.live_allocations(), 0);
  }
  qz_ypu_cuda_buffer_t *raw(qz_ypu_buffer_t *b) {
    return reinterpret_cast<qz_ypu_cuda_buffer_t *>(b);
  }
  std::vector<unsigned char> device_bytes(qz_ypu_buffer_t *b) {
    const qz_ypu_cuda_buffer_t *r = raw(b);
    const auto *p = static_cast<const unsigned char *>(r->device_ptr);
    return {p, p + r->size};
  }

  cuda_harness runtime_;
  qz_ypu_cuda_device_t *device_ = nullptr;
};

TEST_F(CudaBuffers, CreateRecordsSizeAndFlags) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 40, 7);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(qz_ypu_cuda_buffer_size(device_, b), 40);
  EXPECT_EQ(raw(b)->flags, 7);
  EXPECT_EQ(raw(b)->map_count, 0);
  EXPECT_EQ(raw(b)->host_copy, nullptr);
  EXPECT_EQ(runtime_.allocation_size(raw(b)->device_ptr), 40u);
  qz_ypu_cuda_buffer_free(device_, b);
  qz_ypu_cuda_buffer_free(device_, nullptr);
}

TEST_F(CudaBuffers, FailedAllocationReturnsNull) {
  runtime_.fail(cuda_call::malloc_async);
  EXPECT_EQ(qz_ypu_cuda_buffer_create(device_, 40, 0), nullptr);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kAlloc});
  EXPECT_EQ(runtime_.last_error, 0);
}

TEST_F(CudaBuffers, UploadAndDownloadTouchExactlyTheirRange) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 16, 0);
  const std::vector<unsigned char> zeros(16, 0);
  ASSERT_EQ(qz_ypu_cuda_buffer_upload(device_, b, zeros.data(), 0, 16), QZ_STATUS_SUCCESS);
  const unsigned char data[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(qz_ypu_cuda_buffer_upload(device_, b, data, 6, 5), QZ_STATUS_SUCCESS);
  EXPECT_EQ(device_bytes(b),
            (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0}));
  unsigned char back[7] = {9, 9, 9, 9, 9, 9, 9};
  ASSERT_EQ(qz_ypu_cuda_buffer_download(device_, b, back + 1, 6, 5), QZ_STATUS_SUCCESS);
  EXPECT_EQ(std::vector<unsigned char>(back, back + 7),
            (std::vector<unsigned char>{9, 1, 2, 3, 4, 5, 9}));
  qz_ypu_cuda_buffer_free(device_, b);
}

TEST_F(CudaBuffers, RangesOutsideTheBufferAreRefused) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 16, 0);
  unsigned char data[32] = {};
  const std::string invalid = "0633a7d 00000065: Argument `length` is invalid.";
  struct {
    int32_t offset, length;
  } ranges[] = {{-1, 4}, {0, 17}, {13, 4}, {4, -1}, {2147483647, 1}};
  for (const auto &r : ranges) {
    SCOPED_TRACE(std::to_string(r.offset) + "+" + std::to_string(r.length));
    EXPECT_EQ(qz_ypu_cuda_buffer_upload(device_, b, data, r.offset, r.length),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(qz_ypu_cuda_buffer_download(device_, b, data, r.offset, r.length),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{invalid, invalid}));
  }
  EXPECT_EQ(runtime_.calls(cuda_call::memcpy), 0);
  qz_ypu_cuda_buffer_free(device_, b);
}

TEST_F(CudaBuffers, CopyFailuresReportTheirDirection) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 8, 0);
  unsigned char data[8] = {};
  runtime_.fail(cuda_call::memcpy);
  EXPECT_EQ(qz_ypu_cuda_buffer_upload(device_, b, data, 0, 8), QZ_STATUS_RUNTIME_ERROR);
  runtime_.fail(cuda_call::memcpy);
  EXPECT_EQ(qz_ypu_cuda_buffer_download(device_, b, data, 0, 8), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kToDevice, kFromDevice}));
  EXPECT_EQ(runtime_.last_error, 0);
  qz_ypu_cuda_buffer_free(device_, b);
}

TEST_F(CudaBuffers, MapAndUnmapKeepANestedMirror) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 4, 0);
  const unsigned char initial[4] = {1, 2, 3, 4};
  ASSERT_EQ(qz_ypu_cuda_buffer_upload(device_, b, initial, 0, 4), QZ_STATUS_SUCCESS);

  // Written and unmapped with mode 0: the device keeps its contents.
  auto *m = static_cast<unsigned char *>(qz_ypu_cuda_buffer_map(device_, b, 0));
  ASSERT_NE(m, nullptr);
  m[0] = 50;
  qz_ypu_cuda_buffer_unmap(device_, b, 0);
  EXPECT_EQ(device_bytes(b), (std::vector<unsigned char>{1, 2, 3, 4}));
  EXPECT_EQ(raw(b)->host_copy, nullptr);

  // Fetched, written and unmapped with mode 1: the device takes the writes.
  m = static_cast<unsigned char *>(qz_ypu_cuda_buffer_map(device_, b, 1));
  EXPECT_EQ(std::vector<unsigned char>(m, m + 4), (std::vector<unsigned char>{1, 2, 3, 4}));
  m[1] = 60;
  // A nested map hands out the same mirror; a fetching one refreshes it.
  auto *again = static_cast<unsigned char *>(qz_ypu_cuda_buffer_map(device_, b, 0x100));
  EXPECT_EQ(again, m);
  EXPECT_EQ(m[1], 60) << "mode is tested on its low byte";
  EXPECT_EQ(raw(b)->map_count, 2);
  qz_ypu_cuda_buffer_unmap(device_, b, 1);
  EXPECT_EQ(raw(b)->map_count, 1);
  EXPECT_EQ(raw(b)->host_copy, m);
  EXPECT_EQ(device_bytes(b), (std::vector<unsigned char>{1, 60, 3, 4}));
  m[2] = 70;
  ASSERT_EQ(qz_ypu_cuda_buffer_map(device_, b, 1), m);
  EXPECT_EQ(m[2], 3) << "a fetching map overwrites the mirror while mapped";
  qz_ypu_cuda_buffer_unmap(device_, b, 0);
  qz_ypu_cuda_buffer_unmap(device_, b, 0);
  EXPECT_EQ(raw(b)->map_count, 0);
  EXPECT_EQ(raw(b)->host_copy, nullptr);
  qz_ypu_cuda_buffer_free(device_, b);
}

TEST_F(CudaBuffers, FailedCopiesOfMapAndUnmap) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 4, 0);
  runtime_.fail(cuda_call::memcpy);
  EXPECT_EQ(qz_ypu_cuda_buffer_map(device_, b, 1), nullptr);
  EXPECT_EQ(raw(b)->map_count, 1) << "a failed fetch leaves the buffer mapped";
  runtime_.fail(cuda_call::memcpy);
  qz_ypu_cuda_buffer_unmap(device_, b, 1);
  EXPECT_EQ(raw(b)->map_count, 0);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kFromDevice, kToDevice}));
  qz_ypu_cuda_buffer_free(device_, b);
}

TEST_F(CudaBuffers, FreeWhileMappedReleasesTheMirror) {
  qz_ypu_buffer_t *b = qz_ypu_cuda_buffer_create(device_, 64, 0);
  ASSERT_NE(qz_ypu_cuda_buffer_map(device_, b, 0), nullptr);
  ASSERT_NE(qz_ypu_cuda_buffer_map(device_, b, 0), nullptr);
  qz_ypu_cuda_buffer_free(device_, b);  // LeakSanitizer sees the mirror otherwise
}

TEST_F(CudaBuffers, HostAllocation) {
  void *p = qz_ypu_cuda_host_alloc(device_, 100);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 100);
  qz_ypu_cuda_host_free(device_, p);
  EXPECT_EQ(qz_ypu_cuda_host_alloc(device_, -1), nullptr);
}

}  // namespace
