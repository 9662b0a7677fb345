// The Metal low-bit operations: the repack against the CPU baseline's bit
// planes (the layout both GPU backends read), and the linear operation
// against the host implementation for every width, one token and several.
#include "ypu/lowbit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "metal/metal_twin.h"
#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"
#include "support/metal_test.h"
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {


using counts_t = std::array<int32_t, 8>;

class MetalRepackLowbit : public MetalTest,
                          public testing::WithParamInterface<lowbit_weight_case> {};

// Random codes in every tile; the classes' tiles lie back to back, so a
// wrong class offset or tile stride shows as a mismatch in a neighbour.
TEST_P(MetalRepackLowbit, LeavesTheBaselineBitPlanes) {
  const lowbit_weight_case &c = GetParam();
  const lowbit_weight w = make_lowbit_weight(c.row_blocks, c.counts, {}, 70);
  metal_context gpu;
  qz_ypu_buffer_t *tiles = gpu.buffer(w.tiles);
  qz_ypu_repack_lowbit_params_t p{tiles, c.row_blocks, {}};
  std::copy(c.counts.begin(), c.counts.end(), p.width_counts);
  ASSERT_EQ(gpu.run(QZ_YPU_OP_REPACK_LOWBIT, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<uint8_t>(tiles, w.tiles.size()), lowbit_baseline_tiles(w));
  // Only the widths that are re-laid have a kernel to run.
  size_t relaid = 0;
  for (int32_t b : {3, 5, 6, 7}) relaid += c.counts[b - 1] != 0;
  EXPECT_EQ(qz_metal_standin::standin().dispatches.size(), relaid);
}

INSTANTIATE_TEST_SUITE_P(
    Weights, MetalRepackLowbit,
    testing::Values(lowbit_weight_case{"width_3", 3, {0, 0, 5, 0, 0, 0, 0, 0}},
                    lowbit_weight_case{"width_5", 2, {0, 0, 0, 0, 3, 0, 0, 0}},
                    lowbit_weight_case{"width_6", 1, {0, 0, 0, 0, 0, 4, 0, 0}},
                    lowbit_weight_case{"width_7", 17, {0, 0, 0, 0, 0, 0, 2, 0}},
                    lowbit_weight_case{"every_width", 5, {1, 2, 3, 1, 2, 3, 1, 2}},
                    lowbit_weight_case{"powers_of_two_only", 2, {3, 1, 0, 2, 0, 0, 0, 1}}),
    [](const testing::TestParamInfo<lowbit_weight_case> &info) { return info.param.name; });

// The 3-bit planes spelled out for one tile: row r's 16-bit word holds the
// codes' low two bits, byte 32 + r their third bit.
TEST_F(MetalRepackLowbit, ThreeBitTileSplitsIntoTwoPlanes) {
  std::vector<uint8_t> codes(128);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = uint8_t((i * 5 + i / 8) % 8);
  metal_context gpu;
  qz_ypu_buffer_t *tiles = gpu.buffer(lowbit_pack_tile(codes, 3));
  const qz_ypu_repack_lowbit_params_t p{tiles, 1, {0, 0, 1, 0, 0, 0, 0, 0}};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_REPACK_LOWBIT, &p), QZ_STATUS_SUCCESS);
  const std::vector<uint8_t> got = gpu.read<uint8_t>(tiles, 48);
  for (int r = 0; r < 16; ++r) {
    uint32_t word = 0, bits = 0;
    for (int k = 0; k < 8; ++k) {
      word |= uint32_t(codes[8 * r + k] & 3) << (2 * k);
      bits |= uint32_t(codes[8 * r + k] >> 2 & 1) << k;
    }
    EXPECT_EQ(got[2 * r] | got[2 * r + 1] << 8, word) << "row " << r;
    EXPECT_EQ(got[32 + r], bits) << "row " << r;
  }
}

struct linear_case {
  const char *name;
  int32_t row_blocks;
  counts_t counts;
  int32_t tokens;
};

class MetalLinearLowbit : public MetalTest, public testing::WithParamInterface<linear_case> {};

// Against the double-precision product, after op 94 on the Metal side, and
// the host on the canonical tiles beside it. The output has a byte offset,
// guard values after it and garbage (NaN) in it: both paths overwrite it.
// The kernels add width classes (and the one-token kernels slices of four
// groups) into the output with float atomics in no fixed order, so each
// side is held to the bound of its float additions, not to the other's bits;
// under the schedules the harness runs the threadgroups, and so the atomics,
// in four orders.
TEST_P(MetalLinearLowbit, MatchesTheProductWithinTheBoundOfItsAdditions) {
  const linear_case &c = GetParam();
  std::vector<int32_t> perm(8 * std::accumulate(c.counts.begin(), c.counts.end(), 0));
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), std::mt19937(71));
  const lowbit_weight w = make_lowbit_weight(c.row_blocks, c.counts, perm, 72);
  const int32_t rows = w.rows(), columns = w.columns(), n = c.tokens;
  const int32_t in_lead = 3, out_lead = 5, guard = 4;
  const auto x = random_floats(in_lead + size_t(n) * columns, -2, 2, 73);
  std::vector<double> bound;
  const std::vector<double> exact =
      lowbit_reference(w, std::vector<float>(x.begin() + in_lead, x.end()), n, &bound);
  const size_t count = size_t(n) * rows, total = out_lead + count + guard;

  // The many-token kernels share their staged tiles through threadgroup
  // memory between two barriers.
  for (const qz_gpu_harness::schedule order : kAllSchedules) {
    SCOPED_TRACE(int(order));
    metal_twin t(order);
    const twin_buffer xb = t.buffer(x), pb = t.buffer(w.perm), sb = t.buffer(w.scales),
                            tb = t.buffer(w.tiles);
    const twin_buffer out = t.bytes(int32_t(total * 4), 0xFF);
    qz_ypu_repack_lowbit_params_t repack{tb.gpu, c.row_blocks, {}};
    std::copy(c.counts.begin(), c.counts.end(), repack.width_counts);
    ASSERT_EQ(t.gpu().run(QZ_YPU_OP_REPACK_LOWBIT, &repack), QZ_STATUS_SUCCESS);

    t.run(QZ_YPU_OP_LINEAR_LOWBIT, n == 1 ? "taabe139" : "taabe21", [&](bool gpu) {
      qz_ypu_linear_lowbit_params_t p{out.on(gpu),  xb.on(gpu), pb.on(gpu),   sb.on(gpu),
                                      tb.on(gpu),   n,          c.row_blocks, {},
                                      4 * out_lead, 4 * in_lead};
      std::copy(c.counts.begin(), c.counts.end(), p.width_counts);
      return p;
    });

    for (const bool gpu : {true, false}) {
      SCOPED_TRACE(gpu ? "metal" : "host");
      const std::vector<float> all =
          gpu ? t.gpu_values<float>(out, total) : t.host_values<float>(out, total);
      expect_within(std::vector<float>(all.begin() + out_lead, all.end() - guard), exact, bound);
      for (size_t i = 0; i < total; ++i) {
        const bool outside = i < size_t(out_lead) || i >= out_lead + count;
        ASSERT_TRUE(!outside || std::isnan(all[i])) << "written outside the output at " << i;
      }
    }
  }
}

// Every width alone, for one token and for several (n not a multiple of 32
// and odd, R not a multiple of 16, counts not a multiple of 4), then mixes.
std::vector<linear_case> linear_cases() {
  static const char *const kOne[] = {"w1_one_token", "w2_one_token", "w3_one_token",
                                     "w4_one_token", "w5_one_token", "w6_one_token",
                                     "w7_one_token", "w8_one_token"};
  static const char *const kMany[] = {"w1_tokens_33", "w2_tokens_33", "w3_tokens_33",
                                      "w4_tokens_33", "w5_tokens_33", "w6_tokens_33",
                                      "w7_tokens_33", "w8_tokens_33"};
  std::vector<linear_case> cases;
  for (int32_t b = 1; b <= 8; ++b) {
    counts_t counts{};
    counts[b - 1] = 5;
    cases.push_back({kOne[b - 1], 17, counts, 1});
    cases.push_back({kMany[b - 1], 17, counts, 33});
  }
  cases.push_back({"every_width_one_token", 2, {1, 3, 4, 5, 1, 3, 4, 5}, 1});
  cases.push_back({"every_width_two_tokens", 2, {1, 3, 4, 5, 1, 3, 4, 5}, 2});
  cases.push_back({"every_width_tokens_31", 1, {2, 1, 1, 2, 3, 1, 1, 1}, 31});
  cases.push_back({"sparse_widths_tokens_64", 3, {0, 2, 0, 0, 3, 0, 1, 0}, 64});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Weights, MetalLinearLowbit, testing::ValuesIn(linear_cases()),
                         [](const testing::TestParamInfo<linear_case> &info) {
                           return info.param.name;
                         });

// A 4-bit weight of `groups` groups and one row block on the Metal device,
// with unit activations for n tokens, and the record of op 93 over it.
struct loaded_weight {
  metal_context gpu;
  qz_ypu_linear_lowbit_params_t params{};

  loaded_weight(int32_t groups, int32_t n, uint32_t seed) {
    const lowbit_weight w = make_lowbit_weight(1, {0, 0, 0, groups, 0, 0, 0, 0}, {}, seed);
    params = {gpu.buffer(n * w.rows() * 4),
              gpu.buffer(std::vector<float>(size_t(n) * w.columns(), 1.0f)),
              gpu.buffer(w.perm),
              gpu.buffer(w.scales),
              gpu.buffer(w.tiles),
              n,
              1,
              {0, 0, 0, groups, 0, 0, 0, 0},
              0,
              0};
    take_error_stack();
  }
};

// A weight whose arrays do not fit their buffers goes back to the host
// implementation, which refuses it, before any kernel reads past them.
TEST_F(MetalLinearLowbit, RecordsLargerThanTheirBuffersAreRefused) {
  loaded_weight l(2, 1, 74);
  qz_ypu_linear_lowbit_params_t p = l.params;
  p.width_counts[3] = 3;  // three groups of width 4 claimed, two stored
  EXPECT_EQ(l.gpu.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_INVALID_ARGUMENT);
  const qz_ypu_repack_lowbit_params_t r{p.tiles, 2, {0, 0, 0, 2, 0, 0, 0, 0}};
  EXPECT_EQ(l.gpu.run(QZ_YPU_OP_REPACK_LOWBIT, &r), QZ_STATUS_SUCCESS);  // the host does nothing
  EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
  take_error_stack();
}

// A temporary that cannot be had is reported as such, before anything is
// encoded.
TEST_F(MetalLinearLowbit, MissingTemporaryIsOutOfMemory) {
  loaded_weight l(1, 1, 75);
  qz_metal_standin::standin().buffers_fail = true;
  EXPECT_EQ(l.gpu.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params), QZ_STATUS_OUT_OF_MEMORY);
  qz_metal_standin::standin().buffers_fail = false;
  EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 000000C8: Failed to allocate, out of memory."});
}

// A pipeline that allows fewer than 256 threads per threadgroup refuses the
// many-token kernels' threadgroups: the entry reports the refusal (the
// output would hold nothing of that width class) instead of success, while
// the one-token path, sized within the limit, still runs.
TEST_F(MetalLinearLowbit, RefusedThreadgroupsAreReported) {
  qz_metal_standin::standin().max_threads_per_threadgroup = 128;
  loaded_weight l(1, 2, 76);
  EXPECT_EQ(l.gpu.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{"0633a7d 00000344: Device state error."});
  qz_ypu_linear_lowbit_params_t one = l.params;
  one.n = 1;
  EXPECT_EQ(l.gpu.run(QZ_YPU_OP_LINEAR_LOWBIT, &one), QZ_STATUS_SUCCESS);
  EXPECT_TRUE(take_error_stack().empty());
}

// Op 93's twenty pipelines are made one-token then many-token kernel of each
// width, then the helpers; a kernel missing from the program fails the
// state with its own message and the chain record, and every pipeline made
// before it is released.
TEST_F(MetalLinearLowbit, StateIsMadeInItsOrderAndUnmadeOnFailure) {
  const std::vector<std::string> order = {
      "taabe327", "taabe130", "taabe89",  "taabe124", "taabe66",  "taabe289", "taabe298",
      "taabe59",  "taabe265", "taabe78",  "taabe92",  "taabe55",  "taabe73",  "taabe271",
      "taabe166", "taabe39",  "taabe139", "taabe21",  "taabe107", "taabe219"};
  qz_ypu_metal_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
  void *state = nullptr;
  ASSERT_EQ(qz_ypu_metal_linear_lowbit_init(device, &state), QZ_STATUS_SUCCESS);
  EXPECT_EQ(qz_metal_standin::standin().pipelines_made, order);
  EXPECT_STREQ(qz_ypu_metal_pipeline(state, 9)->kernel_name, "taabe124") << "many-token, width 2";
  qz_ypu_metal_linear_lowbit_release(device, state);

  qz_metal_standin::standin().pipelines_made.clear();
  qz_metal_standin::standin().pipelines_released.clear();
  qz_metal_standin::standin().missing_functions = {"taabe59"};
  state = reinterpret_cast<void *>(0x5A5A);
  EXPECT_EQ(qz_ypu_metal_linear_lowbit_init(device, &state), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(state, nullptr);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{"0633a7d 00000341: Failed to load device specific code.",
                                      "0633a7d 00000320: Velthrane Error."}));
  EXPECT_EQ(qz_metal_standin::standin().pipelines_made.size(), 7u);
  EXPECT_EQ(qz_metal_standin::standin().pipelines_released.size(), 7u);
  qz_ypu_metal_device_close(device);
  EXPECT_EQ(qz_metal_standin::standin().live_objects, 0);
}

// The largest scale numbers of both signs (exponent 31, mantissa 1023:
// ±1023/16) decode exactly in both kernels: with offset +63.9375, scale
// -63.9375 and unit activations, row r is (8 - its code sum) · 63.9375.
// Every partial sum is a multiple of 1/16 below 2^10, exact in float, so
// the bits do not depend on the order of the atomic additions.
TEST_F(MetalLinearLowbit, LargestScalesOfBothSignsDecodeExactly) {
  std::vector<uint8_t> codes(128);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = uint8_t((i / 8 + i % 8 * 3) % 3 == 0);
  for (const int32_t n : {1, 2}) {
    metal_context gpu;
    qz_ypu_buffer_t *x = gpu.buffer(std::vector<float>(8 * size_t(n), 1.0f));
    qz_ypu_buffer_t *perm = gpu.buffer(std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7});
    qz_ypu_buffer_t *scales = gpu.buffer(std::vector<uint16_t>{0x7FFF, 0xFFFF});
    qz_ypu_buffer_t *tiles = gpu.buffer(lowbit_pack_tile(codes, 1));
    qz_ypu_buffer_t *out = gpu.buffer(16 * n * 4, 0xFF);
    const qz_ypu_linear_lowbit_params_t p{
        out, x, perm, scales, tiles, n, 1, {1, 0, 0, 0, 0, 0, 0, 0}, 0, 0};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_SUCCESS);
    const std::vector<float> y = gpu.read<float>(out, 16 * size_t(n));
    for (int32_t j = 0; j < n; ++j)
      for (int r = 0; r < 16; ++r) {
        int sum = 0;
        for (int k = 0; k < 8; ++k) sum += codes[8 * r + k];
        EXPECT_EQ(y[16 * j + r], float(8 - sum) * 63.9375f) << "token " << j << " row " << r;
      }
  }
}

}  // namespace
