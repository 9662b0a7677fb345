// The CPU device's decisions on each operating system, with the system's
// answers (processor count, instruction-set flags) replaced by test values:
// the Windows and macOS builds differ from Linux only in those answers and
// in whether an unknown processor count fails.
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "support/error_stack.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/threadpool.h"

namespace {

// The answers the fake system gives; one test at a time sets them.
int32_t fake_processors = 0;
uint32_t fake_flags = 0;
int fake_count_calls = 0;

int32_t fake_processor_count() {
  ++fake_count_calls;
  return fake_processors;
}
uint32_t fake_isa_flags() { return fake_flags; }

// Linux takes the default from the affinity mask: here it holds a quarter
// of the processors.
int32_t fake_usable_count() {
  ++fake_count_calls;
  return fake_processors / 4;
}

// Windows and Linux raise an unknown count to one thread; macOS refuses it.
constexpr qz_ypu_cpu_system_t WINDOWS_LIKE{fake_processor_count, fake_isa_flags, false, nullptr};
constexpr qz_ypu_cpu_system_t MACOS_LIKE{fake_processor_count, fake_isa_flags, true, nullptr};
constexpr qz_ypu_cpu_system_t LINUX_LIKE{fake_processor_count, fake_isa_flags, false,
                                         fake_usable_count};

struct open_case {
  const char *name;
  const qz_ypu_cpu_system_t *system;
  int32_t processors;
  int32_t requested;
  qz_status_t status;
  int32_t threads;  // when the open succeeds
};

TEST(CpuDeviceOnEachSystem, ThreadCountAndPool) {
  const open_case cases[] = {
      {"eight processors", &WINDOWS_LIKE, 8, 0, QZ_STATUS_SUCCESS, 4},
      {"three processors", &WINDOWS_LIKE, 3, 0, QZ_STATUS_SUCCESS, 1},
      {"two processors", &WINDOWS_LIKE, 2, 0, QZ_STATUS_SUCCESS, 1},
      {"one processor", &WINDOWS_LIKE, 1, 0, QZ_STATUS_SUCCESS, 1},
      {"unknown count raised to one", &WINDOWS_LIKE, 0, 0, QZ_STATUS_SUCCESS, 1},
      {"one thread asked", &WINDOWS_LIKE, 8, 1, QZ_STATUS_SUCCESS, 1},
      {"negative count", &WINDOWS_LIKE, 8, -5, QZ_STATUS_SUCCESS, 1},
      {"more than the processors", &WINDOWS_LIKE, 2, 16, QZ_STATUS_SUCCESS, 16},
      {"macOS eight processors", &MACOS_LIKE, 8, 0, QZ_STATUS_SUCCESS, 4},
      {"macOS three processors", &MACOS_LIKE, 3, 0, QZ_STATUS_SUCCESS, 1},
      {"macOS two processors", &MACOS_LIKE, 2, 0, QZ_STATUS_SUCCESS, 1},
      {"macOS one processor", &MACOS_LIKE, 1, 0, QZ_STATUS_SUCCESS, 1},
      {"macOS unknown count", &MACOS_LIKE, 0, 0, QZ_STATUS_RUNTIME_ERROR, 0},
      {"macOS count not asked", &MACOS_LIKE, 0, 3, QZ_STATUS_SUCCESS, 3},
      {"macOS negative count", &MACOS_LIKE, 0, -1, QZ_STATUS_SUCCESS, 1},
      {"macOS sixteen asked", &MACOS_LIKE, 4, 16, QZ_STATUS_SUCCESS, 16},
      {"affinity mask of four", &LINUX_LIKE, 16, 0, QZ_STATUS_SUCCESS, 2},
      {"affinity mask of one", &LINUX_LIKE, 4, 0, QZ_STATUS_SUCCESS, 1},
      {"mask not asked", &LINUX_LIKE, 16, 8, QZ_STATUS_SUCCESS, 8},
      {"pool within the mask", &LINUX_LIKE, 64, 8, QZ_STATUS_SUCCESS, 8},
      {"mask of one: no pool", &LINUX_LIKE, 4, 3, QZ_STATUS_SUCCESS, 3},
  };
  for (const open_case &c : cases) {
    SCOPED_TRACE(c.name);
    fake_processors = c.processors;
    fake_flags = 0;
    fake_count_calls = 0;
    auto *const untouched = reinterpret_cast<qz_ypu_cpu_device_t *>(0x40);
    qz_ypu_cpu_device_t *device = untouched;
    ASSERT_EQ(qz_ypu_cpu_device_open_with(*c.system, c.requested, &device), c.status);
    // The system is asked only for the default count.
      // The system is asked for the default count, and (where it can tell the
    // usable processors) for the pool's cap.
    EXPECT_EQ(fake_count_calls,
              (c.requested == 0 ? 1 : 0) + (c.system == &LINUX_LIKE && c.threads > 1 ? 1 : 0));
    EXPECT_TRUE(take_error_stack().empty());
    if (c.status != QZ_STATUS_SUCCESS) {
      EXPECT_EQ(device, untouched);
      continue;
    }
    EXPECT_EQ(device->threads, c.threads);
    // The pool never has more threads than the usable processors.
    const int32_t cap = c.system == &LINUX_LIKE ? c.processors / 4 : c.threads;
    const int32_t pool_threads = c.threads < cap ? c.threads : cap;
    ASSERT_EQ(device->pool != nullptr, pool_threads > 1);
    if (device->pool) {
      EXPECT_EQ(pthreadpool_get_threads_count(device->pool), size_t(pool_threads));
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(device) % 32, 0u);
    qz_ypu_cpu_device_close(device);
  }
}

TEST(CpuDeviceOnEachSystem, FailedAllocationsLeaveNothing) {
  fake_processors = 8;
  // The record, then the pool.
  for (int fail_at : {1, 2}) {
    SCOPED_TRACE(fail_at);
    auto *const untouched = reinterpret_cast<qz_ypu_cpu_device_t *>(0x40);
    qz_ypu_cpu_device_t *device = untouched;
    qz_alloc_fail_at(fail_at);
    EXPECT_EQ(qz_ypu_cpu_device_open_with(WINDOWS_LIKE, 0, &device), QZ_STATUS_OUT_OF_MEMORY);
    qz_alloc_fail_at(0);
    EXPECT_EQ(device, untouched);
    EXPECT_TRUE(take_error_stack().empty());
  }
}

TEST(CpuDeviceOnEachSystem, FlagsComeFromTheSystem) {
  fake_processors = 2;
  struct {
    bool neon, dot_product;
    uint32_t flags;
  } arm[] = {{false, false, 0x0}, {true, false, 0x20}, {true, true, 0xE0}, {false, true, 0xC0}};
  for (const auto &c : arm) {
    SCOPED_TRACE(testing::Message() << "neon " << c.neon << " dot product " << c.dot_product);
    EXPECT_EQ(qz_ypu_cpu_isa_from_arm_features(c.neon, c.dot_product), c.flags);
    fake_flags = c.flags;
    qz_ypu_cpu_device_t *device = nullptr;
    ASSERT_EQ(qz_ypu_cpu_device_open_with(WINDOWS_LIKE, 0, &device), QZ_STATUS_SUCCESS);
    EXPECT_EQ(device->isa_flags, c.flags);
    qz_ypu_cpu_device_close(device);
  }
}

TEST(CpuDeviceOnEachSystem, DeviceListLine) {
  struct {
    const qz_ypu_cpu_system_t *system;
    int32_t processors;
    qz_status_t status;
    const char *line;
  } cases[] = {
      {&WINDOWS_LIKE, 16, QZ_STATUS_SUCCESS, "cpu:[0-16] - CPU (16 threads)"},
      {&WINDOWS_LIKE, 0, QZ_STATUS_SUCCESS, "cpu:[0-0] - CPU (0 threads)"},
      {&MACOS_LIKE, 12, QZ_STATUS_SUCCESS, "cpu:[0-12] - CPU (12 threads)"},
      {&MACOS_LIKE, 0, QZ_STATUS_RUNTIME_ERROR, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.processors << " processors");
    fake_processors = c.processors;
    char **list = nullptr;
    int32_t count = -1;
    ASSERT_EQ(qz_ypu_cpu_device_list_with(*c.system, &list, &count), c.status);
    EXPECT_TRUE(take_error_stack().empty());
    if (!c.line) {
      EXPECT_EQ(list, nullptr);
      EXPECT_EQ(count, -1);
      continue;
    }
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::string(list[0]), c.line);
    qz_ypu_cpu_device_list_free(list, count);
  }
}

TEST(CpuPool, CreateAndDestroy) {
  for (int32_t threads : {0, -1}) {
    pthreadpool_t pool = reinterpret_cast<pthreadpool_t>(0x40);
    EXPECT_EQ(qz_ypu_cpu_pool_create(threads, &pool), 1) << threads;
    EXPECT_EQ(pool, nullptr);
  }
  pthreadpool_t pool = nullptr;
  ASSERT_EQ(qz_ypu_cpu_pool_create(3, &pool), 0);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pthreadpool_get_threads_count(pool), 3u);
  qz_ypu_cpu_pool_destroy(pool);
  qz_ypu_cpu_pool_destroy(nullptr);
}

// ---------------------------------------------------------------------------
// The four loop forms: what ran, in which order, on which thread.

struct call {
  size_t i, j, k, thread;
  bool on_caller;
  bool operator==(const call &) const = default;
};

struct recorder {
  std::thread::id caller = std::this_thread::get_id();
  std::mutex mutex;
  std::vector<call> calls;
  void add(size_t i, size_t j, size_t k, size_t thread) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({i, j, k, thread, std::this_thread::get_id() == caller});
  }
};

enum class form { one_d, one_d_with_thread, two_d, three_d };

void run(form f, pthreadpool_t pool, recorder *r, size_t ri, size_t rj, size_t rk) {
  switch (f) {
    case form::one_d:
      qz_ypu_cpu_parallelize_1d(
          pool, [](void *c, size_t i) { static_cast<recorder *>(c)->add(i, 0, 0, 0); }, r, ri);
      break;
    case form::one_d_with_thread:
      qz_ypu_cpu_parallelize_1d_with_thread(
          pool, [](void *c, size_t t, size_t i) { static_cast<recorder *>(c)->add(i, 0, 0, t); },
          r, ri);
      break;
    case form::two_d:
      qz_ypu_cpu_parallelize_2d(
          pool, [](void *c, size_t i, size_t j) { static_cast<recorder *>(c)->add(i, j, 0, 0); },
          r, ri, rj);
      break;
    case form::three_d:
      qz_ypu_cpu_parallelize_3d(
          pool,
          [](void *c, size_t i, size_t j, size_t k) {
            static_cast<recorder *>(c)->add(i, j, k, 0);
          },
          r, ri, rj, rk);
      break;
  }
}

// The serial order: i outermost, every call on the caller with thread 0.
std::vector<call> serial(form f, size_t ri, size_t rj, size_t rk) {
  if (f == form::one_d || f == form::one_d_with_thread) rj = rk = 1;
  if (f == form::two_d) rk = 1;
  std::vector<call> calls;
  for (size_t i = 0; i < ri; ++i)
    for (size_t j = 0; j < rj; ++j)
      for (size_t k = 0; k < rk; ++k) calls.push_back({i, j, k, 0, true});
  return calls;
}

class Loops : public testing::TestWithParam<form> {};

TEST_P(Loops, SerialWithoutAPoolOrWithAOneThreadPool) {
  pthreadpool_t lone = nullptr;
  ASSERT_EQ(qz_ypu_cpu_pool_create(1, &lone), 0);
  const std::tuple<size_t, size_t, size_t> ranges[] = {
      {0, 3, 3}, {3, 0, 3}, {3, 3, 0}, {1, 1, 1}, {5, 1, 1}, {2, 3, 2}};
  for (pthreadpool_t pool : {pthreadpool_t(nullptr), lone}) {
    for (auto [ri, rj, rk] : ranges) {
      SCOPED_TRACE(testing::Message() << (pool ? "one-thread pool " : "no pool ") << ri << "x"
                                      << rj << "x" << rk);
      recorder r;
      run(GetParam(), pool, &r, ri, rj, rk);
      EXPECT_EQ(r.calls, serial(GetParam(), ri, rj, rk));
    }
  }
  qz_ypu_cpu_pool_destroy(lone);
}

TEST_P(Loops, OnAPoolEveryItemRunsOnce) {
  pthreadpool_t pool = nullptr;
  ASSERT_EQ(qz_ypu_cpu_pool_create(4, &pool), 0);
  const std::tuple<size_t, size_t, size_t> ranges[] = {{0, 3, 3}, {1, 1, 1}, {7, 3, 2}, {1, 9, 1}};
  for (auto [ri, rj, rk] : ranges) {
    SCOPED_TRACE(testing::Message() << ri << "x" << rj << "x" << rk);
    recorder r;
    run(GetParam(), pool, &r, ri, rj, rk);
    std::vector<call> expected = serial(GetParam(), ri, rj, rk);
    ASSERT_EQ(r.calls.size(), expected.size());
    std::vector<int> seen(expected.size(), 0);
    for (const call &c : r.calls) {
      EXPECT_LT(c.thread, 4u);
      for (size_t n = 0; n < expected.size(); ++n)
        if (expected[n].i == c.i && expected[n].j == c.j && expected[n].k == c.k) ++seen[n];
    }
    for (int s : seen) EXPECT_EQ(s, 1);
    // A single item never leaves the calling thread.
    if (expected.size() == 1) {
      EXPECT_TRUE(r.calls[0].on_caller);
    }
  }
  qz_ypu_cpu_pool_destroy(pool);
}

std::string form_name(const testing::TestParamInfo<form> &info) {
  static const char *const names[] = {"OneD", "OneDWithThread", "TwoD", "ThreeD"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Forms, Loops,
                         testing::Values(form::one_d, form::one_d_with_thread, form::two_d,
                                         form::three_d),
                         form_name);

}  // namespace
