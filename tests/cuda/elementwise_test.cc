// The element-wise float kernels against the host implementations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "gpu_harness/cuda_context.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

enum class tolerance { exact, ulps };

struct unary_case {
  const char *name;
  uint32_t op;
  tolerance tol;
  float lo, hi;
};

struct two_case {
  const char *name;
  uint32_t op;
};

constexpr int32_t kSizes[] = {1, 255, 256, 257, 1000};

std::vector<float> random_floats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float &x : v) x = d(rng);
  return v;
}

// Equal bits, or (for functions of the CUDA maths library) within a few ulp.
void expect_close(const std::vector<float> &gpu, const std::vector<float> &host, tolerance tol) {
  ASSERT_EQ(gpu.size(), host.size());
  for (size_t i = 0; i < gpu.size(); ++i) {
    if (tol == tolerance::exact) {
      ASSERT_EQ(std::memcmp(&gpu[i], &host[i], 4), 0) << i << ": " << gpu[i] << " vs " << host[i];
    } else if (std::isnan(host[i])) {
      ASSERT_TRUE(std::isnan(gpu[i])) << i;
    } else {
      ASSERT_NEAR(gpu[i], host[i], 4e-6f * std::max(1.0f, std::fabs(host[i]))) << i;
    }
  }
}

class CudaUnary : public ::testing::TestWithParam<unary_case> {};

TEST_P(CudaUnary, MatchesHostAtEverySize) {
  const unary_case &c = GetParam();
  for (int32_t n : kSizes) {
    const std::vector<float> in = random_floats(n + 3, c.lo, c.hi, n);
    cuda_context gpu;
    ypu_harness host(ypu_backend::host_only);
    qz_ypu_unary_params_t pg{gpu.buffer(4 * (n + 2)), gpu.buffer(in), n, 8, 12};
    qz_ypu_unary_params_t ph{host.buffer(4 * (n + 2)), host.buffer(in), n, 8, 12};
    ASSERT_EQ(gpu.run(c.op, &pg), QZ_STATUS_SUCCESS);
    ASSERT_EQ(host.run(c.op, &ph), QZ_STATUS_SUCCESS);
    const auto out = gpu.read<float>(pg.out, n + 2);
    expect_close(out, host.read<float>(ph.out, n + 2), c.tol);
    EXPECT_EQ(out[0], 0.0f) << "bytes before the offset are untouched";
    EXPECT_EQ(out[1], 0.0f);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, CudaUnary,
    ::testing::Values(unary_case{"exp", QZ_YPU_OP_EXP_F32, tolerance::ulps, -20, 20},
                      unary_case{"log", QZ_YPU_OP_LOG_F32, tolerance::ulps, 0, 100},
                      unary_case{"relu", QZ_YPU_OP_RELU_F32, tolerance::exact, -5, 5},
                      unary_case{"gelu_tanh", QZ_YPU_OP_GELU_TANH_F32, tolerance::ulps, -6, 6},
                      unary_case{"gelu_sigmoid", QZ_YPU_OP_GELU_SIGMOID_F32, tolerance::ulps, -6, 6},
                      unary_case{"gelu_erf", QZ_YPU_OP_GELU_ERF_F32, tolerance::ulps, -6, 6},
                      unary_case{"silu", QZ_YPU_OP_SILU_F32, tolerance::ulps, -10, 10}),
    [](const auto &info) { return std::string(info.param.name); });

class CudaTwoInput : public ::testing::TestWithParam<two_case> {};

TEST_P(CudaTwoInput, MatchesHostBitForBit) {
  const two_case &c = GetParam();
  for (int32_t n : kSizes) {
    const std::vector<float> a = random_floats(n, -10, 10, n);
    const std::vector<float> b = random_floats(n, 0.5f, 10, n + 1);
    cuda_context gpu;
    ypu_harness host(ypu_backend::host_only);
    qz_ypu_two_input_params_t pg{gpu.buffer(4 * n), gpu.buffer(a), gpu.buffer(b), n, 0, 0, 0};
    qz_ypu_two_input_params_t ph{host.buffer(4 * n), host.buffer(a), host.buffer(b), n, 0, 0, 0};
    ASSERT_EQ(gpu.run(c.op, &pg), QZ_STATUS_SUCCESS);
    ASSERT_EQ(host.run(c.op, &ph), QZ_STATUS_SUCCESS);
    expect_close(gpu.read<float>(pg.out, n), host.read<float>(ph.out, n), tolerance::exact);
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, CudaTwoInput,
                         ::testing::Values(two_case{"add", QZ_YPU_OP_ADD_F32},
                                           two_case{"sub", QZ_YPU_OP_SUB_F32},
                                           two_case{"mul", QZ_YPU_OP_MUL_F32},
                                           two_case{"div", QZ_YPU_OP_DIV_F32}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
