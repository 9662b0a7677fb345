// The AVX-512F low-bit kernels: their tile layout read back to the codes,
// and op 93 with the set forced through the device's flags against a plain
// model of their fused arithmetic (bit for bit) and the host implementation.
#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

constexpr uint32_t kAvx512Flag = 0x8;

#define SKIP_WITHOUT_AVX512F() \
  if (!__builtin_cpu_supports("avx512f")) GTEST_SKIP() << "this processor lacks AVX-512F"

using codes_t = std::array<uint8_t, 128>;

uint64_t le(const std::vector<uint8_t> &t, int at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | t[at + i];
  return v;
}

// Reads a tile in the AVX-512F layout: per width, one to three arrays of 16
// row units; column 7 joined from the units' spare bits.
codes_t read_avx512_layout(const std::vector<uint8_t> &t, int width) {
  codes_t c{};
  const auto bits = [](uint64_t v, int from, int count) { return uint8_t((v >> from) & ((1u << count) - 1)); };
  for (int r = 0; r < 16; ++r) {
    uint8_t *row = &c[8 * r];
    switch (width) {
      case 1: case 2: case 4: {  // canonical: the row's `width` bytes
        const uint64_t v = le(t, width * r, width);
        for (int k = 0; k < 8; ++k) row[k] = bits(v, width * k, width);
        break;
      }
      case 3: {
        const uint64_t h = le(t, 2 * r, 2), b = t[32 + r];
        for (int k = 0; k < 5; ++k) row[k] = bits(h, 3 * k, 3);
        row[5] = bits(b, 0, 3), row[6] = bits(b, 3, 3);
        row[7] = uint8_t(bits(b, 6, 2) | bits(h, 15, 1) << 2);
        break;
      }
      case 5: {
        const uint64_t w = le(t, 4 * r, 4), b = t[64 + r];
        for (int k = 0; k < 6; ++k) row[k] = bits(w, 5 * k, 5);
        row[6] = bits(b, 0, 5);
        row[7] = uint8_t(bits(w, 30, 2) | bits(b, 5, 3) << 2);
        break;
      }
      case 6: {
        const uint64_t w = le(t, 4 * r, 4), h = le(t, 64 + 2 * r, 2);
        for (int k = 0; k < 5; ++k) row[k] = bits(w, 6 * k, 6);
        row[5] = bits(h, 0, 6), row[6] = bits(h, 6, 6);
        row[7] = uint8_t(bits(w, 30, 2) | bits(h, 12, 4) << 2);
        break;
      }
      case 7: {
        const uint64_t w = le(t, 4 * r, 4), h = le(t, 64 + 2 * r, 2), b = t[96 + r];
        for (int k = 0; k < 4; ++k) row[k] = bits(w, 7 * k, 7);
        row[4] = bits(h, 0, 7), row[5] = bits(h, 7, 7), row[6] = bits(b, 0, 7);
        row[7] = uint8_t(bits(w, 28, 4) | bits(h, 14, 2) << 4 | bits(b, 7, 1) << 6);
        break;
      }
      case 8: {
        const uint64_t w = le(t, 4 * r, 4), v = le(t, 64 + 4 * r, 4);
        for (int k = 0; k < 4; ++k) row[k] = bits(w, 8 * k, 8), row[4 + k] = bits(v, 8 * k, 8);
        break;
      }
    }
  }
  return c;
}

std::vector<codes_t> code_fixtures(int width, uint32_t seed) {
  const uint8_t top = uint8_t((1u << width) - 1);
  std::mt19937 rng(seed);
  std::vector<codes_t> out;
  for (int i = 0; i < 4; ++i) {
    codes_t c{};
    for (auto &v : c) v = uint8_t(rng() & top);
    out.push_back(c);
  }
  // Column 7 at its largest with zero neighbours, and the other way round:
  // a split column must neither lose a piece nor spill into the others.
  codes_t seven{}, others{};
  for (int r = 0; r < 16; ++r)
    for (int k = 0; k < 8; ++k) (k == 7 ? seven : others)[8 * r + k] = top;
  out.push_back(seven);
  out.push_back(others);
  codes_t ramp{};
  for (int i = 0; i < 128; ++i) ramp[i] = uint8_t((i * 37 + i / 8) & top);
  out.push_back(ramp);
  return out;
}

TEST(LowbitAvx512Repack, EveryWidthReadsBackToTheCanonicalCodes) {
  SKIP_WITHOUT_AVX512F();
  for (int width = 1; width <= 8; ++width) {
    uint32_t seed = 900 + width;
    for (const codes_t &codes : code_fixtures(width, seed)) {
      SCOPED_TRACE(testing::Message() << width << " bits, seed " << seed);
      const std::vector<uint8_t> tile = lowbit_pack_tile(codes, width);
      std::vector<uint8_t> out = tile;
      qz_ypu_cpu_lowbit_repack_kernels_avx512[width - 1](out.data());
      ASSERT_EQ(read_avx512_layout(out, width), codes);
      // 1-, 2- and 4-bit tiles are read in their stored form.
      if (width == 1 || width == 2 || width == 4) {
        EXPECT_EQ(out, tile);
      }
      // The split-row widths give the SSE4.1 bytes.
      if (width != 4 && width > 2) {
        std::vector<uint8_t> sse41 = tile;
        qz_ypu_cpu_lowbit_repack_kernels_sse41[width - 1](sse41.data());
        EXPECT_EQ(out, sse41);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Running op 93.

using context = lowbit_context;

// The kernels' arithmetic for one token, from the dense codes: per tile and
// row, S = c0·x0 then fma(c_k, x_k, S) for k = 1 … 7, term = fma(S, scale,
// offset·sum) with sum = x0 + … + x7 left to right, and y += term, classes
// ascending, groups ascending. `magnitude` gets Σ |s|·Σ c_k|x_k| + |o|·Σ |x_k|.
std::vector<float> fused_model(const lowbit_weight &w, const float *x, std::vector<double> *magnitude) {
  const int32_t rows = w.rows(), cols = w.columns();
  std::vector<float> y(rows, 0.0f);
  magnitude->assign(rows, 0.0);
  int32_t first_group = 0, pair = 0;
  for (int32_t b = 1; b <= 8; ++b) {
    const int32_t t = w.counts[b - 1];
    for (int32_t rb = 0; rb < w.row_blocks; ++rb)
      for (int32_t g = 0; g < t; ++g, ++pair) {
        const int32_t j = first_group + g;
        const float o = float(lowbit_scale_value(w.scales[2 * pair]));
        const float s = float(lowbit_scale_value(w.scales[2 * pair + 1]));
        float xs[8];
        double xabs = 0;
        for (int k = 0; k < 8; ++k) xs[k] = x[w.perm[8 * j + k]], xabs += std::fabs(xs[k]);
        float sum = xs[0];
        for (int k = 1; k < 8; ++k) sum = sum + xs[k];
        const float shifted = o * sum;
        for (int32_t r = 0; r < 16; ++r) {
          const int32_t row = 16 * rb + r;
          const uint8_t *c = &w.codes[size_t(row) * cols + 8 * j];
          float dot = float(c[0]) * xs[0];
          double dabs = c[0] * std::fabs(xs[0]);
          for (int k = 1; k < 8; ++k) dot = std::fma(float(c[k]), xs[k], dot), dabs += c[k] * std::fabs(xs[k]);
          y[row] = y[row] + std::fma(dot, s, shifted);
          (*magnitude)[row] += std::fabs(double(s)) * dabs + std::fabs(double(o)) * xabs;
        }
      }
    first_group += t;
  }
  return y;
}

const lowbit_weight_case kWeights[] = {
    {"every width", 2, {1, 1, 1, 1, 1, 1, 1, 1}},
    {"mixed classes", 3, {2, 0, 3, 0, 1, 0, 0, 2}},
    {"two classes", 1, {0, 2, 0, 0, 0, 3, 0, 0}},
    {"1 bit", 1, {3, 0, 0, 0, 0, 0, 0, 0}},
    {"3 bits", 2, {0, 0, 3, 0, 0, 0, 0, 0}},
    {"4 bits, ten row blocks", 10, {0, 0, 0, 4, 0, 0, 0, 0}},
    {"5 bits", 1, {0, 0, 0, 0, 3, 0, 0, 0}},
    {"7 bits", 3, {0, 0, 0, 0, 0, 0, 5, 0}},
    {"8 bits", 1, {0, 0, 0, 0, 0, 0, 0, 3}},
    // More groups than the matrix-vector drivers sum on the stack at once.
    {"wide 4 and 6 bits", 2, {0, 0, 0, 300, 0, 260, 0, 0}},
};

std::vector<int32_t> shuffled(int32_t count, uint32_t seed) {
  std::vector<int32_t> perm(count);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), std::mt19937(seed));
  return perm;
}

// op 94 then op 93 with only the AVX-512F flag, on cpu:1, 2, 3 and 8, for 1,
// 2, 5, 7 and 17 tokens (the matrix-matrix kernels take runs of 8, 4, 2 and
// 1 tokens):
// - every output is the fused model's value bit for bit, whatever the
//   thread count, token count or path (one token or several);
// - against the host implementation (unfused products, the same order of
//   classes and groups) each output stays within 2·(G + 10)·FLT_EPSILON
//   times Σ |s|·Σ c_k|x_k| + |o|·Σ |x_k|: either side rounds each term at
//   most G + 10 times (8 in the code dot product, 7 in the group sum, one
//   for the scale and the offset, and one per group of the running sum),
//   each rounding costing at most FLT_EPSILON / 2 of what it rounds.
TEST(LowbitAvx512Linear, MatchesFusedModelAndHost) {
  SKIP_WITHOUT_AVX512F();
  uint32_t seed = 7100;
  for (const lowbit_weight_case &wc : kWeights) {
    const int32_t groups = std::accumulate(wc.counts.begin(), wc.counts.end(), 0);
    const std::vector<int32_t> perm = shuffled(8 * groups, ++seed);
    const lowbit_weight w = make_lowbit_weight(wc.row_blocks, wc.counts, perm, ++seed);
    const int32_t rows = w.rows(), cols = w.columns(), tokens = 17;
    SCOPED_TRACE(testing::Message() << wc.name << ", seed " << seed);
    std::mt19937 rng(++seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    std::vector<float> x(size_t(tokens) * cols);
    for (float &v : x) v = dist(rng);
    // Token 1's first stored group: eight equal activations.
    for (int k = 0; k < 8; ++k) x[cols + w.perm[k]] = 0.75f;

    std::vector<std::vector<float>> model(tokens);
    std::vector<std::vector<double>> magnitude(tokens);
    for (int32_t i = 0; i < tokens; ++i) model[i] = fused_model(w, &x[size_t(i) * cols], &magnitude[i]);
    {
      context h(1, true);
      const qz_ypu_linear_lowbit_params_t p = lowbit_load(h, w);
      const std::vector<float> host = lowbit_linear(h, p, x, rows, tokens);
      for (int32_t i = 0; i < tokens; ++i)
        for (int32_t r = 0; r < rows; ++r)
          ASSERT_NEAR(host[size_t(i) * rows + r], model[i][r],
                      2.0 * (groups + 10) * FLT_EPSILON * magnitude[i][r])
              << "token " << i << ", output " << r;
    }
    for (int threads : {1, 2, 3, 8}) {
      context c(threads, false, kAvx512Flag);
      const qz_ypu_linear_lowbit_params_t p = lowbit_load(c, w);
      for (int32_t n : {1, 2, 5, 7, 17}) {
        const std::vector<float> got = lowbit_linear(c, p, x, rows, n);
        for (int32_t i = 0; i < n; ++i)
          ASSERT_EQ(std::vector<float>(got.begin() + size_t(i) * rows, got.begin() + size_t(i + 1) * rows),
                    model[i])
              << "cpu:" << threads << ", n " << n << ", token " << i;
      }
    }
  }
}

// Worked tiles: all-zero codes leave offset·sum; a scale of mantissa 0
// leaves only the offset term; one 1-bit code adds x_k·scale to its row.
TEST(LowbitAvx512Linear, WorkedTiles) {
  SKIP_WITHOUT_AVX512F();
  const uint16_t one = 0x6A00, half = 0x6600, zero_scale = 0x8000 | (20 << 10);
  const float x[8] = {1, 2, 3, 4, 5, 6, 7, 8.5f};  // sum 36.5
  struct fixture {
    const char *name;
    int width;
    int row, col;  // the one non-zero code (row −1: none)
    uint16_t offset, scale;
    float at_code_row, elsewhere;
  };
  const fixture cases[] = {
      {"zero codes", 5, -1, 0, half, one, 18.25f, 18.25f},
      {"scale mantissa 0", 7, 3, 7, one, zero_scale, 36.5f, 36.5f},
      {"one 1-bit code", 1, 9, 6, half, one, 18.25f + 7.0f, 18.25f},
      {"largest 3-bit column 7", 3, 15, 7, 0x0000, half, 7 * 8.5f / 2, 0.0f},
  };
  for (const fixture &f : cases) {
    SCOPED_TRACE(f.name);
    lowbit_weight w;
    w.row_blocks = 1;
    w.counts[f.width - 1] = 1;
    w.perm = {0, 1, 2, 3, 4, 5, 6, 7};
    w.scales = {f.offset, f.scale};
    w.codes.assign(128, 0);
    if (f.row >= 0) w.codes[8 * f.row + f.col] = uint8_t((1u << f.width) - 1);
    w.tiles = lowbit_pack_tile(w.codes, f.width);
    for (int32_t n : {1, 3}) {
      context c(2, false, kAvx512Flag);
      const qz_ypu_linear_lowbit_params_t p = lowbit_load(c, w);
      std::vector<float> in;
      for (int32_t i = 0; i < n; ++i) in.insert(in.end(), x, x + 8);
      const std::vector<float> got = lowbit_linear(c, p, in, 16, n);
      for (int32_t i = 0; i < n; ++i)
        for (int32_t r = 0; r < 16; ++r)
          EXPECT_EQ(got[16 * i + r], r == f.row ? f.at_code_row : f.elsewhere) << "n " << n << ", row " << r;
    }
  }
}

// A failing scratch allocation is reported and the output stays as it was.
TEST(LowbitAvx512Linear, AllocationFailureLeavesTheOutput) {
  SKIP_WITHOUT_AVX512F();
  const lowbit_weight w = make_lowbit_weight(2, {0, 1, 0, 1, 0, 0, 0, 1}, shuffled(24, 3), 7);
  std::vector<float> x(3 * 24);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 7) - 3.0f;
  for (int threads : {1, 3})
    for (int32_t n : {1, 3}) {
      context c(threads, false, kAvx512Flag);
      qz_ypu_linear_lowbit_params_t p = lowbit_load(c, w);
      int failures = 0;
      for (int k = 1;; ++k) {
        ASSERT_LT(k, 20);
        p.in = c.buffer(x);
        p.out = c.buffer(std::vector<float>(size_t(n) * 32, NAN));
        p.in_offset = p.out_offset = 0;
        p.n = n;
        qz_alloc_fail_at(k);
        const qz_status_t status = c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p);
        qz_alloc_fail_at(0);
        if (status == QZ_STATUS_SUCCESS) break;
        ASSERT_EQ(status, QZ_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        ++failures;
        const std::vector<uint8_t> bytes = c.bytes(p.out);
        for (int32_t i = 0; i < n * 32; ++i) {
          float v;
          std::memcpy(&v, &bytes[4 * size_t(i)], 4);
          ASSERT_TRUE(std::isnan(v)) << "allocation " << k << ", output " << i;
        }
      }
      // One token: the check's bits and the gathered row; several: the
      // check's bits, the two lists of distinct rows, the packed
      // activations and the group sums (the kernels add into the output
      // rows themselves).
      EXPECT_GE(failures, n == 1 ? 2 : 3) << "threads " << threads << ", n " << n;
    }
}

}  // namespace
