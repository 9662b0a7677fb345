// The GPU harness itself: warp exchanges, votes, barriers, shared memory,
// atomics, launch limits, the schedules that expose missing barriers, the
// two-way dot products and the record of launch streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <limits>
#include <vector>

#include "gpu_harness/cuda_harness.h"
#include "gpu_harness/device_maths.h"
#include "ypu/cuda/kernel.h"

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::cuda_harness;
using qz_gpu_harness::kAllSchedules;
using qz_gpu_harness::schedule;

// Per thread: xor 5, down 3, up 2, lane 7 of the warp, xor 9 within 16 lanes.
QZ_CUDA_KERNEL void shuffles(int *out) {
  const int t = threadIdx.x;
  int *o = out + 5 * t;
  o[0] = __shfl_xor_sync(0xFFFFFFFFu, t, 5);
  o[1] = __shfl_down_sync(0xFFFFFFFFu, t, 3);
  o[2] = __shfl_up_sync(0xFFFFFFFFu, t, 2);
  o[3] = __shfl_sync(0xFFFFFFFFu, t, 7);
  o[4] = __shfl_xor_sync(0xFFFFFFFFu, t, 9, 16);
}

TEST(GpuHarness, WarpShuffles) {
  for (schedule order : kAllSchedules) {
    cuda_harness runtime;
    runtime.order = order;
    std::vector<int> out(5 * 64, -1);
    qz_cuda_emu::qz_cuda_launch(shuffles, {1}, {64}, out.data());
    ASSERT_EQ(runtime.last_error, 0);
    for (int t = 0; t < 64; ++t) {
      const int lane = t % 32, base = t - lane;
      EXPECT_EQ(out[5 * t + 0], base + (lane ^ 5));
      EXPECT_EQ(out[5 * t + 1], lane + 3 < 32 ? t + 3 : t);
      EXPECT_EQ(out[5 * t + 2], lane >= 2 ? t - 2 : t);
      EXPECT_EQ(out[5 * t + 3], base + 7);
      EXPECT_EQ(out[5 * t + 4], (lane ^ 9) / 16 == lane / 16 ? base + (lane ^ 9) : t);
    }
  }
}

QZ_CUDA_KERNEL void votes(unsigned *out) {
  const int t = threadIdx.x;
  out[3 * t] = __ballot_sync(0xFFFFFFFFu, t % 3 == 0);
  out[3 * t + 1] = __any_sync(0xFFFFFFFFu, t == 40);
  out[3 * t + 2] = __all_sync(0xFFFFFFFFu, t < 40);
}

TEST(GpuHarness, WarpVotes) {
  cuda_harness runtime;
  std::vector<unsigned> out(3 * 64);
  qz_cuda_emu::qz_cuda_launch(votes, {1}, {64}, out.data());
  unsigned first = 0, second = 0;
  for (int i = 0; i < 32; ++i) {
    if (i % 3 == 0) first |= 1u << i;
    if ((i + 32) % 3 == 0) second |= 1u << i;
  }
  for (int t = 0; t < 64; ++t) {
    EXPECT_EQ(out[3 * t], t < 32 ? first : second);
    EXPECT_EQ(out[3 * t + 1], t >= 32 ? 1u : 0u);
    EXPECT_EQ(out[3 * t + 2], t < 32 ? 1u : 0u);
  }
}

// Each thread reads its neighbour's value after a barrier, through static
// and dynamic shared memory; `fence` 0 leaves the barrier out.
QZ_CUDA_KERNEL void neighbours(int fence, int *out, int *initial) {
  __shared__ int fixed[96];
  QZ_CUDA_DYNAMIC_SHARED(int, dynamic);
  const int t = threadIdx.x, n = blockDim.x;
  initial[blockIdx.x * n + t] = dynamic[t];
  fixed[t] = 10 * t + blockIdx.x;
  dynamic[t] = 1000 * t + blockIdx.x;
  if (fence) __syncthreads();
  out[2 * (blockIdx.x * n + t)] = fixed[(t + 1) % n];
  out[2 * (blockIdx.x * n + t) + 1] = dynamic[(t + 1) % n];
}

TEST(GpuHarness, BarriersAndSharedMemory) {
  for (schedule order : kAllSchedules) {
    cuda_harness runtime;
    runtime.order = order;
    const int n = 96, blocks = 3;
    std::vector<int> out(2 * n * blocks), initial(n * blocks);
    qz_cuda_emu::qz_cuda_launch_on(neighbours, {blocks}, {n}, n * sizeof(int), nullptr, 1,
                                   out.data(), initial.data());
    ASSERT_EQ(runtime.last_error, 0);
    for (int b = 0; b < blocks; ++b)
      for (int t = 0; t < n; ++t) {
        const int i = b * n + t;
        EXPECT_EQ(out[2 * i], 10 * ((t + 1) % n) + b);
        EXPECT_EQ(out[2 * i + 1], 1000 * ((t + 1) % n) + b);
        EXPECT_EQ(initial[i], -1) << "dynamic shared memory starts as junk";
      }
  }
}

// Without the barrier the forward order reads stale neighbours and the
// reverse order fresh ones: the schedules disagree, as they should.
TEST(GpuHarness, SchedulesExposeAMissingBarrier) {
  std::vector<std::vector<int>> results;
  for (schedule order : {schedule::forward, schedule::reverse}) {
    cuda_harness runtime;
    runtime.order = order;
    std::vector<int> out(2 * 64), initial(64);
    qz_cuda_emu::qz_cuda_launch_on(neighbours, {1}, {64}, 64 * sizeof(int), nullptr, 0,
                                   out.data(), initial.data());
    results.push_back(out);
  }
  EXPECT_NE(results[0], results[1]);
}

QZ_CUDA_KERNEL void diverge(int *out) {
  if (threadIdx.x == 0) __syncthreads();
  out[threadIdx.x] = 1;
  __syncwarp();
}

TEST(GpuHarnessDeathTest, DivergentBarriersAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        cuda_harness runtime;
        std::vector<int> out(64);
        qz_cuda_emu::qz_cuda_launch(diverge, {1}, {64}, out.data());
      },
      "wait at different barriers");
}

QZ_CUDA_KERNEL void sum_all(int n, const float *in, float *total, int *count) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  atomicAdd(total, in[i]);
  atomicAdd(count, 1);
}

TEST(GpuHarness, AtomicsAcrossBlocks) {
  cuda_harness runtime;
  std::vector<float> in(300, 0.5f);
  float total = 0;
  int count = 0;
  qz_cuda_emu::qz_cuda_launch(sum_all, {3}, {128}, 300, in.data(), &total, &count);
  EXPECT_EQ(total, 150.0f);
  EXPECT_EQ(count, 300);
}

QZ_CUDA_KERNEL void add_each(int n, const float *in, float *total) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) atomicAdd(total, in[i]);
}

QZ_CUDA_KERNEL void copy_one(const float *from, float *to) { *to = *from; }

// The shuffled schedule lands float atomic additions in a permuted order,
// across blocks and across two streams: 2^24 and 255 ones sum to 2^24 when
// the big term comes first, to more when ones come before it. Work on the
// default stream and copies see every addition landed.
TEST(GpuHarness, ShuffledFloatAtomicsLandInNoFixedOrder) {
  const int n = 256;
  std::vector<float> in(n, 1.0f);
  in[0] = 0x1p24f;
  std::vector<float> totals;
  for (int run = 0; run < 6; ++run) {
    cuda_harness runtime;
    runtime.order = run == 0 ? schedule::forward : schedule::shuffled;
    const qz_cuda_emu::qz_ypu_cuda_runtime_t &rt = *qz_cuda_emu::qz_ypu_cuda_runtime();
    void *streams[2] = {}, *memory = nullptr;
    ASSERT_EQ(rt.stream_create(&streams[0]), 0);
    ASSERT_EQ(rt.stream_create(&streams[1]), 0);
    ASSERT_EQ(rt.malloc(&memory, 4 * (n + 2)), 0);
    float *terms = static_cast<float *>(memory), *total = terms + n, *seen = total + 1;
    ASSERT_EQ(rt.memcpy(terms, in.data(), 4 * n, qz_cuda_emu::QZ_CUDA_HOST_TO_DEVICE), 0);
    ASSERT_EQ(rt.memset_async(total, 0, 4, nullptr), 0);
    // The streams start after the default stream's fill and it goes on
    // after both, through events, as the backend orders them.
    void *events[3] = {};
    for (void *&e : events) ASSERT_EQ(rt.event_create(&e), 0);
    ASSERT_EQ(rt.event_record(events[2], nullptr), 0);
    for (int s = 0; s < 2; ++s) {
      ASSERT_EQ(rt.stream_wait_event(streams[s], events[2]), 0);
      qz_cuda_emu::qz_cuda_launch_on(add_each, {4}, {32}, 0, streams[s], n / 2,
                                     static_cast<const float *>(terms + s * n / 2), total);
      ASSERT_EQ(rt.event_record(events[s], streams[s]), 0);
      ASSERT_EQ(rt.stream_wait_event(nullptr, events[s]), 0);
    }
    qz_cuda_emu::qz_cuda_launch(copy_one, {1}, {1}, static_cast<const float *>(total), seen);
    float copied[2];
    ASSERT_EQ(rt.memcpy(copied, total, 8, qz_cuda_emu::QZ_CUDA_DEVICE_TO_HOST), 0);
    EXPECT_EQ(copied[1], copied[0]) << "the default stream's kernel saw every addition";
    EXPECT_NEAR(copied[0], 0x1p24 + 255, 256) << "run " << run;
    totals.push_back(copied[0]);
    rt.free(memory);
    for (void *e : events) rt.event_destroy(e);
    rt.stream_destroy(streams[0]);
    rt.stream_destroy(streams[1]);
  }
  EXPECT_EQ(totals[0], 0x1p24f) << "launch order: every one is lost after 2^24";
  EXPECT_NE(std::count(totals.begin(), totals.end(), totals[0]), 6) << "the order never changed";
}

QZ_CUDA_KERNEL void nothing() {}

TEST(GpuHarness, LaunchLimitsOfTheFakeDevice) {
  struct launch {
    qz_cuda_emu::qz_cuda_dim3_t grid, block;
    size_t shared;
    int error;
  } launches[] = {
      {{1}, {1024}, 0, 0},
      {{1}, {1025}, 0, qz_gpu_harness::kCudaErrorInvalidConfiguration},
      {{1}, {32, 32, 2}, 0, qz_gpu_harness::kCudaErrorInvalidConfiguration},
      {{1}, {1, 1, 65}, 0, qz_gpu_harness::kCudaErrorInvalidConfiguration},
      {{0}, {32}, 0, qz_gpu_harness::kCudaErrorInvalidConfiguration},
      {{1, 65535}, {1}, 0, 0},
      {{1, 65536}, {1}, 0, qz_gpu_harness::kCudaErrorInvalidConfiguration},
      {{1, 1, 65536}, {1}, 0, qz_gpu_harness::kCudaErrorInvalidConfiguration},
      {{1}, {32}, 48 * 1024, 0},
      {{1}, {32}, 48 * 1024 + 1, qz_gpu_harness::kCudaErrorInvalidConfiguration},
  };
  cuda_harness runtime;
  for (const launch &l : launches) {
    qz_cuda_emu::qz_cuda_launch_on(nothing, l.grid, l.block, l.shared, nullptr);
    EXPECT_EQ(runtime.last_error, l.error) << l.grid.x << "x" << l.grid.y << "x" << l.grid.z
                                           << " of " << l.block.x << "x" << l.block.y << "x"
                                           << l.block.z;
    runtime.last_error = 0;
  }
  EXPECT_EQ(runtime.calls(cuda_call::launch_kernel), 10);
}

// c + a.lo16 * b.byte0 + a.hi16 * b.byte1 (lo) or bytes 2 and 3 (hi), every
// part signed, the sum wrapping in 32 bits.
TEST(GpuHarness, TwoWayDotProducts) {
  struct dot_case {
    short a0, a1;
    signed char b0, b1, b2, b3;
    int c, lo, hi;
  } cases[] = {
      {3, -4, 5, 6, 7, -8, 10, 10 + 15 - 24, 10 + 21 + 32},
      {-32768, 32767, -128, 127, 2, -3, 0, 4194304 + 4161409, -65536 - 98301},
      {1, 0, 1, 0, 1, 0, INT_MAX, INT_MIN, INT_MIN},  // wraps
  };
  for (const dot_case &d : cases) {
    const int a = qz_cuda_emu::qz_cuda_pack16(d.a0, d.a1);
    const int b = qz_cuda_emu::qz_cuda_pack8(d.b0, d.b1) |
                  (qz_cuda_emu::qz_cuda_pack8(d.b2, d.b3) << 16);
    EXPECT_EQ(__dp2a_lo(a, b, d.c), d.lo) << d.a0 << " " << d.a1;
    EXPECT_EQ(__dp2a_hi(a, b, d.c), d.hi) << d.a0 << " " << d.a1;
  }
  // The four-term form over the vector types.
  EXPECT_EQ(qz_cuda_emu::qz_cuda_dot4(short4{1, -2, 3, -4}, char4{5, 6, -7, 8}, 100),
            100 + 5 - 12 - 21 - 32);
}

TEST(GpuHarness, LaunchesRecordTheirStreams) {
  cuda_harness runtime;
  void *stream = nullptr;
  ASSERT_EQ(qz_cuda_emu::qz_ypu_cuda_runtime()->stream_create(&stream), 0);
  qz_cuda_emu::qz_cuda_launch_on(nothing, {1}, {1}, 0, stream);
  qz_cuda_emu::qz_cuda_launch(nothing, {1}, {1});
  EXPECT_EQ(runtime.launch_streams(), (std::vector<void *>{stream, nullptr}));
  qz_cuda_emu::qz_ypu_cuda_runtime()->stream_destroy(stream);
}

// The allocations that are not stream-ordered: counted, fillable with
// junk like the others, failing once when told to (sticky error), and
// refusing to free what they did not hand out.
TEST(GpuHarness, SynchronousAllocations) {
  cuda_harness runtime;
  const qz_cuda_emu::qz_ypu_cuda_runtime_t &rt = *qz_cuda_emu::qz_ypu_cuda_runtime();
  void *p = nullptr;
  ASSERT_EQ(rt.malloc(&p, 12), 0);
  EXPECT_EQ(runtime.allocation_size(p), 12u);
  EXPECT_EQ(static_cast<unsigned char *>(p)[11], 0xFF);
  runtime.fail(cuda_call::malloc, 1);
  void *q = nullptr, *r = nullptr;
  EXPECT_EQ(rt.malloc(&q, 4), 0);
  EXPECT_EQ(rt.malloc(&r, 4), qz_gpu_harness::kCudaErrorMemoryAllocation);
  EXPECT_EQ(rt.get_last_error(), qz_gpu_harness::kCudaErrorMemoryAllocation);
  int local = 0;
  EXPECT_EQ(rt.free(&local), qz_gpu_harness::kCudaErrorInvalidValue);
  rt.get_last_error();
  EXPECT_EQ(rt.free(p), 0);
  EXPECT_EQ(rt.free(q), 0);
  EXPECT_EQ(rt.free(nullptr), 0);
  EXPECT_EQ(runtime.live_allocations(), 0);
  EXPECT_EQ(runtime.calls(cuda_call::malloc), 3);
  EXPECT_EQ(runtime.calls(cuda_call::free), 4);
}

// The radix-sort stand-in's contract: the storage size from a call without
// storage, storage that is too small refused, and the radix order (stable,
// +0 and -0 equal and in input order, each keeping its bits, positive NaN
// first, negative NaN last).
TEST(GpuHarness, RadixSortStandIn) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> keys = {-0.0f, 2, -nan, 0.0f, -INFINITY, nan, 2, -1};
  const int n = static_cast<int>(keys.size());
  std::vector<int> values_in(n), values_out(n, -1);
  for (int i = 0; i < n; ++i) values_in[i] = 10 * i;
  std::vector<float> keys_out(n);
  size_t bytes = 0;
  ASSERT_EQ(qz_gpu_harness::radix_sort_pairs_descending(nullptr, &bytes, keys.data(),
                                                        keys_out.data(), values_in.data(),
                                                        values_out.data(), n),
            0);
  EXPECT_EQ(bytes, qz_gpu_harness::radix_sort_storage_bytes(n));
  std::vector<unsigned char> storage(bytes);
  size_t small = bytes - 1;
  EXPECT_EQ(qz_gpu_harness::radix_sort_pairs_descending(storage.data(), &small, keys.data(),
                                                        keys_out.data(), values_in.data(),
                                                        values_out.data(), n),
            qz_gpu_harness::kCudaErrorInvalidValue);
  ASSERT_EQ(qz_gpu_harness::radix_sort_pairs_descending(storage.data(), &bytes, keys.data(),
                                                        keys_out.data(), values_in.data(),
                                                        values_out.data(), n),
            0);
  EXPECT_EQ(values_out, (std::vector<int>{50, 10, 60, 0, 30, 70, 40, 20}));
  EXPECT_TRUE(std::isnan(keys_out[0]) && !std::signbit(keys_out[0]));
  EXPECT_TRUE(std::signbit(keys_out[3]) && keys_out[3] == 0.0f);
  EXPECT_TRUE(!std::signbit(keys_out[4]) && keys_out[4] == 0.0f);
  EXPECT_TRUE(std::isnan(keys_out[7]) && std::signbit(keys_out[7]));
}

// The device maths are as far off as the GPU's may be: the correctly
// rounded result moved by the documented number of ulp, up for some
// arguments and down for others; the documented exact cases stay exact.
TEST(GpuHarness, DeviceMathsAtTheirDocumentedBounds) {
  using qz_gpu_harness::kDeviceMaths;
  struct maths_case {
    const char *name;
    float (*device)(float);
    double (*exact)(double);
    int ulps;
    float lo, hi;
  } cases[] = {
      {"expf", qz_cuda_emu::expf, [](double x) { return std::exp(x); }, kDeviceMaths.expf, -80, 80},
      {"exp2f", qz_cuda_emu::exp2f, [](double x) { return std::exp2(x); }, kDeviceMaths.exp2f, -100,
       100},
      {"logf", qz_cuda_emu::logf, [](double x) { return std::log(x); }, kDeviceMaths.logf, 1e-3f,
       1e6f},
      {"powf(3, y)", [](float y) { return qz_cuda_emu::powf(3.0f, y); },
       [](double y) { return std::pow(3.0, y); }, kDeviceMaths.powf, -50, 50},
      {"sinf", qz_cuda_emu::sinf, [](double x) { return std::sin(x); }, kDeviceMaths.sinf, -40, 40},
      {"cosf", qz_cuda_emu::cosf, [](double x) { return std::cos(x); }, kDeviceMaths.cosf, -40, 40},
      {"sincosf's sine",
       [](float x) {
         float s, c;
         qz_cuda_emu::sincosf(x, &s, &c);
         return s;
       },
       [](double x) { return std::sin(x); }, kDeviceMaths.sincosf, -40, 40},
      {"sincosf's cosine",
       [](float x) {
         float s, c;
         qz_cuda_emu::sincosf(x, &s, &c);
         return c;
       },
       [](double x) { return std::cos(x); }, kDeviceMaths.sincosf, -40, 40},
      {"tanhf", qz_cuda_emu::tanhf, [](double x) { return std::tanh(x); }, kDeviceMaths.tanhf, -8,
       8},
      {"erff", qz_cuda_emu::erff, [](double x) { return std::erf(x); }, kDeviceMaths.erff, -3, 3},
      {"rsqrtf", qz_cuda_emu::rsqrtf, [](double x) { return 1 / std::sqrt(x); },
       kDeviceMaths.rsqrtf, 1e-6f, 1e6f},
      {"__log2f outside [0.5, 2]", qz_cuda_emu::__log2f, [](double x) { return std::log2(x); },
       kDeviceMaths.log2f_intrinsic, 2.5f, 1e6f},
  };
  // Floats in order as integers, so that their difference counts ulps.
  auto ordered = [](float v) {
    int32_t b;
    std::memcpy(&b, &v, 4);
    return b < 0 ? int64_t{INT32_MIN} - b : int64_t{b};
  };
  for (const maths_case &c : cases) {
    SCOPED_TRACE(c.name);
    int at_bound = 0, up = 0;
    const int samples = 2000;
    for (int i = 0; i < samples; ++i) {
      const float x = c.lo + (c.hi - c.lo) * (i + 0.5f) / samples;
      const float got = c.device(x), rounded = static_cast<float>(c.exact(x));
      if (rounded == 0 || std::fabs(rounded) == 1 || !std::isfinite(rounded)) continue;
      const int64_t off = ordered(got) - ordered(rounded);
      ASSERT_LE(std::llabs(off), c.ulps) << x;
      at_bound += std::llabs(off) == c.ulps;
      up += off > 0;
    }
    EXPECT_GT(at_bound, samples * 9 / 10) << "the bound itself, nearly always";
    EXPECT_GT(up, samples / 4) << "up for some arguments";
    EXPECT_LT(up, samples * 3 / 4) << "down for others";
  }
  // Inside [0.5, 2] the fast logarithm's bound is absolute.
  for (float x = 0.5f; x <= 2.0f; x += 0.001f)
    ASSERT_LE(std::fabs(qz_cuda_emu::__log2f(x) - std::log2(double{x})),
              kDeviceMaths.log2f_intrinsic_absolute)
        << x;
  EXPECT_EQ(qz_cuda_emu::expf(0.0f), 1.0f);
  EXPECT_EQ(qz_cuda_emu::expf(-INFINITY), 0.0f);
  EXPECT_EQ(qz_cuda_emu::powf(7.5f, 0.0f), 1.0f);
  EXPECT_EQ(qz_cuda_emu::powf(1.0f, 3.3f), 1.0f);
  EXPECT_EQ(qz_cuda_emu::cosf(0.0f), 1.0f);
  EXPECT_TRUE(std::signbit(qz_cuda_emu::sinf(-0.0f)) && qz_cuda_emu::sinf(-0.0f) == 0.0f);
  EXPECT_EQ(qz_cuda_emu::rsqrtf(INFINITY), 0.0f);
  EXPECT_LE(qz_cuda_emu::tanhf(20.0f), 1.0f) << "no result leaves the function's range";
  EXPECT_TRUE(std::isnan(qz_cuda_emu::logf(-1.0f)));
}

}  // namespace
