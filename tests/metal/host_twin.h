// Runs one operation twice: on the stand-in Metal device (its kernels on the
// GPU harness, or the host code over mapped buffers) and on a host-only
// context, from the same inputs, so the two outputs can be compared.
#pragma once

#include <gtest/gtest.h>

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

// One operand on both sides.
struct host_twin_buffer {
  qz_ypu_buffer_t *gpu = nullptr;
  qz_ypu_buffer_t *host = nullptr;
  qz_ypu_buffer_t *on(bool gpu_side) const { return gpu_side ? gpu : host; }
};

class host_twin {
 public:
  explicit host_twin(qz_gpu_harness::schedule order = qz_gpu_harness::schedule::forward)
      : host_(ypu_backend::host_only) {
    qz_metal_emu::set_schedule(order);
  }
  // Nothing the real framework would refuse happened on the device side.
  ~host_twin() {
    EXPECT_EQ(qz_metal_standin::standin().violations, std::vector<std::string>{});
    qz_metal_emu::set_schedule(qz_gpu_harness::schedule::forward);
  }

  metal_context &gpu() { return gpu_; }

  template <class T>
  host_twin_buffer buffer(const std::vector<T> &values) {
    return {gpu_.buffer(values), host_.buffer(values)};
  }
  // `bytes` bytes of `fill` on both sides.
  host_twin_buffer bytes(int32_t bytes, unsigned char fill = 0) {
    return {gpu_.buffer(bytes, fill), host_.buffer(bytes, fill)};
  }

  // Runs `op` with the record make(true) on the device and make(false) on
  // the host; both must succeed, the device's by dispatching kernels (not by
  // falling back to the host code).
  template <class Make>
  void run(uint32_t op, Make make) {
    const auto gpu_params = make(true);
    const auto host_params = make(false);
    const size_t dispatched = qz_metal_standin::standin().dispatches.size();
    ASSERT_EQ(gpu_.run(op, &gpu_params), QZ_STATUS_SUCCESS)
        << ::testing::PrintToString(take_error_stack());
    ASSERT_GT(qz_metal_standin::standin().dispatches.size(), dispatched) << "op " << op;
    ASSERT_EQ(host_.run(op, &host_params), QZ_STATUS_SUCCESS);
  }

  template <class T>
  std::vector<T> gpu_values(const host_twin_buffer &b, size_t count) {
    return gpu_.read<T>(b.gpu, count);
  }
  template <class T>
  std::vector<T> host_values(const host_twin_buffer &b, size_t count) {
    return host_.read<T>(b.host, count);
  }

  // Both sides' contents of `b` equal bit for bit.
  template <class T>
  void expect_same(const host_twin_buffer &b, size_t count) {
    const std::vector<T> g = gpu_values<T>(b, count), h = host_values<T>(b, count);
    for (size_t i = 0; i < count; ++i)
      ASSERT_EQ(std::memcmp(&g[i], &h[i], sizeof(T)), 0)
          << "element " << i << ": " << +g[i] << " (gpu) vs " << +h[i] << " (host)";
  }

  // Float contents equal up to |g - h| <= abs + rel * |h| (NaN matches NaN,
  // an infinity only itself).
  void expect_close(const host_twin_buffer &b, size_t count, float rel, float abs = 0.0f) {
    const std::vector<float> g = gpu_values<float>(b, count), h = host_values<float>(b, count);
    for (size_t i = 0; i < count; ++i) {
      if (std::isnan(h[i])) {
        ASSERT_TRUE(std::isnan(g[i])) << "element " << i;
        continue;
      }
      if (std::isinf(h[i])) {
        ASSERT_EQ(g[i], h[i]) << "element " << i;
        continue;
      }
      ASSERT_NEAR(g[i], h[i], abs + rel * std::fabs(h[i])) << "element " << i;
    }
  }

 private:
  metal_context gpu_;
  ypu_harness host_;
};

inline std::vector<float> random_floats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float &x : v) x = d(rng);
  return v;
}

template <class T>
std::vector<T> random_ints(size_t n, int lo, int hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(lo, hi);
  std::vector<T> v(n);
  for (T &x : v) x = static_cast<T>(d(rng));
  return v;
}

inline constexpr qz_gpu_harness::schedule kAllSchedules[] = {
    qz_gpu_harness::schedule::forward, qz_gpu_harness::schedule::reverse,
    qz_gpu_harness::schedule::warp_ahead, qz_gpu_harness::schedule::last_warp_ahead};
