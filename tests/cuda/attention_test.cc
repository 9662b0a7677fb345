// Attention against the host: over uint8/uint16 ring caches (wrap-around,
// grouped heads, more rows than a chunk), the score and value products over
// float keys and uint8 linear caches, the window mask, and the blocked
// attention over five key splits on memory that starts as NaN. The kernels
// add in another order than the host (lane sums, fused multiply-adds), so
// floats agree within a few units in the last place, plus what the GPU's
// expf adds to the softmax weights (softmax_maths_error).
#include "twin.h"

#include "ypu/params.h"

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::schedule;

const std::string kAlloc = "0633a7d 00000339: Failed to alloc memory.";
const std::string kOutOfMemory = "0633a7d 00000324: Failed to allocate, out of memory.";

struct ring_case {
  const char *name;
  int32_t position, n, window, heads, kv_heads, dim;
};

class CudaRingAttention : public ::testing::TestWithParam<ring_case> {};

// The ring caches' values lie in [-2, 4]; one exponential per weight.
const float kRingMaths = softmax_maths_error(1, 4);

// A filled ring cache of either code width, the query and the output.
struct ring_fixture {
  twin_buffer out, query, keys, key_min, key_scale, values, value_min, value_scale;
  size_t outputs;

  ring_fixture(twin &t, const ring_case &c, int32_t code_bytes) {
    const size_t rows = size_t(c.kv_heads) * c.window, codes = rows * c.dim;
    const int top = code_bytes == 1 ? 255 : 65535;
    outputs = size_t(c.n) * c.heads * c.dim;
    out = t.bytes(int32_t(4 * outputs));
    query = t.buffer(random_floats(outputs, -1, 1, 1));
    auto code_buffer = [&](uint32_t seed) {
      return code_bytes == 1 ? t.buffer(random_ints<uint8_t>(codes, 0, top, seed))
                             : t.buffer(random_ints<uint16_t>(codes, 0, top, seed));
    };
    keys = code_buffer(2);
    values = code_buffer(3);
    key_min = t.buffer(random_floats(rows, -1, 0, 4));
    key_scale = t.buffer(random_floats(rows, 0.5f / top, 2.0f / top, 5));
    value_min = t.buffer(random_floats(rows, -2, 0, 6));
    value_scale = t.buffer(random_floats(rows, 1.0f / top, 4.0f / top, 7));
  }
  qz_ypu_attention_kv_params_t params(bool g, const ring_case &c) const {
    return {out.on(g),       query.on(g),  keys.on(g),      key_min.on(g),
            key_scale.on(g), values.on(g), value_min.on(g), value_scale.on(g),
            c.n,             c.window,     c.position,      c.heads,
            c.kv_heads,      c.dim};
  }
};

TEST_P(CudaRingAttention, MatchesHost) {
  const ring_case &c = GetParam();
  for (uint32_t op : {uint32_t{QZ_YPU_OP_ATTENTION_KV_U8}, uint32_t{QZ_YPU_OP_ATTENTION_KV_U16}}) {
    SCOPED_TRACE("op " + std::to_string(op));
    twin t;
    const ring_fixture f(t, c, op == QZ_YPU_OP_ATTENTION_KV_U8 ? 1 : 2);
    const int live = t.gpu().runtime().live_allocations();
    t.run(op, [&](bool g) { return f.params(g, c); });
    t.expect_close(f.out, f.outputs, 2e-5f, 2e-6f + kRingMaths);
    EXPECT_EQ(t.gpu().runtime().live_allocations(), live) << "the score block is freed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CudaRingAttention,
    ::testing::Values(ring_case{"one_key", 0, 1, 8, 2, 1, 16},
                      ring_case{"wraps", 6, 3, 8, 4, 2, 40},
                      ring_case{"every_row_sees_the_whole_ring", 20, 5, 8, 4, 4, 64},
                      ring_case{"grouped_heads_d80", 3, 4, 32, 8, 2, 80},
                      ring_case{"wide_window_32_lanes", 300, 2, 400, 2, 1, 8},
                      ring_case{"three_chunks", 0, 300, 64, 2, 1, 24}),
    [](const auto &info) { return std::string(info.param.name); });

// The softmax kernel reuses its shared array for the maximum and then the
// sum: a warp that runs ahead must not overwrite the maximum others still
// have to read.
TEST(CudaRingAttention, SameBitsAtEverySchedule) {
  const ring_case c{"", 700, 2, 600, 2, 1, 32};
  std::vector<float> first;
  for (schedule order : qz_gpu_harness::kAllSchedules) {
    twin t(order);
    const ring_fixture f(t, c, 1);
    t.run(QZ_YPU_OP_ATTENTION_KV_U8, [&](bool g) { return f.params(g, c); });
    t.expect_close(f.out, f.outputs, 2e-5f, 2e-6f + kRingMaths);
    const std::vector<float> out = t.gpu_values<float>(f.out, f.outputs);
    if (first.empty())
      first = out;
    else
      EXPECT_EQ(out, first) << "schedule " << int(order);
  }
}

TEST(CudaRingAttention, ScoreBlockFailureIsOutOfMemory) {
  const ring_case c{"", 0, 4, 8, 2, 1, 16};
  twin t;
  const ring_fixture f(t, c, 1);
  const int live = t.gpu().runtime().live_allocations();
  t.gpu().runtime().fail(cuda_call::malloc_async);
  const auto p = f.params(true, c);
  EXPECT_EQ(t.gpu().run(QZ_YPU_OP_ATTENTION_KV_U8, &p), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kAlloc, kOutOfMemory}));
  // A failing second launch stops the entry and frees the block.
  t.gpu().runtime().fail(cuda_call::launch_kernel, 1);
  EXPECT_EQ(t.gpu().run(QZ_YPU_OP_ATTENTION_KV_U8, &p), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kKernelFailed});
  EXPECT_EQ(t.gpu().runtime().live_allocations(), live);
}

struct product_case {
  const char *name;
  int32_t batch, queries, keys, heads, kv_heads, dim;
};

class CudaAttentionProducts : public ::testing::TestWithParam<product_case> {};

// Ops 71 and 69 over float keys, ops 72 and 70 over a uint8 linear cache
// with room for two more positions than are used.
TEST_P(CudaAttentionProducts, MatchHost) {
  const product_case &c = GetParam();
  const int32_t B = c.batch, Sq = c.queries, Skv = c.keys, H = c.heads, Q = c.kv_heads,
                D = c.dim, M = Skv + 2;
  const size_t nq = size_t(B) * Sq * H * D, nk = size_t(B) * Skv * Q * D,
               nc = size_t(B) * M * Q * D, ns = size_t(B) * H * Sq * Skv;
  twin t;
  const twin_buffer query = t.buffer(random_floats(nq, -1, 1, 1)),
                    key = t.buffer(random_floats(nk, -1, 1, 2)),
                    value = t.buffer(random_floats(nk, -1, 1, 3)),
                    codes = t.buffer(random_ints<uint8_t>(nc, 0, 255, 4)),
                    pairs = t.buffer(random_floats(2 * size_t(B) * M, 0.001f, 0.01f, 5)),
                    weights = t.buffer(random_floats(ns, 0, 1, 6)), scores = t.bytes(int32_t(4 * ns)),
                    cache_scores = t.bytes(int32_t(4 * ns)), out = t.bytes(int32_t(4 * nq)),
                    cache_out = t.bytes(int32_t(4 * nq));
  t.run(QZ_YPU_OP_ATTENTION_SCORES_F32, [&](bool g) {
    return qz_ypu_attention_scores_f32_params_t{scores.on(g), query.on(g), key.on(g), B, Sq, Skv,
                                                H, Q, D};
  });
  t.run(QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8, [&](bool g) {
    return qz_ypu_attention_scores_cache_u8_params_t{cache_scores.on(g), query.on(g), codes.on(g),
                                                     pairs.on(g), B, Sq, Skv, M, H, Q, D};
  });
  t.run(QZ_YPU_OP_ATTENTION_VALUES_F32, [&](bool g) {
    return qz_ypu_attention_values_f32_params_t{out.on(g), weights.on(g), value.on(g), B, Sq, Skv,
                                                H, Q, D};
  });
  t.run(QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8, [&](bool g) {
    return qz_ypu_attention_values_cache_u8_params_t{cache_out.on(g), weights.on(g), codes.on(g),
                                                     pairs.on(g), B, Sq, Skv, M, H, Q, D};
  });
  t.expect_close(scores, ns, 1e-5f, 1e-6f);
  t.expect_close(cache_scores, ns, 1e-5f, 1e-6f);
  t.expect_close(out, nq, 1e-5f, 1e-6f);
  t.expect_close(cache_out, nq, 1e-5f, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CudaAttentionProducts,
    ::testing::Values(product_case{"single", 1, 1, 1, 1, 1, 1},
                      product_case{"own_kv_head_each", 2, 3, 5, 4, 4, 40},
                      product_case{"one_kv_head_for_all", 2, 3, 5, 4, 1, 64},
                      product_case{"grouped_d100", 1, 2, 7, 8, 2, 100},
                      product_case{"thirty_two_heads", 1, 2, 3, 32, 8, 33}),
    [](const auto &info) { return std::string(info.param.name); });

// Windows: the whole row, an empty window (end before start), a start past
// the row (which must mask the row and nothing after it), a start before
// the row, an end past it. The float after the scores stays untouched.
TEST(CudaMaskWindow, MatchesHostAndStaysInsideTheRows) {
  const int32_t batches = 2, rows = 6, k = 300;
  const std::vector<int32_t> windows = {0, k - 1, 5, 2, k + 5, k + 9, -3, 4, 10, 1000, 299, 299};
  const size_t n = size_t(batches) * rows * k;
  twin t;
  const twin_buffer scores = t.buffer(random_floats(n + 1, -3, 3, 1)), w = t.buffer(windows);
  t.run(QZ_YPU_OP_MASK_WINDOW_F32, [&](bool g) {
    return qz_ypu_mask_window_f32_params_t{scores.on(g), w.on(g), batches, rows, k};
  });
  t.expect_same<float>(scores, n + 1);
  const std::vector<float> s = t.gpu_values<float>(scores, n + 1);
  for (int32_t i = 0; i < k; ++i) {
    ASSERT_TRUE(std::isfinite(s[i])) << "the whole-row window masks nothing";
    ASSERT_EQ(s[k + i], -INFINITY) << "end < start masks every entry";
    ASSERT_EQ(s[2 * k + i], -INFINITY) << "a start past the row masks the row";
  }
}

struct blocked_case {
  const char *name;
  int32_t batch, queries, keys, heads, kv_heads, dim;
};

class CudaBlockedAttention : public ::testing::TestWithParam<blocked_case> {};

// New device memory is NaN in the harness: splits without keys must not
// bring their never-written partial rows into the result.
TEST_P(CudaBlockedAttention, MatchesHostOnNanPoisonedMemory) {
  const blocked_case &c = GetParam();
  const size_t nq = size_t(c.batch) * c.queries * c.heads * c.dim,
               nk = size_t(c.batch) * c.keys * c.kv_heads * c.dim;
  twin t;
  const twin_buffer out = t.bytes(int32_t(4 * nq), 0xFF), query = t.buffer(random_floats(nq, -2, 2, 1)),
                    key = t.buffer(random_floats(nk, -2, 2, 2)),
                    value = t.buffer(random_floats(nk, -1, 1, 3));
  const int live = t.gpu().runtime().live_allocations();
  t.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, [&](bool g) {
    return qz_ypu_attention_blocked_f32_params_t{out.on(g), query.on(g), key.on(g), value.on(g),
                                                 c.batch,   c.queries,   c.keys,    c.heads,
                                                 c.kv_heads, c.dim};
  });
  // Values in [-1, 1]; a weight passes through its exponential, a split's
  // rescaling and the splits' combination.
  t.expect_close(out, nq, 2e-5f, 2e-6f + softmax_maths_error(3, 1));
  EXPECT_EQ(t.gpu().runtime().live_allocations(), live) << "temporaries freed";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CudaBlockedAttention,
    ::testing::Values(blocked_case{"no_keys", 1, 2, 0, 2, 1, 8},
                      blocked_case{"one_key", 1, 1, 1, 2, 2, 16},
                      blocked_case{"three_keys_two_empty_splits", 2, 5, 3, 4, 2, 40},
                      blocked_case{"five_keys", 1, 4, 5, 2, 1, 33},
                      blocked_case{"six_keys", 1, 3, 6, 2, 2, 32},
                      blocked_case{"several_key_blocks_per_split", 1, 5, 1400, 2, 1, 16}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CudaBlockedAttention, FailuresFreeTheTemporaries) {
  twin t;
  const twin_buffer out = t.bytes(4 * 64), x = t.buffer(random_floats(64, -1, 1, 1));
  const qz_ypu_attention_blocked_f32_params_t p{out.gpu, x.gpu, x.gpu, x.gpu, 1, 2, 2, 2, 2, 8};
  const int live = t.gpu().runtime().live_allocations();
  for (int failing = 0; failing < 3; ++failing) {
    t.gpu().runtime().fail(cuda_call::malloc_async, failing);
    EXPECT_EQ(t.gpu().run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &p), QZ_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kAlloc, kOutOfMemory}));
    EXPECT_EQ(t.gpu().runtime().live_allocations(), live);
  }
  for (int failing = 0; failing < 3; ++failing) {
    t.gpu().runtime().fail(cuda_call::launch_kernel, failing);
    EXPECT_EQ(t.gpu().run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, &p), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{kKernelFailed});
    EXPECT_EQ(t.gpu().runtime().live_allocations(), live);
  }
}

}  // namespace
