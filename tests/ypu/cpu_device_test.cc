#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/sysinfo.h>
#endif

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "support/error_stack.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/frame.h"

namespace {

// The processors the system has, asked directly.
int system_processor_count() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<int>(info.dwNumberOfProcessors);
#else
  return get_nprocs_conf();
#endif
}

TEST(CpuIsa, FlagsFromCpuidWords) {
  constexpr uint32_t fma = 1u << 12, sse41 = 1u << 19, osxsave = 1u << 27, avx = 1u << 28;
  constexpr uint32_t avx2 = 1u << 5, avx512f = 1u << 16;
  constexpr uint64_t ymm = 0x6, zmm = 0xE6;
  struct {
    qz_ypu_cpuid_t cpuid;
    uint32_t flags;
  } cases[] = {
      {{0, ~0u, ~0u, ~0ull}, 0x0},
      {{1, sse41, 0, 0}, 0x1},
      {{13, sse41 | avx | fma | osxsave, avx2 | avx512f, zmm}, 0xF},
      // Leaf 7 is read only above a maximum leaf of 6.
      {{6, sse41 | avx | fma | osxsave, avx2 | avx512f, zmm}, 0x3},
      // Each bit on its own.
      {{7, osxsave | fma, avx2, ymm}, 0x4},
      // AVX2 kernels need fused multiply-add.
      {{7, osxsave, avx2, ymm}, 0x0},
      {{7, osxsave, avx512f, zmm}, 0x8},
      // The OS has not enabled the wide registers: the sets cannot be used.
      {{13, sse41 | avx | fma, avx2 | avx512f, zmm}, 0x1},
      {{13, sse41 | avx | fma | osxsave, avx2 | avx512f, 0x2}, 0x1},
      {{13, sse41 | avx | fma | osxsave, avx2 | avx512f, ymm}, 0x7},
      {{13, sse41 | avx | fma | osxsave, avx2 | avx512f, 0x66}, 0x7},
  };
  for (const auto &c : cases)
    EXPECT_EQ(qz_ypu_cpu_isa_from_cpuid(c.cpuid), c.flags)
        << "max leaf " << c.cpuid.max_leaf << " ecx " << std::hex << c.cpuid.leaf1_ecx;
}

TEST(CpuIsa, ThisMachineReportsConsistentFlags) {
  const uint32_t flags = qz_ypu_cpu_detect_isa();
  EXPECT_EQ(flags & ~QZ_YPU_CPU_ISA_BUILT, 0u);
#if defined(__x86_64__)
  EXPECT_EQ(static_cast<bool>(flags & QZ_YPU_CPU_ISA_SSE41), !!__builtin_cpu_supports("sse4.1"));
  EXPECT_EQ(static_cast<bool>(flags & QZ_YPU_CPU_ISA_AVX2), !!__builtin_cpu_supports("avx2"));
  EXPECT_EQ(static_cast<bool>(flags & QZ_YPU_CPU_ISA_AVX512F), !!__builtin_cpu_supports("avx512f"));
#endif
}

// Linux's hardware capability word to the Windows build's ARM64 bits: NEON,
// then dot product and half precision together, only when both are there.
TEST(CpuIsa, FlagsFromHwcapWord) {
  constexpr uint64_t asimd = 1u << 1, asimdhp = 1u << 10, asimddp = 1u << 20;
  const struct {
    uint64_t hwcap;
    uint32_t flags;
  } cases[] = {
      {0, 0x0},
      {asimd, 0x20},
      {asimd | asimddp, 0x20},
      {asimd | asimdhp, 0x20},
      {asimd | asimddp | asimdhp, 0xE0},
      {asimddp | asimdhp, 0x0},
      {~0ull, 0xE0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(qz_ypu_cpu_isa_from_hwcap(c.hwcap), c.flags) << std::hex << c.hwcap;
}

TEST(CpuDevice, PoolOnlyAboveOneThread) {
  for (int32_t n : {1, 2, 4}) {
    qz_ypu_cpu_device_t *device = nullptr;
    ASSERT_EQ(qz_ypu_cpu_device_open(n, &device), QZ_STATUS_SUCCESS);
    EXPECT_EQ(device->threads, n);
    // The pool never has more threads than the process may run on, where
    // the system can tell (Windows cannot: there the pool has them all).
    const int32_t usable =
        QZ_YPU_CPU_SYSTEM.usable_processor_count ? qz_ypu_cpu_usable_processor_count() : n;
    const int32_t pool_threads = n < usable ? n : usable;
    EXPECT_EQ(device->pool != nullptr, pool_threads > 1);
    if (device->pool) {
      EXPECT_EQ(pthreadpool_get_threads_count(device->pool), size_t(pool_threads));
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(device) % 32, 0u);
    qz_ypu_cpu_device_close(device);
  }
  qz_ypu_cpu_device_close(nullptr);
}

// The default count is half the processors of the affinity mask, so a
// process confined to a few cores does not start a thread per machine core.
TEST(CpuDevice, DefaultThreadsFollowTheAffinityMask) {
  const int32_t usable = qz_ypu_cpu_usable_processor_count();
  EXPECT_GE(usable, 1);
  EXPECT_LE(usable, qz_ypu_cpu_processor_count());
  qz_ypu_cpu_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cpu_device_open(0, &device), QZ_STATUS_SUCCESS);
  EXPECT_EQ(device->threads, usable / 2 >= 1 ? usable / 2 : 1);
  qz_ypu_cpu_device_close(device);
}

TEST(CpuDevice, BuffersCopyMapAndFree) {
  qz_ypu_buffer_t *buffer = qz_ypu_cpu_buffer_create(nullptr, 100, 0);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(qz_ypu_cpu_buffer_size(nullptr, buffer), 100);
  auto data = static_cast<unsigned char *>(qz_ypu_cpu_buffer_map(nullptr, buffer, 0));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 32, 0u);
  EXPECT_EQ(qz_ypu_cpu_buffer_map(nullptr, buffer, 1), data);
  qz_ypu_cpu_buffer_unmap(nullptr, buffer, 1);

  const unsigned char in[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  unsigned char out[10] = {};
  EXPECT_EQ(qz_ypu_cpu_buffer_upload(nullptr, buffer, in, 7, 10), QZ_STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(data + 7, in, 10), 0);
  EXPECT_EQ(qz_ypu_cpu_buffer_download(nullptr, buffer, out, 7, 10), QZ_STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(out, in, 10), 0);
  EXPECT_EQ(qz_ypu_cpu_buffer_upload(nullptr, buffer, in, 0, 0), QZ_STATUS_SUCCESS);

  // Copies that would leave the buffer are refused.
  struct {
    int32_t offset, length;
  } outside[] = {{91, 10}, {-1, 4}, {0, -1}, {100, 1}, {INT32_MAX, INT32_MAX}};
  for (auto c : outside) {
    EXPECT_EQ(qz_ypu_cpu_buffer_upload(nullptr, buffer, in, c.offset, c.length),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(qz_ypu_cpu_buffer_download(nullptr, buffer, out, c.offset, c.length),
              QZ_STATUS_INVALID_ARGUMENT);
  }
  qz_ypu_cpu_buffer_free(nullptr, buffer);
  qz_ypu_cpu_buffer_free(nullptr, nullptr);

  EXPECT_EQ(qz_ypu_cpu_buffer_create(nullptr, -1, 0), nullptr);
  qz_ypu_buffer_t *empty = qz_ypu_cpu_buffer_create(nullptr, 0, 0);
  ASSERT_NE(empty, nullptr);
  qz_ypu_cpu_buffer_free(nullptr, empty);
}

TEST(CpuDevice, NoFreeFlagLeavesTheBufferAlone) {
  qz_ypu_buffer_t *buffer = qz_ypu_cpu_buffer_create(nullptr, 16, QZ_YPU_CPU_BUFFER_NO_FREE);
  ASSERT_NE(buffer, nullptr);
  qz_ypu_cpu_buffer_free(nullptr, buffer);  // untouched
  qz_ypu_cpu_buffer_t *record = qz_ypu_cpu_buffer(buffer);
  EXPECT_EQ(record->size, 16);
  record->flags = 0;
  qz_ypu_cpu_buffer_free(nullptr, buffer);
}

TEST(CpuDevice, HostAllocIsAligned) {
  void *p = qz_ypu_cpu_host_alloc(nullptr, 24);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
  qz_ypu_cpu_host_free(nullptr, p);
  EXPECT_EQ(qz_ypu_cpu_host_alloc(nullptr, -8), nullptr);
}

TEST(CpuDevice, DeviceListLine) {
  char **list = nullptr;
  int32_t count = 0;
  ASSERT_EQ(qz_ypu_cpu_device_list(&list, &count), QZ_STATUS_SUCCESS);
  ASSERT_EQ(count, 1);
  const int p = system_processor_count();
  EXPECT_EQ(std::string(list[0]),
            "cpu:[0-" + std::to_string(p) + "] - CPU (" + std::to_string(p) + " threads)");
  qz_ypu_cpu_device_list_free(list, count);
  qz_ypu_cpu_device_list_free(nullptr, 0);
}

// Allocation failures at every step of opening "cpu:2" leave nothing behind
// and report the chain the parser builds.
// The message before the records without text when the device cannot be had.
std::string no_device(const std::string &device) {
  return "0633a7d 00000326: Failed to create the CPU device for `" + device + "` (out of memory).";
}

TEST(CpuDevice, AllocationFailuresWhileOpening) {
  const std::string oom_context = "0633a7d 00000323: Failed to allocate, out of memory.";
  struct {
    int fail_at;
    const char *device;
    const char *preferred;
    qz_status_t status;
    std::vector<std::string> messages;
  } cases[] = {
      {1, "cpu:2", "cpu:1", QZ_STATUS_OUT_OF_MEMORY, {no_device("cpu:2"), caller_message(), caller_message()}},
      {2, "cpu:2", "cpu:1", QZ_STATUS_OUT_OF_MEMORY, {no_device("cpu:2"), caller_message(), caller_message()}},
      {3, "cpu:2", "cpu:1", QZ_STATUS_OUT_OF_MEMORY, {oom_context, caller_message()}},
      {2, "cpu:1", "cpu:1", QZ_STATUS_OUT_OF_MEMORY, {oom_context, caller_message()}},
      {1, "best", "bogus", QZ_STATUS_OUT_OF_MEMORY,
       {"0633a7d 00000322: bogus is not a valid device string", no_device("cpu"), caller_message(),
        caller_message(), caller_message()}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.device << " failing allocation " << c.fail_at);
    qz_alloc_fail_at(c.fail_at);
    qz_ypu_context_t *context = nullptr;
    EXPECT_EQ(qz_ypu_context_from_device_string(c.device, c.preferred, &context), c.status);
    qz_alloc_fail_at(0);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(take_error_stack(), c.messages);
  }
}

}  // namespace
