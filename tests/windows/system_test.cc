// The Windows build's own system calls, run on the system they are written
// for: the processor count and feature flags the CPU device takes from
// Windows, the CRT's aligned blocks, and the worker pool's threads. The
// expected processor is the one scripts/lane_wine.sh emulates.
#include <malloc.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "support/emulated_system.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/threadpool.h"

namespace {

TEST(WindowsSystem, DeviceTakesTheProcessorsAndFeaturesWindowsReports) {
  const qz_emulated_system expected = emulated_system();
  ASSERT_TRUE(expected.known) << QZ_EMULATED_SYSTEM_UNSET;
  EXPECT_EQ(qz_ypu_cpu_processor_count(), expected.processors);
  EXPECT_EQ(qz_ypu_cpu_detect_isa(), expected.isa_flags);

  // "cpu": half the processors, a pool only from two threads on, and the
  // flags that choose the kernels.
  qz_ypu_cpu_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cpu_device_open(0, &device), QZ_STATUS_SUCCESS);
  const int32_t threads = expected.processors / 2 > 1 ? expected.processors / 2 : 1;
  EXPECT_EQ(device->threads, threads);
  EXPECT_EQ(device->pool != nullptr, threads > 1);
  EXPECT_EQ(device->isa_flags, expected.isa_flags);
  qz_ypu_cpu_device_close(device);
}

// _aligned_msize reads the header _aligned_malloc puts before a block: it
// gives back the requested size only for blocks from there.
TEST(WindowsAlignedBlocks, ComeFromAlignedMalloc) {
  for (size_t size : {size_t(1), size_t(100), size_t(4096)}) {
    SCOPED_TRACE(size);
    void *out = nullptr;
    void *block = qz_ypu_cpu_aligned_alloc(32, size, &out);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(out, block);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u);
    EXPECT_EQ(_aligned_msize(block, 32, 0), size);
    qz_ypu_cpu_aligned_free(block);
  }
  qz_ypu_cpu_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cpu_device_open(2, &device), QZ_STATUS_SUCCESS);
  EXPECT_EQ(_aligned_msize(device, 32, 0), sizeof(qz_ypu_cpu_device_t));
  void *host = qz_ypu_cpu_host_alloc(device, 1000);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(_aligned_msize(host, 32, 0), 1000u);
  qz_ypu_cpu_host_free(device, host);
  qz_ypu_cpu_device_close(device);
}

// A large block has pages of its own, which the heap gives back to the
// system when the block is freed with the call that matches its allocation;
// any other free leaves them in place (or stops the program).
TEST(WindowsAlignedBlocks, FreedWithAlignedFree) {
  constexpr size_t kLarge = size_t(8) << 20;
  const auto committed = [](void *address) {
    MEMORY_BASIC_INFORMATION info{};
    EXPECT_EQ(VirtualQuery(address, &info, sizeof info), sizeof info);
    return info.State == MEM_COMMIT;
  };
  // The library's block, freed by the CRT; the CRT's block, freed by the
  // library.
  void *out = nullptr;
  void *ours = qz_ypu_cpu_aligned_alloc(32, kLarge, &out);
  ASSERT_NE(ours, nullptr);
  EXPECT_TRUE(committed(ours));
  _aligned_free(ours);
  EXPECT_FALSE(committed(ours));

  void *theirs = _aligned_malloc(kLarge, 32);
  ASSERT_NE(theirs, nullptr);
  EXPECT_TRUE(committed(theirs));
  qz_ypu_cpu_aligned_free(theirs);
  EXPECT_FALSE(committed(theirs));
}

struct thread_record {
  std::mutex lock;
  std::set<DWORD> ids;
};

void record_thread(void *context, size_t) {
  auto record = static_cast<thread_record *>(context);
  // Long enough that every worker wakes up and takes items.
  Sleep(2);
  std::lock_guard<std::mutex> hold(record->lock);
  record->ids.insert(GetCurrentThreadId());
}

// "cpu:4": the calling thread and three pool threads share the loop.
TEST(WindowsPool, LoopRunsOnSeveralThreads) {
  qz_ypu_cpu_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_cpu_device_open(4, &device), QZ_STATUS_SUCCESS);
  ASSERT_NE(device->pool, nullptr);
  thread_record record;
  qz_ypu_cpu_parallelize_1d(device->pool, record_thread, &record, 64);
  EXPECT_GE(record.ids.size(), 2u);
  EXPECT_LE(record.ids.size(), 4u);
  EXPECT_EQ(record.ids.count(GetCurrentThreadId()), 1u);
  qz_ypu_cpu_device_close(device);
}

}  // namespace
