// Attention primitives against a plain double-precision reference: score and
// value products over float keys and uint8 linear caches, blocked attention,
// attention over ring caches, and the bias, mask and gather steps.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "attention/reference.h"
#include "support/error_stack.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

constexpr double kTol = 2e-5;
const std::string kOutOfMemory = "0633a7d 00000324: Failed to allocate, out of memory.";

class Primitives : public testing::TestWithParam<ypu_backend> {};

// One query, many queries, grouped heads, a single kv head, and key counts
// that are no multiple of any block size.
const attn_dims kShapes[] = {
    {1, 1, 1, 1, 1, 1},  {1, 1, 5, 4, 4, 8},   {2, 3, 7, 4, 2, 5},
    {1, 4, 9, 6, 1, 3},  {3, 2, 300, 2, 1, 4}, {2, 5, 6, 3, 3, 16},
};

std::vector<double> reference_scores(const attn_dims &d, const tensor_fn &query,
                                     const tensor_fn &key) {
  std::vector<double> s(size_t(d.B) * d.H * d.Q * d.K);
  for (int b = 0; b < d.B; ++b)
    for (int h = 0; h < d.H; ++h)
      for (int q = 0; q < d.Q; ++q)
        for (int t = 0; t < d.K; ++t) {
          double dot = 0;
          for (int e = 0; e < d.D; ++e) dot += query(b, q, h, e) * key(b, t, h / (d.H / d.G), e);
          s[((size_t(b) * d.H + h) * d.Q + q) * d.K + t] = dot / std::sqrt(double(d.D));
        }
  return s;
}

std::vector<double> reference_values(const attn_dims &d, const std::vector<float> &weights,
                                     const tensor_fn &value) {
  std::vector<double> out(size_t(d.B) * d.Q * d.H * d.D);
  for (int b = 0; b < d.B; ++b)
    for (int h = 0; h < d.H; ++h)
      for (int q = 0; q < d.Q; ++q)
        for (int e = 0; e < d.D; ++e) {
          double acc = 0;
          for (int t = 0; t < d.K; ++t)
            acc += weights[((size_t(b) * d.H + h) * d.Q + q) * d.K + t] *
                   value(b, t, h / (d.H / d.G), e);
          out[((size_t(b) * d.Q + q) * d.H + h) * d.D + e] = acc;
        }
  return out;
}

size_t score_size(const attn_dims &d) { return size_t(d.B) * d.H * d.Q * d.K; }
size_t query_size(const attn_dims &d) { return size_t(d.B) * d.Q * d.H * d.D; }
size_t key_size(const attn_dims &d) { return size_t(d.B) * d.K * d.G * d.D; }

TEST_P(Primitives, FloatScoresAndValues) {
  for (const attn_dims &d : kShapes) {
    SCOPED_TRACE(describe(d));
    ypu_harness h(GetParam());
    const auto query = random_floats(query_size(d), 1), key = random_floats(key_size(d), 2);
    const auto value = random_floats(key_size(d), 3), weights = random_floats(score_size(d), 4);
    qz_ypu_buffer_t *scores = h.buffer(int32_t(score_size(d) * 4), 0xAB);
    const qz_ypu_attention_scores_f32_params_t sp{
        .scores = scores, .query = h.buffer(query), .key = h.buffer(key), .batch_size = d.B,
        .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
        .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_SCORES_F32, &sp), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(scores, score_size(d)),
                 reference_scores(d, dense(query, d.Q, d.H, d.D), dense(key, d.K, d.G, d.D)),
                 kTol, "scores");

    qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
    const qz_ypu_attention_values_f32_params_t vp{
        .output = out, .scores = h.buffer(weights), .value = h.buffer(value),
        .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_VALUES_F32, &vp), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(out, query_size(d)),
                 reference_values(d, weights, dense(value, d.K, d.G, d.D)), kTol, "values");
  }
}

TEST_P(Primitives, CacheScoresAndValues) {
  for (const attn_dims &d : kShapes) {
    SCOPED_TRACE(describe(d));
    ypu_harness h(GetParam());
    const auto query = random_floats(query_size(d), 5), weights = random_floats(score_size(d), 6);
    const linear_cache keys = make_cache(d, 7), values = make_cache(d, 9);
    qz_ypu_buffer_t *scores = h.buffer(int32_t(score_size(d) * 4), 0xAB);
    const qz_ypu_attention_scores_cache_u8_params_t sp{
        .scores = scores, .query = h.buffer(query), .key = h.buffer(keys.codes),
        .key_metas = h.buffer(keys.metas), .batch_size = d.B, .query_size = d.Q,
        .key_value_size = d.K, .max_key_value_size = keys.M, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8, &sp), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(scores, score_size(d)),
                 reference_scores(d, dense(query, d.Q, d.H, d.D), keys.dequantized(d)), kTol,
                 "scores");

    qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
    const qz_ypu_attention_values_cache_u8_params_t vp{
        .output = out, .scores = h.buffer(weights), .value = h.buffer(values.codes),
        .value_metas = h.buffer(values.metas), .batch_size = d.B, .query_size = d.Q,
        .key_value_size = d.K, .max_key_value_size = values.M, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8, &vp), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(out, query_size(d)),
                 reference_values(d, weights, values.dequantized(d)), kTol, "values");
  }
}

// Empty shapes leave the outputs alone, except that a value product over no
// keys is the empty sum.
TEST_P(Primitives, EmptyShapes) {
  ypu_harness h(GetParam());
  const std::vector<float> canary(64, 7.f);
  qz_ypu_buffer_t *scores = h.buffer(canary), *out = h.buffer(canary);
  qz_ypu_buffer_t *in = h.buffer(std::vector<float>(64, 1.f));
  const qz_ypu_attention_scores_f32_params_t no_queries{
      .scores = scores, .query = in, .key = in, .batch_size = 1, .query_size = 0,
      .key_value_size = 4, .num_heads = 2, .num_kv_heads = 1, .head_dim = 4};
  ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_SCORES_F32, &no_queries), QZ_STATUS_SUCCESS);
  EXPECT_EQ(h.read<float>(scores, 64), canary);

  const qz_ypu_attention_values_f32_params_t no_keys{
      .output = out, .scores = in, .value = in, .batch_size = 1, .query_size = 2,
      .key_value_size = 0, .num_heads = 2, .num_kv_heads = 1, .head_dim = 4};
  ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_VALUES_F32, &no_keys), QZ_STATUS_SUCCESS);
  std::vector<float> want(64, 7.f);
  std::fill_n(want.begin(), 16, 0.f);
  EXPECT_EQ(h.read<float>(out, 64), want);
}

// A kv head count that is zero or does not divide the heads would divide by
// zero or read past the keys: refused before anything is touched.
TEST_P(Primitives, RefuseUngroupableHeads) {
  for (const auto &[heads, kv_heads] : {std::pair{4, 0}, std::pair{3, 2}, std::pair{2, -1}}) {
    ypu_harness h(GetParam());
    const std::vector<float> canary(64, 7.f);
    qz_ypu_buffer_t *out = h.buffer(canary);
    qz_ypu_buffer_t *in = h.buffer(std::vector<float>(64, 1.f));
    const qz_ypu_attention_scores_f32_params_t scores{
        .scores = out, .query = in, .key = in, .batch_size = 1, .query_size = 1,
        .key_value_size = 2, .num_heads = heads, .num_kv_heads = kv_heads, .head_dim = 2};
    EXPECT_EQ(h.run(QZ_YPU_OP_ATTENTION_SCORES_F32, &scores), QZ_STATUS_INVALID_ARGUMENT);
    const qz_ypu_attention_blocked_f32_params_t blocked{
        .output = out, .query = in, .key = in, .value = in, .batch_size = 1, .query_size = 1,
        .key_value_size = 2, .num_heads = heads, .num_kv_heads = kv_heads, .head_dim = 2};
    EXPECT_EQ(h.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &blocked), QZ_STATUS_INVALID_ARGUMENT);
    const qz_ypu_attention_kv_params_t ring{
        .output = out, .query = in, .keys = in, .key_intercepts = in, .key_slopes = in,
        .values = in, .value_intercepts = in, .value_slopes = in, .num_queries = 1,
        .window_length = 4, .position = 0, .num_heads = heads, .num_kv_heads = kv_heads,
        .head_dimension = 2};
    EXPECT_EQ(h.run(QZ_YPU_OP_ATTENTION_KV_U8, &ring), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(h.read<float>(out, 64), canary);
  }
}

// ---------------------------------------------------------------------------
// Blocked attention.

TEST_P(Primitives, BlockedMatchesPlainAttention) {
  const attn_dims shapes[] = {
      {1, 1, 1, 1, 1, 4},    {1, 300, 300, 2, 1, 8}, {2, 3, 257, 4, 2, 5},
      {1, 257, 3, 3, 3, 6},  {2, 2, 513, 2, 2, 3},
  };
  for (const attn_dims &d : shapes) {
    SCOPED_TRACE(describe(d));
    ypu_harness h(GetParam());
    // Wide scores, so that the running maximum moves between key blocks and
    // some weights fall under the cut-off.
    const auto query = random_floats(query_size(d), 21, -3.f, 3.f);
    const auto key = random_floats(key_size(d), 22, -3.f, 3.f);
    const auto value = random_floats(key_size(d), 23);
    qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
    const qz_ypu_attention_blocked_f32_params_t p{
        .output = out, .query = h.buffer(query), .key = h.buffer(key), .value = h.buffer(value),
        .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &p), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(out, query_size(d)),
                 reference_attention(d, dense(query, d.Q, d.H, d.D), dense(key, d.K, d.G, d.D),
                                     dense(value, d.K, d.G, d.D)),
                 kTol, "output");
  }
}

TEST_P(Primitives, BlockedWithoutKeysGivesZeros) {
  ypu_harness h(GetParam());
  qz_ypu_buffer_t *out = h.buffer(std::vector<float>(8, 7.f));
  qz_ypu_buffer_t *in = h.buffer(std::vector<float>(8, 1.f));
  const qz_ypu_attention_blocked_f32_params_t p{
      .output = out, .query = in, .key = in, .value = in, .batch_size = 1, .query_size = 2,
      .key_value_size = 0, .num_heads = 2, .num_kv_heads = 2, .head_dim = 2};
  ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(h.read<float>(out, 8), std::vector<float>(8, 0.f));
}

TEST(BlockedScratch, FailedCreationLeavesTheOutputAlone) {
  ypu_harness h(ypu_backend::fake);
  const std::vector<float> canary(8, 7.f);
  qz_ypu_buffer_t *out = h.buffer(canary);
  qz_ypu_buffer_t *in = h.buffer(std::vector<float>(8, 1.f));
  h.fake()->fail_buffer_create_after = 0;
  h.fake()->log.clear();
  const qz_ypu_attention_blocked_f32_params_t p{
      .output = out, .query = in, .key = in, .value = in, .batch_size = 1, .query_size = 2,
      .key_value_size = 2, .num_heads = 2, .num_kv_heads = 2, .head_dim = 2};
  EXPECT_EQ(h.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &p), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kOutOfMemory});
  EXPECT_EQ(h.fake()->count("map"), 0);
  EXPECT_EQ(h.fake()->count("map fetch"), 0);
  EXPECT_EQ(h.read<float>(out, 8), canary);
}

// ---------------------------------------------------------------------------
// Attention over ring caches.

struct ring_case {
  int num_queries, window, position, heads, kv_heads, dim;
};

const ring_case kRingCases[] = {
    {1, 8, 0, 2, 2, 4},   // the row sees only itself
    {3, 8, 2, 4, 2, 5},   // several rows, grouped heads
    {4, 8, 6, 2, 1, 3},   // positions 6..9: the view wraps the ring end
    {1, 8, 9, 2, 2, 6},   // ring rows 2..7 then 0..1
    {2, 5, 11, 3, 3, 7},
    {6, 4, 0, 4, 2, 2},   // more new rows than the ring holds
};

template <class Code>
void check_ring_attention(ypu_backend backend, uint32_t op, uint32_t code_mask) {
  for (const ring_case &c : kRingCases) {
    SCOPED_TRACE(testing::Message() << "n" << c.num_queries << " window" << c.window << " pos"
                                    << c.position << " H" << c.heads << " G" << c.kv_heads
                                    << " D" << c.dim);
    ypu_harness h(backend);
    const size_t ring_rows = size_t(c.kv_heads) * c.window;
    std::vector<Code> keys(ring_rows * c.dim), values(ring_rows * c.dim);
    const auto kb = random_bytes(2 * keys.size(), 31), vb = random_bytes(2 * keys.size(), 32);
    for (size_t i = 0; i < keys.size(); ++i) {
      keys[i] = Code((kb[2 * i] | kb[2 * i + 1] << 8) & code_mask);
      values[i] = Code((vb[2 * i] | vb[2 * i + 1] << 8) & code_mask);
    }
    const float step = 2.f / float(code_mask);
    const auto key_slopes = random_floats(ring_rows, 33, 0.5f * step, step);
    const auto value_slopes = random_floats(ring_rows, 34, 0.5f * step, step);
    const auto key_intercepts = random_floats(ring_rows, 35, -1.f, 0.f);
    const auto value_intercepts = random_floats(ring_rows, 36, -1.f, 0.f);
    const auto query = random_floats(size_t(c.heads) * c.num_queries * c.dim, 37);
    qz_ypu_buffer_t *out = h.buffer(int32_t(c.num_queries * c.heads * c.dim * 4), 0xAB);
    const qz_ypu_attention_kv_params_t p{
        .output = out, .query = h.buffer(query), .keys = h.buffer(keys),
        .key_intercepts = h.buffer(key_intercepts), .key_slopes = h.buffer(key_slopes),
        .values = h.buffer(values), .value_intercepts = h.buffer(value_intercepts),
        .value_slopes = h.buffer(value_slopes), .num_queries = c.num_queries,
        .window_length = c.window, .position = c.position, .num_heads = c.heads,
        .num_kv_heads = c.kv_heads, .head_dimension = c.dim};
    ASSERT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    const auto got = h.read<float>(out, size_t(c.num_queries) * c.heads * c.dim);

    // Position t of the sequence lives in ring row t mod window; row j sees
    // positions max(0, last + 1 - window) .. last with last = position + j.
    auto ring = [&](const std::vector<Code> &codes, const std::vector<float> &slopes,
                    const std::vector<float> &intercepts) -> tensor_fn {
      return [&, c](int, int t, int g, int e) {
        const size_t r = size_t(g) * c.window + t % c.window;
        return double(codes[r * c.dim + e]) * slopes[r] + intercepts[r];
      };
    };
    const attn_dims d{1, c.num_queries, c.position + c.num_queries, c.heads, c.kv_heads, c.dim};
    const tensor_fn q = [&](int, int j, int head, int e) {
      return double(query[(size_t(head) * c.num_queries + j) * c.dim + e]);
    };
    const score_term_fn visible = [&](int, int, int j, int t) {
      const int last = c.position + j;
      return t <= last && t > last - c.window ? 0.0 : kMinusInf;
    };
    expect_close(got,
                 reference_attention(d, q, ring(keys, key_slopes, key_intercepts),
                                     ring(values, value_slopes, value_intercepts), visible),
                 kTol, "output");

    // A single visible position has weight exactly 1: the output is the
    // dequantised value row itself.
    if (c.position == 0 && c.num_queries == 1)
      for (int head = 0; head < c.heads; ++head)
        for (int e = 0; e < c.dim; ++e) {
          const size_t r = size_t(head / (c.heads / c.kv_heads)) * c.window;
          EXPECT_EQ(bits(got[size_t(head) * c.dim + e]),
                    bits(float(values[r * c.dim + e]) * value_slopes[r] + value_intercepts[r]));
        }
  }
}

TEST_P(Primitives, RingAttentionU8) {
  check_ring_attention<uint8_t>(GetParam(), QZ_YPU_OP_ATTENTION_KV_U8, 0xFF);
}

TEST_P(Primitives, RingAttentionU16) {
  check_ring_attention<uint16_t>(GetParam(), QZ_YPU_OP_ATTENTION_KV_U16, 0xFFFF);
}

// A ring-attention call on the fake backend, with one-float operands.
struct ring_call {
  ypu_harness h{ypu_backend::fake};
  std::vector<float> canary = std::vector<float>(16, 7.f);
  qz_ypu_buffer_t *out = h.buffer(canary);
  qz_ypu_buffer_t *in = h.buffer(std::vector<float>(64, 0.f));
  qz_ypu_attention_kv_params_t params{
      .output = out, .query = in, .keys = in, .key_intercepts = in, .key_slopes = in,
      .values = in, .value_intercepts = in, .value_slopes = in, .num_queries = 2,
      .window_length = 4, .position = 3, .num_heads = 2, .num_kv_heads = 1,
      .head_dimension = 2};
};

// The score rows come from the context's buffer cache and go back to it.
TEST(RingScratch, ComesFromAndReturnsToTheBufferCache) {
  ring_call call;
  fake_backend &fake = *call.h.fake();
  fake.create_requests.clear();
  ASSERT_EQ(call.h.run(QZ_YPU_OP_ATTENTION_KV_U8, &call.params), QZ_STATUS_SUCCESS);
  // max(position + num_queries, window_length) x num_heads floats.
  EXPECT_EQ(fake.create_requests, std::vector<int32_t>{5 * 2 * 4});
  ASSERT_EQ(call.h.run(QZ_YPU_OP_ATTENTION_KV_U16, &call.params), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fake.create_requests.size(), 1u);
  const int cached = int(std::count_if(std::begin(call.h.context()->cache),
                                       std::end(call.h.context()->cache),
                                       [](const auto &slot) { return slot.buffer != nullptr; }));
  EXPECT_EQ(cached, 1);
}

TEST(RingScratch, UnavailableScratchIsReported) {
  ring_call call;
  call.h.fake()->fail_buffer_create_after = 0;
  EXPECT_EQ(call.h.run(QZ_YPU_OP_ATTENTION_KV_U8, &call.params), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kOutOfMemory});
  EXPECT_EQ(call.h.read<float>(call.out, 16), call.canary);
}

// A position so far on that the score rows would pass 2 GiB: refused before
// the cache is asked, where 32-bit sizes would have wrapped.
TEST(RingScratch, OversizedScratchIsRefusedBeforeAcquiring) {
  ring_call call;
  call.params.position = 1 << 30;
  call.h.fake()->create_requests.clear();
  EXPECT_EQ(call.h.run(QZ_YPU_OP_ATTENTION_KV_U8, &call.params), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kOutOfMemory});
  EXPECT_TRUE(call.h.fake()->create_requests.empty());
  EXPECT_EQ(call.h.read<float>(call.out, 16), call.canary);
}

// ---------------------------------------------------------------------------
// Bias, window mask and clamped gather.

TEST_P(Primitives, TwoWayBias) {
  ypu_harness h(GetParam());
  // outer 2, rows 2, cols 3.
  const std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::vector<float> row_bias = {100, 200, 300, 400};
  const std::vector<float> col_bias = {10, 20, 30, 40, 50, 60};
  qz_ypu_buffer_t *bx = h.buffer(x);
  const qz_ypu_add_bias_2d_f32_params_t p{.x = bx, .row_bias = h.buffer(row_bias),
                                          .col_bias = h.buffer(col_bias), .outer = 2,
                                          .rows = 2, .cols = 3};
  ASSERT_EQ(h.run(QZ_YPU_OP_ADD_BIAS_2D_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(h.read<float>(bx, 12), (std::vector<float>{111, 122, 133, 214, 225, 236,  //
                                                       347, 358, 369, 450, 461, 472}));
}

TEST_P(Primitives, WindowMask) {
  ypu_harness h(GetParam());
  const int batches = 2, n = 5, k = 5;
  const std::vector<int32_t> windows = {0, 4,  3, 1,  1, 2,  2, 9,  -3, 0};
  std::vector<float> scores(batches * n * k);
  for (size_t i = 0; i < scores.size(); ++i) scores[i] = float(i) - 20.f;
  qz_ypu_buffer_t *bs = h.buffer(scores);
  const qz_ypu_mask_window_f32_params_t p{.scores = bs, .mask_indices = h.buffer(windows),
                                          .batches = batches, .n = n, .k = k};
  ASSERT_EQ(h.run(QZ_YPU_OP_MASK_WINDOW_F32, &p), QZ_STATUS_SUCCESS);
  const auto got = h.read<float>(bs, scores.size());
  const char *kept[] = {"xxxxx", ".....", ".xx..", "..xxx", "x...."};
  for (int b = 0; b < batches; ++b)
    for (int r = 0; r < n; ++r)
      for (int t = 0; t < k; ++t) {
        const size_t i = (size_t(b) * n + r) * k + t;
        if (kept[r][t] == 'x') EXPECT_EQ(got[i], scores[i]) << b << " " << r << " " << t;
        else EXPECT_EQ(bits(got[i]), 0xFF800000u) << b << " " << r << " " << t;
      }
}

TEST_P(Primitives, ClampedGather) {
  struct gather_case {
    int blocks, rows, sources;
    std::vector<int> picked;  // source row of each output row
  };
  const gather_case cases[] = {
      {2, 4, 5, {3, 2, 1, 0, 4, 4, 3, 2}},  // block 1 starts s = 2 rows later
      {4, 2, 3, {2, 0, 2, 1, 2, 2, 2, 2}},  // t = 2 rows per step back in time
      {1, 3, 2, {1, 1, 0}},
  };
  for (const gather_case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.blocks << " blocks of " << c.rows);
    ypu_harness h(GetParam());
    const int words = 2;
    std::vector<uint32_t> input(size_t(c.sources) * words);
    for (size_t i = 0; i < input.size(); ++i) input[i] = uint32_t(0x1000 * (i / words) + i % words);
    qz_ypu_buffer_t *out = h.buffer(std::vector<uint32_t>(c.picked.size() * words + 1, 0xDEAD));
    const qz_ypu_gather_clamped_params_t p{.output = out, .input = h.buffer(input),
                                           .block_count = c.blocks, .block_rows = c.rows,
                                           .row_words = words, .source_rows = c.sources};
    ASSERT_EQ(h.run(QZ_YPU_OP_GATHER_CLAMPED, &p), QZ_STATUS_SUCCESS);
    std::vector<uint32_t> want;
    for (int s : c.picked) want.insert(want.end(), {uint32_t(0x1000 * s), uint32_t(0x1000 * s + 1)});
    want.push_back(0xDEAD);
    EXPECT_EQ(h.read<uint32_t>(out, want.size()), want);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Primitives, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
