// The element-wise float kernels against the host implementations: bit for
// bit where the arithmetic is exact or correctly rounded, else within the
// documented errors of the GPU's expf, logf, tanhf and erff (which the
// harness applies) and the host's own.
#include "twin.h"

#include <algorithm>
#include <iterator>


#include "gpu_harness/device_maths.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::device_error;
using qz_gpu_harness::device_relative_error;
using qz_gpu_harness::kDeviceMaths;
using qz_gpu_harness::kHostMathsUlps;

// A device function's result `value` against the host's: both errors.
double both_errors(double value, int device_ulps) {
  return device_error(value, device_ulps) + device_error(value, kHostMathsUlps);
}

// How far the device's and the host's out may lie apart for input x.
using unary_bound = double (*)(double x, double out);

double exp_bound(double, double out) { return both_errors(out, kDeviceMaths.expf); }
double log_bound(double, double out) { return both_errors(out, kDeviceMaths.logf); }
// x / (1 + expf(c x)): the exponential's relative error reaches out damped
// by e / (1 + e) <= 1; then a sum and a division on each side.
double sigmoid_form_bound(double, double out) {
  return std::fabs(out) * (device_relative_error(kDeviceMaths.expf) +
                           device_relative_error(kHostMathsUlps) + 4 * 0x1p-24);
}
// (0.5 x) (1 + f(v)) with f = tanhf or erff, |f| <= 1: f's absolute error
// times |0.5 x|, then a sum and a product on each side.
double tanh_form_bound(double x, double out) {
  return std::fabs(0.5 * x) * both_errors(1, kDeviceMaths.tanhf) + 4 * 0x1p-24 * std::fabs(out);
}
double erf_form_bound(double x, double out) {
  return std::fabs(0.5 * x) * both_errors(1, kDeviceMaths.erff) + 4 * 0x1p-24 * std::fabs(out);
}

struct unary_case {
  const char *name;
  uint32_t op;
  unary_bound bound;  // null: bit for bit
  float lo, hi;
};

struct two_case {
  const char *name;
  uint32_t op;
};

constexpr int32_t kSizes[] = {1, 255, 256, 257, 1000};

class CudaUnary : public ::testing::TestWithParam<unary_case> {};

TEST_P(CudaUnary, MatchesHostAtEverySize) {
  const unary_case &c = GetParam();
  for (int32_t n : kSizes) {
    twin t;
    const std::vector<float> x = random_floats(n + 3, c.lo, c.hi, n);
    const twin_buffer out = t.bytes(4 * (n + 2)), in = t.buffer(x);
    t.run(c.op, [&](bool g) { return qz_ypu_unary_params_t{out.on(g), in.on(g), n, 8, 12}; });
    if (!c.bound) {
      t.expect_same<float>(out, n + 2);
    } else {
      const std::vector<float> g = t.gpu_values<float>(out, n + 2),
                               h = t.host_values<float>(out, n + 2);
      for (int32_t i = 0; i < n; ++i) {
        if (!std::isfinite(h[2 + i])) {
          ASSERT_EQ(std::memcmp(&g[2 + i], &h[2 + i], 4), 0) << "element " << i;
          continue;
        }
        ASSERT_LE(std::fabs(double{g[2 + i]} - h[2 + i]), c.bound(x[3 + i], h[2 + i]))
            << "element " << i << ": " << x[3 + i] << " gives " << g[2 + i] << " vs "
            << h[2 + i];
      }
    }
    const auto head = t.gpu_values<float>(out, 2);
    EXPECT_EQ(head, (std::vector<float>{0, 0})) << "bytes before the offset are untouched";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, CudaUnary,
    ::testing::Values(unary_case{"exp", QZ_YPU_OP_EXP_F32, exp_bound, -20, 20},
                      unary_case{"log", QZ_YPU_OP_LOG_F32, log_bound, 0, 100},
                      unary_case{"relu", QZ_YPU_OP_RELU_F32, nullptr, -5, 5},
                      unary_case{"gelu_tanh", QZ_YPU_OP_GELU_TANH_F32, tanh_form_bound, -6, 6},
                      unary_case{"gelu_sigmoid", QZ_YPU_OP_GELU_SIGMOID_F32, sigmoid_form_bound,
                                 -6, 6},
                      unary_case{"gelu_erf", QZ_YPU_OP_GELU_ERF_F32, erf_form_bound, -6, 6},
                      unary_case{"silu", QZ_YPU_OP_SILU_F32, sigmoid_form_bound, -10, 10}),
    [](const auto &info) { return std::string(info.param.name); });

class CudaTwoInput : public ::testing::TestWithParam<two_case> {};

TEST_P(CudaTwoInput, MatchesHostBitForBit) {
  for (int32_t n : kSizes) {
    twin t;
    const twin_buffer out = t.bytes(4 * n), a = t.buffer(random_floats(n, -10, 10, n)),
                      b = t.buffer(random_floats(n, 0.5f, 10, n + 1));
    t.run(GetParam().op, [&](bool g) {
      return qz_ypu_two_input_params_t{out.on(g), a.on(g), b.on(g), n, 0, 0, 0};
    });
    t.expect_same<float>(out, n);
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, CudaTwoInput,
                         ::testing::Values(two_case{"add", QZ_YPU_OP_ADD_F32},
                                           two_case{"sub", QZ_YPU_OP_SUB_F32},
                                           two_case{"mul", QZ_YPU_OP_MUL_F32},
                                           two_case{"div", QZ_YPU_OP_DIV_F32}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct scalar_case {
  const char *name;
  uint32_t op;
};

class CudaScalar : public ::testing::TestWithParam<scalar_case> {};

TEST_P(CudaScalar, MatchesHostBitForBit) {
  for (int32_t n : kSizes) {
    twin t;
    const twin_buffer out = t.bytes(4 * n), in = t.buffer(random_floats(n, 0.25f, 9, n));
    t.run(GetParam().op,
          [&](bool g) { return qz_ypu_scalar_params_t{out.on(g), in.on(g), -3.75f, n, 0, 0}; });
    t.expect_same<float>(out, n);
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, CudaScalar,
                         ::testing::Values(scalar_case{"add_scalar", QZ_YPU_OP_ADD_SCALAR_F32},
                                           scalar_case{"scalar_div", QZ_YPU_OP_SCALAR_DIV_F32},
                                           scalar_case{"mul_scalar", QZ_YPU_OP_MUL_SCALAR_F32},
                                           scalar_case{"rsub_scalar", QZ_YPU_OP_RSUB_SCALAR_F32}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(CudaConvert, IntegersToFloats) {
  for (int32_t n : kSizes) {
    twin t;
    std::vector<int32_t> wide = random_ints<int32_t>(n, -2147483647, 2147483647, n);
    wide[0] = 16777217;  // rounds to even
    const twin_buffer out = t.bytes(4 * n), in = t.buffer(wide);
    t.run(QZ_YPU_OP_CONVERT_I32_F32,
          [&](bool g) { return qz_ypu_unary_params_t{out.on(g), in.on(g), n, 0, 0}; });
    t.expect_same<float>(out, n);
    const twin_buffer q10 = t.bytes(4 * n), narrow = t.buffer(random_ints<int16_t>(n, -32768, 32767, n));
    t.run(QZ_YPU_OP_CONVERT_I16_F32,
          [&](bool g) { return qz_ypu_unary_params_t{q10.on(g), narrow.on(g), n, 0, 0}; });
    t.expect_same<float>(q10, n);
  }
}

// A count of 0 makes a grid of no blocks, which the runtime refuses.
TEST(CudaLaunch, EmptyGridsFail) {
  const uint32_t unary_ops[] = {QZ_YPU_OP_EXP_F32,        QZ_YPU_OP_SILU_F32,
                                QZ_YPU_OP_RELU_I16,       QZ_YPU_OP_SIGMOID_I16,
                                QZ_YPU_OP_TANH_TABLE_F32, QZ_YPU_OP_CONVERT_I32_F32};
  cuda_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(16), *in = gpu.buffer(16);
  for (uint32_t op : unary_ops) {
    SCOPED_TRACE(op);
    const qz_ypu_unary_params_t p{out, in, 0, 0, 0};
    EXPECT_EQ(gpu.run(op, &p), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{kKernelFailed});
  }
  const qz_ypu_add_sat_i16_params_t none{out, in, in, 0, 0, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ADD_SAT_I16, &none), QZ_STATUS_RUNTIME_ERROR);
  const qz_ypu_add_sat_i16_params_t one{out, in, in, 1, 0, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ADD_SAT_I16, &one), QZ_STATUS_SUCCESS);
  const qz_ypu_softmax_f32_params_t no_rows{out, in, 0, 4, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_SOFTMAX_F32, &no_rows), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kKernelFailed, kKernelFailed}));
}

// A fault of earlier work reaches the next entry's check. A fault that
// loses the context stays, as on a GPU: every later call that needs the
// device fails and says why, none looks recovered, until the device is
// reset; other errors are read once and cleared.
TEST(CudaLaunch, ALostContextStaysLost) {
  struct fault_case {
    int error;
    const char *text;  // of a lost context; null: the error is cleared
  } cases[] = {
      {226, "Invalid access of peer GPU memory over nvlink or a hardware error"},
      {700, "an illegal memory access was encountered"},
      {702, "the launch timed out and was terminated"},
      {710, "device-side assert triggered"},
      {714, "hardware stack error"},
      {715, "an illegal instruction was encountered"},
      {716, "misaligned address"},
      {717, "operation not supported on global/shared address space"},
      {718, "invalid program counter"},
      {719, "unspecified launch failure"},
      {721, "tensor memory not completely freed"},
      {810, "the MPS client has been terminated by the server"},
      {911, "an async error has occured in external entity outside of CUDA"},
      {qz_gpu_harness::kCudaErrorInvalidValue, nullptr},
      {qz_gpu_harness::kCudaErrorInvalidConfiguration, nullptr},
  };
  // The table holds every error that loses the context.
  for (int error = 0; error < 1000; ++error) {
    const bool listed = std::any_of(std::begin(cases), std::end(cases), [&](const fault_case &c) {
      return c.error == error && c.text != nullptr;
    });
    EXPECT_EQ(listed, qz_cuda_emu::qz_cuda_error_loses_context(error)) << error;
  }
  const std::string kToDevice = "0633a7d 0000033A: Failed to copy memory to device.";
  const std::string kAlloc = "0633a7d 00000339: Failed to alloc memory.";
  for (const fault_case &c : cases) {
    SCOPED_TRACE(c.error);
    cuda_context gpu;
    qz_ypu_buffer_t *out = gpu.buffer(16), *in = gpu.buffer(16);
    const qz_ypu_unary_params_t p{out, in, 4, 0, 0};
    gpu.runtime().device_fault(c.error);
    EXPECT_EQ(gpu.run(QZ_YPU_OP_EXP_F32, &p), QZ_STATUS_RUNTIME_ERROR);
    if (!c.text) {
      EXPECT_EQ(take_error_stack(), std::vector<std::string>{kKernelFailed});
      EXPECT_EQ(gpu.run(QZ_YPU_OP_EXP_F32, &p), QZ_STATUS_SUCCESS);
      continue;
    }
    const std::string lost = "0633a7d 00000345: The GPU context is lost after error " +
                             std::to_string(c.error) + " (" + c.text +
                             "); recreate the engine.";
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kKernelFailed, lost}));
    // Still lost: the next launch, a new buffer and an upload all fail.
    EXPECT_EQ(gpu.run(QZ_YPU_OP_EXP_F32, &p), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kKernelFailed, lost}));
    EXPECT_EQ(qz_cuda_emu::qz_ypu_cuda_buffer_create(gpu.device(), 16, 0), nullptr);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kAlloc, lost}));
    const float x[4] = {};
    EXPECT_EQ(qz_cuda_emu::qz_ypu_cuda_buffer_upload(gpu.device(), in, x, 0, 16),
              QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kToDevice, lost}));
    // Opening the device again does not get past it either.
    qz_cuda_emu::qz_ypu_cuda_device_t *again = nullptr;
    EXPECT_EQ(qz_cuda_emu::qz_ypu_cuda_device_open_at(0, &again), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(take_error_stack().back(), lost);
    EXPECT_EQ(gpu.runtime().lost_error(), c.error);
    gpu.runtime().reset_device();
    EXPECT_EQ(gpu.run(QZ_YPU_OP_EXP_F32, &p), QZ_STATUS_SUCCESS);
  }
}

// A launch that fails with a context-losing error is reported by its own
// entry and by every entry after it.
TEST(CudaLaunch, AFailedLaunchThatLosesTheContext) {
  cuda_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(16), *in = gpu.buffer(16);
  const qz_ypu_unary_params_t p{out, in, 4, 0, 0};
  gpu.runtime().fail(qz_gpu_harness::cuda_call::launch_kernel, 0, 719);
  for (int call = 0; call < 3; ++call) {
    SCOPED_TRACE(call);
    EXPECT_EQ(gpu.run(QZ_YPU_OP_EXP_F32, &p), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack().size(), 2u);
  }
  gpu.runtime().reset_device();
}

}  // namespace
