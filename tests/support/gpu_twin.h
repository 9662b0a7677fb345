// Runs one operation twice, on a GPU backend's harness context and on a
// host-only context, from the same inputs, so the two outputs can be
// compared: the part that every backend's twin shares. `Gpu` is the
// harness context (buffer, read, run as the context classes have them).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "support/error_stack.h"
#include "support/ypu_harness.h"

// One operand on both sides.
struct twin_buffer {
  qz_ypu_buffer_t *gpu = nullptr;
  qz_ypu_buffer_t *host = nullptr;
  qz_ypu_buffer_t *on(bool gpu_side) const { return gpu_side ? gpu : host; }
};

template <class Gpu>
class gpu_twin {
 public:
  // The arguments make the GPU side's context.
  template <class... Args>
  explicit gpu_twin(Args &&...args)
      : gpu_(std::forward<Args>(args)...), host_(ypu_backend::host_only) {}

  Gpu &gpu() { return gpu_; }

  template <class T>
  twin_buffer buffer(const std::vector<T> &values) {
    return {gpu_.buffer(values), host_.buffer(values)};
  }
  // `bytes` bytes of `fill` on both sides.
  twin_buffer bytes(int32_t bytes, unsigned char fill = 0) {
    return {gpu_.buffer(bytes, fill), host_.buffer(bytes, fill)};
  }

  template <class T>
  std::vector<T> gpu_values(const twin_buffer &b, size_t count) {
    return gpu_.template read<T>(b.gpu, count);
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
          << "element " << i << ": " << +g[i] << " (gpu) vs " << +h[i] << " (host)";
  }

 protected:
  // The record make(gpu side) run on each side; both must succeed.
  template <class Make>
  void run_both(uint32_t op, Make make) {
    const auto gpu_params = make(true);
    const auto host_params = make(false);
    ASSERT_EQ(gpu_.run(op, &gpu_params), QZ_STATUS_SUCCESS)
        << ::testing::PrintToString(take_error_stack());
    ASSERT_EQ(host_.run(op, &host_params), QZ_STATUS_SUCCESS);
  }

  Gpu gpu_;
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
