// Blocked online-softmax attention: full 256 x 256 tiles through the AVX2
// or SSE4.1 kernel (by head size), partial tiles through the host step, the
// final scaling by a reciprocal; against the host, over thread counts, and
// when its scratch cannot be had.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "common/alloc.h"
#include "cpu_context.h"
#include "support/error_stack.h"
#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

namespace {

struct shape_case {
  int32_t B, Q, K, H, G, D;
};

struct inputs {
  std::vector<float> query, key, value;
};

inputs make_inputs(const shape_case &s, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> sym(-1.0f, 1.0f);
  inputs in;
  in.query.resize(size_t(s.B) * s.Q * s.H * s.D);
  in.key.resize(size_t(s.B) * s.K * s.G * s.D);
  in.value.resize(in.key.size());
  for (auto *v : {&in.query, &in.key, &in.value})
    for (float &x : *v) x = sym(rng);
  return in;
}

size_t output_count(const shape_case &s) { return size_t(s.B) * s.Q * s.H * s.D; }

qz_status_t run(test_context &c, const shape_case &s, const inputs &in, std::vector<float> *out) {
  qz_ypu_buffer_t *dst = c.output(output_count(s));
  const qz_ypu_attention_blocked_f32_params_t p{
      dst, c.input(in.query), c.input(in.key), c.input(in.value), s.B, s.Q, s.K, s.H, s.G, s.D};
  const qz_status_t status =
      c.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, qz_ypu_cpu_attention_blocked_f32, &p);
  *out = c.result(dst, output_count(s));
  return status;
}

// Reordered score sums move each score by at most
// delta = (D + 2) x FLT_EPSILON x scale x sum|q k|; that moves every
// normalised weight by a relative 2 delta at most, so an output element by
// 2 delta x max|v|. The weighted sums themselves (fused or not, then a
// reciprocal instead of a division) add (K + 4) x FLT_EPSILON x max|v|.
std::vector<double> bounds(const shape_case &s, const inputs &in) {
  std::vector<double> bound(output_count(s));
  const double scale = 1.0 / std::sqrt(double(s.D));
  for (int32_t b = 0; b < s.B; ++b)
    for (int32_t q = 0; q < s.Q; ++q)
      for (int32_t h = 0; h < s.H; ++h) {
        const int32_t g = h / (s.H / s.G);
        const float *qr = in.query.data() + ((size_t(b) * s.Q + q) * s.H + h) * s.D;
        double delta = 0, vmax = 0;
        for (int32_t t = 0; t < s.K; ++t) {
          const size_t row = ((size_t(b) * s.K + t) * s.G + g) * s.D;
          double sum = 0;
          for (int32_t d = 0; d < s.D; ++d) {
            sum += std::fabs(double(qr[d]) * in.key[row + d]);
            vmax = std::max(vmax, double(std::fabs(in.value[row + d])));
          }
          delta = std::max(delta, (s.D + 2) * double(FLT_EPSILON) * scale * sum);
        }
        const double allowed = (2 * delta + (s.K + 4) * double(FLT_EPSILON)) * vmax;
        for (int32_t d = 0; d < s.D; ++d)
          bound[((size_t(b) * s.Q + q) * s.H + h) * s.D + d] = allowed;
      }
  return bound;
}

#if defined(__aarch64__)
const variant_case kVariants[] = {QZ_TEST_ARM64_VARIANTS};
#else
const variant_case kVariants[] = {{"plain", 0},
                                  {"sse41", QZ_YPU_CPU_ISA_SSE41},
                                  {"avx2", QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41}};
#endif

struct blocked_case {
  const char *what;
  shape_case s;
  std::vector<int> threads;  // compared with one thread
};

const blocked_case kCases[] = {
    {"one query, one key", {1, 1, 1, 1, 1, 8}, {2, 8}},
    {"partial tiles only, grouped heads", {3, 5, 37, 4, 2, 32}, {2, 3, 8}},
    {"no keys: rows stay 0", {2, 20, 0, 2, 2, 16}, {3}},
    {"full tile then a partial query block, AVX2 size", {1, 300, 300, 2, 1, 64}, {3}},
    {"full tiles and a partial key block, SSE4.1 size", {2, 256, 260, 2, 2, 48}, {2, 8}},
    {"four full tiles of a size no kernel takes", {1, 512, 512, 1, 1, 40}, {3}},
};

class BlockedVsHost : public testing::TestWithParam<variant_case> {};

TEST_P(BlockedVsHost, AgreesOnEveryShapeAndThreadCount) {
  const variant_case &variant = GetParam();
  if (!processor_has(variant.isa_flags))
    GTEST_SKIP() << "this processor lacks the " << variant.name << " instructions";
  uint32_t seed = 650;
  for (const blocked_case &bc : kCases) {
    const shape_case &s = bc.s;
    ++seed;
    SCOPED_TRACE(testing::Message() << bc.what << ", seed " << seed);
    const inputs in = make_inputs(s, seed);
    std::vector<float> want, got;
    {
      test_context host(kHostOnly, 0);
      ASSERT_EQ(run(host, s, in, &want), QZ_STATUS_SUCCESS);
    }
    {
      test_context cpu(1, variant.isa_flags);
      ASSERT_EQ(run(cpu, s, in, &got), QZ_STATUS_SUCCESS);
    }
    expect_within(got, want, bounds(s, in), "one thread");
    for (int threads : bc.threads) {
      test_context pool(threads, variant.isa_flags);
      std::vector<float> other;
      ASSERT_EQ(run(pool, s, in, &other), QZ_STATUS_SUCCESS);
      EXPECT_TRUE(same_bytes(other, got)) << threads << " threads differ from one";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, BlockedVsHost, testing::ValuesIn(kVariants),
                         [](const auto &info) { return std::string(info.param.name); });

// Which full-tile kernel runs depends on the head size alone: 48 is a
// multiple of 16 but not of 32, so the AVX2 flag still gets the SSE4.1
// kernel; 40 fits neither, so every mask gives the plain code's bits.
TEST(BlockedKernelChoice, FollowsTheHeadSize) {
  const uint32_t both = QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41;
  if (!processor_has(both)) GTEST_SKIP() << "this processor lacks AVX2 or SSE4.1";
  auto result = [](const shape_case &s, uint32_t mask) {
    const inputs in = make_inputs(s, 77);
    test_context cpu(1, mask);
    std::vector<float> out;
    EXPECT_EQ(run(cpu, s, in, &out), QZ_STATUS_SUCCESS);
    return out;
  };
  const shape_case d64{1, 256, 256, 1, 1, 64}, d48{1, 256, 256, 1, 1, 48},
      d40{1, 256, 256, 1, 1, 40};
  // A kernel that ran shows in its reordered score sums.
  EXPECT_FALSE(same_bytes(result(d64, both), result(d64, QZ_YPU_CPU_ISA_SSE41)));
  EXPECT_FALSE(same_bytes(result(d48, QZ_YPU_CPU_ISA_SSE41), result(d48, 0)));
  expect_equal_bits(result(d48, both), result(d48, QZ_YPU_CPU_ISA_SSE41), "head size 48");
  expect_equal_bits(result(d40, both), result(d40, 0), "head size 40, AVX2 flag");
  expect_equal_bits(result(d40, QZ_YPU_CPU_ISA_SSE41), result(d40, 0), "head size 40, SSE4.1");
}

// The NEON full-tile kernel needs a head size that is a multiple of 16.
TEST(BlockedKernelChoice, NeonFollowsTheHeadSize) {
  if (!processor_has(QZ_YPU_CPU_ISA_NEON)) GTEST_SKIP() << "this processor lacks NEON";
  auto result = [](const shape_case &s, uint32_t mask) {
    const inputs in = make_inputs(s, 77);
    test_context cpu(1, mask);
    std::vector<float> out;
    EXPECT_EQ(run(cpu, s, in, &out), QZ_STATUS_SUCCESS);
    return out;
  };
  const shape_case d48{1, 256, 256, 1, 1, 48}, d40{1, 256, 256, 1, 1, 40};
  EXPECT_FALSE(same_bytes(result(d48, QZ_YPU_CPU_ISA_NEON), result(d48, 0)));
  expect_equal_bits(result(d40, QZ_YPU_CPU_ISA_NEON), result(d40, 0), "head size 40, NEON");
}

// Without its scratch the entry reports running out of memory, writes
// nothing and pushes no message; the dispatcher passes that on without
// trying the host.
TEST(BlockedScratch, FailureLeavesTheOutputAlone) {
  const shape_case s{2, 3, 5, 2, 1, 8};
  const inputs in = make_inputs(s, 5);
  test_context cpu(2, 0);
  qz_ypu_buffer_t *dst = cpu.output(output_count(s));
  const qz_ypu_attention_blocked_f32_params_t p{
      dst, cpu.input(in.query), cpu.input(in.key), cpu.input(in.value), s.B, s.Q, s.K, s.H, s.G,
      s.D};
  qz_alloc_fail_at(1);
  EXPECT_EQ(qz_ypu_cpu_attention_blocked_f32(cpu.device(), nullptr, &p), QZ_STATUS_OUT_OF_MEMORY);
  qz_alloc_fail_at(1);
  EXPECT_EQ(cpu.execute(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &p), QZ_STATUS_OUT_OF_MEMORY);
  qz_alloc_fail_at(0);
  EXPECT_TRUE(take_error_stack().empty());
  for (float x : cpu.result(dst, output_count(s))) ASSERT_TRUE(std::isnan(x));
}

// Head groupings the host refuses and empty calls go to the host untouched.
TEST(BlockedDeclines, BeforeWriting) {
  test_context cpu(1, 0);
  const std::vector<float> one(64, 0.5f);
  qz_ypu_buffer_t *dst = cpu.output(64), *in = cpu.input(one);
  const shape_case cases[] = {
      {1, 2, 2, 3, 2, 8}, {1, 2, 2, 2, 0, 8}, {0, 2, 2, 2, 2, 8}, {1, 2, 2, 2, 2, -1}};
  for (const shape_case &s : cases) {
    const qz_ypu_attention_blocked_f32_params_t p{dst, in, in, in, s.B, s.Q, s.K, s.H, s.G, s.D};
    EXPECT_EQ(qz_ypu_cpu_attention_blocked_f32(cpu.device(), nullptr, &p), QZ_YPU_CPU_DECLINE);
  }
  for (float x : cpu.result(dst, 64)) ASSERT_TRUE(std::isnan(x));
}

}  // namespace
