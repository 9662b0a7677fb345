// Runs one operation twice: on the harness's CUDA device (its kernel, or the
// host code over mapped buffers) and on a host-only context, from the same
// inputs, so the two outputs can be compared.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gpu_harness/cuda_context.h"
#include "support/error_stack.h"
#include "support/gpu_twin.h"

class twin : public gpu_twin<cuda_context> {
 public:
  explicit twin(qz_gpu_harness::schedule order = qz_gpu_harness::schedule::forward)
      : gpu_twin(order) {}

  // Runs `op` with the record make(true) on the device and make(false) on
  // the host; both must succeed.
  template <class Make>
  void run(uint32_t op, Make make) {
    run_both(op, make);
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
};

inline const std::string kKernelFailed = "0633a7d 0000033C: Failed to execute gpu kernel.";
