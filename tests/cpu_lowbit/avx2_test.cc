// The AVX2 low-bit kernel set's tile layout, read back by an unpacker
// written from the layout description. Its drivers are checked in
// split_row_sets_test.cc.
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/lowbit_weight.h"
#include "ypu/cpu/lowbit/kernels.h"

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

}  // namespace
