// Runs one operation twice: through its Metal entry on the stand-in device
// (the kernels run on the GPU harness) and on a host-only context, from the
// same inputs, so the two outputs can be compared.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/error_stack.h"
#include "support/metal_context.h"
#include "support/metal_standin.h"
#include "support/ypu_harness.h"

// One operand on both sides.
struct twin_buffer {
  qz_ypu_buffer_t *gpu = nullptr;
  qz_ypu_buffer_t *host = nullptr;
  qz_ypu_buffer_t *on(bool gpu_side) const { return gpu_side ? gpu : host; }
};

class metal_twin {
 public:
  metal_twin() : host_(ypu_backend::host_only) {}

  metal_context &gpu() { return gpu_; }

  template <class T>
  twin_buffer buffer(const std::vector<T> &values) {
    return {gpu_.buffer(values), host_.buffer(values)};
  }
  // `bytes` bytes of `fill` on both sides.
  twin_buffer bytes(int32_t bytes, unsigned char fill = 0) {
    return {gpu_.buffer(bytes, fill), host_.buffer(bytes, fill)};
  }

  // Runs `op` with the record make(true) through the Metal entry and
  // make(false) on the host; both must succeed, the Metal side by a pass of
  // `kernel` (not by falling back to the host code) that the framework
  // would accept.
  template <class Make>
  void run(uint32_t op, const char *kernel, Make make) {
    const auto gpu_params = make(true);
    const auto host_params = make(false);
    qz_metal_standin::machine &m = qz_metal_standin::standin();
    const size_t before = m.dispatches.size();
    ASSERT_EQ(gpu_.run(op, &gpu_params), QZ_STATUS_SUCCESS)
        << ::testing::PrintToString(take_error_stack());
    ASSERT_EQ(m.dispatches.size(), before + 1) << "op " << op << " made no Metal pass";
    EXPECT_EQ(m.dispatches.back().kernel, kernel);
    ASSERT_EQ(host_.run(op, &host_params), QZ_STATUS_SUCCESS);
    EXPECT_EQ(m.violations, std::vector<std::string>{});
  }

  template <class T>
  std::vector<T> gpu_values(const twin_buffer &b, size_t count) {
    return gpu_.read<T>(b.gpu, count);
  }
  template <class T>
  std::vector<T> host_values(const twin_buffer &b, size_t count) {
    return host_.read<T>(b.host, count);
  }

  // Both sides' contents of `b` must be equal bit for bit.
  template <class T>
  void expect_same(const twin_buffer &b, size_t count) {
    const std::vector<T> g = gpu_values<T>(b, count), h = host_values<T>(b, count);
    for (size_t i = 0; i < count; ++i)
      ASSERT_EQ(std::memcmp(&g[i], &h[i], sizeof(T)), 0)
          << "element " << i << ": " << +g[i] << " (metal) vs " << +h[i] << " (host)";
  }

  // Float contents within bound(i, host value) of each other (NaN matches
  // NaN, an infinity only itself).
  void expect_within(const twin_buffer &b, size_t count,
                     const std::function<double(size_t, float)> &bound) {
    const std::vector<float> g = gpu_values<float>(b, count), h = host_values<float>(b, count);
    for (size_t i = 0; i < count; ++i) {
      if (std::isnan(h[i]) || std::isinf(h[i])) {
        ASSERT_EQ(std::memcmp(&g[i], &h[i], 4) == 0 || (std::isnan(g[i]) && std::isnan(h[i])),
                  true)
            << "element " << i << ": " << g[i] << " (metal) vs " << h[i] << " (host)";
        continue;
      }
      ASSERT_LE(std::fabs(double{g[i]} - double{h[i]}), bound(i, h[i]))
          << "element " << i << ": " << g[i] << " (metal) vs " << h[i] << " (host)";
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
std::vector<T> random_ints(size_t n, int64_t lo, int64_t hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int64_t> d(lo, hi);
  std::vector<T> v(n);
  for (T &x : v) x = static_cast<T>(d(rng));
  return v;
}

// One float unit in the last place of |x| (of the smallest normal for
// smaller values).
inline double ulp_of(float x) {
  const float a = std::fmax(std::fabs(x), 1.17549435e-38f);
  return double{std::nextafter(a, INFINITY)} - double{a};
}
