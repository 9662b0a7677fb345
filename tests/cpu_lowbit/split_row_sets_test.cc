// The kernel sets that read the split-row layout and quantise activations
// at 1 to 4 bits the way the SSE4.1 set does (AVX and AVX2), forced through
// the device's flags (that a wide flag alone chooses its set is checked in
// repack_test.cc): the same arithmetic in the same order as the SSE4.1 set,
// so the same bits at every width, for one token and several, on any number
// of threads; widths 5 to 8 also give the host's one-row values.
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/isa_sets.h"
#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"

namespace {

struct vector_set {
  const char *name;
  uint32_t flags;
};
void PrintTo(const vector_set &s, std::ostream *out) { *out << s.name; }

class LowbitSplitRowSets : public testing::TestWithParam<vector_set> {
 protected:
  void SetUp() override {
    const std::string missing = qz_test_missing_sets(GetParam().flags);
    if (!missing.empty()) GTEST_SKIP() << "this processor lacks" << missing;
  }
};

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

TEST_P(LowbitSplitRowSets, SameBitsAsSse41AtEveryWidthTokenCountAndThreadCount) {
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
      {"more groups than one stack slab", 1, {0, 257, 0, 0, 0, 0, 0, 258}},
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
        const std::vector<float> y = lowbit_run(sse41, w, xi, 1);
        want.insert(want.end(), y.begin(), y.end());
      }
    }
    for (int r = 0; r < rows; ++r) ASSERT_TRUE(std::isnan(want[3 * rows + r])) << "row " << r;
    for (int r = 0; r < 3 * rows; ++r) ASSERT_FALSE(std::isnan(want[r])) << "output " << r;

    const bool float_path = wc.counts[0] + wc.counts[1] + wc.counts[2] + wc.counts[3] == 0;
    if (float_path) {  // the host's one-row values, token by token (NaN token aside)
      lowbit_context host(1, true, 0);
      for (int32_t i : {0, 1, 2, 4}) {
        const std::vector<float> xi(x.begin() + i * cols, x.begin() + (i + 1) * cols);
        EXPECT_EQ(lowbit_run(host, w, xi, 1),
                  std::vector<float>(want.begin() + i * rows, want.begin() + (i + 1) * rows))
            << "host, token " << i;
      }
    }
    for (int threads : {1, 2, 3, 4}) {
      SCOPED_TRACE(testing::Message() << "cpu:" << threads);
      lowbit_context set(threads, false, GetParam().flags);
      for (int32_t n : {1, 2, 3, tokens}) {
        const std::vector<float> xn(x.begin(), x.begin() + n * cols);
        EXPECT_TRUE(lowbit_same_bytes(lowbit_run(set, w, xn, n),
                                      std::vector<float>(want.begin(), want.begin() + n * rows)))
            << "n " << n;
      }
      // Each token alone through the matrix-vector drivers on this pool.
      for (int32_t i = 1; i < tokens; ++i) {
        const std::vector<float> xi(x.begin() + i * cols, x.begin() + (i + 1) * cols);
        const std::vector<float> alone(want.begin() + i * rows, want.begin() + (i + 1) * rows);
        EXPECT_TRUE(lowbit_same_bytes(lowbit_run(set, w, xi, 1), alone)) << "token " << i << " alone";
      }
    }
  }
}

// Every code 15 against activations 0, 255, …, 255 (lo 0, step 1): the
// 16-bit code products reach 7·15·255 = 26775 and must come out positive
// and exact, with offset 0.5 adding 0.5·1785 and scale 1.
TEST_P(LowbitSplitRowSets, LargestFourBitProductsStayPositive) {
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
    lowbit_context c(threads, false, GetParam().flags);
    for (int32_t n : {1, 2}) {
      const std::vector<float> xn(x.begin(), x.begin() + 16 * n);
      for (float v : lowbit_run(c, w, xn, n)) EXPECT_EQ(v, want) << "cpu:" << threads << ", n " << n;
    }
  }
}


INSTANTIATE_TEST_SUITE_P(Sets, LowbitSplitRowSets,
                         testing::Values(vector_set{"avx", 0x3}, vector_set{"avx2", 0x7}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
