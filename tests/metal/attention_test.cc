// The Metal attention operations and key/value cache writers against the
// host implementations, through qz_ypu_execute on the stand-in device.
//
// Bounds: the kernels add dot products across SIMD lanes and the host from
// the first element, so a dot product of D terms may differ by
// 2 D u sum|terms| (u = 2^-24); the softmax turns a score error d into a
// relative probability error of about 2 d, and a weighted sum of cnt values
// of magnitude at most 1 adds 2 cnt u. With queries and dequantised keys in
// [-1, 1] every |term| <= 1, so outputs agree within
// 4 D^2 u / sqrt(D) + 4 cnt u (plus the same again as slack for the
// reciprocals and exponentials, each a few u).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "metal_twin.h"
#include "ypu/params.h"

namespace {

float attention_bound(int32_t dim, int32_t keys) {
  return 2.0f * (4.0f * dim * std::sqrt(static_cast<float>(dim)) + 4.0f * keys + 16.0f) *
         kUnitRoundoff;
}

// --- attention over the ring caches ------------------------------------------

struct ring_case {
  const char *name;
  int32_t position, n, window, heads, kv_heads, dim;
};

// No wrap yet; the window exactly full; wrapped with the oldest keys at the
// ring's end; a window longer than one SIMD group and longer than the
// largest softmax threadgroup (so threads stride over the row); grouped
// heads of several sizes.
constexpr ring_case RING_CASES[] = {
    {"first_row", 0, 1, 8, 2, 2, 8},
    {"no_wrap", 1, 3, 8, 4, 2, 16},
    {"exactly_full", 5, 3, 8, 6, 3, 8},
    {"wrapped", 10, 2, 8, 6, 2, 33},
    {"wrapped_many_rows", 3, 9, 5, 4, 1, 8},
    {"long_window", 150, 2, 100, 2, 2, 64},
    {"longer_than_a_threadgroup", 1300, 1, 1100, 2, 1, 8},
};

class MetalRingAttention : public testing::TestWithParam<ring_case> {};

// The same cache contents on both sides (random codes, slopes and
// intercepts), so only the attention differs.
template <class Code>
void check_ring_attention(uint32_t op, const ring_case &c, int max_code) {
  for (qz_gpu_harness::schedule order : kAllSchedules) {
    metal_twin t(order);
    const size_t rows = size_t(c.kv_heads) * c.window;
    auto query = t.buffer(random_floats(size_t(c.heads) * c.n * c.dim, -1.0f, 1.0f, 1));
    auto keys = t.buffer(random_ints<Code>(rows * c.dim, 0, max_code, 2));
    auto values = t.buffer(random_ints<Code>(rows * c.dim, 0, max_code, 3));
    const float step = 2.0f / static_cast<float>(max_code);
    auto key_slopes = t.buffer(random_floats(rows, 0.5f * step, step, 4));
    auto value_slopes = t.buffer(random_floats(rows, 0.5f * step, step, 5));
    auto key_intercepts = t.buffer(random_floats(rows, -1.0f, 0.0f, 6));
    auto value_intercepts = t.buffer(random_floats(rows, -1.0f, 0.0f, 7));
    auto output = t.bytes(c.n * c.heads * c.dim * 4, 0xFF);
    t.run(op, [&](bool g) {
      return qz_ypu_attention_kv_params_t{output.on(g),           query.on(g),
                                          keys.on(g),             key_intercepts.on(g),
                                          key_slopes.on(g),       values.on(g),
                                          value_intercepts.on(g), value_slopes.on(g),
                                          c.n,                    c.window,
                                          c.position,             c.heads,
                                          c.kv_heads,             c.dim};
    });
    t.expect_close(output, size_t(c.n) * c.heads * c.dim, 0.0f,
                   attention_bound(c.dim, c.window));
  }
}

TEST_P(MetalRingAttention, Uint8CacheMatchesHost) {
  check_ring_attention<uint8_t>(QZ_YPU_OP_ATTENTION_KV_U8, GetParam(), 255);
}

TEST_P(MetalRingAttention, Uint16CacheMatchesHost) {
  check_ring_attention<uint16_t>(QZ_YPU_OP_ATTENTION_KV_U16, GetParam(), 65535);
}

INSTANTIATE_TEST_SUITE_P(Windows, MetalRingAttention, testing::ValuesIn(RING_CASES),
                         [](const testing::TestParamInfo<ring_case> &info) {
                           return std::string(info.param.name);
                         });

// A narrow pipeline (64 threads per threadgroup): the softmax's threadgroup
// stops at 64 threads and strides over a longer row, and the values pass
// strides over a head dimension wider than a threadgroup.
TEST(MetalRingAttentionLimits, NarrowPipelinesStrideAndMatchHost) {
  qz_metal_standin::standin().max_threads_per_threadgroup = 64;
  check_ring_attention<uint8_t>(QZ_YPU_OP_ATTENTION_KV_U8, {"narrow", 120, 2, 100, 2, 1, 100}, 255);
}

// A wrapped window by hand: W = 3, one head of dimension 1, position 4 sees
// positions 2, 3 and 4 in slots 2, 0 and 1. Keys equal, so the weights are
// equal and the output is the mean of the three values; slot 0's value is
// the oldest-but-one, and the untouched value (if a stale slot were read)
// would pull the mean away.
TEST(MetalRingAttentionByHand, WrappedWindowReadsTheThreeNewestSlots) {
  metal_context gpu;
  qz_ypu_buffer_t *query = gpu.buffer(std::vector<float>{1.0f});
  qz_ypu_buffer_t *keys = gpu.buffer(std::vector<uint8_t>{0, 0, 0});
  qz_ypu_buffer_t *values = gpu.buffer(std::vector<uint8_t>{10, 20, 30});
  qz_ypu_buffer_t *zero = gpu.buffer(std::vector<float>{0.0f, 0.0f, 0.0f});
  qz_ypu_buffer_t *one = gpu.buffer(std::vector<float>{1.0f, 1.0f, 1.0f});
  qz_ypu_buffer_t *output = gpu.buffer(4, 0xFF);
  const qz_ypu_attention_kv_params_t p{output, query, keys, zero, one, values, zero, one,
                                       1,      3,     4,    1,    1,   1};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_ATTENTION_KV_U8, &p), QZ_STATUS_SUCCESS);
  EXPECT_FLOAT_EQ(gpu.read<float>(output, 1)[0], 20.0f);
  // Position 1: two keys (slots 0 and 1), no wrap.
  const qz_ypu_attention_kv_params_t early{output, query, keys, zero, one, values, zero, one,
                                           1,      3,     1,    1,    1,   1};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_ATTENTION_KV_U8, &early), QZ_STATUS_SUCCESS);
  EXPECT_FLOAT_EQ(gpu.read<float>(output, 1)[0], 15.0f);
}

// The scores temporary cannot be had: reported before anything is encoded.
TEST(MetalRingAttentionByHand, MissingTemporaryIsReported) {
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(256, 0);
  qz_metal_standin::standin().buffers_fail = true;
  const qz_ypu_attention_kv_params_t p{b, b, b, b, b, b, b, b, 1, 4, 0, 2, 1, 4};
  const size_t dispatched = qz_metal_standin::standin().dispatches.size();
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ATTENTION_KV_U16, &p), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 000000C8: Failed to allocate, out of memory."});
  EXPECT_EQ(qz_metal_standin::standin().dispatches.size(), dispatched);
}

TEST(MetalRingAttentionByHand, InvalidShapesGoToTheHost) {
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(64);
  // Four query heads cannot share three key/value heads.
  const qz_ypu_attention_kv_params_t p{b, b, b, b, b, b, b, b, 1, 4, 0, 4, 3, 2};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ATTENTION_KV_U8, &p), QZ_STATUS_INVALID_ARGUMENT);
}

// --- the cache writers ---------------------------------------------------------

// The ring writers' own codes: (x - lo) times the float just below 255 (or
// 65535) over the row's span, rounded half away from zero. x = 0 on a span
// of [-1, 1] lands at 127.49999 (uint8, 127, where a division by the step
// would give 128) and at 32767.5 (uint16, rounded up to 32768).
TEST(MetalRingWriters, GiveTheirExactCodes) {
  const std::vector<float> row{-1.0f, 0.0f, 0.5f, 1.0f, 0.25f};
  const int32_t k = 5;
  {
    metal_context gpu;
    qz_ypu_buffer_t *in = gpu.buffer(row);
    qz_ypu_buffer_t *codes = gpu.buffer(2 * k, 0xAA);
    qz_ypu_buffer_t *slopes = gpu.buffer(8, 0xFF), *intercepts = gpu.buffer(8, 0xFF);
    // Position 3 on a ring of 2 lands in slot 1.
    const qz_ypu_quantize_rows_ring_params_t p{codes, slopes, intercepts, in, 1, 1, k, 3, 2};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_QUANTIZE_ROWS_RING_U8, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<uint8_t>(codes, 2 * k),
              (std::vector<uint8_t>{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0, 127, 191, 255, 159}));
    EXPECT_EQ(gpu.read<float>(slopes, 2)[1], 2.0f * 0.003921568859368563f);
    EXPECT_EQ(gpu.read<float>(intercepts, 2)[1], -1.0f);
  }
  {
    metal_context gpu;
    qz_ypu_buffer_t *in = gpu.buffer(row);
    qz_ypu_buffer_t *codes = gpu.buffer(2 * k);
    qz_ypu_buffer_t *slopes = gpu.buffer(4), *intercepts = gpu.buffer(4);
    const qz_ypu_quantize_rows_ring_params_t p{codes, slopes, intercepts, in, 1, 1, k, 0, 1};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_QUANTIZE_ROWS_RING_U16, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(gpu.read<uint16_t>(codes, k),
              (std::vector<uint16_t>{0, 32768, 49151, 65535, 40959}));
    EXPECT_EQ(gpu.read<float>(slopes, 1)[0], 2.0f * 1.5259021893143654e-05f);
  }
}

// A constant row has no span: slope 0, intercept the value, codes 0, so it
// reads back exactly.
TEST(MetalRingWriters, ConstantRowsReadBackExactly) {
  metal_context gpu;
  qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{2.5f, 2.5f, 2.5f});
  qz_ypu_buffer_t *codes = gpu.buffer(3, 0x55);
  qz_ypu_buffer_t *slopes = gpu.buffer(4, 0xFF), *intercepts = gpu.buffer(4, 0xFF);
  const qz_ypu_quantize_rows_ring_params_t p{codes, slopes, intercepts, in, 1, 1, 3, 0, 1};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_QUANTIZE_ROWS_RING_U8, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<uint8_t>(codes, 3), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(gpu.read<float>(slopes, 1)[0], 0.0f);
  EXPECT_EQ(gpu.read<float>(intercepts, 1)[0], 2.5f);
}

struct writer_case {
  const char *name;
  int32_t heads, rows, k, position, window;
};

// Inside the ring, wrapping at its end, and more new rows than the ring
// holds (only the newest W stay, as when written one after another).
constexpr writer_case WRITER_CASES[] = {
    {"inside", 2, 3, 17, 1, 8},
    {"wrapping", 3, 4, 8, 6, 8},
    {"more_rows_than_slots", 2, 11, 5, 2, 4},
};

class MetalRingWriterShapes : public testing::TestWithParam<writer_case> {};

// Against the host: the same minimum, slopes within one float step ((hi -
// lo) / 255 against (hi - lo) * float(1/255)), codes within one (the kernel
// multiplies by the float below 255 over the span, the host divides by the
// step), so each row reads back within one slope of the host's reading.
template <class Code>
void check_ring_writer(uint32_t op, const writer_case &c) {
  metal_twin t;
  const size_t slots = size_t(c.heads) * c.window;
  auto in = t.buffer(random_floats(size_t(c.rows) * c.heads * c.k, -3.0f, 3.0f, 8));
  auto codes = t.bytes(int32_t(slots * c.k * sizeof(Code)), 0x11);
  auto slopes = t.bytes(int32_t(slots * 4), 0);
  auto intercepts = t.bytes(int32_t(slots * 4), 0);
  t.run(op, [&](bool g) {
    return qz_ypu_quantize_rows_ring_params_t{codes.on(g), slopes.on(g), intercepts.on(g),
                                              in.on(g),    c.heads,      c.rows,
                                              c.k,         c.position,   c.window};
  });
  t.expect_same<float>(intercepts, slots);
  t.expect_close(slopes, slots, 2 * kUnitRoundoff);
  const auto gc = t.gpu_values<Code>(codes, slots * c.k), hc = t.host_values<Code>(codes, slots * c.k);
  for (size_t i = 0; i < gc.size(); ++i) ASSERT_NEAR(gc[i], hc[i], 1) << "code " << i;
}

TEST_P(MetalRingWriterShapes, Uint8MatchesHostWithinOneCode) {
  check_ring_writer<uint8_t>(QZ_YPU_OP_QUANTIZE_ROWS_RING_U8, GetParam());
}
TEST_P(MetalRingWriterShapes, Uint16MatchesHostWithinOneCode) {
  check_ring_writer<uint16_t>(QZ_YPU_OP_QUANTIZE_ROWS_RING_U16, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rings, MetalRingWriterShapes, testing::ValuesIn(WRITER_CASES),
                         [](const testing::TestParamInfo<writer_case> &info) {
                           return std::string(info.param.name);
                         });

// The linear writer: rows at position + b, never wrapping, the pairs
// interleaved; the input taken at its byte offset.
TEST(MetalLinearWriter, MatchesHostWithinOneCode) {
  const int32_t m = 3, n = 4, k = 10, max_length = 7, position = 3;
  metal_twin t;
  auto in = t.buffer(random_floats(size_t(m) * n * k + 1, -2.0f, 2.0f, 9));
  auto codes = t.bytes(m * max_length * k, 0x33);
  auto pairs = t.bytes(m * max_length * 8, 0);
  t.run(QZ_YPU_OP_QUANTIZE_ROWS_U8, [&](bool g) {
    return qz_ypu_quantize_rows_u8_params_t{codes.on(g), pairs.on(g), in.on(g), max_length,
                                            position,    m,           n,        k, 4};
  });
  const auto gp = t.gpu_values<float>(pairs, size_t(m) * max_length * 2);
  const auto hp = t.host_values<float>(pairs, size_t(m) * max_length * 2);
  for (size_t r = 0; r < gp.size() / 2; ++r) {
    EXPECT_EQ(gp[2 * r + 1], hp[2 * r + 1]) << "minimum of row " << r;
    EXPECT_NEAR(gp[2 * r], hp[2 * r], 2 * kUnitRoundoff * std::fabs(hp[2 * r]))
        << "scale of row " << r;
  }
  const auto gc = t.gpu_values<uint8_t>(codes, size_t(m) * max_length * k);
  const auto hc = t.host_values<uint8_t>(codes, size_t(m) * max_length * k);
  for (size_t i = 0; i < gc.size(); ++i) ASSERT_NEAR(gc[i], hc[i], 1) << "code " << i;
  // Rows before the position were not written.
  EXPECT_EQ(gc[0], 0x33);
}

// The int16 quantiser: the largest magnitude becomes 31744 or one less, an
// all-zero row codes 0 with inverse scale 0 (no NaN from 31 / 0).
TEST(MetalInt16Quantizer, MatchesHostAndKeepsZeroRowsZero) {
  const int32_t rows = 4, cols = 9;
  std::vector<float> in = random_floats(size_t(rows) * cols, -5.0f, 5.0f, 10);
  for (int32_t j = 0; j < cols; ++j) in[size_t(2) * cols + j] = 0.0f;
  in[3] = -7.5f;  // row 0's largest magnitude, negative
  metal_twin t;
  auto x = t.buffer(in);
  auto out = t.bytes(rows * cols * 2 + 2, 0x77);
  auto inverse = t.bytes(rows * 4 + 4, 0xFF);
  t.run(QZ_YPU_OP_QUANTIZE_ROWS_I16, [&](bool g) {
    return qz_ypu_quantize_rows_i16_params_t{out.on(g), inverse.on(g), x.on(g), rows, cols, 2, 4, 0};
  });
  const auto gc = t.gpu_values<int16_t>(out, size_t(rows) * cols + 1);
  const auto hc = t.host_values<int16_t>(out, size_t(rows) * cols + 1);
  for (size_t i = 0; i < gc.size(); ++i) ASSERT_NEAR(gc[i], hc[i], 1) << "code " << i;
  EXPECT_TRUE(gc[1 + 3] == -31744 || gc[1 + 3] == -31743) << gc[1 + 3];
  for (int32_t j = 0; j < cols; ++j) EXPECT_EQ(gc[1 + size_t(2) * cols + j], 0);
  const auto gi = t.gpu_values<float>(inverse, rows + 1);
  EXPECT_EQ(gi[1 + 2], 0.0f);
  t.expect_close(inverse, rows + 1, 2 * kUnitRoundoff);
}

// Row shift: within the row, by nothing, by the whole row.
TEST(MetalShiftRows, MovesBytesLeftAsTheHostDoes) {
  for (const int32_t shift : {0, 1, 5, 13, 16}) {
    metal_twin t;
    std::vector<uint8_t> bytes(3 * 16);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 1);
    auto data = t.buffer(bytes);
    t.run(QZ_YPU_OP_SHIFT_ROWS_LEFT, [&](bool g) {
      return qz_ypu_shift_rows_left_params_t{data.on(g), 3, 16, shift};
    });
    t.expect_same<uint8_t>(data, bytes.size());
  }
  metal_context gpu;
  qz_ypu_buffer_t *b = gpu.buffer(16);
  const qz_ypu_shift_rows_left_params_t beyond{b, 1, 16, 17};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_SHIFT_ROWS_LEFT, &beyond), QZ_STATUS_INVALID_ARGUMENT);
}

// --- the composite attentions' pieces ---------------------------------------------

// Batch entries, heads, key/value heads, query rows, keys and the head
// dimension all distinct, so a swapped index shows.
struct piece_shape {
  int32_t batch = 2, queries = 5, keys = 7, heads = 6, kv_heads = 3, dim = 11, capacity = 9;
};

TEST(MetalAttentionPieces, ScoresAndValuesOverFloatsMatchHost) {
  const piece_shape s;
  metal_twin t;
  auto query = t.buffer(random_floats(size_t(s.batch) * s.queries * s.heads * s.dim, -1, 1, 11));
  auto key = t.buffer(random_floats(size_t(s.batch) * s.keys * s.kv_heads * s.dim, -1, 1, 12));
  auto value = t.buffer(random_floats(size_t(s.batch) * s.keys * s.kv_heads * s.dim, -1, 1, 13));
  const size_t score_count = size_t(s.batch) * s.heads * s.queries * s.keys;
  auto scores = t.bytes(int32_t(score_count * 4), 0xFF);
  t.run(QZ_YPU_OP_ATTENTION_SCORES_F32, [&](bool g) {
    return qz_ypu_attention_scores_f32_params_t{scores.on(g), query.on(g), key.on(g), s.batch,
                                                s.queries,    s.keys,      s.heads,   s.kv_heads,
                                                s.dim};
  });
  t.expect_close(scores, score_count, 0.0f, 4 * s.dim * kUnitRoundoff);
  auto weights = t.buffer(random_floats(score_count, 0, 1, 14));
  const size_t out_count = size_t(s.batch) * s.queries * s.heads * s.dim;
  auto out = t.bytes(int32_t(out_count * 4), 0xFF);
  t.run(QZ_YPU_OP_ATTENTION_VALUES_F32, [&](bool g) {
    return qz_ypu_attention_values_f32_params_t{out.on(g), weights.on(g), value.on(g), s.batch,
                                                s.queries, s.keys,        s.heads,     s.kv_heads,
                                                s.dim};
  });
  t.expect_close(out, out_count, 0.0f, 4 * s.keys * kUnitRoundoff);
}

TEST(MetalAttentionPieces, ScoresAndValuesOverTheUint8CacheMatchHost) {
  const piece_shape s;
  metal_twin t;
  const size_t cache_rows = size_t(s.batch) * s.capacity;
  auto query = t.buffer(random_floats(size_t(s.batch) * s.queries * s.heads * s.dim, -1, 1, 15));
  auto codes = t.buffer(random_ints<uint8_t>(cache_rows * s.kv_heads * s.dim, 0, 255, 16));
  std::vector<float> metas(cache_rows * 2);
  for (size_t r = 0; r < cache_rows; ++r) {
    metas[2 * r] = 2.0f / 255.0f * (0.5f + 0.5f * float(r % 3));
    metas[2 * r + 1] = -1.0f + 0.1f * float(r % 4);
  }
  auto key_metas = t.buffer(metas);
  const size_t score_count = size_t(s.batch) * s.heads * s.queries * s.keys;
  auto scores = t.bytes(int32_t(score_count * 4), 0xFF);
  t.run(QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8, [&](bool g) {
    return qz_ypu_attention_scores_cache_u8_params_t{
        scores.on(g), query.on(g), codes.on(g), key_metas.on(g), s.batch,   s.queries,
        s.keys,       s.capacity,  s.heads,     s.kv_heads,      s.dim};
  });
  t.expect_close(scores, score_count, 0.0f, 8 * s.dim * kUnitRoundoff);
  auto weights = t.buffer(random_floats(score_count, 0, 1, 17));
  const size_t out_count = size_t(s.batch) * s.queries * s.heads * s.dim;
  auto out = t.bytes(int32_t(out_count * 4), 0xFF);
  t.run(QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8, [&](bool g) {
    return qz_ypu_attention_values_cache_u8_params_t{
        out.on(g), weights.on(g), codes.on(g), key_metas.on(g), s.batch,   s.queries,
        s.keys,    s.capacity,    s.heads,     s.kv_heads,      s.dim};
  });
  t.expect_close(out, out_count, 0.0f, 8 * s.keys * kUnitRoundoff);
}

// Window mask: whole rows kept, starts past ends (all masked), windows
// reaching past either end of the row.
TEST(MetalMaskWindow, MasksOutsideEachRowsWindowInEveryBatchEntry) {
  const int32_t batches = 3, n = 6, k = 300;
  metal_twin t;
  auto scores = t.buffer(random_floats(size_t(batches) * n * k, -1, 1, 18));
  auto windows = t.buffer(std::vector<int32_t>{0, k - 1, 5, 2, -5, k + 20, 260, 400, -9, -3, 1, 290});
  t.run(QZ_YPU_OP_MASK_WINDOW_F32, [&](bool g) {
    return qz_ypu_mask_window_f32_params_t{scores.on(g), windows.on(g), batches, n, k};
  });
  t.expect_same<float>(scores, size_t(batches) * n * k);
}

// Blocked attention against the host's blocked form (blocks of 256 keys,
// so the running maxima and the e^-20 cut-off fall at other keys): query
// rows beyond one block of 32, key counts off the chunk of 8, none at all;
// its SIMD groups share threadgroup memory, so under every schedule.
TEST(MetalBlockedAttention, MatchesHostForRaggedBlocks) {
  const int32_t batch = 2, queries = 33, heads = 4, kv_heads = 2, dim = 12;
  for (const int32_t keys : {9, 0, 300}) {
    SCOPED_TRACE(keys);
    const size_t kv_count = size_t(batch) * std::max(keys, 1) * kv_heads * dim;
    const size_t out_count = size_t(batch) * queries * heads * dim;
    for (qz_gpu_harness::schedule order : kAllSchedules) {
      metal_twin t(order);
      auto q = t.buffer(random_floats(out_count, -1, 1, 19));
      auto kk = t.buffer(random_floats(kv_count, -1, 1, 20));
      auto v = t.buffer(random_floats(kv_count, -1, 1, 21));
      auto out = t.bytes(int32_t(out_count * 4), 0xFF);
      t.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, [&](bool g) {
        return qz_ypu_attention_blocked_f32_params_t{out.on(g), q.on(g), kk.on(g), v.on(g), batch,
                                                     queries,   keys,    heads,    kv_heads, dim};
      });
      t.expect_close(out, out_count, 0.0f, attention_bound(dim, keys) + 1e-6f);
    }
  }
}

}  // namespace
