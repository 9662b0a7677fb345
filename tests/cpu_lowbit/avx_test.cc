// The AVX low-bit kernel set, forced through the device's flags (0x3, and
// 0x2 alone): the same arithmetic in the same order as the SSE4.1 set, so
// the same bits at every width, for one token and several, on any number
// of threads; and its two activation-preparation tasks against their
// SSE4.1 twins. Its repack table is checked with the others in
// repack_test.cc.
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/lowbit_context.h"
#include "support/lowbit_weight.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

#define SKIP_WITHOUT_AVX()                                                      \
  do {                                                                          \
    if (!__builtin_cpu_supports("avx")) GTEST_SKIP() << "this processor lacks AVX"; \
  } while (0)

// Tokens: 0 random, 1 with a group of equal values (step 0) in every width
// class, 2 random, 3 with a NaN (which must stay inside its token), 4 with
// large values.
std::vector<float> activations(const lowbit_weight &w, int32_t tokens, uint32_t seed) {
  const int32_t cols = w.columns();
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
  std::vector<float> x(size_t(tokens) * cols);
  for (float &v : x) v = dist(rng);
  for (int32_t g = 0; g < w.groups(); ++g)
    for (int k = 0; k < 8; ++k) x[cols + w.perm[8 * g + k]] = -1.25f;
  x[3 * cols + w.perm[8 * w.groups() - 1]] = NAN;
  for (int32_t c = 0; c < cols; ++c) x[4 * cols + c] *= 4096.0f;
  return x;
}

TEST(LowbitAvxLinear, SameBitsAsSse41AtEveryWidthTokenCountAndThreadCount) {
  SKIP_WITHOUT_AVX();
  const struct {
    const char *name;
    int32_t row_blocks;
    std::array<int32_t, 8> counts;
  } weights[] = {
      {"every width", 3, {1, 1, 1, 1, 1, 1, 1, 1}},
      {"1 bit", 5, {3, 0, 0, 0, 0, 0, 0, 0}},
      {"2 bits", 1, {0, 2, 0, 0, 0, 0, 0, 0}},
      {"3 bits", 2, {0, 0, 3, 0, 0, 0, 0, 0}},
      {"4 bits", 1, {0, 0, 0, 9, 0, 0, 0, 0}},
      {"5 bits", 2, {0, 0, 0, 0, 2, 0, 0, 0}},
      {"6 bits", 1, {0, 0, 0, 0, 0, 3, 0, 0}},
      {"7 bits", 4, {0, 0, 0, 0, 0, 0, 2, 0}},
      {"8 bits", 1, {0, 0, 0, 0, 0, 0, 0, 17}},
      {"more groups than one stack slab", 1, {0, 300, 0, 0, 0, 0, 0, 260}},
  };
  const int32_t tokens = 5;
  uint32_t seed = 5100;
  for (const auto &wc : weights) {
    SCOPED_TRACE(wc.name);
    const int32_t groups = std::accumulate(wc.counts.begin(), wc.counts.end(), 0);
    std::vector<int32_t> perm(8 * groups);
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), std::mt19937(++seed));
    const lowbit_weight w = make_lowbit_weight(wc.row_blocks, wc.counts, perm, ++seed);
    const int32_t rows = w.rows(), cols = w.columns();
    const std::vector<float> x = activations(w, tokens, ++seed);

    std::vector<float> want;  // SSE4.1, one token at a time, no pool
    {
      lowbit_context sse41(1, false, 0x1);
      for (int32_t i = 0; i < tokens; ++i) {
        const std::vector<float> xi(x.begin() + i * cols, x.begin() + (i + 1) * cols);
        const std::vector<float> y = sse41.run(w, xi, 1);
        want.insert(want.end(), y.begin(), y.end());
      }
    }
    for (int r = 0; r < rows; ++r) ASSERT_TRUE(std::isnan(want[3 * rows + r])) << "row " << r;
    for (int r = 0; r < 3 * rows; ++r) ASSERT_FALSE(std::isnan(want[r])) << "output " << r;

    for (uint32_t flags : {0x3u, 0x2u})
      for (int threads : {1, 2, 3, 4}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags << ", cpu:" << threads);
        lowbit_context avx(threads, false, flags);
        for (int32_t n : {1, 2, 3, tokens}) {
          const std::vector<float> xn(x.begin(), x.begin() + n * cols);
          EXPECT_TRUE(lowbit_same_bytes(avx.run(w, xn, n),
                                        std::vector<float>(want.begin(), want.begin() + n * rows)))
              << "n " << n;
        }
        // Each token alone through the matrix-vector drivers on this pool.
        for (int32_t i = 1; i < tokens; ++i) {
          const std::vector<float> xi(x.begin() + i * cols, x.begin() + (i + 1) * cols);
          EXPECT_TRUE(lowbit_same_bytes(
              avx.run(w, xi, 1), std::vector<float>(want.begin() + i * rows, want.begin() + (i + 1) * rows)))
              << "token " << i << " alone";
        }
      }
  }
}

// Every code 15 against activations 0, 255, …, 255 (lo 0, step 1): the
// 16-bit code products reach 7·15·255 = 26775 and must come out positive
// and exact, with offset 0.5 adding 0.5·1785 and scale 1.
TEST(LowbitAvxLinear, LargestFourBitProductsStayPositive) {
  SKIP_WITHOUT_AVX();
  lowbit_weight w;
  w.row_blocks = 1;
  w.counts = {0, 0, 0, 2, 0, 0, 0, 0};
  w.perm.resize(16);
  std::iota(w.perm.begin(), w.perm.end(), 0);
  const uint16_t half = (31 << 10) | 8, one = (31 << 10) | 16;  // m·2^-4
  w.scales = {half, one, 0, one};
  const std::vector<uint8_t> tile = lowbit_pack_tile(std::vector<uint8_t>(128, 15), 4);
  w.tiles = tile;
  w.tiles.insert(w.tiles.end(), tile.begin(), tile.end());
  std::vector<float> x(32, 255.0f);
  x[0] = x[8] = x[16] = x[24] = 0.0f;
  const float want = 26775.0f + 892.5f + 26775.0f;
  for (int threads : {1, 3}) {
    lowbit_context c(threads, false, 0x3);
    for (int32_t n : {1, 2}) {
      const std::vector<float> xn(x.begin(), x.begin() + 16 * n);
      for (float v : c.run(w, xn, n)) EXPECT_EQ(v, want) << "cpu:" << threads << ", n " << n;
    }
  }
}

// Groups with NaN, infinities, equal values, signed zeros and denormals,
// among random ones.
std::vector<float> awkward_groups(int32_t groups, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-50.0f, 50.0f);
  std::vector<float> x(8 * size_t(groups));
  for (float &v : x) v = dist(rng);
  const float inf = std::numeric_limits<float>::infinity();
  const float special[] = {NAN, inf, -inf, 0.0f, -0.0f, 1e-40f, -1e-40f, 3.0e38f};
  for (int32_t g = 0; g < groups; g += 3) x[8 * g + g % 8] = special[g % 8];
  if (groups > 1)
    for (int k = 0; k < 8; ++k) x[8 + k] = 7.5f;  // group 1: equal values
  return x;
}

bool same(const void *a, const void *b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

// The AVX quantiser and group sums give their SSE4.1 twins' bits, whatever
// the chunking (the group sums take eight groups at a time, the rest one by
// one).
TEST(LowbitAvxPreparation, SameBitsAsTheSse41Tasks) {
  SKIP_WITHOUT_AVX();
  for (int32_t groups : {1, 7, 8, 9, 16, 27, 64}) {
    const std::vector<float> x = awkward_groups(groups, 60 + groups);
    for (int32_t chunks : {1, 2, 5}) {
      SCOPED_TRACE(testing::Message() << groups << " groups, " << chunks << " chunks");
      std::vector<uint8_t> codes[2];
      std::vector<float> lo[2], step[2], sum[2], sums[2];
      for (int s = 0; s < 2; ++s) {
        codes[s].assign(8 * groups, 0xAB);
        lo[s].assign(groups, -1.0f), step[s].assign(groups, -1.0f), sum[s].assign(groups, -1.0f);
        sums[s].assign(groups, -1.0f);
        qz_ypu_cpu_lowbit_quantize_context_t q{x.data(),    codes[s].data(), lo[s].data(),
                                               step[s].data(), sum[s].data(), groups, chunks};
        qz_ypu_cpu_lowbit_group_sums_context_t g{x.data(), sums[s].data(), groups, chunks};
        for (int32_t c = chunks - 1; c >= 0; --c) {  // the order of chunks does not matter
          (s ? qz_ypu_cpu_lowbit_quantize_act_avx : qz_ypu_cpu_lowbit_quantize_act_sse41)(&q, c);
          (s ? qz_ypu_cpu_lowbit_group_sums_avx : qz_ypu_cpu_lowbit_group_sums_sse41)(&g, c);
        }
      }
      EXPECT_EQ(codes[0], codes[1]);
      EXPECT_TRUE(same(lo[0].data(), lo[1].data(), 4 * groups));
      EXPECT_TRUE(same(step[0].data(), step[1].data(), 4 * groups));
      EXPECT_TRUE(same(sum[0].data(), sum[1].data(), 4 * groups));
      EXPECT_TRUE(same(sums[0].data(), sums[1].data(), 4 * groups));
      EXPECT_TRUE(same(sums[1].data(), sum[1].data(), 4 * groups))
          << "both tasks sum a group the same way";
    }
  }
}

// x = 0 … 7 and a group of equal values, as the SSE4.1 quantiser's worked
// example gives them.
TEST(LowbitAvxPreparation, WorkedGroups) {
  SKIP_WITHOUT_AVX();
  float x[16] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (int k = 8; k < 16; ++k) x[k] = -2.5f;
  uint8_t codes[16];
  float lo[2], step[2], sum[2];
  qz_ypu_cpu_lowbit_quantize_context_t c{x, codes, lo, step, sum, 2, 1};
  qz_ypu_cpu_lowbit_quantize_act_avx(&c, 0);
  EXPECT_EQ(lo[0], 0.0f);
  EXPECT_EQ(step[0], 7.0f / 255.0f);
  EXPECT_EQ(sum[0], 28.0f);
  const uint8_t want[8] = {0, 36, 73, 109, 146, 182, 219, 255};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(codes[k], want[k]) << k;
  EXPECT_EQ(step[1], 0.0f);
  EXPECT_EQ(sum[1], -20.0f);
  for (int k = 8; k < 16; ++k) EXPECT_EQ(codes[k], 0) << k;
}

}  // namespace
