#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_elementwise/runner.h"
#include "support/isa_sets.h"
#include "ypu/cpu/activation.h"
#include "ypu/params.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

double gelu_tanh(double x) {
  return 0.5 * x * (1.0 + std::tanh(0.7978845608028654 * (x + 0.044715 * x * x * x)));
}
double gelu_erf(double x) { return 0.5 * x * (1.0 + std::erf(x * 0.7071067811865476)); }
double silu(double x) { return x / (1.0 + std::exp(-x)); }

struct activation {
  const char *name;
  uint32_t op;
  double (*exact)(double);
  float lo, hi;
  const float *(*table)();
};

const activation kActivations[] = {
    {"gelu_tanh", QZ_YPU_OP_GELU_TANH_F32, gelu_tanh, -4.0f, 4.0f,
     [] { return qz_ypu_cpu_activation_tables().gelu_tanh; }},
    {"gelu_erf", QZ_YPU_OP_GELU_ERF_F32, gelu_erf, -4.0f, 4.0f,
     [] { return qz_ypu_cpu_activation_tables().gelu_erf; }},
    {"silu", QZ_YPU_OP_SILU_F32, silu, -12.0f, 12.0f, [] { return qz_ypu_cpu_activation_tables().silu; }},
};

std::vector<float> run_activation(int32_t threads, uint32_t op, const std::vector<float> &in,
                                  bool in_place = false,
                                  uint32_t flags = QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41) {
  op_runner r(threads, flags);
  const slot si = r.input(in);
  const slot so = in_place ? si : r.output<float>(in.size());
  const qz_ypu_unary_params_t p{so.buffer, si.buffer, static_cast<int32_t>(in.size()), so.offset,
                                si.offset};
  EXPECT_EQ(r.run(op, &p), QZ_STATUS_SUCCESS);
  return r.result<float>(so);
}

TEST(ActivationTables, EntriesAreTheFunctionAtTheirSamplePoints) {
  for (const activation &a : kActivations) {
    const float *t = a.table();
    for (int i = 0; i < QZ_ACTIVATION_TABLE_SIZE; ++i) {
      const double x = a.lo + i * double(a.hi - a.lo) / 4095;
      ASSERT_NEAR(t[i], a.exact(x), 1e-6) << a.name << " entry " << i;
    }
    EXPECT_EQ(t[0], static_cast<float>(a.exact(a.lo))) << a.name;
    EXPECT_EQ(t[4095], static_cast<float>(a.exact(a.hi))) << a.name;
  }
}

TEST(TableActivations, ClampRulesAndTableEnds) {
  for (const activation &a : kActivations) {
    SCOPED_TRACE(a.name);
    const float *t = a.table();
    const float below_hi = std::nextafter(a.hi, 0.0f), above_lo = std::nextafter(a.lo, 0.0f);
    const std::vector<float> in = {-kInf, a.lo - 1.0f, a.lo, above_lo, 0.0f, below_hi,
                                   a.hi,  a.hi + 3.0f, kInf, std::numeric_limits<float>::quiet_NaN()};
    const auto got = run_activation(1, a.op, in);
    EXPECT_EQ(got[0], 0.0f);
    EXPECT_EQ(got[1], 0.0f);
    EXPECT_EQ(got[2], 0.0f);
    EXPECT_NEAR(got[3], t[0], 1e-6);
    // The midpoint of the table: t = 2047.5.
    EXPECT_EQ(got[4], 0.5f * (t[2048] - t[2047]) + t[2047]);
    // Just below hi, x - lo rounds to the full range: the last entry, read
    // without stepping past the table.
    EXPECT_NEAR(got[5], t[4095], 1e-6);
    EXPECT_EQ(got[6], a.hi);
    EXPECT_EQ(got[7], a.hi + 3.0f);
    EXPECT_EQ(got[8], kInf);
    EXPECT_TRUE(std::isnan(got[9]));
  }
}

// The AVX2 form gives the one-element routine's bits, the clamp rules
// included, wherever a value falls among the eight lanes or the tail.
TEST(TableActivations, AvxTwoGivesThePlainBits) {
  const std::string missing = qz_test_missing_sets(QZ_YPU_CPU_ISA_AVX2);
  if (!missing.empty()) GTEST_SKIP() << "this processor lacks" << missing;
  for (const activation &a : kActivations) {
    SCOPED_TRACE(a.name);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> special = {
        -kInf, a.lo - 1.0f, a.lo, std::nextafter(a.lo, 0.0f), -0.0f, 0.0f, 1e-40f,
        std::nextafter(a.hi, 0.0f), a.hi, a.hi + 3.0f, kInf, nan, -nan,
        std::numeric_limits<float>::signaling_NaN(), 0.5f * (a.lo + a.hi) + 1e-3f};
    std::vector<float> in = random_floats(4096, 78000u + a.op, a.lo - 1.0f, a.hi + 1.0f);
    // Each special value in every lane position and in the tail.
    for (size_t k = 0; k < special.size(); ++k)
      for (size_t lane = 0; lane < 9; ++lane) in[(k * 9 + lane) * 9 % 4090] = special[k];
    in.resize(4093);  // a tail of five
    const auto vector = run_activation(1, a.op, in);
    const auto plain = run_activation(1, a.op, in, false, 0);
    ASSERT_EQ(std::memcmp(vector.data(), plain.data(), in.size() * sizeof(float)), 0);
  }
}

TEST(TableActivations, CloseToTheExactFunctionAndTheHost) {
  for (const activation &a : kActivations) {
    SCOPED_TRACE(a.name);
    const uint32_t seed = 77000u + a.op;
    const auto in = random_floats(4099, seed, a.lo - 1.0f, a.hi + 1.0f);
    const auto host = run_activation(0, a.op, in);
    for (int32_t threads : {1, 3})
      for (bool in_place : {false, true}) {
        const auto got = run_activation(threads, a.op, in, in_place);
        for (size_t i = 0; i < in.size(); ++i) {
          const float x = in[i];
          if (x <= a.lo || x >= a.hi) continue;
          // Interpolation error (h^2/8 |f''|, at most 2.2e-6 for SiLU's
          // step of 24/4095) plus the entries' and the result's roundings.
          ASSERT_NEAR(got[i], a.exact(x), 3e-6 + 1.2e-7 * std::fabs(x)) << "x=" << x << " seed=" << seed;
          // The host evaluates the function itself; the tables' clamps put
          // the largest gap at the range ends.
          ASSERT_NEAR(got[i], host[i], 1.5e-4) << "x=" << x;
        }
      }
  }
}

}  // namespace
