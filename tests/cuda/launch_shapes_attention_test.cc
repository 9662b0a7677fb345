// Shapes the host accepts but one launch of the attention, cache-writer and
// low-bit kernels cannot hold: more than 32 heads or a head longer than
// 1,024 (threads per block); more keys, query rows, heads, new rows, groups
// or tokens than the grid holds in y and z; a head whose accumulators
// outgrow 48 KiB of shared memory.
// Each runs on the harness, which refuses what a GPU refuses, and matches
// the host as the op's own tests compare it. Grids past 65,535 blocks take
// seconds to emulate, so most grid cases run on a device that allows only 3
// blocks in y and z (the kernels walk past whatever the device allows), and
// one case at a GPU's own 65,535.
#include "twin.h"

#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"
#include "ypu/cuda/ops.h"
#include "ypu/params.h"

namespace {

// The largest grid y and z of a GPU, and the small one of the wide kernels.
constexpr int32_t kGrid = 65535, kSmallGrid = 3;

void limit_grid(cuda_context &c, int32_t most) {
  c.runtime().prop.max_grid_size[1] = c.runtime().prop.max_grid_size[2] = most;
  c.device()->properties->max_grid_dim[1] = c.device()->properties->max_grid_dim[2] = most;
}

// Ops 71 and 72 on B = 1: scores of Sq query rows over Skv keys, float keys
// or a uint8 linear cache with room for two more positions.
void scores(twin &t, int32_t Sq, int32_t Skv, int32_t H, int32_t Q, int32_t D) {
  const int32_t M = Skv + 2;
  const size_t nq = size_t(Sq) * H * D, nk = size_t(Skv) * Q * D, nc = size_t(M) * Q * D,
               ns = size_t(H) * Sq * Skv;
  const twin_buffer query = t.buffer(random_floats(nq, -1, 1, 1)),
                    key = t.buffer(random_floats(nk, -1, 1, 2)),
                    codes = t.buffer(random_ints<uint8_t>(nc, 0, 255, 4)),
                    pairs = t.buffer(random_floats(2 * size_t(M), 0.001f, 0.01f, 5)),
                    out = t.bytes(int32_t(4 * ns)), cache_out = t.bytes(int32_t(4 * ns));
  t.run(QZ_YPU_OP_ATTENTION_SCORES_F32, [&](bool g) {
    return qz_ypu_attention_scores_f32_params_t{out.on(g), query.on(g), key.on(g), 1, Sq, Skv,
                                                H, Q, D};
  });
  t.run(QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8, [&](bool g) {
    return qz_ypu_attention_scores_cache_u8_params_t{cache_out.on(g), query.on(g), codes.on(g),
                                                     pairs.on(g), 1, Sq, Skv, M, H, Q, D};
  });
  t.expect_close(out, ns, 1e-5f, 1e-6f);
  t.expect_close(cache_out, ns, 1e-5f, 1e-6f);
}

// Ops 69 and 70 on B = 1: the weighted values of Skv keys.
void values(twin &t, int32_t Sq, int32_t Skv, int32_t H, int32_t Q, int32_t D) {
  const int32_t M = Skv + 2;
  const size_t nq = size_t(Sq) * H * D, nk = size_t(Skv) * Q * D, nc = size_t(M) * Q * D,
               ns = size_t(H) * Sq * Skv;
  const twin_buffer value = t.buffer(random_floats(nk, -1, 1, 3)),
                    codes = t.buffer(random_ints<uint8_t>(nc, 0, 255, 4)),
                    pairs = t.buffer(random_floats(2 * size_t(M), 0.001f, 0.01f, 5)),
                    weights = t.buffer(random_floats(ns, 0, 1, 6)),
                    out = t.bytes(int32_t(4 * nq)), cache_out = t.bytes(int32_t(4 * nq));
  t.run(QZ_YPU_OP_ATTENTION_VALUES_F32, [&](bool g) {
    return qz_ypu_attention_values_f32_params_t{out.on(g), weights.on(g), value.on(g), 1, Sq, Skv,
                                                H, Q, D};
  });
  t.run(QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8, [&](bool g) {
    return qz_ypu_attention_values_cache_u8_params_t{cache_out.on(g), weights.on(g), codes.on(g),
                                                     pairs.on(g), 1, Sq, Skv, M, H, Q, D};
  });
  t.expect_close(out, nq, 1e-5f, 1e-6f);
  t.expect_close(cache_out, nq, 1e-5f, 1e-6f);
}

// Op 66 over `rows` rows of 3 with windows that mask the head, the tail,
// all or nothing; bit for bit.
void mask(twin &t, int32_t batches, int32_t rows) {
  const int32_t k = 3;
  std::vector<int32_t> windows(2 * size_t(rows));
  for (int32_t r = 0; r < rows; ++r) {
    windows[2 * r] = r % 4 - 1;
    windows[2 * r + 1] = (r / 4) % 4;
  }
  const size_t n = size_t(batches) * rows * k;
  const twin_buffer scores = t.buffer(random_floats(n, -3, 3, 1)), w = t.buffer(windows);
  t.run(QZ_YPU_OP_MASK_WINDOW_F32, [&](bool g) {
    return qz_ypu_mask_window_f32_params_t{scores.on(g), w.on(g), batches, rows, k};
  });
  t.expect_same<float>(scores, n);
}

// Op 65 on memory that starts as NaN, within its own test's bound.
void blocked(twin &t, int32_t Sq, int32_t Skv, int32_t H, int32_t Q, int32_t D) {
  const size_t nq = size_t(Sq) * H * D, nk = size_t(Skv) * Q * D;
  const twin_buffer out = t.bytes(int32_t(4 * nq), 0xFF),
                    query = t.buffer(random_floats(nq, -2, 2, 1)),
                    key = t.buffer(random_floats(nk, -2, 2, 2)),
                    value = t.buffer(random_floats(nk, -1, 1, 3));
  t.run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, [&](bool g) {
    return qz_ypu_attention_blocked_f32_params_t{out.on(g), query.on(g), key.on(g), value.on(g),
                                                 1, Sq, Skv, H, Q, D};
  });
  t.expect_close(out, nq, 2e-5f, 2e-6f + softmax_maths_error(3, 1));
}

// Op 56 writing n new rows of k into a linear cache; bit for bit.
void linear_cache(twin &t, int32_t m, int32_t n, int32_t k) {
  const int32_t rows = m * (n + 1);
  const twin_buffer codes = t.bytes(rows * k, 0x33), pairs = t.bytes(8 * rows, 0x44),
                    x = t.buffer(random_floats(size_t(m) * n * k, -2, 7, 9));
  t.run(QZ_YPU_OP_QUANTIZE_ROWS_U8, [&](bool g) {
    return qz_ypu_quantize_rows_u8_params_t{codes.on(g), pairs.on(g), x.on(g), n + 1, 1, m, n, k, 0};
  });
  t.expect_same<uint8_t>(codes, size_t(rows) * k);
  t.expect_same<float>(pairs, 2 * size_t(rows));
}

// Op 94 then op 93 on n tokens of a weight with the given groups per width
// class: the repacked tiles are the CPU baseline's, the products lie within
// the bound of their float additions.
void lowbit(twin &t, int32_t row_blocks, std::array<int32_t, 8> counts, int32_t n) {
  cuda_context &c = t.gpu();
  const lowbit_weight w = make_lowbit_weight(row_blocks, counts, {}, 13);
  qz_ypu_linear_lowbit_params_t p = lowbit_params(w, [&](const auto &v) { return c.buffer(v); });
  const qz_ypu_repack_lowbit_params_t r = lowbit_repack_params(p);
  ASSERT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &r), QZ_STATUS_SUCCESS);
  EXPECT_EQ(c.read<uint8_t>(p.tiles, w.tiles.size()), lowbit_baseline_tiles(w));
  const std::vector<float> x = random_floats(size_t(n) * w.columns(), -2, 2, 14);
  p.in = c.buffer(x);
  p.out = c.buffer(4 * n * w.rows(), 0xFF);
  p.n = n;
  ASSERT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_SUCCESS)
      << ::testing::PrintToString(take_error_stack());
  std::vector<double> bound;
  const std::vector<double> ref = lowbit_reference(w, x, n, &bound);
  expect_within(c.read<float>(p.out, size_t(n) * w.rows()), ref, bound);
}

struct launch_case {
  const char *name;
  int32_t grid;  // the device's largest grid y and z
  void (*run)(twin &t);
};

const launch_case kCases[] = {
    // Scores: a warp per head, 32 heads a block.
    {"scores_33_heads", kGrid, [](twin &t) { scores(t, 2, 3, 33, 3, 40); }},
    {"scores_64_heads", kGrid, [](twin &t) { scores(t, 1, 2, 64, 8, 16); }},
    {"scores_query_rows_and_keys_past_the_grid", kSmallGrid,
     [](twin &t) { scores(t, 5, 7, 2, 1, 3); }},
    // Values: a thread per element of the head, at most 1,024.
    {"values_d1025", kGrid, [](twin &t) { values(t, 2, 3, 2, 1, 1025); }},
    {"values_heads_and_query_rows_past_the_grid", kSmallGrid,
     [](twin &t) { values(t, 7, 3, 5, 1, 4); }},
    // The same walk at a GPU's own limit, once.
    {"values_65536_query_rows", kGrid, [](twin &t) { values(t, 65536, 2, 1, 1, 1); }},
    // Four heads of 2,817 need 48 KiB + 16 bytes beside their scores.
    {"blocked_d2817", kGrid, [](twin &t) { blocked(t, 3, 6, 2, 1, 2817); }},
    {"blocked_heads_and_query_rows_past_the_grid", kSmallGrid,
     [](twin &t) { blocked(t, 13, 7, 4, 2, 8); }},
    {"mask_rows_past_the_grid", kSmallGrid, [](twin &t) { mask(t, 2, 16); }},
    {"linear_cache_new_rows_past_the_grid", kSmallGrid, [](twin &t) { linear_cache(t, 2, 7, 5); }},
    // Repack: 49 groups of width 3 are 4 rows of 16 in the grid; one token:
    // 13 groups of width 4 are 4 slices of four; many tokens: 200 are 200
    // rows of the gather and 4 blocks of 64.
    {"lowbit_groups_and_tokens_past_the_grid", kSmallGrid,
     [](twin &t) {
       for (int32_t n : {1, 200}) {
         SCOPED_TRACE(n);
         lowbit(t, 2, {0, 0, 49, 13, 0, 0, 0, 0}, n);
       }
     }},
};

TEST(CudaLaunchShapes, AttentionAndLowbitBeyondTheLaunchLimits) {
  for (const launch_case &c : kCases) {
    SCOPED_TRACE(c.name);
    twin t;
    limit_grid(t.gpu(), c.grid);
    c.run(t);
  }
}

// Ops 5 and 6 keep a score row per head and visible key for each new row of
// a pass: 64 heads over a ring of 65,536 keys take 16 MiB a row, so 128 rows
// (2 GiB) would pass the largest buffer. (Emulating that many keys takes
// minutes, so the pass size itself is checked; the ring tests run it.)
TEST(CudaLaunchShapes, RingScorePassesFitOneBuffer) {
  struct pass_case {
    int32_t heads, visible, n, rows;
  };
  for (const pass_case &c : {pass_case{8, 300, 300, 128},     // as always: 128 a pass
                             pass_case{8, 300, 5, 5},         // the rows there are
                             pass_case{64, 65536, 1000, 127}, // 127 x 16 MiB fit
                             pass_case{64, 65536, 3, 3},
                             pass_case{4096, 65536, 9, 1},    // 1 GiB a row
                             pass_case{8192, 65536, 1, 0},    // 2 GiB: the host's
                             pass_case{65536, 65536, 1, 0}}) {
    SCOPED_TRACE(::testing::Message() << c.heads << " heads, " << c.visible << " keys, n "
                                      << c.n);
    const int32_t rows = qz_cuda_emu::qz_ypu_cuda_ring_chunk_rows(c.heads, c.visible, c.n);
    EXPECT_EQ(rows, c.rows);
    EXPECT_LE(int64_t{c.heads} * c.visible * 4 * rows, INT32_MAX);
  }
}

}  // namespace
