#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_elementwise/runner.h"
#include "ypu/cpu/frame.h"
#include "ypu/cpu/softmax.h"
#include "ypu/params.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

template <class Out, class In>
std::vector<Out> run_softmax(int32_t threads, uint32_t isa, uint32_t op, const std::vector<In> &in,
                             int32_t rows, int32_t cols, bool in_place = false,
                             qz_status_t expect = QZ_STATUS_SUCCESS) {
  op_runner r(threads, isa);
  const slot si = r.input(in);
  const slot so = in_place ? si : r.output<Out>(in.size());
  const qz_ypu_matrix_params_t p{so.buffer, si.buffer, rows, cols, so.offset, si.offset};
  EXPECT_EQ(r.run(op, &p), expect);
  return r.result<Out>(so);
}

// Row lengths around the 4-, 8- and 16-value steps, and a vocabulary row.
constexpr int32_t kFloatCols[] = {1, 3, 4, 6, 7, 8, 9, 12, 16, 17, 24, 64, 6000};

class FloatSoftmax : public testing::TestWithParam<isa_variant> {};

TEST_P(FloatSoftmax, MatchesTheHostWithinTheExponentialsError) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  const uint32_t mask = GetParam().mask;
  for (int32_t cols : kFloatCols) {
    const int32_t rows = cols >= 1000 ? 5 : 11;
    const uint32_t seed = 78000u + cols;
    auto in = random_floats(size_t(rows) * cols, seed, -30.0f, 30.0f);
    in[0] = -kInf;  // e^-inf = 0 in every variant
    const auto host = run_softmax<float>(0, 0, QZ_YPU_OP_SOFTMAX_F32, in, rows, cols);
    const bool vector = ((mask & QZ_YPU_CPU_ISA_AVX2) && cols % 8 == 0) ||
                        ((mask & QZ_YPU_CPU_ISA_SSE41) && cols % 4 == 0) ||
                        ((mask & QZ_YPU_CPU_ISA_NEON_MASK) && cols % 4 == 0);
    std::vector<float> first;
    for (int32_t threads : kThreadCounts)
      for (bool in_place : {false, true}) {
        SCOPED_TRACE(testing::Message() << "cols=" << cols << " seed=" << seed << " threads="
                                        << threads << " in_place=" << in_place);
        const auto got = run_softmax<float>(threads, mask, QZ_YPU_OP_SOFTMAX_F32, in, rows, cols, in_place);
        if (!vector) {
          // The generic task is the host's algorithm.
          EXPECT_TRUE(same_bits(got, host));
          continue;
        }
        // Whatever the split, every row runs the same operations.
        if (first.empty()) first = got;
        EXPECT_TRUE(same_bits(got, first));
        // Against softmax in double precision: the polynomial is within
        // 4e-7 of e^x, each of the 8 (or 4) lane sums adds about cols / 8
        // rounded terms, and the lane reduction and the final product add a
        // few roundings more.
        const double bound = 4e-7 + (cols / 4 + 4) * 6e-8;
        for (int32_t r = 0; r < rows; ++r) {
          const float *x = &in[size_t(r) * cols];
          // Both implementations round x - max to a float first.
          float m = -INFINITY;
          double total = 0;
          for (int32_t j = 0; j < cols; ++j) m = std::fmax(m, x[j]);
          for (int32_t j = 0; j < cols; ++j) total += std::exp(double(x[j] - m));
          for (int32_t j = 0; j < cols; ++j) {
            const double exact = std::exp(double(x[j] - m)) / total;
            ASSERT_NEAR(got[size_t(r) * cols + j], exact, bound * exact + 1e-37)
                << "row " << r << " column " << j;
          }
        }
      }
  }
}

TEST_P(FloatSoftmax, EqualScoresGiveExactShares) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  for (int32_t cols : {4, 8, 16}) {
    const std::vector<float> in(size_t(3) * cols, 0.0f);
    for (int32_t threads : {1, 3}) {
      const auto got = run_softmax<float>(threads, GetParam().mask, QZ_YPU_OP_SOFTMAX_F32, in, 3, cols);
      for (float x : got) ASSERT_EQ(x, 1.0f / cols) << "cols=" << cols;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cpu, FloatSoftmax, testing::ValuesIn(kIsaVariants), variant_name);

TEST(FloatSoftmax, EmptyRowsWriteNothing) {
  for (auto [rows, cols] : {std::pair{0, 8}, std::pair{3, 0}, std::pair{-1, 8}}) {
    const auto got = run_softmax<float>(4, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41,
                                        QZ_YPU_OP_SOFTMAX_F32, std::vector<float>(8, 1.0f), rows, cols);
    for (float x : got) EXPECT_TRUE(std::isnan(x)) << rows << "x" << cols;
  }
}

// The vector exponentials against e^x in double precision.
#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void exp8(const float *x, float *y) {
  _mm256_storeu_ps(y, qz_ypu_cpu_exp8_avx2(_mm256_loadu_ps(x)));
}
__attribute__((target("sse4.1"))) void exp4(const float *x, float *y) {
  _mm_storeu_ps(y, qz_ypu_cpu_exp4_sse41(_mm_loadu_ps(x)));
}
#elif defined(__aarch64__)
void exp4(const float *x, float *y) { vst1q_f32(y, qz_ypu_cpu_exp4_neon(vld1q_f32(x))); }
#endif

struct exp_form {
  const char *name;
  int lanes;
  void (*eval)(const float *, float *);
  bool (*supported)();
};

TEST(VectorExponential, CloseToTheExactValueAndSafeAtTheExtremes) {
#if defined(__aarch64__)
  const exp_form forms[] = {{"neon", 4, exp4, has_neon}};
#else
  const exp_form forms[] = {{"avx2", 8, exp8, has_avx2_fma}, {"sse41", 4, exp4, has_sse41}};
#endif
  for (const exp_form &f : forms) {
    if (!f.supported()) {
      std::printf("skipping the %s exponential: not supported here\n", f.name);
      continue;
    }
    SCOPED_TRACE(f.name);
    // Relative error over the softmax's range of normal results, with the
    // argument in every lane position; the 8-lane form includes lanes past
    // |n| = 126 next to ordinary ones, which takes the two-factor path.
    std::vector<float> xs;
    for (float x = -87.0f; x <= 0.0f; x += 0.0137f) xs.push_back(x);
    for (float x : {0.0f, -0.0f, 1e-8f, -1e-8f, 0.5f, 3.0f, 50.0f, 88.0f}) xs.push_back(x);
    while (xs.size() % 8) xs.push_back(-1.0f);
    std::vector<float> ys(xs.size());
    for (size_t i = 0; i < xs.size(); i += f.lanes) f.eval(&xs[i], &ys[i]);
    for (size_t i = 0; i < xs.size(); ++i) {
      const double exact = std::exp(double(xs[i]));
      ASSERT_NEAR(ys[i], exact, 4e-7 * exact) << "x=" << xs[i];
    }
    // Beyond the normal range: tiny or zero, never NaN or negative.
    const float extremes[8] = {-88.0f, -100.0f, -126.5f, -150.0f, -200.0f, -1000.0f, -kInf, 0.0f};
    float out[8];
    for (int i = 0; i < 8; i += f.lanes) f.eval(extremes + i, out + i);
    for (int i = 0; i < 7; ++i) {
      EXPECT_GE(out[i], 0.0f) << "x=" << extremes[i];
      EXPECT_LE(out[i], 1e-38f) << "x=" << extremes[i];
    }
    EXPECT_EQ(out[5], 0.0f);
    EXPECT_EQ(out[6], 0.0f);
    EXPECT_EQ(out[7], 1.0f);
    // -100 is a subnormal-range result: still within a couple of subnormal steps.
    EXPECT_NEAR(out[1], std::exp(-100.0), 3e-45);
  }
}

std::vector<int16_t> random_q10(size_t count, uint32_t seed) {
  std::vector<int16_t> v(count);
  for (int16_t &x : v) x = static_cast<int16_t>(static_cast<int32_t>(next_random(seed) % 16384) - 8192);
  return v;
}

class FixedSoftmax : public testing::TestWithParam<isa_variant> {};

TEST_P(FixedSoftmax, EqualsTheHostInEveryVariant) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  for (int32_t cols : {1, 7, 8, 9, 15, 16, 17, 32, 48, 100}) {
    const int32_t rows = 13;
    const uint32_t seed = 79000u + cols;
    auto in = random_q10(size_t(rows) * cols, seed);
    // Extremes: the widest gap clamps at 16383; an all-equal row.
    in[0] = -32768;
    if (cols > 1) in[1] = 32767;
    for (int32_t j = 0; j < cols; ++j) in[size_t(2) * cols + j] = 123;
    const auto host = run_softmax<int32_t>(0, 0, QZ_YPU_OP_SOFTMAX_FIXED_I16, in, rows, cols);
    for (int32_t threads : kThreadCounts) {
      SCOPED_TRACE(testing::Message() << "cols=" << cols << " seed=" << seed << " threads=" << threads);
      EXPECT_EQ(run_softmax<int32_t>(threads, GetParam().mask, QZ_YPU_OP_SOFTMAX_FIXED_I16, in, rows, cols),
                host);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cpu, FixedSoftmax, testing::ValuesIn(kIsaVariants), variant_name);

TEST(FixedSoftmax, SingleValueRowIsAlmostOne) {
  // e^0 = 2147483646, r = 2^62 / that capped at INT32_MAX.
  const auto got = run_softmax<int32_t>(1, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41,
                                        QZ_YPU_OP_SOFTMAX_FIXED_I16, std::vector<int16_t>{5, -9}, 2, 1);
  const int64_t want = ((int64_t{INT32_MAX} * 2147483646) + (int64_t{1} << 30)) >> 31;
  EXPECT_EQ(got, (std::vector<int32_t>{int32_t(want), int32_t(want)}));
}

TEST(FixedSoftmax, RowsWithoutValuesAreRejectedUntouched) {
  // Every vector length divides 0: the entry must not run a kernel (which
  // would divide by a zero sum) but leave the call to the host's check.
  for (const isa_variant &v : kIsaVariants) {
    const auto got = run_softmax<int32_t>(4, v.mask, QZ_YPU_OP_SOFTMAX_FIXED_I16, std::vector<int16_t>(4, 1),
                                          2, 0, false, QZ_STATUS_INVALID_ARGUMENT);
    for (int32_t x : got) EXPECT_EQ(x, -1) << v.name;
  }
}

}  // namespace
