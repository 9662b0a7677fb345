// Runs one operation twice: on the stand-in's Metal device (its kernels on
// the GPU harness) and on a host-only context, from the same inputs, so the
// two outputs can be compared; and checks that the Metal side really ran its
// kernel rather than going back to the host implementation.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gpu_harness/metal_launch.h"
#include "support/error_stack.h"
#include "support/metal_context.h"
#include "support/metal_standin.h"
#include "support/ypu_harness.h"

// In a namespace of its own: other Metal test helpers of the same program
// define twins of their own, and two classes of one name would be one
// definition too many.
namespace metal_compare {

// One operand on both sides.
struct metal_twin_buffer {
  qz_ypu_buffer_t *gpu = nullptr;
  qz_ypu_buffer_t *host = nullptr;
  qz_ypu_buffer_t *on(bool gpu_side) const { return gpu_side ? gpu : host; }
};

class metal_twin {
 public:
  metal_twin() : host_(ypu_backend::host_only) {}

  metal_context &gpu() { return gpu_; }

  template <class T>
  metal_twin_buffer buffer(const std::vector<T> &values) {
    return {gpu_.buffer(values), host_.buffer(values)};
  }
  // `bytes` bytes of `fill` on both sides.
  metal_twin_buffer bytes(int32_t bytes, unsigned char fill = 0) {
    return {gpu_.buffer(bytes, fill), host_.buffer(bytes, fill)};
  }

  // Runs `op` with the record make(true) on the device and make(false) on
  // the host; both must succeed, and the device must have dispatched
  // `kernel` (not handed the call back to the host implementation).
  template <class Make>
  void run(uint32_t op, const char *kernel, Make make) {
    const auto gpu_params = make(true);
    const auto host_params = make(false);
    const size_t before = qz_metal_standin::standin().dispatches.size();
    ASSERT_EQ(gpu_.run(op, &gpu_params), QZ_STATUS_SUCCESS)
        << ::testing::PrintToString(take_error_stack());
    ASSERT_EQ(host_.run(op, &host_params), QZ_STATUS_SUCCESS);
    const auto &d = qz_metal_standin::standin().dispatches;
    EXPECT_TRUE(
        std::any_of(d.begin() + static_cast<std::ptrdiff_t>(before), d.end(),
                    [&](const qz_metal_standin::dispatch_record &r) { return r.kernel == kernel; }))
        << kernel << " was not dispatched";
  }

  template <class T>
  std::vector<T> gpu_values(const metal_twin_buffer &b, size_t count) {
    return gpu_.read<T>(b.gpu, count);
  }
  template <class T>
  std::vector<T> host_values(const metal_twin_buffer &b, size_t count) {
    return host_.read<T>(b.host, count);
  }

  // Both sides' contents of `b` must be equal bit for bit.
  template <class T>
  void expect_same(const metal_twin_buffer &b, size_t count) {
    const std::vector<T> g = gpu_values<T>(b, count), h = host_values<T>(b, count);
    for (size_t i = 0; i < count; ++i)
      ASSERT_EQ(std::memcmp(&g[i], &h[i], sizeof(T)), 0)
          << "element " << i << ": " << +g[i] << " (gpu) vs " << +h[i] << " (host)";
  }

  // Float contents within bound[i] of each other (the same NaNs and
  // infinities where the host has them).
  void expect_within(const metal_twin_buffer &b, const std::vector<double> &bound) {
    const std::vector<float> g = gpu_values<float>(b, bound.size());
    const std::vector<float> h = host_values<float>(b, bound.size());
    for (size_t i = 0; i < bound.size(); ++i) {
      if (!std::isfinite(h[i])) {
        ASSERT_EQ(std::memcmp(&g[i], &h[i], 4), 0) << "element " << i;
        continue;
      }
      ASSERT_LE(std::fabs(double{g[i]} - h[i]), bound[i])
          << "element " << i << ": " << g[i] << " (gpu) vs " << h[i] << " (host)";
    }
  }
  // The same with one bound of abs + rel·|host| for every element.
  void expect_close(const metal_twin_buffer &b, size_t count, double rel, double abs = 0.0) {
    const std::vector<float> h = host_values<float>(b, count);
    std::vector<double> bound(count);
    for (size_t i = 0; i < count; ++i) bound[i] = abs + rel * std::fabs(h[i]);
    expect_within(b, bound);
  }

 private:
  metal_context gpu_;
  ypu_harness host_;
};

inline std::vector<float> metal_random_floats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float &x : v) x = d(rng);
  return v;
}

template <class T>
std::vector<T> metal_random_ints(size_t n, int lo, int hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(lo, hi);
  std::vector<T> v(n);
  for (T &x : v) x = static_cast<T>(d(rng));
  return v;
}

// The unit roundoff of float: every rounded operation is within u of the
// exact result, relatively.
inline constexpr double kFloatUnit = 0x1p-24;

// The orders in which the harness resumes runnable threads: a kernel whose
// result changes between them is missing a barrier.
inline constexpr qz_gpu_harness::schedule kEverySchedule[] = {
    qz_gpu_harness::schedule::forward, qz_gpu_harness::schedule::reverse,
    qz_gpu_harness::schedule::warp_ahead, qz_gpu_harness::schedule::last_warp_ahead};

// Runs the harness under `order` for its lifetime, then forward again.
class metal_schedule {
 public:
  explicit metal_schedule(qz_gpu_harness::schedule order) { qz_metal_emu::set_schedule(order); }
  ~metal_schedule() { qz_metal_emu::set_schedule(qz_gpu_harness::schedule::forward); }
  metal_schedule(const metal_schedule &) = delete;
  metal_schedule &operator=(const metal_schedule &) = delete;
};

}  // namespace metal_compare
