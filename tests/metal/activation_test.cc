// The Metal activation kernels: the fixed-point sigmoids bit for bit with
// the host over every int16 input, and the float activations (whose Metal
// formulas differ from the host's) within bounds derived per operation
// below.
#include "metal_twin.h"

#include "ypu/params.h"

namespace {

constexpr double kFloatUnit = 1.0 / 8388608.0;  // 2^-23, one ulp of 1.0
constexpr double kOverflowTail = 2.61e-37;

class MetalSigmoidI16 : public MetalTest {};

// Ops 75 and 76 over all 65536 inputs, and the values that pin the
// interpolation and both clamps independently of the host.
TEST_F(MetalSigmoidI16, EveryInputMatchesHost) {
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16_t>(i - 32768);
  const int32_t n = 65536;
  metal_twin t;
  const twin_buffer q15 = t.bytes(2 * n), q10 = t.bytes(2 * n), in = t.buffer(all);
  t.run(QZ_YPU_OP_SIGMOID_I16, "taabe29",
        [&](bool g) { return qz_ypu_sigmoid_i16_params_t{q15.on(g), in.on(g), n, 0, 0}; });
  t.run(QZ_YPU_OP_SIGMOID_Q10_I16, "taabe231",
        [&](bool g) { return qz_ypu_sigmoid_q10_i16_params_t{q10.on(g), in.on(g), n, 0, 0}; });
  t.expect_same<int16_t>(q15, n);
  t.expect_same<int16_t>(q10, n);

  const std::vector<int16_t> s = t.gpu_values<int16_t>(q15, n), s10 = t.gpu_values<int16_t>(q10, n);
  struct point {
    int16_t x, q15;
  };
  for (const point p : {point{0, 16384}, point{1024, 23955}, point{-1024, 8812},
                        point{8128, 32755}, point{32767, 32755}, point{-1, 16376},
                        point{-8192, 11}, point{-32768, 11}}) {
    EXPECT_EQ(s[p.x + 32768], p.q15) << "sigmoid(" << p.x << ")";
    EXPECT_EQ(s10[p.x + 32768], p.q15 >> 5) << "sigmoid_q10(" << p.x << ")";
  }
}

// Float activations. Each bound is the host's and the kernel's rounding
// differences added up; |x| is the input.
struct float_case {
  const char *name;
  uint32_t op;
  const char *kernel;
  float lo, hi;
  double (*bound)(float x, float host);
};

class MetalFloatActivation : public MetalTest, public ::testing::WithParamInterface<float_case> {};

TEST_P(MetalFloatActivation, WithinTheFormulasDifference) {
  const float_case &c = GetParam();
  for (int32_t n : {1, 33, 4000}) {
    SCOPED_TRACE(n);
    std::vector<float> x = random_floats(n, c.lo, c.hi, n);
    x[0] = 0.0f;
    metal_twin t;
    const twin_buffer out = t.bytes(4 * n, 0xA5), in = t.buffer(x);
    t.run(c.op, c.kernel,
          [&](bool g) { return qz_ypu_unary_params_t{out.on(g), in.on(g), n, 0, 0}; });
    t.expect_within(out, n, [&](size_t i, float h) { return c.bound(x[i], h); });
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, MetalFloatActivation,
    ::testing::Values(
        // 0.5x (1 + t) with t = tanh(v) here and 1 - 2 / (e^2v + 1) on the
        // host. v differs by at most 11 float roundings (relative), which
        // moves t by at most 0.45 * 11 * 2^-24 (v sech^2 v <= 0.45); each
        // side's t is within 3 ulp of 1.0 of tanh(v), and 1 + t rounds once
        // more each: 10 ulp of 1.0 in all, scaled by 0.5|x|; the final
        // product adds 2 ulp of the result.
        float_case{"gelu_tanh", QZ_YPU_OP_GELU_TANH_F32, "taabe17", -8, 8,
                   [](float x, float h) {
                     return 0.5 * std::fabs(x) * 10 * kFloatUnit + 2 * ulp_of(h);
                   }},
        // x / (e^-kx + 1) on both sides for kx >= 0; for kx < 0 the host
        // divides e^kx / (1 + e^kx) first. Three roundings each side and
        // one of exp: 8 ulp of the result. Where e^-kx overflows (kx below
        // -ln(FLT_MAX) = -88.72) the kernel's quotient is 0 while the host
        // keeps |x| e^kx <= 88.73 / FLT_MAX = 2.61e-37.
        float_case{"gelu_sigmoid", QZ_YPU_OP_GELU_SIGMOID_F32, "taabe119", -60, 60,
                   [](float, float h) { return 8 * ulp_of(h) + kOverflowTail; }},
        float_case{"silu", QZ_YPU_OP_SILU_F32, "taabe47", -100, 100,
                   [](float, float h) { return 8 * ulp_of(h) + kOverflowTail; }},
        // 0.5x (1 + sE): the series approximates erf within 1.5e-7, and
        // its float evaluation (eight roundings of values below 1) adds at
        // most 8 ulp of 1.0 and 1 + sE two more; the product scales this by
        // 0.5|x|, and 2 ulp of the result cover the last rounding.
        float_case{"gelu_erf", QZ_YPU_OP_GELU_ERF_F32, "taabe342", -8, 8,
                   [](float x, float h) {
                     return 0.5 * std::fabs(x) * (1.5e-7 + 10 * kFloatUnit) + 2 * ulp_of(h);
                   }},
        // The host reads the int16 table at x * 1024 truncated: the
        // truncation moves x by < 1/1024 (sigmoid' <= 1/4: 2.45e-4), the
        // table's rounding adds 0.5 / 32767, linear interpolation between
        // samples 1/16 apart at most (1/16)^2 / 8 * max|sigmoid''| (0.097)
        // = 4.7e-5, and the interpolation's shift 1 / 32767. Past the
        // table's ends (|x| >= 8) the host holds 32755 / 32767 and
        // 11 / 32767, within 3.7e-4 of the limits. So 3.7e-4 + 1e-5.
        float_case{"sigmoid_table", QZ_YPU_OP_SIGMOID_TABLE_F32, "taabe325", -12, 12,
                   [](float, float) { return 3.8e-4; }},
        // tanh(x) = 2 sigmoid(2x) - 1 on the host: the truncation moves x
        // by < 1/1024 (tanh' <= 1: 9.77e-4) and the table sigmoid's own
        // errors above (at most 1.1e-4) double; past |x| = 3.97 the host
        // holds 0.99923706 and -0.99935913, within 7.7e-4 of +-1. So
        // 9.77e-4 + 2.2e-4 + a float unit: 1.2e-3.
        float_case{"tanh_table", QZ_YPU_OP_TANH_TABLE_F32, "taabe190", -6, 6,
                   [](float, float) { return 1.2e-3; }}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
