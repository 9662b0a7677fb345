// Masked scores on the Metal backend against the host: the window mask's
// minus infinity through the float softmax and the weighted sums. The GPU
// program is built with fast math, so no infinity may reach a maths
// function there (the harness stops a kernel that lets one through); the
// kernels recognise masked entries by their bits instead. Rows are partly
// masked, masked whole (NaN throughout, as the host's -inf - -inf gives),
// and visible only through scores at or near the lowest float, which a
// stand-in maximum must not be taken for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "metal_twin.h"
#include "ypu/params.h"

namespace {

constexpr float kMasked = -std::numeric_limits<float>::infinity();
constexpr float kLowest = -3.4028235e38f;

struct masked_row {
  const char *name;
  // Entry j of a row of n (the row's index seeds its random scores).
  std::function<float(int32_t j, int32_t n, float random)> entry;
};

const masked_row MASKED_ROWS[] = {
    {"unmasked", [](int32_t, int32_t, float r) { return r; }},
    {"every_third_masked", [](int32_t j, int32_t, float r) { return j % 3 == 0 ? kMasked : r; }},
    {"masked_whole", [](int32_t, int32_t, float) { return kMasked; }},
    // Two visible scores, both the lowest float: one half each.
    {"lowest_floats_visible",
     [](int32_t j, int32_t n, float) { return j == 1 || j == n - 1 ? kLowest : kMasked; }},
    // Visible scores of about -1e38 to -3.4e38 between masked ones.
    {"very_negative_visible",
     [](int32_t j, int32_t, float r) { return j % 2 ? kMasked : kLowest * (0.6f + r / 10.0f); }},
    {"last_entry_visible", [](int32_t j, int32_t n, float r) { return j == n - 1 ? r : kMasked; }},
};

// Op 78 over one row of each kind, rows shorter and longer than a SIMD
// group (at every width the harness runs). Masked entries get exactly 0;
// the others agree within the sum's order (n roundings) and the reciprocal.
TEST(MetalMaskedSoftmax, MatchesHostForMaskedRows) {
  for (const int32_t cols : {5, 70}) {
    SCOPED_TRACE(cols);
    const int32_t rows = static_cast<int32_t>(std::size(MASKED_ROWS));
    const std::vector<float> random = random_floats(size_t(rows) * cols, -4.0f, 4.0f, 31);
    std::vector<float> in;
    for (int32_t r = 0; r < rows; ++r)
      for (int32_t j = 0; j < cols; ++j)
        in.push_back(MASKED_ROWS[r].entry(j, cols, random[size_t(r) * cols + j]));
    metal_twin t;
    auto x = t.buffer(in);
    auto out = t.bytes(rows * cols * 4, 0xA5);
    t.run(QZ_YPU_OP_SOFTMAX_F32, "taabe67", [&](bool g) {
      return qz_ypu_softmax_f32_params_t{out.on(g), x.on(g), rows, cols, 0, 0};
    });
    t.expect_close(out, in.size(), float((cols + 4) * kUnitRoundoff));
    const std::vector<float> got = t.gpu_values<float>(out, in.size());
    for (int32_t r = 0; r < rows; ++r) {
      SCOPED_TRACE(MASKED_ROWS[r].name);
      const float *row = &got[size_t(r) * cols];
      if (std::string(MASKED_ROWS[r].name) == "masked_whole") {
        for (int32_t j = 0; j < cols; ++j) EXPECT_TRUE(std::isnan(row[j])) << j;
        continue;
      }
      for (int32_t j = 0; j < cols; ++j) {
        if (in[size_t(r) * cols + j] == kMasked) {
          EXPECT_EQ(row[j], 0.0f) << j;
        }
      }
    }
    EXPECT_EQ(got[size_t(3) * cols + 1], 0.5f);
  }
}

// The composite attentions with key windows, through the Metal scores,
// mask, softmax and weighted sums: whole rows, windows inside the row,
// a window past the row's end, one before its start and one with its start
// past its end (masked whole: NaN outputs, as on the host). Heads, key/value
// heads, queries and keys all differ, and 70 keys stride over the lanes.
struct window_shape {
  int32_t batch = 2, queries = 6, keys = 70, heads = 4, kv_heads = 2, dim = 8;
};

std::vector<int32_t> window_pairs(int32_t keys) {
  return {0, keys - 1, 3, 9, 40, 2, keys - 5, keys + 7, -6, 0, 20, 20};
}

float window_bound(const window_shape &s) {
  return float(2 * (4 * s.dim * std::sqrt(float(s.dim)) + 4 * s.keys + 16) * kUnitRoundoff);
}

TEST(MetalWindowAttention, FloatChainMatchesHostForMaskedRows) {
  const window_shape s;
  metal_twin t;
  const size_t rows_q = size_t(s.batch) * s.queries * s.heads, rows_kv = size_t(s.batch) * s.keys * s.kv_heads;
  auto query = t.buffer(random_floats(rows_q * s.dim, -1, 1, 32));
  auto key = t.buffer(random_floats(rows_kv * s.dim, -1, 1, 33));
  auto value = t.buffer(random_floats(rows_kv * s.dim, -1, 1, 34));
  auto windows = t.buffer(window_pairs(s.keys));
  auto out = t.bytes(int32_t(rows_q * s.dim * 4), 0xA5);
  t.run(QZ_YPU_OP_ATTENTION_WINDOW_F32, "taabe67", [&](bool g) {
    return qz_ypu_attention_window_f32_params_t{out.on(g), query.on(g), key.on(g),  value.on(g),
                                                windows.on(g), s.batch, s.queries, s.keys,
                                                s.heads,   s.kv_heads,  s.dim,     0};
  });
  t.expect_close(out, rows_q * s.dim, 0.0f, window_bound(s));
  // Query row 2 (window 40..2) is masked whole in every batch entry and head.
  const std::vector<float> got = t.gpu_values<float>(out, rows_q * s.dim);
  EXPECT_TRUE(std::isnan(got[(size_t(2) * s.heads) * s.dim]));
  EXPECT_FALSE(std::isnan(got[(size_t(1) * s.heads) * s.dim]));
}

TEST(MetalWindowAttention, Uint8CacheChainMatchesHostForMaskedRows) {
  const window_shape s;
  const int32_t capacity = s.keys + 3;
  metal_twin t;
  const size_t rows_q = size_t(s.batch) * s.queries * s.heads;
  const size_t cache_rows = size_t(s.batch) * capacity;
  auto query = t.buffer(random_floats(rows_q * s.dim, -1, 1, 35));
  auto codes = t.buffer(random_ints<uint8_t>(cache_rows * s.kv_heads * s.dim, 0, 255, 36));
  std::vector<float> metas(cache_rows * 2);
  for (size_t r = 0; r < cache_rows; ++r) {
    metas[2 * r] = 2.0f / 255.0f;
    metas[2 * r + 1] = -1.0f + 0.05f * float(r % 5);
  }
  auto pairs = t.buffer(metas);
  auto windows = t.buffer(window_pairs(s.keys));
  auto out = t.bytes(int32_t(rows_q * s.dim * 4), 0xA5);
  t.run(QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8, "taabe334", [&](bool g) {
    return qz_ypu_attention_window_cache_u8_params_t{
        out.on(g), query.on(g), codes.on(g), pairs.on(g), codes.on(g), pairs.on(g), windows.on(g),
        s.batch,   s.queries,   s.keys,      capacity,    s.heads,     s.kv_heads,  s.dim};
  });
  t.expect_close(out, rows_q * s.dim, 0.0f, 2 * window_bound(s));
}

}  // namespace
