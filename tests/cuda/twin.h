// Runs one operation twice: on the harness's CUDA device (its kernel, or the
// host code over mapped buffers) and on a host-only context, from the same
// inputs, so the two outputs can be compared.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gpu_harness/cuda_context.h"
#include "support/error_stack.h"
#include "support/ypu_harness.h"

// One operand on both sides.
struct twin_buffer {
  qz_ypu_buffer_t *gpu = nullptr;
  qz_ypu_buffer_t *host = nullptr;
  qz_ypu_buffer_t *on(bool gpu_side) const { return gpu_side ? gpu : host; }
};

class twin {
 public:
  explicit twin(qz_gpu_harness::schedule order = qz_gpu_harness::schedule::forward)
      : gpu_(order), host_(ypu_backend::host_only) {}

  cuda_context &gpu() { return gpu_; }

  template <class T>
  twin_buffer buffer(const std::vector<T> &values) {
    return {gpu_.buffer(values), host_.buffer(values)};
  }
  // `bytes` bytes of `fill` on both sides.
  twin_buffer bytes(int32_t bytes, unsigned char fill = 0) {
    return {gpu_.buffer(bytes, fill), host_.buffer(bytes, fill)};
  }

  // Runs `op` with the record make(true) on the device and make(false) on
  // the host; both must succeed.
  template <class Make>
  void run(uint32_t op, Make make) {
    const auto gpu_params = make(true);
    const auto host_params = make(false);
    ASSERT_EQ(gpu_.run(op, &gpu_params), QZ_STATUS_SUCCESS) << ::testing::PrintToString(take_error_stack());
    ASSERT_EQ(host_.run(op, &host_params), QZ_STATUS_SUCCESS);
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
          << "element " << i << ": " << +g[i] << " (gpu) vs " << +h[i] << " (host)";
  }

  // Float contents equal up to |g - h| <= abs + rel * |h| (NaN matches NaN).
  void expect_close(const twin_buffer &b, size_t count, float rel, float abs = 0.0f) {
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
  cuda_context gpu_;
  ypu_harness host_;
};

// Every float of `got` within bound[i] of the double-precision ref[i].
inline void expect_within(const std::vector<float> &got, const std::vector<double> &ref,
                          const std::vector<double> &bound) {
  ASSERT_EQ(got.size(), ref.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_LE(std::fabs(got[i] - ref[i]), bound[i])
        << "element " << i << ": " << got[i] << " vs " << ref[i];
}

// gamma_n = n u / (1 - n u) with u = 2^-24: a float sum of terms that pass
// through at most n roundings each is within gamma_n times the sum of the
// terms' magnitudes of the exact sum, whatever the order of the additions.
inline double float_gamma(int64_t n) {
  const double nu = static_cast<double>(n) * 0x1p-24;
  return nu / (1.0 - nu);
}

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

inline const std::string kKernelFailed = "0633a7d 0000033C: Failed to execute gpu kernel.";
