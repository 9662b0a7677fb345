#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "host/guarded.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

class Activation : public testing::TestWithParam<ypu_backend> {};

template <class In, class Out>
std::vector<Out> run_unary(ypu_harness &h, uint32_t op, const std::vector<In> &in) {
  const placed_operand x = place(h, in, 2, 3);
  const placed_operand y = guarded<Out>(h, in.size(), 5, 2);
  const qz_ypu_unary_params_t params{.out = y.buffer, .in = x.buffer,
                                     .count = static_cast<int32_t>(in.size()),
                                     .out_offset = y.offset, .in_offset = x.offset};
  EXPECT_EQ(h.run(op, &params), QZ_STATUS_SUCCESS);
  return read_guarded<Out>(h, y);
}

// Inputs across the interesting ranges: zero, small, around the points where
// the functions bend, large enough to saturate, and the specials.
std::vector<float> sweep() {
  std::vector<float> xs = {0.f, -0.f, 1e-6f, -1e-6f, 0.5f, -0.5f, 1.f, -1.f, 3.f, -3.f,
                           10.f, -10.f, 50.f, -50.f, 100.f, -100.f, 1e30f, -1e30f};
  for (int i = -400; i <= 400; i += 7) xs.push_back(i / 40.f);
  return xs;
}

double gelu_tanh(double x) {
  return 0.5 * x * (1 + std::tanh(std::sqrt(2 / M_PI) * (x + 0.044715 * x * x * x)));
}
double sigmoid(double x) { return 1 / (1 + std::exp(-x)); }

// On CPU contexts GELU and SiLU run the CPU backend's table interpolation,
// whose accuracy its own tests check; the exact-function checks here are for
// the host code.
bool runs_cpu_table(ypu_backend backend, uint32_t op) {
  const bool cpu = backend == ypu_backend::cpu || backend == ypu_backend::cpu_pool;
  return cpu && (op == QZ_YPU_OP_GELU_TANH_F32 || op == QZ_YPU_OP_GELU_ERF_F32 ||
                 op == QZ_YPU_OP_SILU_F32);
}

struct float_case {
  const char *name;
  uint32_t op;
  std::function<double(double)> reference;
};

TEST_P(Activation, FloatFunctionsMatchDoubleReferences) {
  const float_case cases[] = {
      {"gelu_tanh", QZ_YPU_OP_GELU_TANH_F32, gelu_tanh},
      {"gelu_sigmoid", QZ_YPU_OP_GELU_SIGMOID_F32, [](double x) { return x * sigmoid(1.702 * x); }},
      {"gelu_erf", QZ_YPU_OP_GELU_ERF_F32,
       [](double x) { return 0.5 * x * (1 + std::erf(x / std::sqrt(2.0))); }},
      {"silu", QZ_YPU_OP_SILU_F32, [](double x) { return x * sigmoid(x); }},
  };
  ypu_harness h(GetParam());
  const std::vector<float> xs = sweep();
  for (const float_case &c : cases) {
    if (runs_cpu_table(GetParam(), c.op)) continue;
    const std::vector<float> out = run_unary<float, float>(h, c.op, xs);
    for (size_t i = 0; i < xs.size(); ++i) {
      // The 1 - 2 / (e + 1) + 1 form loses the low bits of 1 + tanh for
      // large negative inputs, hence the absolute part of the tolerance.
      const double want = c.reference(xs[i]);
      EXPECT_TRUE(near_value(out[i], want, 2e-6, 2e-7 * std::fabs(xs[i])))
          << c.name << "(" << xs[i] << ")";
    }
  }
}

TEST_P(Activation, FloatSpecialsPropagate) {
  ypu_harness h(GetParam());
  for (uint32_t op : {QZ_YPU_OP_GELU_TANH_F32, QZ_YPU_OP_GELU_SIGMOID_F32, QZ_YPU_OP_GELU_ERF_F32,
                      QZ_YPU_OP_SILU_F32, QZ_YPU_OP_SIGMOID_TABLE_F32, QZ_YPU_OP_TANH_TABLE_F32}) {
    const std::vector<float> out = run_unary<float, float>(h, op, {NAN, INFINITY});
    EXPECT_TRUE(std::isnan(out[0])) << op;
    EXPECT_FALSE(std::isnan(out[1])) << op;
  }
}

TEST_P(Activation, TableSigmoidAndTanhFixtures) {
  ypu_harness h(GetParam());
  // x * 1024 truncated toward zero reads the fixed-point functions; beyond
  // int16 the clamp values apply.
  const std::vector<float> xs = {0.f, 1.f, -1.f, -1.f / 1024, -1.5f / 1024, 1.9f / 1024,
                                 40.f, -40.f, 32767.f / 1024, -32768.f / 1024, 32766.9f / 1024};
  const std::vector<float> sig = run_unary<float, float>(h, QZ_YPU_OP_SIGMOID_TABLE_F32, xs);
  const std::vector<float> sig_want = {16384 / 32767.f, 23955 / 32767.f, 8812 / 32767.f,
                                       16376 / 32767.f, 16376 / 32767.f, 16391 / 32767.f,
                                       0.9996338f, 0.0003357036f, 0.9996338f, 0.0003357036f,
                                       32755 / 32767.f};
  EXPECT_EQ(sig, sig_want);
  EXPECT_NEAR(sig[0], 0.500015, 1e-6);
  const std::vector<float> th = run_unary<float, float>(h, QZ_YPU_OP_TANH_TABLE_F32, xs);
  const std::vector<float> th_want = {0.f, 24954 / 32767.f, -24956 / 32767.f, -32 / 32767.f,
                                      -32 / 32767.f, 30 / 32767.f, 0.99923706f, -0.99935913f,
                                      0.99923706f, -0.99935913f, 32742 / 32767.f};
  EXPECT_EQ(th, th_want);
}

TEST_P(Activation, TableFunctionsFollowTheExactOnes) {
  ypu_harness h(GetParam());
  std::vector<float> xs;
  for (int i = -4000; i <= 4000; ++i) xs.push_back(i / 400.f);
  const std::vector<float> sig = run_unary<float, float>(h, QZ_YPU_OP_SIGMOID_TABLE_F32, xs);
  const std::vector<float> th = run_unary<float, float>(h, QZ_YPU_OP_TANH_TABLE_F32, xs);
  for (size_t i = 0; i < xs.size(); ++i) {
    // Interpolation error of the Q15 table plus the truncation of x to Q10.
    const double step = 1 / 1024.0;
    EXPECT_NEAR(sig[i], sigmoid(xs[i]), 3.0 / 32767 + step / 4) << xs[i];
    EXPECT_NEAR(th[i], std::tanh(xs[i]), 6.0 / 32767 + step) << xs[i];
  }
}

TEST_P(Activation, FixedPointSigmoids) {
  ypu_harness h(GetParam());
  const std::vector<int16_t> in = {0, -1, 1, 64, -64, 1024, -1024, 8128, 32767, -8192, -32768};
  const std::vector<int16_t> q15 = {16384, 16376, 16391, 16895, 15872, 23955,
                                    8812,  32755, 32755, 11,    11};
  EXPECT_EQ((run_unary<int16_t, int16_t>(h, QZ_YPU_OP_SIGMOID_I16, in)), q15);
  std::vector<int16_t> q10;
  for (int16_t v : q15) q10.push_back(static_cast<int16_t>(v / 32));
  EXPECT_EQ((run_unary<int16_t, int16_t>(h, QZ_YPU_OP_SIGMOID_Q10_I16, in)), q10);
  EXPECT_EQ(q10[0], 512);
}

TEST_P(Activation, InPlaceAndEmptyCounts) {
  ypu_harness h(GetParam());
  const placed_operand x = place(h, std::vector<int16_t>{0, 1024, -1024});
  const qz_ypu_unary_params_t in_place{.out = x.buffer, .in = x.buffer, .count = 3,
                                       .out_offset = x.offset, .in_offset = x.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_SIGMOID_Q10_I16, &in_place), QZ_STATUS_SUCCESS);
  EXPECT_EQ(read_guarded<int16_t>(h, x), (std::vector<int16_t>{512, 748, 275}));

  const placed_operand f = place(h, std::vector<float>{-2.f, 0.f, 2.f});
  const qz_ypu_unary_params_t silu_in_place{.out = f.buffer, .in = f.buffer, .count = 3,
                                            .out_offset = f.offset, .in_offset = f.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_SILU_F32, &silu_in_place), QZ_STATUS_SUCCESS);
  const std::vector<float> silu = read_guarded<float>(h, f);
  const double tolerance = runs_cpu_table(GetParam(), QZ_YPU_OP_SILU_F32) ? 3e-6 : 1e-6;
  EXPECT_TRUE(near_value(silu[0], -2 * sigmoid(-2), tolerance));
  EXPECT_NEAR(silu[1], 0.f, tolerance);
  EXPECT_TRUE(near_value(silu[2], 2 * sigmoid(2), tolerance));

  const placed_operand y = guarded<float>(h, 2);
  for (uint32_t op : {QZ_YPU_OP_GELU_TANH_F32, QZ_YPU_OP_SIGMOID_I16, QZ_YPU_OP_TANH_TABLE_F32}) {
    for (int32_t count : {0, -4}) {
      const qz_ypu_unary_params_t params{.out = y.buffer, .in = f.buffer, .count = count,
                                         .out_offset = y.offset, .in_offset = f.offset};
      EXPECT_EQ(h.run(op, &params), QZ_STATUS_SUCCESS);
    }
  }
  expect_untouched(h, y);
}

INSTANTIATE_TEST_SUITE_P(Backends, Activation, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
