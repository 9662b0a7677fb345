#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/operand.h"
#include "support/lowbit_weight.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using host_test::expect_guards;
using host_test::fetch;
using host_test::operand;
using host_test::place;
using host_test::place_blank;

// The contexts that run the host code for ops 93 and 94. A CPU context will
// re-lay tiles and run its own kernels once it has entries for them; those
// are checked against this reference elsewhere.
constexpr ypu_backend kHostPaths[] = {ypu_backend::host_only, ypu_backend::fake};

enum class order { identity, reversed, shuffled };

std::vector<int32_t> column_order(order kind, int32_t columns) {
  std::vector<int32_t> perm(columns);
  std::iota(perm.begin(), perm.end(), 0);
  if (kind == order::reversed) std::reverse(perm.begin(), perm.end());
  if (kind == order::shuffled) std::shuffle(perm.begin(), perm.end(), std::mt19937(5));
  return perm;
}

// The weight's buffers and a record pointing at them.
struct loaded {
  operand perm, scales, tiles;
  qz_ypu_linear_lowbit_params_t params{};
};

loaded load(ypu_harness &h, const lowbit_weight &w) {
  // perm, scales and tiles are read from their buffers' starts.
  loaded l{place(h, w.perm, 0), place(h, w.scales, 0), place(h, w.tiles, 0)};
  l.params.perm = l.perm.buffer;
  l.params.scales = l.scales.buffer;
  l.params.tiles = l.tiles.buffer;
  l.params.row_blocks = w.row_blocks;
  std::copy(w.counts.begin(), w.counts.end(), l.params.width_counts);
  return l;
}

// Runs op 94 then op 93, as a weight is used after loading.
qz_status_t run_linear(ypu_harness &h, loaded &l, const operand &out, const operand &in,
                       int32_t n) {
  qz_ypu_repack_lowbit_params_t r{.tiles = l.params.tiles, .row_blocks = l.params.row_blocks,
                                  .width_counts = {}};
  std::copy(std::begin(l.params.width_counts), std::end(l.params.width_counts), r.width_counts);
  if (const qz_status_t s = h.run(QZ_YPU_OP_REPACK_LOWBIT, &r); s != QZ_STATUS_SUCCESS) return s;
  l.params.out = out.buffer;
  l.params.out_offset = out.offset;
  l.params.in = in.buffer;
  l.params.in_offset = in.offset;
  l.params.n = n;
  return h.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params);
}

std::vector<float> random_inputs(int32_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float &x : v) x = dist(rng);
  return v;
}

class LinearLowbit : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
};

// Outputs against W·x in double. The bound is the usual one for float sums:
// a few units of rounding per term added, times the sum of |terms|. One row
// adds 8 codes, then G groups; many rows round each weight and add 8·G
// products.
TEST_P(LinearLowbit, MatchesDenseDoubleReference) {
  const struct {
    const char *name;
    int32_t row_blocks;
    std::array<int32_t, 8> counts;
    order columns;
    int32_t n;
  } cases[] = {
      {"every width, reversed", 2, {1, 1, 1, 1, 1, 1, 1, 1}, order::reversed, 1},
      {"every width, reversed, 3 rows", 2, {1, 1, 1, 1, 1, 1, 1, 1}, order::reversed, 3},
      {"mixed classes, shuffled", 3, {2, 0, 3, 0, 1, 0, 0, 2}, order::shuffled, 1},
      {"mixed classes, shuffled, 4 rows", 3, {2, 0, 3, 0, 1, 0, 0, 2}, order::shuffled, 4},
      {"one 4-bit class", 1, {0, 0, 0, 4, 0, 0, 0, 0}, order::identity, 1},
      {"7-bit and 3-bit, 2 rows", 2, {0, 0, 2, 0, 0, 0, 1, 0}, order::shuffled, 2},
  };
  uint32_t seed = 100;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t groups = std::accumulate(c.counts.begin(), c.counts.end(), 0);
    const lowbit_weight w =
        make_lowbit_weight(c.row_blocks, c.counts, column_order(c.columns, 8 * groups), ++seed);
    const int32_t rows = w.rows(), cols = w.columns();
    const std::vector<float> x = random_inputs(c.n * cols, ++seed);
    loaded l = load(h, w);
    // The input starts one whole row plus a float into its buffer; the
    // output sits between guards.
    const operand in = place(h, x, cols * 4 + 4);
    const operand out = place_blank<float>(h, size_t(c.n) * rows, 8);
    ASSERT_EQ(run_linear(h, l, out, in, c.n), QZ_STATUS_SUCCESS);
    const std::vector<float> got = fetch<float>(h, out);
    expect_guards(h, out);
    EXPECT_EQ(fetch<float>(h, in), x);

    const std::vector<double> dense = w.dense(), sizes = w.magnitudes();
    const double units = c.n == 1 ? w.groups() + 12 : cols + 4;
    for (int32_t i = 0; i < c.n; ++i)
      for (int32_t m = 0; m < rows; ++m) {
        double exact = 0, magnitude = 0;
        for (int32_t k = 0; k < cols; ++k) {
          const double xk = x[size_t(i) * cols + k];
          exact += dense[size_t(m) * cols + k] * xk;
          magnitude += sizes[size_t(m) * cols + k] * std::fabs(xk);
        }
        const double bound = units * FLT_EPSILON * magnitude;
        ASSERT_NEAR(got[size_t(i) * rows + m], exact, bound) << "row " << i << " output " << m;
      }
  }
}

// Scale 0 and offset 1.0 everywhere: every output is the sum of all inputs.
// Small integer inputs keep every sum exact on both paths.
TEST_P(LinearLowbit, OffsetOnlyTilesSumTheInputs) {
  for (int32_t n : {1, 2}) {
    lowbit_weight w = make_lowbit_weight(2, {1, 0, 2, 0, 0, 1, 0, 0}, {}, 3);
    for (size_t i = 0; i < w.scales.size(); i += 2) {
      w.scales[i] = 0x6A00;      // offset 1.0
      w.scales[i + 1] = 0x0000;  // scale 0
    }
    const int32_t cols = w.columns();
    std::vector<float> x(n * cols);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(int(i * 7 % 19) - 9);
    loaded l = load(h, w);
    const operand in = place(h, x), out = place_blank<float>(h, size_t(n) * w.rows());
    ASSERT_EQ(run_linear(h, l, out, in, n), QZ_STATUS_SUCCESS);
    std::vector<float> expected;
    for (int32_t i = 0; i < n; ++i) {
      const float sum = std::accumulate(x.begin() + i * cols, x.begin() + (i + 1) * cols, 0.0f);
      expected.insert(expected.end(), w.rows(), sum);
    }
    EXPECT_EQ(fetch<float>(h, out), expected) << "n " << n;
  }
}

// Zero codes and a zero offset overwrite whatever the output held with 0.
TEST_P(LinearLowbit, ZeroTilesOverwriteTheOutput) {
  for (int32_t n : {1, 3}) {
    lowbit_weight w = make_lowbit_weight(1, {2, 0, 0, 0, 0, 0, 0, 0}, {}, 9);
    std::fill(w.tiles.begin(), w.tiles.end(), 0);
    for (size_t i = 0; i < w.scales.size(); i += 2) w.scales[i] = 0x0000;
    loaded l = load(h, w);
    const operand in = place(h, random_inputs(n * w.columns(), 4));
    const operand out = place(h, std::vector<float>(size_t(n) * w.rows(), NAN));
    ASSERT_EQ(run_linear(h, l, out, in, n), QZ_STATUS_SUCCESS);
    for (float v : fetch<float>(h, out)) EXPECT_EQ(v, 0.0f) << "n " << n;
    expect_guards(h, out);
  }
}

// Stored column j multiplies input perm[j]: each output row picks one input
// through a rotation, which (unlike a reversal) is not its own inverse.
TEST_P(LinearLowbit, PermMapsStoredColumnsToInputs) {
  for (int32_t n : {1, 2}) {
    lowbit_weight w = make_lowbit_weight(1, {0, 0, 0, 0, 0, 0, 0, 2}, {}, 1);
    for (int32_t j = 0; j < 16; ++j) w.perm[j] = (j + 3) % 16;
    // 8-bit tiles: code (r, k) is byte 8r + k of its tile. Row r holds a 1 in
    // stored column r only.
    std::fill(w.tiles.begin(), w.tiles.end(), 0);
    for (int32_t r = 0; r < 16; ++r) w.tiles[(r / 8) * 128 + 8 * r + r % 8] = 1;
    for (size_t i = 0; i < w.scales.size(); i += 2) {
      w.scales[i] = 0x0000;
      w.scales[i + 1] = 0x6A00;
    }
    std::vector<float> x(n * 16);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(100 + i);
    loaded l = load(h, w);
    const operand in = place(h, x), out = place_blank<float>(h, size_t(n) * 16);
    ASSERT_EQ(run_linear(h, l, out, in, n), QZ_STATUS_SUCCESS);
    std::vector<float> expected;
    for (int32_t i = 0; i < n; ++i)
      for (int32_t r = 0; r < 16; ++r) expected.push_back(x[i * 16 + (r + 3) % 16]);
    EXPECT_EQ(fetch<float>(h, out), expected) << "n " << n;
  }
}

// Records that would read or write outside their buffers are refused before
// anything is written.
TEST_P(LinearLowbit, RejectsRecordsThatDoNotFitTheirBuffers) {
  const lowbit_weight w = make_lowbit_weight(2, {1, 0, 0, 1, 0, 0, 0, 0}, {}, 21);
  const std::vector<float> before(2 * w.rows(), 5.0f);
  struct change {
    const char *name;
    void (*apply)(qz_ypu_linear_lowbit_params_t &);
  };
  const change changes[] = {
      {"negative count", [](auto &p) { p.width_counts[3] = -1; }},
      {"more tiles than stored", [](auto &p) { p.width_counts[7] = 1; }},
      {"counts wrapping 32 bits", [](auto &p) { p.width_counts[6] = INT32_MAX; }},
      {"negative row blocks", [](auto &p) { p.row_blocks = -2; }},
      {"more row blocks than stored", [](auto &p) { p.row_blocks = 3; }},
      {"input offset past the input", [](auto &p) { p.in_offset += host_test::kTrail + 4; }},
      {"negative output offset", [](auto &p) { p.out_offset = -4; }},
      {"negative row count", [](auto &p) { p.n = -1; }},
  };
  for (int32_t n : {1, 2}) {
    for (const change &c : changes) {
      SCOPED_TRACE(std::string(c.name) + ", n " + std::to_string(n));
      loaded l = load(h, w);
      const operand in = place(h, random_inputs(n * w.columns(), 2));
      const operand out = place(h, before);
      l.params.out = out.buffer;
      l.params.out_offset = out.offset;
      l.params.in = in.buffer;
      l.params.in_offset = in.offset;
      l.params.n = n;
      c.apply(l.params);
      EXPECT_EQ(h.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params), QZ_STATUS_INVALID_ARGUMENT);
      EXPECT_EQ(fetch<float>(h, out), before);
    }
  }
}

TEST_P(LinearLowbit, RejectsAColumnOrderThatIsNotAPermutation) {
  const struct {
    const char *name;
    int32_t column, value;
  } cases[] = {{"repeated input", 5, 0}, {"negative", 3, -1}, {"past the row", 15, 16},
               {"far past the row", 0, 1 << 30}};
  for (int32_t n : {1, 2}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", n " + std::to_string(n));
      lowbit_weight w = make_lowbit_weight(1, {0, 1, 0, 0, 0, 1, 0, 0}, {}, 8);
      w.perm[c.column] = c.value;
      loaded l = load(h, w);
      const std::vector<float> before(n * 16, 5.0f);
      const operand in = place(h, random_inputs(n * 16, 2)), out = place(h, before);
      EXPECT_EQ(run_linear(h, l, out, in, n), QZ_STATUS_INVALID_ARGUMENT);
      EXPECT_EQ(fetch<float>(h, out), before);
    }
  }
}

TEST_P(LinearLowbit, NoRowsWritesNothing) {
  const lowbit_weight w = make_lowbit_weight(1, {1, 0, 0, 0, 0, 0, 0, 0}, {}, 2);
  loaded l = load(h, w);
  const operand in = place<float>(h, {}), out = place<float>(h, {});
  EXPECT_EQ(run_linear(h, l, out, in, 0), QZ_STATUS_SUCCESS);
  expect_guards(h, out);
}

// The host repack leaves tiles canonical: every byte as it was.
TEST_P(LinearLowbit, HostRepackLeavesTilesUnchanged) {
  const lowbit_weight w = make_lowbit_weight(3, {1, 2, 1, 1, 1, 1, 1, 1}, {}, 12);
  const operand tiles = place(h, w.tiles);
  qz_ypu_repack_lowbit_params_t p{.tiles = tiles.buffer, .row_blocks = 3, .width_counts = {}};
  std::copy(w.counts.begin(), w.counts.end(), p.width_counts);
  EXPECT_EQ(h.run(QZ_YPU_OP_REPACK_LOWBIT, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<uint8_t>(h, tiles), w.tiles);
  expect_guards(h, tiles);
}

INSTANTIATE_TEST_SUITE_P(HostPaths, LinearLowbit, testing::ValuesIn(kHostPaths),
                         [](const auto &info) { return ypu_backend_name(info.param); });

// Scratch that cannot be had is a failure before anything is written, and
// every buffer that was taken goes back.
TEST(LinearLowbitFake, ScratchFailureIsOutOfMemory) {
  for (const auto &[n, creates] : {std::pair{1, 0}, {1, 1}, {3, 0}}) {
    SCOPED_TRACE("n " + std::to_string(n) + ", creates " + std::to_string(creates));
    ypu_harness h(ypu_backend::fake);
    const lowbit_weight w = make_lowbit_weight(1, {0, 0, 1, 0, 0, 0, 0, 0}, {}, 6);
    loaded l = load(h, w);
    const std::vector<float> before(n * 16, 2.0f);
    const operand in = place(h, random_inputs(n * 8, 1)), out = place(h, before);
    const int live = h.fake()->live_buffers;
    h.fake()->fail_buffer_create_after = creates;
    EXPECT_EQ(run_linear(h, l, out, in, n), QZ_STATUS_OUT_OF_MEMORY);
    h.fake()->fail_buffer_create_after = -1;
    EXPECT_EQ(fetch<float>(h, out), before);
    // What was acquired sits in the context's cache, not leaked.
    int cached = 0;
    for (const auto &slot : h.context()->cache) cached += slot.buffer != nullptr;
    EXPECT_EQ(h.fake()->live_buffers, live + cached);
    EXPECT_EQ(cached, creates);
  }
}

// Several rows go through the backend's op 40; its failure is returned as
// is and the expanded matrix goes back to the cache.
TEST(LinearLowbitFake, ProductFailureIsReturned) {
  ypu_harness h(ypu_backend::fake);
  h.fake()->execute[QZ_YPU_OP_MATMUL_NT_F32] = fake_backend::entry::fail;
  // Making a context installs the scripted entries, for the harness's
  // context too; the extra one is not needed.
  qz_ypu_context_destroy(h.fake()->make_context());
  const lowbit_weight w = make_lowbit_weight(1, {0, 0, 0, 0, 1, 0, 0, 0}, {}, 6);
  loaded l = load(h, w);
  const std::vector<float> before(2 * 16, 2.0f);
  const operand in = place(h, random_inputs(2 * 8, 1)), out = place(h, before);
  EXPECT_EQ(run_linear(h, l, out, in, 2), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(h.fake()->count("execute 40"), 1);
  EXPECT_EQ(fetch<float>(h, out), before);
  int cached = 0;
  for (const auto &slot : h.context()->cache) cached += slot.buffer != nullptr;
  EXPECT_EQ(cached, 1);
}

}  // namespace
