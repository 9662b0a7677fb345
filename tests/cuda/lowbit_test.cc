// The low-bit repack (op 94) and linear operation (op 93) on the harness:
// the repack against the CPU's baseline bit planes, the products against a
// double-precision reference within the bound of their float additions.
#include "twin.h"

#include <algorithm>
#include <numeric>

#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"
#include "ypu/cuda/ops.h"
#include "ypu/lowbit.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::schedule;

// A weight's buffers on the harness device, and op 93's record over them.
qz_ypu_linear_lowbit_params_t place(cuda_context &c, const lowbit_weight &w) {
  return lowbit_params(w, [&](const auto &v) { return c.buffer(v); });
}

// Op 94 on the harness device: the new tile bytes, and the streams its
// launches went to.
std::vector<uint8_t> gpu_repack(const lowbit_weight &w, std::vector<void *> *streams = nullptr) {
  cuda_context c;
  const qz_ypu_linear_lowbit_params_t p = place(c, w);
  const size_t before = c.runtime().launch_streams().size();
  const qz_ypu_repack_lowbit_params_t r = lowbit_repack_params(p);
  EXPECT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &r), QZ_STATUS_SUCCESS);
  if (streams)
    streams->assign(c.runtime().launch_streams().begin() + before,
                    c.runtime().launch_streams().end());
  return c.read<uint8_t>(p.tiles, w.tiles.size());
}

TEST(CudaLowbitRepack, GivesTheBaselineBitPlanes) {
  // 4,096 random tiles of each re-laid width (16,384 in all), grids of
  // several blocks both ways; then every width in one weight, so each
  // class's start is used.
  for (int32_t b : {3, 5, 6, 7}) {
    SCOPED_TRACE(b);
    std::array<int32_t, 8> counts{};
    counts[b - 1] = 64;
    const lowbit_weight w = make_lowbit_weight(64, counts, {}, b);
    EXPECT_EQ(gpu_repack(w), lowbit_baseline_tiles(w));
  }
  const lowbit_weight all = make_lowbit_weight(17, {2, 1, 17, 1, 2, 3, 18, 1}, {}, 11);
  EXPECT_EQ(gpu_repack(all), lowbit_baseline_tiles(all));
}

TEST(CudaLowbitRepack, LaunchesOnTheWidthsStreams) {
  cuda_context c;
  const lowbit_weight w = make_lowbit_weight(2, {1, 0, 1, 1, 1, 1, 1, 1}, {}, 3);
  const qz_ypu_repack_lowbit_params_t r = lowbit_repack_params(place(c, w));
  const size_t before = c.runtime().launch_streams().size();
  ASSERT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &r), QZ_STATUS_SUCCESS);
  const std::vector<void *> launched(c.runtime().launch_streams().begin() + before,
                                     c.runtime().launch_streams().end());
  void **s = c.device()->streams;
  EXPECT_EQ(launched, (std::vector<void *>{s[3], s[5], s[6], s[7]}));
}

TEST(CudaLowbitRepack, LeavesWidthsOneTwoFourAndEight) {
  const lowbit_weight w = make_lowbit_weight(3, {2, 3, 0, 1, 0, 0, 0, 2}, {}, 7);
  std::vector<void *> streams;
  EXPECT_EQ(gpu_repack(w, &streams), w.tiles);
  EXPECT_TRUE(streams.empty());
}

// The layout's two worked tiles.
TEST(CudaLowbitRepack, WorkedTiles) {
  std::array<uint8_t, 128> codes{};
  // 3 bits: row 0 holds 0..7.
  for (int k = 0; k < 8; ++k) codes[k] = static_cast<uint8_t>(k);
  lowbit_weight w3 = make_lowbit_weight(1, {0, 0, 1, 0, 0, 0, 0, 0}, {}, 1);
  w3.tiles = lowbit_pack_tile(codes, 3);
  const std::vector<uint8_t> t3 = gpu_repack(w3);
  EXPECT_EQ(t3[0] | t3[1] << 8, 0xE4E4);  // low two bits, column k at bits 2k
  EXPECT_EQ(t3[32], 0xF0);                // third bit, column k at bit k
  // 7 bits: 0x55 at row 0, column 0.
  codes.fill(0);
  codes[0] = 0x55;
  lowbit_weight w7 = make_lowbit_weight(1, {0, 0, 0, 0, 0, 0, 1, 0}, {}, 2);
  w7.tiles = lowbit_pack_tile(codes, 7);
  const std::vector<uint8_t> t7 = gpu_repack(w7);
  EXPECT_EQ(t7[0] & 15, 5);
  EXPECT_EQ(t7[64] & 3, 1);
  EXPECT_EQ(t7[96] & 1, 1);
}

// ---------------------------------------------------------------------------
// Op 93.

// Which streams of the harness run their work only when something needs
// it: the context's streams (the default), or the default stream.
enum class lagging { streams, default_stream };

// Op 94 then op 93 on n tokens, input and output at byte offsets 8 and 4,
// the output between NaN guards; returns the n rows. The shuffled schedule
// lands the float atomic additions in a permuted order, as a GPU may.
std::vector<float> gpu_linear(const lowbit_weight &w, const std::vector<float> &x, int32_t n,
                              schedule order = schedule::shuffled,
                              lagging lag = lagging::streams, bool memory_pools = true) {
  cuda_context c(order);
  c.runtime().lazy_default_stream = lag == lagging::default_stream;
  c.runtime().lazy_streams = lag == lagging::streams;
  c.runtime().memory_pools = memory_pools;
  c.device()->memory_pools = memory_pools;
  qz_ypu_linear_lowbit_params_t p = place(c, w);
  const qz_ypu_repack_lowbit_params_t r = lowbit_repack_params(p);
  EXPECT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &r), QZ_STATUS_SUCCESS);
  std::vector<float> in(2 + x.size());
  std::copy(x.begin(), x.end(), in.begin() + 2);
  const int32_t count = n * w.rows();
  p.in = c.buffer(in);
  p.out = c.buffer(4 * (count + 2), 0xFF);
  p.n = n;
  p.in_offset = 8;
  p.out_offset = 4;
  const int allocations = c.runtime().live_allocations();
  EXPECT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_SUCCESS) << ::testing::PrintToString(take_error_stack());
  const std::vector<float> all = c.read<float>(p.out, count + 2);
  EXPECT_EQ(c.runtime().live_allocations(), allocations) << "a temporary was kept";
  EXPECT_TRUE(std::isnan(all.front()) && std::isnan(all.back())) << "written outside the output";
  return std::vector<float>(all.begin() + 1, all.end() - 1);
}

// The host implementation on the canonical tiles (no repack there).
std::vector<float> host_linear(const lowbit_weight &w, const std::vector<float> &x, int32_t n) {
  ypu_harness h(ypu_backend::host_only);
  qz_ypu_linear_lowbit_params_t p = lowbit_params(w, [&](const auto &v) { return h.buffer(v); });
  p.in = h.buffer(x);
  p.out = h.buffer(4 * n * w.rows());
  p.n = n;
  EXPECT_EQ(h.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_SUCCESS);
  return h.read<float>(p.out, n * w.rows());
}

std::vector<int32_t> shuffled(int32_t columns, uint32_t seed) {
  std::vector<int32_t> perm(columns);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), std::mt19937(seed));
  return perm;
}

constexpr lowbit_weight_case kWeights[] = {
    {"w1", 2, {5, 0, 0, 0, 0, 0, 0, 0}}, {"w2", 2, {0, 5, 0, 0, 0, 0, 0, 0}},
    {"w3", 2, {0, 0, 5, 0, 0, 0, 0, 0}}, {"w4", 2, {0, 0, 0, 5, 0, 0, 0, 0}},
    {"w5", 2, {0, 0, 0, 0, 5, 0, 0, 0}}, {"w6", 2, {0, 0, 0, 0, 0, 5, 0, 0}},
    {"w7", 2, {0, 0, 0, 0, 0, 0, 5, 0}}, {"w8", 2, {0, 0, 0, 0, 0, 0, 0, 5}},
    // Every width; classes with gaps over 17 row blocks (a second block
    // column whose last 15 row blocks are past R); 9 groups (three slices
    // of four in the one-token grid).
    {"all", 3, {2, 1, 3, 1, 2, 1, 2, 1}},
    {"gaps_r17", 17, {0, 3, 0, 0, 2, 0, 0, 4}},
    {"t9", 1, {0, 0, 0, 9, 0, 0, 0, 0}},
};

TEST(CudaLowbitLinear, EveryWidthOneAndManyTokensWithinTheBound) {
  for (const lowbit_weight_case &wc : kWeights) {
    const lowbit_weight probe = make_lowbit_weight(wc.row_blocks, wc.counts, {}, 1);
    const lowbit_weight w =
        make_lowbit_weight(wc.row_blocks, wc.counts, shuffled(probe.columns(), 3), 17);
    // One token, several, and 65 (a second block row of tokens, 63 of them
    // past n).
    for (int32_t n : {1, 2, 3, 65}) {
      SCOPED_TRACE(std::string(wc.name) + ", n = " + std::to_string(n));
      const std::vector<float> x = random_floats(size_t(n) * w.columns(), -2, 2, n);
      std::vector<double> bound;
      const std::vector<double> ref = lowbit_reference(w, x, n, &bound);
      expect_within(gpu_linear(w, x, n), ref, bound);
      expect_within(host_linear(w, x, n), ref, bound);
    }
  }
}

// The many-token kernel's barriers under every schedule, and the float
// atomic additions (across blocks, and across the width classes' streams)
// in whatever order the schedule lands them: no fixed bits on a GPU, so
// each result is held to the bound of its reordering.
TEST(CudaLowbitLinear, EveryScheduleWithinTheBound) {
  // Nine groups of width 3: three blocks of the one-token grid add into
  // each row.
  const lowbit_weight w = make_lowbit_weight(17, {1, 0, 9, 0, 1, 0, 1, 1}, {}, 5);
  for (int32_t n : {1, 5}) {
    const std::vector<float> x = random_floats(size_t(n) * w.columns(), -1, 1, 6);
    std::vector<double> bound;
    const std::vector<double> ref = lowbit_reference(w, x, n, &bound);
    for (schedule order : qz_gpu_harness::kAllSchedules) {
      SCOPED_TRACE("n = " + std::to_string(n) + ", schedule " + std::to_string(int(order)));
      expect_within(gpu_linear(w, x, n, order), ref, bound);
    }
  }
}

// The streams' hand-overs: the repack's and the classes' streams start from
// what the default stream left (the uploaded tiles, the gathered inputs,
// the zeroed output) and the default stream goes on only after them (the
// reorder, the releases, the download), whichever side lags behind; on a
// device without memory pools too (plain temporaries, each released after
// its stream's work).
TEST(CudaLowbitLinear, StreamsOrderedByEventsBothWays) {
  const lowbit_weight w =
      make_lowbit_weight(3, {2, 1, 3, 1, 2, 1, 2, 1}, shuffled(8 * 13, 5), 12);
  for (const bool pools : {true, false}) {
    for (const lagging lag : {lagging::streams, lagging::default_stream}) {
      for (int32_t n : {1, 3}) {
        SCOPED_TRACE(std::to_string(n) +
                     (lag == lagging::streams ? ", streams lag" : ", default lags") +
                     (pools ? "" : ", no pools"));
        const std::vector<float> x = random_floats(size_t(n) * w.columns(), -2, 2, 7);
        std::vector<double> bound;
        const std::vector<double> ref = lowbit_reference(w, x, n, &bound);
        expect_within(gpu_linear(w, x, n, schedule::forward, lag, pools), ref, bound);
      }
    }
  }
}

// One class of width 4, one group, all codes 1, scale 1.0 and offset -0.0:
// every row is the sum of the eight permuted inputs, exactly.
TEST(CudaLowbitLinear, SumOfThePermutedInputs) {
  lowbit_weight w = make_lowbit_weight(1, {0, 0, 0, 1, 0, 0, 0, 0}, {7, 6, 5, 4, 3, 2, 1, 0}, 1);
  w.tiles = lowbit_pack_tile(std::vector<uint8_t>(128, 1), 4);
  w.scales = {0x8000, 0x6A00};
  const std::vector<float> x = {1, 2, 4, 8, 16, 32, 64, 128};
  EXPECT_EQ(gpu_linear(w, x, 1), std::vector<float>(16, 255.0f));
}

// What the entry leaves behind when a runtime call fails: its message, its
// status, every temporary released and no pending error. Two classes, so
// the many-token path takes four temporaries and makes six launches.
TEST(CudaLowbitLinear, RuntimeFailures) {
  struct failure {
    int32_t n;
    cuda_call call;
    int after;
    qz_status_t status;
    const char *message;
  };
  const std::string alloc = "0633a7d 00000339: Failed to alloc memory.";
  const failure failures[] = {
      {1, cuda_call::malloc_async, 0, QZ_STATUS_OUT_OF_MEMORY, alloc.c_str()},
      {1, cuda_call::launch_kernel, 0, QZ_STATUS_RUNTIME_ERROR, kKernelFailed.c_str()},
      {1, cuda_call::launch_kernel, 2, QZ_STATUS_RUNTIME_ERROR, kKernelFailed.c_str()},
      {3, cuda_call::malloc_async, 0, QZ_STATUS_OUT_OF_MEMORY, alloc.c_str()},  // gathered x
      {3, cuda_call::malloc_async, 2, QZ_STATUS_OUT_OF_MEMORY, alloc.c_str()},  // 2nd class's pairs
      {3, cuda_call::malloc_async, 3, QZ_STATUS_OUT_OF_MEMORY, alloc.c_str()},  // reorder
      {3, cuda_call::launch_kernel, 0, QZ_STATUS_RUNTIME_ERROR, kKernelFailed.c_str()},  // gather
      {3, cuda_call::launch_kernel, 2, QZ_STATUS_RUNTIME_ERROR, kKernelFailed.c_str()},  // a product
      {3, cuda_call::launch_kernel, 5, QZ_STATUS_RUNTIME_ERROR, kKernelFailed.c_str()},  // reorder
      // The copy back into out: a failure must not pass for a result.
      {3, cuda_call::memcpy_async, 0, QZ_STATUS_RUNTIME_ERROR, kKernelFailed.c_str()},
  };
  const lowbit_weight w = make_lowbit_weight(2, {0, 1, 1, 0, 0, 0, 0, 0}, {}, 9);
  for (const failure &f : failures) {
    SCOPED_TRACE("n = " + std::to_string(f.n) + ", call " + std::to_string(int(f.call)) +
                 " after " + std::to_string(f.after));
    cuda_context c;
    qz_ypu_linear_lowbit_params_t p = place(c, w);
    p.in = c.buffer(4 * f.n * w.columns());
    p.out = c.buffer(4 * f.n * w.rows());
    p.n = f.n;
    const int allocations = c.runtime().live_allocations();
    c.runtime().fail(f.call, f.after);
    EXPECT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), f.status);
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{f.message});
    EXPECT_EQ(c.runtime().live_allocations(), allocations);
    EXPECT_EQ(c.runtime().last_error, 0);
  }
}

// An error left pending by earlier work is reported here (0x33C), not
// cleared unseen, on both paths.
TEST(CudaLowbitLinear, APendingErrorIsReportedNotDropped) {
  const lowbit_weight w = make_lowbit_weight(1, {0, 0, 0, 1, 0, 0, 0, 0}, {}, 2);
  for (int32_t n : {1, 2}) {
    SCOPED_TRACE(n);
    cuda_context c;
    qz_ypu_linear_lowbit_params_t p = place(c, w);
    p.in = c.buffer(4 * n * w.columns());
    p.out = c.buffer(4 * n * w.rows());
    p.n = n;
    c.runtime().last_error = qz_gpu_harness::kCudaErrorInvalidValue;
    EXPECT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{kKernelFailed});
    EXPECT_EQ(c.runtime().last_error, 0);
  }
}

// The many-token path: gather on the default stream, class b's decoder and
// product on stream b - 1, the reorder on the default stream.
TEST(CudaLowbitLinear, ManyTokenClassesOnTheirStreams) {
  cuda_context c;
  const lowbit_weight w = make_lowbit_weight(1, {0, 1, 0, 0, 0, 2, 0, 0}, {}, 4);
  qz_ypu_linear_lowbit_params_t p = place(c, w);
  p.in = c.buffer(4 * 2 * w.columns());
  p.out = c.buffer(4 * 2 * w.rows());
  p.n = 2;
  const size_t before = c.runtime().launch_streams().size();
  ASSERT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_SUCCESS);
  const std::vector<void *> launched(c.runtime().launch_streams().begin() + before,
                                     c.runtime().launch_streams().end());
  void **s = c.device()->streams;
  EXPECT_EQ(launched, (std::vector<void *>{nullptr, s[1], s[1], s[5], s[5], nullptr}));
}

// Sizes that do not describe a weight, or buffers too small for it, are
// not launched on: the host implementation reports them.
TEST(CudaLowbitLinear, BadSizesGoToTheHost) {
  const lowbit_weight w = make_lowbit_weight(1, {0, 0, 1, 0, 0, 0, 0, 0}, {}, 4);
  for (int which : {0, 1, 2}) {
    SCOPED_TRACE(which);
    cuda_context c;
    qz_ypu_linear_lowbit_params_t p = place(c, w);
    p.in = c.buffer(4 * w.columns());
    p.out = c.buffer(4 * w.rows());
    p.n = 1;
    if (which == 0) p.width_counts[2] = -1;
    if (which == 1) p.n = 2;  // the input holds one token
    if (which == 2) p.tiles = c.buffer(16);
    const int launches = c.runtime().calls(cuda_call::launch_kernel);
    EXPECT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(c.runtime().calls(cuda_call::launch_kernel), launches);
    take_error_stack();
  }
}

}  // namespace
