// Composite attention: results against the double-precision reference on
// every backend, then the chain's structure on a scripted fake backend (which
// form runs, size limits, clean-up and messages when a step fails).
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "attention/reference.h"
#include "support/error_stack.h"
#include "support/fake_backend.h"
#include "support/ypu_harness.h"
#include "ypu/host/attention.h"
#include "ypu/params.h"

namespace {

constexpr double kTol = 2e-5;
const std::string kOutOfMemory = "0633a7d 00000324: Failed to allocate, out of memory.";
const std::string kExecuteFailed = "0633a7d 00000321: Failed to execute operator";

size_t query_size(const attn_dims &d) { return size_t(d.B) * d.Q * d.H * d.D; }
size_t key_size(const attn_dims &d) { return size_t(d.B) * d.K * d.G * d.D; }
size_t score_rows(const attn_dims &d) { return size_t(d.B) * d.H * d.Q; }

// One query, many queries, grouped heads, one kv head, and a key count past a
// block of 256 that is no multiple of it.
const attn_dims kShapes[] = {
    {1, 1, 1, 1, 1, 4}, {1, 1, 5, 4, 4, 8}, {2, 3, 7, 4, 2, 5},
    {1, 4, 300, 2, 1, 4}, {2, 5, 6, 3, 3, 16},
};

// Keys (b, t, g, d) that each composite sees after its front end: either the
// floats themselves or their uint8 copies, one quantised row per position.
struct float_inputs {
  std::vector<float> query, key, value;
  explicit float_inputs(const attn_dims &d, uint32_t seed)
      : query(random_floats(query_size(d), seed)),
        key(random_floats(key_size(d), seed + 1)),
        value(random_floats(key_size(d), seed + 2)) {}
};

tensor_fn quantized(const std::vector<float> &x, const attn_dims &d) {
  const int width = d.G * d.D;
  auto codes = std::make_shared<std::vector<uint8_t>>(x.size());
  auto rows = std::make_shared<std::vector<qz_ypu_row_affine_t>>();
  for (size_t r = 0; r * width < x.size(); ++r)
    rows->push_back(qz_ypu_quantize_row_u8(codes->data() + r * width, &x[r * width], width));
  return [codes, rows, d, width](int b, int t, int g, int e) {
    const size_t r = size_t(b) * d.K + t;
    return double((*codes)[r * width + g * d.D + e]) * (*rows)[r].slope + (*rows)[r].intercept;
  };
}

class Composites : public testing::TestWithParam<ypu_backend> {};

TEST_P(Composites, PlainAttention) {
  for (const int quantize : {0, 1}) {
    for (const attn_dims &d : kShapes) {
      SCOPED_TRACE(describe(d) + (quantize ? " quantised" : " float"));
      ypu_harness h(GetParam());
      const float_inputs in(d, 40);
      qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
      const qz_ypu_attention_f32_params_t p{
          .output = out, .query = h.buffer(in.query), .key = h.buffer(in.key),
          .value = h.buffer(in.value), .batch_size = d.B, .query_size = d.Q,
          .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D,
          .quantize = quantize};
      ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_F32, &p), QZ_STATUS_SUCCESS);
      const tensor_fn key = quantize ? quantized(in.key, d) : dense(in.key, d.K, d.G, d.D);
      const tensor_fn value = quantize ? quantized(in.value, d) : dense(in.value, d.K, d.G, d.D);
      expect_close(h.read<float>(out, query_size(d)),
                   reference_attention(d, dense(in.query, d.Q, d.H, d.D), key, value), kTol,
                   "output");
    }
  }
}

// Key rows that are constant survive quantisation exactly, so the quantised
// composite matches attention over the original floats.
TEST_P(Composites, ConstantRowsComeBackExactly) {
  const attn_dims d{2, 3, 7, 4, 2, 5};
  ypu_harness h(GetParam());
  float_inputs in(d, 50);
  const int width = d.G * d.D;
  for (size_t i = 0; i < in.key.size(); ++i) {
    in.key[i] = in.key[i - i % width];
    in.value[i] = in.value[i - i % width];
  }
  qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4));
  const qz_ypu_attention_f32_params_t p{
      .output = out, .query = h.buffer(in.query), .key = h.buffer(in.key),
      .value = h.buffer(in.value), .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
      .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D, .quantize = 1};
  ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_F32, &p), QZ_STATUS_SUCCESS);
  expect_close(h.read<float>(out, query_size(d)),
               reference_attention(d, dense(in.query, d.Q, d.H, d.D),
                                   dense(in.key, d.K, d.G, d.D), dense(in.value, d.K, d.G, d.D)),
               kTol, "output");
}

// The quantising front end is exactly the cache composite over the copies
// that the linear-cache writer makes.
TEST_P(Composites, QuantisedFrontEndIsTheCacheComposite) {
  const attn_dims d{2, 3, 9, 4, 2, 6};
  ypu_harness h(GetParam());
  const float_inputs in(d, 60);
  qz_ypu_buffer_t *query = h.buffer(in.query), *key = h.buffer(in.key),
                  *value = h.buffer(in.value);
  qz_ypu_buffer_t *direct = h.buffer(int32_t(query_size(d) * 4));
  const qz_ypu_attention_f32_params_t front{
      .output = direct, .query = query, .key = key, .value = value, .batch_size = d.B,
      .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
      .head_dim = d.D, .quantize = 1};
  ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_F32, &front), QZ_STATUS_SUCCESS);

  qz_ypu_buffer_t *kc = h.buffer(int32_t(key_size(d))), *kp = h.buffer(d.B * d.K * 8);
  qz_ypu_buffer_t *vc = h.buffer(int32_t(key_size(d))), *vp = h.buffer(d.B * d.K * 8);
  for (const auto &[codes, pairs, source] : {std::tuple{kc, kp, key}, std::tuple{vc, vp, value}}) {
    const qz_ypu_quantize_rows_u8_params_t q{.xq = codes, .xm = pairs, .xf = source,
                                             .max_length = d.K, .position = 0, .m = d.B,
                                             .n = d.K, .k = d.G * d.D, .xf_offset = 0};
    ASSERT_EQ(h.run(QZ_YPU_OP_QUANTIZE_ROWS_U8, &q), QZ_STATUS_SUCCESS);
  }
  qz_ypu_buffer_t *cached = h.buffer(int32_t(query_size(d) * 4));
  const qz_ypu_attention_cache_u8_params_t cache{
      .output = cached, .query = query, .key = kc, .key_metas = kp, .value = vc,
      .value_metas = vp, .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
      .max_key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
  ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_CACHE_U8, &cache), QZ_STATUS_SUCCESS);
  const auto a = h.read<float>(direct, query_size(d)), b = h.read<float>(cached, query_size(d));
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(bits(a[i]), bits(b[i])) << i;
}

// Bias grids of key_rows x key_cols per score row.
struct bias_case {
  attn_dims d;
  int key_rows, key_cols;
};
const bias_case kBiasCases[] = {
    {{1, 1, 6, 2, 1, 4}, 2, 3}, {{2, 3, 7, 4, 2, 5}, 7, 1},
    {{1, 4, 300, 2, 2, 3}, 15, 20}, {{2, 2, 1, 3, 3, 8}, 1, 1},
};

struct bias_inputs {
  std::vector<float> row, col;
  bias_inputs(const bias_case &c, uint32_t seed)
      : row(random_floats(score_rows(c.d) * c.key_rows, seed, -2.f, 2.f)),
        col(random_floats(score_rows(c.d) * c.key_cols, seed + 1, -2.f, 2.f)) {}
  // Score row (b, h, q) is row (b x H + h) x Q + q of either bias.
  score_term_fn term(const bias_case &c) const {
    return [this, c](int b, int h, int q, int t) {
      const size_t o = (size_t(b) * c.d.H + h) * c.d.Q + q;
      return double(row[o * c.key_rows + t / c.key_cols]) + col[o * c.key_cols + t % c.key_cols];
    };
  }
};

TEST_P(Composites, BiasedAttention) {
  for (const int quantize : {0, 1}) {
    for (const bias_case &c : kBiasCases) {
      const attn_dims &d = c.d;
      SCOPED_TRACE(describe(d) + (quantize ? " quantised" : " float"));
      ypu_harness h(GetParam());
      const float_inputs in(d, 70);
      const bias_inputs bias(c, 72);
      qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
      const qz_ypu_attention_bias_f32_params_t p{
          .output = out, .query = h.buffer(in.query), .key = h.buffer(in.key),
          .value = h.buffer(in.value), .row_bias = h.buffer(bias.row),
          .col_bias = h.buffer(bias.col), .batch_size = d.B, .query_size = d.Q,
          .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D,
          .key_rows = c.key_rows, .key_cols = c.key_cols, .quantize = quantize};
      ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_BIAS_F32, &p), QZ_STATUS_SUCCESS);
      const tensor_fn key = quantize ? quantized(in.key, d) : dense(in.key, d.K, d.G, d.D);
      const tensor_fn value = quantize ? quantized(in.value, d) : dense(in.value, d.K, d.G, d.D);
      expect_close(h.read<float>(out, query_size(d)),
                   reference_attention(d, dense(in.query, d.Q, d.H, d.D), key, value,
                                       bias.term(c)),
                   kTol, "output");
    }
  }
}

// Windows per query position: the whole row, or the last three keys up to q.
std::vector<int32_t> windows(const attn_dims &d, bool narrow) {
  std::vector<int32_t> w;
  for (int q = 0; q < d.Q; ++q) {
    const int end = narrow ? q % d.K : d.K - 1;
    w.insert(w.end(), {narrow ? end - 2 : 0, end});
  }
  return w;
}

score_term_fn window_term(const std::vector<int32_t> &w) {
  return [w](int, int, int q, int t) {
    return t >= w[2 * q] && t <= w[2 * q + 1] ? 0.0 : kMinusInf;
  };
}

TEST_P(Composites, WindowedAttention) {
  for (const int quantize : {0, 1}) {
    for (const bool narrow : {false, true}) {
      for (const attn_dims &d : kShapes) {
        SCOPED_TRACE(describe(d) + (quantize ? " quantised" : " float") +
                     (narrow ? " narrow" : " whole"));
        ypu_harness h(GetParam());
        const float_inputs in(d, 80);
        const std::vector<int32_t> w = windows(d, narrow);
        qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
        const qz_ypu_attention_window_f32_params_t p{
            .output = out, .query = h.buffer(in.query), .key = h.buffer(in.key),
            .value = h.buffer(in.value), .mask_indices = h.buffer(w), .batch_size = d.B,
            .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
            .head_dim = d.D, .quantize = quantize};
        ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_WINDOW_F32, &p), QZ_STATUS_SUCCESS);
        const tensor_fn key = quantize ? quantized(in.key, d) : dense(in.key, d.K, d.G, d.D);
        const tensor_fn value =
            quantize ? quantized(in.value, d) : dense(in.value, d.K, d.G, d.D);
        expect_close(h.read<float>(out, query_size(d)),
                     reference_attention(d, dense(in.query, d.Q, d.H, d.D), key, value,
                                         window_term(w)),
                     kTol, "output");
      }
    }
  }
}

// The three cache composites over caches holding more positions than are used
// (the pairs past key_value_size are NaN and must not be read).
TEST_P(Composites, CacheComposites) {
  for (const bias_case &c : kBiasCases) {
    const attn_dims &d = c.d;
    SCOPED_TRACE(describe(d));
    ypu_harness h(GetParam());
    const auto query = random_floats(query_size(d), 90);
    const linear_cache keys = make_cache(d, 91), values = make_cache(d, 93);
    qz_ypu_buffer_t *bq = h.buffer(query), *kc = h.buffer(keys.codes),
                    *kp = h.buffer(keys.metas), *vc = h.buffer(values.codes),
                    *vp = h.buffer(values.metas);
    const auto reference = [&](const score_term_fn &term) {
      return reference_attention(d, dense(query, d.Q, d.H, d.D), keys.dequantized(d),
                                 values.dequantized(d), term);
    };

    qz_ypu_buffer_t *out = h.buffer(int32_t(query_size(d) * 4), 0xAB);
    const qz_ypu_attention_cache_u8_params_t plain{
        .output = out, .query = bq, .key = kc, .key_metas = kp, .value = vc, .value_metas = vp,
        .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
        .max_key_value_size = keys.M, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_CACHE_U8, &plain), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(out, query_size(d)), reference(nullptr), kTol, "plain");

    const bias_inputs bias(c, 95);
    const qz_ypu_attention_bias_cache_u8_params_t biased{
        .output = out, .query = bq, .key = kc, .key_metas = kp, .value = vc, .value_metas = vp,
        .row_bias = h.buffer(bias.row), .col_bias = h.buffer(bias.col), .batch_size = d.B,
        .query_size = d.Q, .key_value_size = d.K, .max_key_value_size = keys.M,
        .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D, .key_rows = c.key_rows,
        .key_cols = c.key_cols};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8, &biased), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(out, query_size(d)), reference(bias.term(c)), kTol, "biased");

    const std::vector<int32_t> w = windows(d, true);
    const qz_ypu_attention_window_cache_u8_params_t windowed{
        .output = out, .query = bq, .key = kc, .key_metas = kp, .value = vc, .value_metas = vp,
        .mask_indices = h.buffer(w), .batch_size = d.B, .query_size = d.Q,
        .key_value_size = d.K, .max_key_value_size = keys.M, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D};
    ASSERT_EQ(h.run(QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8, &windowed), QZ_STATUS_SUCCESS);
    expect_close(h.read<float>(out, query_size(d)), reference(window_term(w)), kTol, "windowed");
  }
}

// A bias grid that does not tile the score row exactly would add past the
// score matrix or misalign its rows: refused before anything is created.
TEST_P(Composites, RefuseBiasGridsThatDoNotFitTheRow) {
  for (const auto &[rows, cols] : {std::pair{2, 4}, std::pair{2, 2}, std::pair{-2, -3}}) {
    ypu_harness h(GetParam());
    qz_ypu_buffer_t *out = h.buffer(std::vector<float>(64, 7.f));
    qz_ypu_buffer_t *in = h.buffer(std::vector<float>(64, 1.f));
    const qz_ypu_attention_bias_f32_params_t floats{
        .output = out, .query = in, .key = in, .value = in, .row_bias = in, .col_bias = in,
        .batch_size = 1, .query_size = 1, .key_value_size = 6, .num_heads = 1,
        .num_kv_heads = 1, .head_dim = 2, .key_rows = rows, .key_cols = cols, .quantize = 0};
    EXPECT_EQ(h.run(QZ_YPU_OP_ATTENTION_BIAS_F32, &floats), QZ_STATUS_INVALID_ARGUMENT);
    const qz_ypu_attention_bias_cache_u8_params_t cache{
        .output = out, .query = in, .key = in, .key_metas = in, .value = in, .value_metas = in,
        .row_bias = in, .col_bias = in, .batch_size = 1, .query_size = 1,
        .key_value_size = 6, .max_key_value_size = 6, .num_heads = 1, .num_kv_heads = 1,
        .head_dim = 2, .key_rows = rows, .key_cols = cols};
    EXPECT_EQ(h.run(QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8, &cache), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(h.read<float>(out, 64), std::vector<float>(64, 7.f));
    EXPECT_TRUE(take_error_stack().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Composites, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

// ---------------------------------------------------------------------------
// The chain on a scripted backend: every primitive has an entry that
// succeeds without touching memory (or fails on request), so shapes far too
// large to compute show which steps run and which buffers are asked for.

constexpr uint32_t kPrimitives[] = {
    QZ_YPU_OP_QUANTIZE_ROWS_U8,    QZ_YPU_OP_ADD_BIAS_2D_F32,
    QZ_YPU_OP_ATTENTION_BLOCKED_F32, QZ_YPU_OP_MASK_WINDOW_F32,
    QZ_YPU_OP_ATTENTION_VALUES_F32, QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8,
    QZ_YPU_OP_ATTENTION_SCORES_F32, QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8,
    QZ_YPU_OP_SOFTMAX_F32};

class scripted {
 public:
  explicit scripted(int failing_op = -1) {
    for (uint32_t op : kPrimitives)
      fake.execute[op] = int(op) == failing_op ? fake_backend::entry::fail
                                               : fake_backend::entry::succeed;
    context = fake.make_context();
    operand = fake.create(64);
    fake.create_requests.clear();
    fake.log.clear();
  }
  ~scripted() {
    fake.destroy(operand);
    qz_ypu_context_destroy(context);
  }

  // The ops executed, in order.
  std::vector<std::string> executed() const {
    std::vector<std::string> ops;
    for (const std::string &event : fake.log)
      if (event.rfind("execute ", 0) == 0) ops.push_back(event.substr(8));
    return ops;
  }
  // Every temporary handed back.
  int live_temporaries() const { return fake.live_buffers - 1; }

  fake_backend fake;
  qz_ypu_context_t *context = nullptr;
  qz_ypu_buffer_t *operand = nullptr;
};

qz_ypu_attention_f32_params_t plain_record(qz_ypu_buffer_t *b, const attn_dims &d,
                                           int quantize = 0) {
  return {.output = b, .query = b, .key = b, .value = b, .batch_size = d.B, .query_size = d.Q,
          .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D,
          .quantize = quantize};
}

qz_ypu_attention_cache_u8_params_t cache_record(qz_ypu_buffer_t *b, const attn_dims &d) {
  return {.output = b, .query = b, .key = b, .key_metas = b, .value = b, .value_metas = b,
          .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
          .max_key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
}

// Up to 256 MiB of scores the float chain runs (its score buffer is asked
// for, here refused); beyond, the blocked attention runs and nothing is
// created. The last shape's 32-bit byte count would wrap to 0.
TEST(CompositeChain, BlockedSwitch) {
  struct switch_case {
    attn_dims d;
    bool blocked;
  };
  const switch_case cases[] = {
      {{1, 2048, 2048, 8, 8, 64}, false},   // 128 MiB
      {{1, 1, 1 << 26, 1, 1, 64}, false},   // exactly 256 MiB
      {{1, 1, (1 << 26) + 1, 1, 1, 64}, true},
      {{1, 4096, 4096, 8, 8, 64}, true},    // 512 MiB
      {{256, 256, 256, 256, 256, 64}, true},
  };
  for (const switch_case &c : cases) {
    SCOPED_TRACE(describe(c.d));
    scripted s;
    s.fake.fail_buffer_create_after = 0;
    const auto p = plain_record(s.operand, c.d);
    const qz_status_t status = qz_ypu_execute(s.context, QZ_YPU_OP_ATTENTION_F32, &p);
    if (c.blocked) {
      EXPECT_EQ(status, QZ_STATUS_SUCCESS);
      EXPECT_EQ(s.executed(), std::vector<std::string>{"65"});
      EXPECT_TRUE(s.fake.create_requests.empty());
      EXPECT_TRUE(take_error_stack().empty());
    } else {
      EXPECT_EQ(status, QZ_STATUS_OUT_OF_MEMORY);
      const int64_t bytes = int64_t{4} * c.d.B * c.d.H * c.d.Q * c.d.K;
      EXPECT_EQ(s.fake.create_requests, std::vector<int32_t>{int32_t(bytes)});
      EXPECT_TRUE(s.executed().empty());
      EXPECT_EQ(take_error_stack(), std::vector<std::string>{kOutOfMemory});
    }
  }
}

// The other composites refuse a score matrix of 2 GiB or more before
// creating anything; one entry less and they ask for it.
TEST(CompositeChain, ScoreLimit) {
  const attn_dims shapes[] = {
      {1, 1, 1 << 29, 1, 1, 8},        // N = 2^29: refused
      {1, 1, (1 << 29) - 1, 1, 1, 8},  // proceeds
      {256, 256, 256, 256, 256, 8},    // 4N wraps to 0 in 32 bits: refused
  };
  const uint32_t composites[] = {QZ_YPU_OP_ATTENTION_CACHE_U8, QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8,
                                 QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8,
                                 QZ_YPU_OP_ATTENTION_BIAS_F32, QZ_YPU_OP_ATTENTION_WINDOW_F32};
  for (const attn_dims &d : shapes) {
    const int64_t n = int64_t{d.B} * d.H * d.Q * d.K;
    for (const uint32_t op : composites) {
      SCOPED_TRACE(describe(d) + " op " + std::to_string(op));
      scripted s;
      s.fake.fail_buffer_create_after = 0;
      qz_ypu_buffer_t *b = s.operand;
      const auto cache = cache_record(b, d);
      const qz_ypu_attention_bias_cache_u8_params_t bias_cache{
          .output = b, .query = b, .key = b, .key_metas = b, .value = b, .value_metas = b,
          .row_bias = b, .col_bias = b, .batch_size = d.B, .query_size = d.Q,
          .key_value_size = d.K, .max_key_value_size = d.K, .num_heads = d.H,
          .num_kv_heads = d.G, .head_dim = d.D, .key_rows = 1, .key_cols = d.K};
      const qz_ypu_attention_window_cache_u8_params_t window_cache{
          .output = b, .query = b, .key = b, .key_metas = b, .value = b, .value_metas = b,
          .mask_indices = b, .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
          .max_key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
      const qz_ypu_attention_bias_f32_params_t bias{
          .output = b, .query = b, .key = b, .value = b, .row_bias = b, .col_bias = b,
          .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H,
          .num_kv_heads = d.G, .head_dim = d.D, .key_rows = d.K, .key_cols = 1, .quantize = 0};
      const qz_ypu_attention_window_f32_params_t window{
          .output = b, .query = b, .key = b, .value = b, .mask_indices = b, .batch_size = d.B,
          .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
          .head_dim = d.D, .quantize = 0};
      const void *record = op == QZ_YPU_OP_ATTENTION_CACHE_U8        ? (const void *)&cache
                           : op == QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8 ? (const void *)&bias_cache
                           : op == QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8
                               ? (const void *)&window_cache
                           : op == QZ_YPU_OP_ATTENTION_BIAS_F32 ? (const void *)&bias
                                                                : (const void *)&window;
      EXPECT_EQ(qz_ypu_execute(s.context, op, record), QZ_STATUS_OUT_OF_MEMORY);
      EXPECT_EQ(take_error_stack(), std::vector<std::string>{kOutOfMemory});
      EXPECT_TRUE(s.executed().empty());
      if (n < (int64_t{1} << 29))
        EXPECT_EQ(s.fake.create_requests, std::vector<int32_t>{int32_t(4 * n)});
      else
        EXPECT_TRUE(s.fake.create_requests.empty());
    }
  }
}

// Quantised copies larger than a buffer can be are refused before anything
// is created (32-bit byte counts would have wrapped into small buffers).
TEST(CompositeChain, OversizedQuantisedCopiesAreRefused) {
  const attn_dims shapes[] = {
      {2, 1, 65536, 4, 4, 4096},  // codes: exactly 2^31 bytes
      {1, 1, 1 << 28, 1, 1, 1},   // pairs: 2^31 bytes
      {1, 1, 1, 65536, 65536, 65536},  // one row of 2^32 bytes
  };
  for (const attn_dims &d : shapes) {
    SCOPED_TRACE(describe(d));
    scripted s;
    const auto p = plain_record(s.operand, d, 1);
    EXPECT_EQ(qz_ypu_execute(s.context, QZ_YPU_OP_ATTENTION_F32, &p), QZ_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{kOutOfMemory});
    EXPECT_TRUE(s.fake.create_requests.empty());
    EXPECT_TRUE(s.executed().empty());
  }
}

// Failing steps: the step's status comes back, one message per composite
// level is added, every temporary is freed and no later step runs.
TEST(CompositeChain, FailingStepsReleaseEverything) {
  struct failure_case {
    const char *name;
    uint32_t composite;
    int quantize;
    int failing_op;           // -1: a buffer creation fails instead
    int creates_before_fail;  // with failing_op -1
    std::vector<std::string> executed;
    std::vector<std::string> stack;
  };
  const std::string X = kExecuteFailed, M = kOutOfMemory;
  const failure_case cases[] = {
      {"scores", QZ_YPU_OP_ATTENTION_F32, 0, 71, 0, {"71"}, {X}},
      {"softmax", QZ_YPU_OP_ATTENTION_F32, 0, 78, 0, {"71", "78"}, {X}},
      {"values", QZ_YPU_OP_ATTENTION_F32, 0, 69, 0, {"71", "78", "69"}, {X}},
      {"score buffer", QZ_YPU_OP_ATTENTION_F32, 0, -1, 0, {}, {M}},
      {"bias", QZ_YPU_OP_ATTENTION_BIAS_F32, 0, 62, 0, {"71", "62"}, {X}},
      {"mask", QZ_YPU_OP_ATTENTION_WINDOW_F32, 0, 66, 0, {"71", "66"}, {X}},
      {"cache scores", QZ_YPU_OP_ATTENTION_CACHE_U8, 0, 72, 0, {"72"}, {X}},
      {"cache values", QZ_YPU_OP_ATTENTION_CACHE_U8, 0, 70, 0, {"72", "78", "70"}, {X}},
      {"cache bias", QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8, 0, 62, 0, {"72", "62"}, {X}},
      {"cache mask", QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8, 0, 66, 0, {"72", "66"}, {X}},
      {"key copies", QZ_YPU_OP_ATTENTION_F32, 1, 56, 0, {"56"}, {X}},
      {"value pairs", QZ_YPU_OP_ATTENTION_F32, 1, -1, 3, {"56"}, {M}},
      // A step inside the cache composite fails: both levels add a message.
      {"inner scores", QZ_YPU_OP_ATTENTION_F32, 1, 72, 0, {"56", "56", "72"}, {X, X}},
      {"inner values", QZ_YPU_OP_ATTENTION_BIAS_F32, 1, 70, 0,
       {"56", "56", "72", "62", "78", "70"}, {X, X}},
      {"inner buffer", QZ_YPU_OP_ATTENTION_WINDOW_F32, 1, -1, 4, {"56", "56"}, {M, X}},
  };
  const attn_dims d{2, 3, 6, 4, 2, 8};
  for (const failure_case &c : cases) {
    SCOPED_TRACE(c.name);
    scripted s(c.failing_op);
    if (c.failing_op < 0) s.fake.fail_buffer_create_after = c.creates_before_fail;
    qz_ypu_buffer_t *b = s.operand;
    const auto plain = plain_record(b, d, c.quantize);
    const auto cache = cache_record(b, d);
    const qz_ypu_attention_bias_f32_params_t bias{
        .output = b, .query = b, .key = b, .value = b, .row_bias = b, .col_bias = b,
        .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D, .key_rows = 2, .key_cols = 3,
        .quantize = c.quantize};
    const qz_ypu_attention_window_f32_params_t window{
        .output = b, .query = b, .key = b, .value = b, .mask_indices = b, .batch_size = d.B,
        .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
        .head_dim = d.D, .quantize = c.quantize};
    const qz_ypu_attention_bias_cache_u8_params_t bias_cache{
        .output = b, .query = b, .key = b, .key_metas = b, .value = b, .value_metas = b,
        .row_bias = b, .col_bias = b, .batch_size = d.B, .query_size = d.Q,
        .key_value_size = d.K, .max_key_value_size = d.K, .num_heads = d.H,
        .num_kv_heads = d.G, .head_dim = d.D, .key_rows = 3, .key_cols = 2};
    const qz_ypu_attention_window_cache_u8_params_t window_cache{
        .output = b, .query = b, .key = b, .key_metas = b, .value = b, .value_metas = b,
        .mask_indices = b, .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
        .max_key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
    const void *record = nullptr;
    switch (c.composite) {
      case QZ_YPU_OP_ATTENTION_F32: record = &plain; break;
      case QZ_YPU_OP_ATTENTION_BIAS_F32: record = &bias; break;
      case QZ_YPU_OP_ATTENTION_WINDOW_F32: record = &window; break;
      case QZ_YPU_OP_ATTENTION_CACHE_U8: record = &cache; break;
      case QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8: record = &bias_cache; break;
      case QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8: record = &window_cache; break;
    }
    const qz_status_t want =
        c.failing_op < 0 ? QZ_STATUS_OUT_OF_MEMORY : QZ_STATUS_RUNTIME_ERROR;
    EXPECT_EQ(qz_ypu_execute(s.context, c.composite, record), want);
    EXPECT_EQ(s.executed(), c.executed);
    EXPECT_EQ(take_error_stack(), c.stack);
    EXPECT_EQ(s.live_temporaries(), 0);
    EXPECT_EQ(s.fake.buffer_frees, s.fake.buffer_creates - 1);
  }
}

// A successful run creates its temporaries in order and frees them all.
TEST(CompositeChain, TemporariesOfAQuantisedRun) {
  scripted s;
  const attn_dims d{2, 3, 6, 4, 2, 8};
  const auto p = plain_record(s.operand, d, 1);
  ASSERT_EQ(qz_ypu_execute(s.context, QZ_YPU_OP_ATTENTION_F32, &p), QZ_STATUS_SUCCESS);
  const int32_t codes = 2 * 6 * 2 * 8, pairs = 2 * 6 * 8, scores = 4 * 2 * 4 * 3 * 6;
  EXPECT_EQ(s.fake.create_requests, (std::vector<int32_t>{codes, pairs, codes, pairs, scores}));
  EXPECT_EQ(s.executed(), (std::vector<std::string>{"56", "56", "72", "78", "70"}));
  EXPECT_EQ(s.live_temporaries(), 0);
  EXPECT_TRUE(take_error_stack().empty());
}

}  // namespace
