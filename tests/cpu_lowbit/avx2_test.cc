// The AVX2 low-bit kernel set: its tile layout read back by an unpacker
// written from the layout description, and op 93 with the set forced
// through the device's flags against the SSE4.1 set (the same arithmetic in
// the same order, so the same bits at every width) and a hand-made fixture.
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/lowbit_context.h"
#include "support/lowbit_weight.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

bool have_avx2() { return __builtin_cpu_supports("avx2"); }
#define SKIP_WITHOUT_AVX2()                                  \
  do {                                                       \
    if (!have_avx2()) GTEST_SKIP() << "this processor lacks AVX2"; \
  } while (0)

// Element r of the little-endian array of `size`-byte units at `at`.
uint32_t unit(const uint8_t *at, int size, int r) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | at[size * r + i];
  return v;
}

// Code k of row r in the AVX2 layout of width b.
int avx2_code(const uint8_t *t, int b, int r, int k) {
  const auto f = [](uint32_t v, int from, int count) { return int((v >> from) & ((1u << count) - 1)); };
  switch (b) {
    case 1: return f(unit(t, 1, r), k, 1);
    case 2: return f(unit(t, 2, r), 2 * k, 2);
    case 3: {
      const uint32_t a = unit(t, 2, r), e = unit(t + 32, 1, r);
      if (k < 5) return f(a, 3 * k, 3);
      if (k == 5) return f(e, 0, 3);
      if (k == 6) return f(e, 3, 3);
      return f(e, 6, 2) | f(a, 15, 1) << 2;
    }
    case 4: return k < 4 ? f(unit(t, 2, r), 4 * k, 4) : f(unit(t + 32, 2, r), 4 * (k - 4), 4);
    case 5: {
      const uint32_t a = unit(t, 4, r), e = unit(t + 64, 1, r);
      if (k < 6) return f(a, 5 * k, 5);
      if (k == 6) return f(e, 0, 5);
      return f(a, 30, 2) | f(e, 5, 3) << 2;
    }
    case 6: {
      const uint32_t a = unit(t, 4, r), e = unit(t + 64, 2, r);
      if (k < 5) return f(a, 6 * k, 6);
      if (k == 5) return f(e, 0, 6);
      if (k == 6) return f(e, 6, 6);
      return f(a, 30, 2) | f(e, 12, 4) << 2;
    }
    case 7: {
      const uint32_t a = unit(t, 4, r), e = unit(t + 64, 2, r), c = unit(t + 96, 1, r);
      if (k < 4) return f(a, 7 * k, 7);
      if (k == 4) return f(e, 0, 7);
      if (k == 5) return f(e, 7, 7);
      if (k == 6) return f(c, 0, 7);
      return f(a, 28, 4) | f(e, 14, 2) << 4 | f(c, 7, 1) << 6;
    }
    default: return k < 4 ? f(unit(t, 4, r), 8 * k, 8) : f(unit(t + 64, 4, r), 8 * (k - 4), 8);
  }
}

// Every width: random tiles, the all-top tile and a single top code in
// every position read back to the canonical codes, and the transform agrees
// byte for byte with the SSE4.1 one (the layouts are the same).
TEST(LowbitAvx2Repack, ReadsBackToTheCanonicalCodes) {
  SKIP_WITHOUT_AVX2();
  for (int b = 1; b <= 8; ++b) {
    std::vector<std::vector<uint8_t>> code_sets;
    std::mt19937 rng(900 + b);
    for (int s = 0; s < 4; ++s) {
      std::vector<uint8_t> c(128);
      for (auto &v : c) v = uint8_t(rng() & ((1u << b) - 1));
      code_sets.push_back(c);
    }
    code_sets.emplace_back(128, uint8_t((1 << b) - 1));
    for (int k = 0; k < 8; ++k) {  // one top code per column, in rows 7 and 8
      std::vector<uint8_t> c(128, 0);
      c[8 * 7 + k] = c[8 * 8 + k] = uint8_t((1 << b) - 1);
      code_sets.push_back(c);
    }
    for (size_t s = 0; s < code_sets.size(); ++s) {
      SCOPED_TRACE(testing::Message() << b << " bits, set " << s);
      const std::vector<uint8_t> canonical = lowbit_pack_tile(code_sets[s], b);
      std::vector<uint8_t> tile = canonical, sse41 = canonical;
      qz_ypu_cpu_lowbit_repack_kernels_avx2[b - 1](tile.data());
      qz_ypu_cpu_lowbit_repack_kernels_sse41[b - 1](sse41.data());
      EXPECT_EQ(tile, sse41);
      if (b <= 2) {
        EXPECT_EQ(tile, canonical) << "widths 1 and 2 keep the stored form";
      }
      for (int r = 0; r < 16; ++r)
        for (int k = 0; k < 8; ++k)
          ASSERT_EQ(avx2_code(tile.data(), b, r, k), code_sets[s][8 * r + k]) << "row " << r << " column " << k;
    }
  }
}

// The AVX2 set (flags 0x4 alone and 0x7) gives the SSE4.1 set's bits for
// every width, one and several tokens and 1, 2, 3 and 8 threads: both
// quantise widths 1 to 4 with the same quantiser and add every term in the
// same order without fused multiply-add. Widths 5 to 8 also give the host
// implementation's one-row values. Token 1 has a group of equal values (step 0) and
// token 3 a NaN, which must stay inside its token.
TEST(LowbitAvx2Linear, SameBitsAsSse41AndAcrossThreads) {
  SKIP_WITHOUT_AVX2();
  const struct {
    const char *name;
    int32_t row_blocks;
    std::array<int32_t, 8> counts;
  } weights[] = {
      {"every width", 3, {1, 1, 1, 1, 1, 1, 1, 1}},
      {"1 bit", 2, {3, 0, 0, 0, 0, 0, 0, 0}},
      {"2 bits", 1, {0, 2, 0, 0, 0, 0, 0, 0}},
      {"3 bits", 2, {0, 0, 3, 0, 0, 0, 0, 0}},
      {"4 bits", 1, {0, 0, 0, 3, 0, 0, 0, 0}},
      {"5 bits", 2, {0, 0, 0, 0, 2, 0, 0, 0}},
      {"6 bits", 1, {0, 0, 0, 0, 0, 3, 0, 0}},
      {"7 bits", 2, {0, 0, 0, 0, 0, 0, 2, 0}},
      {"8 bits", 1, {0, 0, 0, 0, 0, 0, 0, 3}},
      {"more groups than one stack slab", 1, {0, 0, 300, 0, 0, 0, 0, 1}},
  };
  uint32_t seed = 4100;
  for (const auto &wc : weights) {
    SCOPED_TRACE(wc.name);
    const int32_t groups = std::accumulate(wc.counts.begin(), wc.counts.end(), 0);
    std::vector<int32_t> perm(8 * groups);
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), std::mt19937(++seed));
    const lowbit_weight w = make_lowbit_weight(wc.row_blocks, wc.counts, perm, ++seed);
    const int32_t rows = w.rows(), cols = w.columns(), tokens = 4;
    std::mt19937 rng(++seed);
    std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
    std::vector<float> x(size_t(tokens) * cols);
    for (float &v : x) v = dist(rng);
    for (int k = 0; k < 8; ++k) x[cols + w.perm[k]] = -1.25f;
    x[3 * cols + w.perm[8 * groups - 1]] = NAN;

    std::vector<float> want;  // SSE4.1, one token at a time, no pool
    {
      lowbit_context sse41(1, false, 0x1);
      for (int32_t i = 0; i < tokens; ++i) {
        const std::vector<float> xi(x.begin() + i * cols, x.begin() + (i + 1) * cols);
        const std::vector<float> y = sse41.run(w, xi, 1);
        want.insert(want.end(), y.begin(), y.end());
      }
    }
    for (int r = 0; r < rows; ++r) EXPECT_TRUE(std::isnan(want[3 * rows + r])) << "row " << r;
    for (int r = 0; r < 3 * rows; ++r) ASSERT_FALSE(std::isnan(want[r])) << "output " << r;
    const bool float_path = wc.counts[0] + wc.counts[1] + wc.counts[2] + wc.counts[3] == 0;
    if (float_path) {  // the host's one-row values, token by token (NaN token aside)
      lowbit_context host(1, true, 0);
      for (int32_t i = 0; i < 3; ++i) {
        const std::vector<float> xi(x.begin() + i * cols, x.begin() + (i + 1) * cols);
        EXPECT_EQ(host.run(w, xi, 1), std::vector<float>(want.begin() + i * rows, want.begin() + (i + 1) * rows))
            << "host, token " << i;
      }
    }
    for (uint32_t flags : {0x4u, 0x7u})
      for (int threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags << ", cpu:" << threads);
        lowbit_context avx2(threads, false, flags);
        for (int32_t n : {1, 2, tokens}) {
          const std::vector<float> xn(x.begin(), x.begin() + n * cols);
          EXPECT_TRUE(lowbit_same_bytes(avx2.run(w, xn, n),
                                 std::vector<float>(want.begin(), want.begin() + n * rows)))
              << "n " << n;
        }
      }
  }
}

// Every code 15 against activations 0, 255, …, 255 (lo 0, step 1): the
// 16-bit code products reach 7·15·255 = 26775 and must come out positive
// and exact, with offset 0.5 adding 0.5·1785 and scale 1.
TEST(LowbitAvx2Linear, LargestFourBitProductsStayPositive) {
  SKIP_WITHOUT_AVX2();
  lowbit_weight w;
  w.row_blocks = 1;
  w.counts = {0, 0, 0, 2, 0, 0, 0, 0};
  w.perm.resize(16);
  std::iota(w.perm.begin(), w.perm.end(), 0);
  const uint16_t half = (31 << 10) | 8, one = (31 << 10) | 16;  // m·2^-4
  w.scales = {half, one, 0, one};
  w.tiles = lowbit_pack_tile(std::vector<uint8_t>(128, 15), 4);
  const std::vector<uint8_t> second = lowbit_pack_tile(std::vector<uint8_t>(128, 15), 4);
  w.tiles.insert(w.tiles.end(), second.begin(), second.end());
  std::vector<float> x(32, 255.0f);
  x[0] = x[8] = x[16] = x[24] = 0.0f;
  // Group 0: 26775 + 0.5·1785; group 1: 26775.
  const float want = 26775.0f + 892.5f + 26775.0f;
  for (int threads : {1, 3}) {
    lowbit_context c(threads, false, 0x4);
    for (int32_t n : {1, 2}) {
      const std::vector<float> xn(x.begin(), x.begin() + 16 * n);
      for (float v : c.run(w, xn, n)) EXPECT_EQ(v, want) << "cpu:" << threads << ", n " << n;
    }
  }
}

}  // namespace
