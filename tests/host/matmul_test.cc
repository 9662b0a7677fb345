#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "host/operand.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using host_test::bits;
using host_test::expect_guards;
using host_test::fetch;
using host_test::place;
using host_test::place_blank;

class Matmul : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
};

// out = a . b^T in double; exact for the small integers used here.
std::vector<float> reference_nt(const std::vector<float> &a, const std::vector<float> &b, int m,
                                int n, int k) {
  std::vector<float> out(m * n);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) {
      double sum = 0;
      for (int q = 0; q < k; ++q) sum += double(a[i * k + q]) * double(b[j * k + q]);
      out[i * n + j] = float(sum);
    }
  return out;
}

std::vector<float> ramp(int count, int start, int step, int modulus) {
  std::vector<float> v(count);
  for (int i = 0; i < count; ++i) v[i] = float((start + i * step) % modulus - modulus / 2);
  return v;
}

TEST_P(Matmul, NtMatchesReferenceWithOffsets) {
  const int m = 3, n = 4, k = 5;
  const std::vector<float> a = ramp(m * k, 1, 7, 11), b = ramp(n * k, 2, 5, 13);
  const auto oa = place(h, a, 8), ob = place(h, b, 20), out = place_blank<float>(h, m * n, 4);
  const qz_ypu_matmul_nt_f32_params_t p{.out = out.buffer, .a = oa.buffer, .b = ob.buffer,
                                        .m = m, .n = n, .k = k, .out_offset = out.offset,
                                        .a_offset = oa.offset, .b_offset = ob.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_MATMUL_NT_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(fetch<float>(h, out), reference_nt(a, b, m, n, k));
  expect_guards(h, out);
  EXPECT_EQ(fetch<float>(h, oa), a);
}

// Each dot product adds rounded products one at a time in ascending order.
TEST_P(Matmul, NtRoundsEachProductAndSumsInOrder) {
  const float e12 = std::ldexp(1.0f, -12), e11 = std::ldexp(1.0f, -11);
  struct row_case {
    std::vector<float> a, b;
    float expected;
  } cases[] = {
      // In order, 1e8 + 1 rounds back to 1e8; another order would keep the 1.
      {{1e8f, 1.0f, -1e8f}, {1.0f, 1.0f, 1.0f}, 0.0f},
      // (1 + 2^-12)^2 rounds to 1 + 2^-11 before the add; a fused
      // multiply-add would leave 2^-24.
      {{1.0f, 1.0f + e12}, {-(1.0f + e11), 1.0f + e12}, 0.0f},
  };
  for (const auto &c : cases) {
    const int k = int(c.a.size());
    const auto oa = place(h, c.a), ob = place(h, c.b), out = place_blank<float>(h, 1);
    const qz_ypu_matmul_nt_f32_params_t p{.out = out.buffer, .a = oa.buffer, .b = ob.buffer,
                                          .m = 1, .n = 1, .k = k, .out_offset = out.offset,
                                          .a_offset = oa.offset, .b_offset = ob.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_MATMUL_NT_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(bits(fetch<float>(h, out)), bits({c.expected}));
  }
}

// With k = 0 every dot product is empty: the output becomes +0.
TEST_P(Matmul, NtEmptyDepthWritesZeros) {
  const auto oa = place<float>(h, {}), ob = place<float>(h, {}), out = place_blank<float>(h, 6);
  const qz_ypu_matmul_nt_f32_params_t p{.out = out.buffer, .a = oa.buffer, .b = ob.buffer,
                                        .m = 2, .n = 3, .k = 0, .out_offset = out.offset,
                                        .a_offset = oa.offset, .b_offset = ob.offset};
  ASSERT_EQ(h.run(QZ_YPU_OP_MATMUL_NT_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(bits(fetch<float>(h, out)), bits(std::vector<float>(6, 0.0f)));
  expect_guards(h, out);
}

TEST_P(Matmul, NtWithNoRowsLeavesOutputAlone) {
  const std::vector<float> before = {1, 2, 3, 4};
  const auto oa = place<float>(h, {1, 2}), ob = place<float>(h, {3, 4}), out = place(h, before);
  for (const auto &[m, n] : {std::pair{0, 2}, {2, 0}, {-1, 2}, {2, -3}}) {
    const qz_ypu_matmul_nt_f32_params_t p{.out = out.buffer, .a = oa.buffer, .b = ob.buffer,
                                          .m = m, .n = n, .k = 2, .out_offset = out.offset,
                                          .a_offset = oa.offset, .b_offset = ob.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_MATMUL_NT_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<float>(h, out), before);
    expect_guards(h, out);
  }
}

// out[bt][h][r][q] = a[bt][h][r] . b[s][q], s = h or r; every b block
// differs, so a swapped choice shows.
TEST_P(Matmul, NtBatchedPicksTheRightBlockOfB) {
  const int batch = 2, heads = 2, rows = 3, cols = 2, depth = 3;
  const std::vector<float> a = ramp(batch * heads * rows * depth, 3, 5, 9);
  for (const uint32_t b_per_head : {0u, 1u, 7u}) {
    SCOPED_TRACE(b_per_head);
    const int blocks = b_per_head ? heads : rows;
    const std::vector<float> b = ramp(blocks * cols * depth, 1, 4, 11);
    const auto oa = place(h, a, 0), ob = place(h, b, 0);
    const auto out = place_blank<float>(h, batch * heads * rows * cols, 0);
    const qz_ypu_matmul_nt_batched_f32_params_t p{
        .out = out.buffer, .a = oa.buffer, .b = ob.buffer, .b_per_head = b_per_head,
        .batch = batch, .heads = heads, .rows = rows, .cols = cols, .depth = depth};
    ASSERT_EQ(h.run(QZ_YPU_OP_MATMUL_NT_BATCHED_F32, &p), QZ_STATUS_SUCCESS);
    std::vector<float> expected;
    for (int bt = 0; bt < batch; ++bt)
      for (int hd = 0; hd < heads; ++hd)
        for (int r = 0; r < rows; ++r) {
          const int s = b_per_head ? hd : r;
          const std::vector<float> a_row(a.begin() + ((bt * heads + hd) * rows + r) * depth,
                                         a.begin() + ((bt * heads + hd) * rows + r + 1) * depth);
          const std::vector<float> b_block(b.begin() + s * cols * depth,
                                           b.begin() + (s + 1) * cols * depth);
          for (const float v : reference_nt(a_row, b_block, 1, cols, depth)) expected.push_back(v);
        }
    EXPECT_EQ(fetch<float>(h, out), expected);
    expect_guards(h, out);
  }
}

TEST_P(Matmul, NtBatchedEmptyShapesLeaveOutputAlone) {
  const std::vector<float> before = {1, 2, 3, 4};
  const auto oa = place<float>(h, {1, 2}, 0), ob = place<float>(h, {3, 4}, 0);
  const auto out = place(h, before, 0);
  for (const int zero_at : {0, 1, 2, 3}) {
    int32_t sizes[4] = {1, 1, 1, 1};
    sizes[zero_at] = zero_at == 2 ? -1 : 0;
    const qz_ypu_matmul_nt_batched_f32_params_t p{
        .out = out.buffer, .a = oa.buffer, .b = ob.buffer, .b_per_head = 1, .batch = sizes[0],
        .heads = sizes[1], .rows = sizes[2], .cols = sizes[3], .depth = 2};
    ASSERT_EQ(h.run(QZ_YPU_OP_MATMUL_NT_BATCHED_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<float>(h, out), before);
    expect_guards(h, out);
  }
}

TEST(MatmulFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const auto oa = place<float>(h, {1}), ob = place<float>(h, {1}), out = place<float>(h, {7});
  h.fake()->fail_map = true;
  const qz_ypu_matmul_nt_f32_params_t p{.out = out.buffer, .a = oa.buffer, .b = ob.buffer,
                                        .m = 1, .n = 1, .k = 1, .out_offset = out.offset,
                                        .a_offset = oa.offset, .b_offset = ob.offset};
  EXPECT_NE(h.run(QZ_YPU_OP_MATMUL_NT_F32, &p), QZ_STATUS_SUCCESS);
  const qz_ypu_matmul_nt_batched_f32_params_t batched{
      .out = out.buffer, .a = oa.buffer, .b = ob.buffer, .b_per_head = 1, .batch = 1,
      .heads = 1, .rows = 1, .cols = 1, .depth = 1};
  EXPECT_NE(h.run(QZ_YPU_OP_MATMUL_NT_BATCHED_F32, &batched), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<float>(h, out), std::vector<float>{7});
}

INSTANTIATE_TEST_SUITE_P(Backends, Matmul, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
