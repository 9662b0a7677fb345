#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_elementwise/runner.h"
#include "ypu/params.h"

namespace {

struct product_shape {
  int32_t m, n, k;
};

// k around the AVX2 step of 32; m and n odd and even so that the items of
// T^2-capped splits start and end inside rows.
constexpr product_shape kShapes[] = {
    {1, 1, 1},  {3, 7, 31},  {5, 17, 32}, {9, 3, 33},  {4, 9, 64},
    {2, 2, 96}, {7, 13, 1},  {1, 40, 256}, {5, 600, 256}, {0, 4, 32}, {3, 0, 32},
};

std::vector<float> run_product(int32_t threads, uint32_t isa, const product_shape &s,
                               const std::vector<float> &a, const std::vector<float> &b) {
  op_runner r(threads, isa);
  const slot sa = r.input(a), sb = r.input(b);
  const slot so = r.output<float>(size_t(s.m) * s.n);
  const qz_ypu_matmul_nt_f32_params_t p{so.buffer, sa.buffer, sb.buffer, s.m,      s.n,
                                        s.k,       so.offset, sa.offset, sb.offset};
  EXPECT_EQ(r.run(QZ_YPU_OP_MATMUL_NT_F32, &p), QZ_STATUS_SUCCESS);
  return r.result<float>(so);
}

// The AVX2 kernel's order written out plainly: accumulator q of each lane l
// takes a[s + 8q + l] * b[s + 8q + l] for s = 0, 32, ... by fused
// multiply-add; then f = (acc2 + acc3) + (acc0 + acc1), g[l] = f[l] + f[l + 4],
// (g0 + g1) + (g2 + g3).
float four_accumulator_dot(const float *a, const float *b, int32_t k) {
  float acc[4][8] = {};
  for (int32_t s = 0; s < k; s += 32)
    for (int q = 0; q < 4; ++q)
      for (int l = 0; l < 8; ++l)
        acc[q][l] = std::fma(b[s + 8 * q + l], a[s + 8 * q + l], acc[q][l]);
  float f[8], g[4];
  for (int l = 0; l < 8; ++l) f[l] = (acc[2][l] + acc[3][l]) + (acc[0][l] + acc[1][l]);
  for (int l = 0; l < 4; ++l) g[l] = f[l] + f[l + 4];
  return (g[0] + g[1]) + (g[2] + g[3]);
}

class Product : public testing::TestWithParam<isa_variant> {};

TEST_P(Product, MatchesTheHostOrTheFourAccumulatorOrder) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  const bool avx2 = GetParam().mask & QZ_YPU_CPU_ISA_AVX2;
  for (const product_shape &s : kShapes) {
    const uint32_t seed = 40000u + s.m * 1000 + s.n * 10 + s.k;
    const auto a = random_floats(size_t(s.m) * s.k, seed), b = random_floats(size_t(s.n) * s.k, seed + 1);
    const auto host = run_product(0, 0, s, a, b);
    const bool fused = avx2 && s.k % 32 == 0;
    std::vector<float> want = host;
    if (fused) {
      for (int32_t i = 0; i < s.m; ++i)
        for (int32_t j = 0; j < s.n; ++j) {
          const float exact = four_accumulator_dot(&a[size_t(i) * s.k], &b[size_t(j) * s.k], s.k);
          want[size_t(i) * s.n + j] = exact;
          // Only the summation order differs from the host: within k ulps of
          // the sum of magnitudes.
          double magnitude = 0;
          for (int32_t t = 0; t < s.k; ++t)
            magnitude += std::fabs(double(a[size_t(i) * s.k + t]) * b[size_t(j) * s.k + t]);
          ASSERT_NEAR(exact, host[size_t(i) * s.n + j], s.k * 1.2e-7 * magnitude);
        }
    }
    for (int32_t threads : kThreadCounts) {
      SCOPED_TRACE(testing::Message() << s.m << "x" << s.n << "x" << s.k << " seed=" << seed
                                      << " threads=" << threads);
      EXPECT_TRUE(same_bits(run_product(threads, GetParam().mask, s, a, b), want));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cpu, Product, testing::ValuesIn(kIsaVariants), variant_name);

struct batched_shape {
  uint32_t b_per_head;
  int32_t batch, heads, rows, cols, depth;
};

TEST(BatchedProduct, EqualsTheHostBitForBitForAnyThreadCount) {
  const batched_shape shapes[] = {
      {1, 2, 3, 4, 5, 33}, {0, 3, 2, 4, 3, 32}, {1, 1, 1, 1, 1, 1}, {0, 5, 1, 2, 7, 64}, {1, 0, 2, 2, 2, 2},
  };
  for (const batched_shape &s : shapes) {
    const size_t a_count = size_t(s.batch) * s.heads * s.rows * s.depth;
    const size_t b_count = size_t(s.b_per_head ? s.heads : s.rows) * s.cols * s.depth;
    const size_t out_count = size_t(s.batch) * s.heads * s.rows * s.cols;
    const uint32_t seed = 21000u + s.batch * 100 + s.depth;
    const auto a = random_floats(a_count, seed), b = random_floats(b_count, seed + 1);
    auto run = [&](int32_t threads) {
      op_runner r(threads, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41);
      const slot sa = r.input(a, false), sb = r.input(b, false);
      const slot so = r.output<float>(out_count, false);
      const qz_ypu_matmul_nt_batched_f32_params_t p{
          so.buffer, sa.buffer, sb.buffer, s.b_per_head, s.batch, s.heads, s.rows, s.cols, s.depth};
      EXPECT_EQ(r.run(QZ_YPU_OP_MATMUL_NT_BATCHED_F32, &p), QZ_STATUS_SUCCESS);
      return r.result<float>(so);
    };
    const auto want = run(0);
    for (float x : want) ASSERT_FALSE(std::isnan(x));
    for (int32_t threads : kThreadCounts) {
      SCOPED_TRACE(testing::Message() << "batch=" << s.batch << " depth=" << s.depth
                                      << " seed=" << seed << " threads=" << threads);
      EXPECT_TRUE(same_bits(run(threads), want));
    }
  }
}

}  // namespace
