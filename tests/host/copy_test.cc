#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host/operand.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using host_test::expect_guards;
using host_test::fetch;
using host_test::operand;
using host_test::place;

std::vector<uint8_t> byte_ramp(size_t count, int start) {
  std::vector<uint8_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = uint8_t(start + i * 3);
  return v;
}

class Copy : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
};

// Odd byte counts and offsets that are not multiples of 4: copies are in
// bytes, never in elements.
TEST_P(Copy, CopyBytesCopiesExactlyCountBytes) {
  for (const int32_t count : {0, -3, 1, 7}) {
    SCOPED_TRACE(count);
    const std::vector<uint8_t> src = byte_ramp(9, 1), dst = byte_ramp(9, 100);
    const operand in = place(h, src, 5), out = place(h, dst, 3);
    const qz_ypu_copy_bytes_params_t p{.out = out.buffer, .in = in.buffer, .count = count,
                                       .out_offset = out.offset + 1, .in_offset = in.offset + 2};
    ASSERT_EQ(h.run(QZ_YPU_OP_COPY_BYTES, &p), QZ_STATUS_SUCCESS);
    std::vector<uint8_t> expected = dst;
    if (count > 0) std::memcpy(expected.data() + 1, src.data() + 2, size_t(count));
    EXPECT_EQ(fetch<uint8_t>(h, out), expected);
    expect_guards(h, out);
  }
}

TEST_P(Copy, FillZeroClearsExactlyCountBytes) {
  for (const int32_t count : {0, -1, 5}) {
    SCOPED_TRACE(count);
    const std::vector<uint8_t> before = byte_ramp(8, 1);
    const operand data = place(h, before, 7);
    const qz_ypu_fill_zero_params_t p{.data = data.buffer, .count = count,
                                      .offset = data.offset + 2};
    ASSERT_EQ(h.run(QZ_YPU_OP_FILL_ZERO, &p), QZ_STATUS_SUCCESS);
    std::vector<uint8_t> expected = before;
    if (count > 0) std::memset(expected.data() + 2, 0, size_t(count));
    EXPECT_EQ(fetch<uint8_t>(h, data), expected);
    expect_guards(h, data);
  }
}

struct pad_shape {
  int32_t batch, out_rows, out_cols, in_rows, in_cols, depth;
};

TEST_P(Copy, ZeroPad2dCopiesTheInputAndZeroesTheRest) {
  const pad_shape shapes[] = {
      {2, 2, 3, 2, 3, 2},  // same size: a plain copy
      {2, 3, 4, 2, 3, 2},  // larger: extra rows and columns become zero
      {1, 2, 2, 3, 3, 1},  // smaller: the leading block of each batch element
      {1, 2, 2, 0, 2, 3},  // no input rows: all zero
  };
  for (const auto &s : shapes) {
    SCOPED_TRACE(testing::Message() << s.out_rows << "x" << s.out_cols << " from " << s.in_rows
                                    << "x" << s.in_cols);
    std::vector<uint32_t> in(size_t(s.batch) * s.in_rows * s.in_cols * s.depth);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint32_t(1000 + i);
    const operand oi = place(h, in, 0);
    const size_t out_count = size_t(s.batch) * s.out_rows * s.out_cols * s.depth;
    const operand out = place(h, std::vector<uint32_t>(out_count, 0xDDDDDDDDu), 0);
    const qz_ypu_zero_pad_2d_params_t p{.out = out.buffer, .in = oi.buffer, .batch = s.batch,
                                        .out_rows = s.out_rows, .out_cols = s.out_cols,
                                        .in_rows = s.in_rows, .in_cols = s.in_cols,
                                        .depth = s.depth};
    ASSERT_EQ(h.run(QZ_YPU_OP_ZERO_PAD_2D, &p), QZ_STATUS_SUCCESS);
    std::vector<uint32_t> expected;
    for (int b = 0; b < s.batch; ++b)
      for (int r = 0; r < s.out_rows; ++r)
        for (int q = 0; q < s.out_cols; ++q)
          for (int d = 0; d < s.depth; ++d)
            expected.push_back(r < s.in_rows && q < s.in_cols
                                   ? in[((b * s.in_rows + r) * s.in_cols + q) * s.depth + d]
                                   : 0u);
    EXPECT_EQ(fetch<uint32_t>(h, out), expected);
    expect_guards(h, out);
  }
}

TEST_P(Copy, ZeroPad2dWithoutOutputWritesNothing) {
  const std::vector<uint32_t> before = {5, 6, 7, 8};
  for (const pad_shape &s : {pad_shape{0, 2, 2, 2, 2, 1}, {1, 0, 2, 2, 2, 1},
                             {1, 2, -1, 2, 2, 1}}) {
    const operand in = place<uint32_t>(h, {1, 2, 3, 4}, 0), out = place(h, before, 0);
    const qz_ypu_zero_pad_2d_params_t p{out.buffer, in.buffer, s.batch, s.out_rows,
                                        s.out_cols, s.in_rows, s.in_cols, s.depth};
    ASSERT_EQ(h.run(QZ_YPU_OP_ZERO_PAD_2D, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<uint32_t>(h, out), before);
    expect_guards(h, out);
  }
}

TEST_P(Copy, TransposeEveryBlockForEveryElementSize) {
  struct transpose_case {
    int32_t batch, rows, cols, element_bytes;
  } cases[] = {
      {2, 3, 2, 1}, {2, 3, 2, 2}, {1, 2, 5, 4}, {3, 3, 2, 8}, {1, 2, 2, 3},
      {2, 1, 4, 4},  // one row: the block is copied unchanged
      {2, 4, 1, 2},  // one column: likewise
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.batch << "x" << c.rows << "x" << c.cols << " of "
                                    << c.element_bytes);
    const size_t size = size_t(c.element_bytes);
    const std::vector<uint8_t> in = byte_ramp(size_t(c.batch) * c.rows * c.cols * size, 7);
    const operand oi = place(h, in, 0), out = place(h, std::vector<uint8_t>(in.size(), 0xEE), 0);
    const qz_ypu_transpose_params_t p{.out = out.buffer, .in = oi.buffer, .batch = c.batch,
                                      .cols = c.cols, .rows = c.rows,
                                      .element_bytes = c.element_bytes};
    ASSERT_EQ(h.run(QZ_YPU_OP_TRANSPOSE, &p), QZ_STATUS_SUCCESS);
    std::vector<uint8_t> expected(in.size());
    for (int b = 0; b < c.batch; ++b)
      for (int k = 0; k < c.rows; ++k)
        for (int j = 0; j < c.cols; ++j)
          std::memcpy(&expected[((b * c.cols + j) * c.rows + k) * size],
                      &in[((b * c.rows + k) * c.cols + j) * size], size);
    EXPECT_EQ(fetch<uint8_t>(h, out), expected);
    if (c.rows == 1 || c.cols == 1) {
      EXPECT_EQ(expected, in);
    }
    expect_guards(h, out);
  }
}

struct block_shape {
  int32_t batch, rows, sub_rows, in_rows, in_sub_rows, width;
};

TEST_P(Copy, CopyBlockTakesTheLeadingSubBlocks) {
  const block_shape shapes[] = {
      {2, 2, 1, 3, 2, 3},  // fewer rows and sub-rows than the input
      {1, 3, 2, 3, 2, 2},  // the whole input
  };
  for (const auto &s : shapes) {
    std::vector<float> in(size_t(s.batch) * s.in_rows * s.in_sub_rows * s.width);
    for (size_t i = 0; i < in.size(); ++i) in[i] = float(i) + 0.5f;
    const operand oi = place(h, in, 0);
    const size_t count = size_t(s.batch) * s.rows * s.sub_rows * s.width;
    const operand out = place(h, std::vector<float>(count, -1.0f), 0);
    const qz_ypu_copy_block_params_t p{.out = out.buffer, .in = oi.buffer, .batch = s.batch,
                                       .rows = s.rows, .sub_rows = s.sub_rows,
                                       .in_rows = s.in_rows, .in_sub_rows = s.in_sub_rows,
                                       .width = s.width};
    ASSERT_EQ(h.run(QZ_YPU_OP_COPY_BLOCK, &p), QZ_STATUS_SUCCESS);
    std::vector<float> expected;
    for (int b = 0; b < s.batch; ++b)
      for (int r = 0; r < s.rows; ++r)
        for (int e = 0; e < s.sub_rows * s.width; ++e)
          expected.push_back(in[((b * s.in_rows + r) * s.in_sub_rows) * s.width + e]);
    EXPECT_EQ(fetch<float>(h, out), expected);
    expect_guards(h, out);
  }
}

// Rows or sub-rows beyond the input's would read outside its blocks;
// shapes without work succeed and write nothing.
TEST_P(Copy, CopyBlockChecksItsShape) {
  const std::vector<float> before(8, -1.0f);
  const struct {
    block_shape shape;
    qz_status_t status;
  } cases[] = {
      {{1, 3, 1, 2, 2, 2}, QZ_STATUS_INVALID_ARGUMENT},
      {{1, 1, 3, 2, 2, 2}, QZ_STATUS_INVALID_ARGUMENT},
      {{1, 0, 1, 2, 2, 2}, QZ_STATUS_SUCCESS},
      {{0, 1, 1, 2, 2, 2}, QZ_STATUS_SUCCESS},
      {{1, 1, -2, 2, 2, -2}, QZ_STATUS_SUCCESS},
  };
  for (const auto &c : cases) {
    const block_shape &s = c.shape;
    const operand in = place(h, std::vector<float>(8, 3.0f), 0), out = place(h, before, 0);
    const qz_ypu_copy_block_params_t p{out.buffer,  in.buffer,     s.batch, s.rows,
                                       s.sub_rows, s.in_rows,      s.in_sub_rows, s.width};
    EXPECT_EQ(h.run(QZ_YPU_OP_COPY_BLOCK, &p), c.status);
    EXPECT_EQ(fetch<float>(h, out), before);
    expect_guards(h, out);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Copy, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST(CopyFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const std::vector<uint32_t> words = {1, 2, 3, 4};
  const operand in = place(h, words, 0), out = place(h, words, 0);
  const qz_ypu_copy_bytes_params_t copy{out.buffer, in.buffer, 4, 0, 0};
  const qz_ypu_fill_zero_params_t fill{out.buffer, 4, 0};
  const qz_ypu_zero_pad_2d_params_t pad{out.buffer, in.buffer, 1, 1, 1, 1, 1, 1};
  const qz_ypu_transpose_params_t transpose{out.buffer, in.buffer, 1, 2, 2, 4};
  const qz_ypu_copy_block_params_t block{out.buffer, in.buffer, 1, 1, 1, 1, 1, 1};
  h.fake()->fail_map = true;
  EXPECT_NE(h.run(QZ_YPU_OP_COPY_BYTES, &copy), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_FILL_ZERO, &fill), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_ZERO_PAD_2D, &pad), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_TRANSPOSE, &transpose), QZ_STATUS_SUCCESS);
  EXPECT_NE(h.run(QZ_YPU_OP_COPY_BLOCK, &block), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<uint32_t>(h, out), words);
}

}  // namespace
