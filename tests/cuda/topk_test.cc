// The top-k selections: the long-row pick through the device-wide sort
// (its key order for ties, signed zeros and NaNs, its allocation failures)
// and the per-row sorts with and without softmax, against the host and
// against the order a stable bubble sort leaves.
#include "twin.h"

#include <cfloat>

#include "gpu_harness/device_maths.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::cuda_call;

const std::string kAlloc = "0633a7d 00000339: Failed to alloc memory.";
const std::string kInvalidK = "0633a7d 00000065: Argument `k` is invalid.";

struct topk_result {
  std::vector<float> values;
  std::vector<int32_t> indices;
};

// Op 87 on the harness device; the outputs start as 0x7F bytes.
topk_result run_topk(cuda_context &gpu, const std::vector<float> &keys, int32_t k,
                     qz_status_t expected = QZ_STATUS_SUCCESS) {
  const int32_t n = int32_t(keys.size());
  qz_ypu_buffer_t *in = gpu.buffer(keys), *values = gpu.buffer(4 * (k + 1), 0x7F),
                  *indices = gpu.buffer(4 * (k + 1), 0x7F);
  const qz_ypu_topk_f32_params_t p{in, values, indices, n, k, 0, 4, 4};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_TOPK_F32, &p), expected);
  return {gpu.read<float>(values, k, 4), gpu.read<int32_t>(indices, k, 4)};
}

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}

TEST(CudaTopk, KeyOrderTable) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct topk_case {
    const char *name;
    std::vector<float> keys;
    int32_t k;
    std::vector<float> values;
    std::vector<int32_t> indices;
  } cases[] = {
      {"all_equal", std::vector<float>(7, 2.5f), 4, std::vector<float>(4, 2.5f), {0, 1, 2, 3}},
      {"three_keys", {1.0f, 3.0f, 2.0f}, 2, {3.0f, 2.0f}, {1, 2}},
      // The sort takes +0 and -0 for equal: input order, each its own bits.
      {"signed_zeros_equal", {-0.0f, 0.0f, -0.0f}, 3, {-0.0f, 0.0f, -0.0f}, {0, 1, 2}},
      {"plus_zero_then_minus_zero", {0.0f, -0.0f}, 2, {0.0f, -0.0f}, {0, 1}},
      {"nans_at_both_ends", {1.0f, -nan, nan, -INFINITY, INFINITY}, 5,
       {nan, INFINITY, 1.0f, -INFINITY, -nan}, {2, 4, 0, 3, 1}},
      {"k_equals_n_with_ties", {4, 9, 4, 9, -1}, 5, {9, 9, 4, 4, -1}, {1, 3, 0, 2, 4}},
  };
  for (const topk_case &c : cases) {
    SCOPED_TRACE(c.name);
    cuda_context gpu;
    const topk_result r = run_topk(gpu, c.keys, c.k);
    EXPECT_EQ(r.indices, c.indices);
    for (int32_t i = 0; i < c.k; ++i) EXPECT_EQ(bits(r.values[i]), bits(c.values[i])) << i;
    EXPECT_EQ(gpu.runtime().live_allocations(), 3) << "the sort's arrays are freed";
  }
}

// A long row with many ties (beam x vocabulary), a run of zeros of both
// signs at its top: the host's insertion keeps the same order, the first of
// equal values ahead, -0 and +0 taken for equal.
TEST(CudaTopk, LongRowMatchesHost) {
  const int32_t n = 60000, k = 40;  // within the run of about 60 zeros
  std::vector<float> keys(n);
  const std::vector<int32_t> ints = random_ints<int32_t>(n, -500, 500, 9);
  for (int32_t i = 0; i < n; ++i) keys[i] = -float(std::abs(ints[i])) / 8;  // zeros are -0
  for (int32_t i = 0; i < n; i += 3)
    if (keys[i] == 0) keys[i] = 0.0f;
  twin t;
  const twin_buffer in = t.buffer(keys), values = t.bytes(4 * k), indices = t.bytes(4 * k);
  t.run(QZ_YPU_OP_TOPK_F32, [&](bool g) {
    return qz_ypu_topk_f32_params_t{in.on(g), values.on(g), indices.on(g), n, k, 0, 0, 0};
  });
  t.expect_same<float>(values, k);
  t.expect_same<int32_t>(indices, k);
}

// Each of the four allocations failing, from the stream-ordered allocator
// or, on a device without it, from plain allocations: 0x339 from the sort,
// 0x33C from the entry, nothing written, nothing left allocated.
TEST(CudaTopk, AllocationFailuresAreReported) {
  for (const bool pools : {true, false}) {
    for (int failing = 0; failing < 4; ++failing) {
      SCOPED_TRACE(std::to_string(failing) + (pools ? " with pools" : " without"));
      cuda_context gpu;
      gpu.runtime().memory_pools = pools;
      gpu.device()->memory_pools = pools;
      // The three buffers come from the same allocator first.
      gpu.runtime().fail(pools ? cuda_call::malloc_async : cuda_call::malloc,
                         failing + 3);
      const topk_result r = run_topk(gpu, {3, 1, 2}, 2, QZ_STATUS_RUNTIME_ERROR);
      EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kAlloc, kKernelFailed}));
      EXPECT_EQ(r.indices, std::vector<int32_t>(2, 0x7F7F7F7F));
      EXPECT_EQ(gpu.runtime().live_allocations(), 3);
      EXPECT_EQ(gpu.runtime().last_error, 0) << "the error is not left pending";
    }
  }
}

// A pick takes its temporaries from the default stream's allocator and
// releases them there: no allocation that waits for the device. Without
// the allocator, plain allocations are released after the stream's work.
TEST(CudaTopk, TemporariesAreStreamOrdered) {
  for (const bool pools : {true, false}) {
    SCOPED_TRACE(pools);
    cuda_context gpu;
    gpu.runtime().memory_pools = pools;
    gpu.device()->memory_pools = pools;
    const int plain = gpu.runtime().calls(cuda_call::malloc);
    const topk_result r = run_topk(gpu, {1, 3, 2, 3}, 3);
    EXPECT_EQ(r.indices, (std::vector<int32_t>{1, 3, 2}));
    EXPECT_EQ(r.values, (std::vector<float>{3, 3, 2}));
    EXPECT_EQ(gpu.runtime().calls(cuda_call::malloc) - plain, pools ? 0 : 3 + 4);  // + buffers
    EXPECT_EQ(gpu.runtime().calls(cuda_call::free), pools ? 0 : 4);
    EXPECT_EQ(gpu.runtime().live_allocations(), 3);
  }
}

// The device declines a k beyond the row (its sorted arrays hold n
// entries); the host serves it and fills the tail.
TEST(CudaTopk, KBeyondTheRowFallsBackToTheHost) {
  cuda_context gpu;
  const topk_result r = run_topk(gpu, {3, 1, 2}, 4);
  EXPECT_EQ(r.indices, (std::vector<int32_t>{0, 2, 1, 0}));
  EXPECT_EQ(r.values, (std::vector<float>{3, 2, 1, -FLT_MAX}));
  EXPECT_EQ(gpu.runtime().calls(cuda_call::malloc), 0);
  run_topk(gpu, {3, 1, 2}, 0);
  EXPECT_TRUE(take_error_stack().empty());
}

// The per-row sorts, one thread per row: ties keep their input order, a NaN
// stays where it is and splits the row into parts sorted on their own.
TEST(CudaTopkRows, BubbleSortOrderTable) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct rows_case {
    const char *name;
    std::vector<float> row;
    int32_t k;
    std::vector<int32_t> indices;
  } cases[] = {
      {"ties_in_input_order", {5, 7, 7, 1}, 3, {1, 2, 0}},
      {"signed_zeros_keep_their_order", {-0.0f, 0.0f, -1.0f}, 3, {0, 1, 2}},
      {"nan_stays_in_place", {1, nan, 3, 2, 4}, 5, {0, 1, 4, 2, 3}},
      {"leading_nan", {nan, 2, 5}, 2, {0, 2}},
      {"keep_none", {4, 5}, 0, {}},
  };
  for (const rows_case &c : cases) {
    SCOPED_TRACE(c.name);
    cuda_context gpu;
    const int32_t len = int32_t(c.row.size());
    qz_ypu_buffer_t *in = gpu.buffer(c.row), *values = gpu.buffer(4 * c.k + 4, 0x7F),
                    *indices = gpu.buffer(4 * c.k + 4, 0x7F);
    const qz_ypu_topk_sort_f32_params_t p{indices, values, in, 1, c.k, len};
    ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_SUCCESS);
    const std::vector<int32_t> got = gpu.read<int32_t>(indices, c.k + 1);
    EXPECT_EQ(std::vector<int32_t>(got.begin(), got.begin() + c.k), c.indices);
    EXPECT_EQ(got[c.k], 0x7F7F7F7F) << "nothing past the k kept entries";
    const std::vector<float> v = gpu.read<float>(values, c.k);
    for (int32_t i = 0; i < c.k; ++i) EXPECT_EQ(bits(v[i]), bits(c.row[c.indices[i]])) << i;
  }
}

TEST(CudaTopkRows, SoftmaxOfTheKeptValues) {
  cuda_context gpu;
  qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{-1, -7, 0, -3}), *values = gpu.buffer(8),
                  *indices = gpu.buffer(8);
  const qz_ypu_topk_sort_softmax_f32_params_t two{indices, values, in, 1, 2, 4};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, &two), QZ_STATUS_SUCCESS);
  // Each value's exponential (the GPU's expf) and the sum's, then a sum and
  // a division.
  const double e = std::exp(-1.0);
  const double rel = 2 * qz_gpu_harness::device_relative_error(qz_gpu_harness::kDeviceMaths.expf) +
                     2 * 0x1p-24;
  EXPECT_EQ(gpu.read<int32_t>(indices, 2), (std::vector<int32_t>{2, 0}));
  const std::vector<float> v = gpu.read<float>(values, 2);
  EXPECT_NEAR(v[0], 1 / (1 + e), rel / (1 + e));
  EXPECT_NEAR(v[1], e / (1 + e), rel * e / (1 + e));
  const qz_ypu_topk_sort_softmax_f32_params_t one{indices, values, in, 1, 1, 4};
  ASSERT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32, &one), QZ_STATUS_SUCCESS);
  EXPECT_EQ(gpu.read<float>(values, 1), std::vector<float>{1.0f});
  EXPECT_EQ(gpu.read<int32_t>(indices, 1), std::vector<int32_t>{2});
}

// Many rows (two blocks of threads) against the host's sort.
TEST(CudaTopkRows, ManyRowsMatchHost) {
  const int32_t rows = 300, len = 40, k = 9;
  std::vector<float> in(size_t(rows) * len);
  const std::vector<int32_t> ints = random_ints<int32_t>(in.size(), -20, 20, 4);
  for (size_t i = 0; i < in.size(); ++i) in[i] = float(ints[i]) / 4;
  for (uint32_t op : {uint32_t{QZ_YPU_OP_TOPK_SORT_F32}, uint32_t{QZ_YPU_OP_TOPK_SORT_SOFTMAX_F32}}) {
    twin t;
    const twin_buffer x = t.buffer(in), values = t.bytes(4 * rows * k), indices = t.bytes(4 * rows * k);
    t.run(op, [&](bool g) {
      return qz_ypu_topk_sort_f32_params_t{indices.on(g), values.on(g), x.on(g), rows, k, len};
    });
    t.expect_same<int32_t>(indices, size_t(rows) * k);
    if (op == QZ_YPU_OP_TOPK_SORT_F32) {
      t.expect_same<float>(values, size_t(rows) * k);
      continue;
    }
    // Each kept value's exponential and those of its row's sum (the GPU's
    // expf against the host's), the k - 1 additions and the division.
    const double rel = 2 * (qz_gpu_harness::device_relative_error(
                                qz_gpu_harness::kDeviceMaths.expf) +
                            qz_gpu_harness::device_relative_error(qz_gpu_harness::kHostMathsUlps)) +
                       2 * float_gamma(k);
    t.expect_close(values, size_t(rows) * k, float(rel));
  }
}

// Declined by the device, refused by the host.
TEST(CudaTopkRows, KBeyondTheRowIsRefused) {
  cuda_context gpu;
  qz_ypu_buffer_t *in = gpu.buffer(std::vector<float>{1, 2}), *out = gpu.buffer(16);
  const qz_ypu_topk_sort_f32_params_t p{out, out, in, 1, 3, 2};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_TOPK_SORT_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kInvalidK});
}

}  // namespace
