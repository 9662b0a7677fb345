// Cache writers and movers: the row quantisers (ring and linear caches), the
// left shift and the row gather.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "attention/reference.h"
#include "support/ypu_harness.h"
#include "ypu/host/attention.h"
#include "ypu/params.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// The row quantiser itself, on fixtures whose quotients are exact.

struct row_case {
  const char *name;
  std::vector<float> row;
  std::vector<uint16_t> codes;
  float slope, intercept;
};

void check_row_u8(const row_case &c) {
  std::vector<uint8_t> codes(c.row.size(), 0x5A);
  const qz_ypu_row_affine_t a =
      qz_ypu_quantize_row_u8(codes.data(), c.row.data(), int32_t(c.row.size()));
  EXPECT_EQ(bits(a.slope), bits(c.slope)) << c.name;
  EXPECT_EQ(bits(a.intercept), bits(c.intercept)) << c.name;
  EXPECT_EQ(std::vector<uint16_t>(codes.begin(), codes.end()), c.codes) << c.name;
}

TEST(RowQuantizer, U8CodesAndPairs) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  const row_case cases[] = {
      // Range 255: slope 1, halves round away from zero, extremes 0 and 255.
      {"unit slope", {0.f, 255.f, 1.5f, 2.5f, 100.f, 254.5f}, {0, 255, 2, 3, 100, 255}, 1.f, 0.f},
      {"shifted", {-10.f, 245.f, -8.5f, 0.f}, {0, 255, 2, 10}, 1.f, -10.f},
      {"min first", {-1.f, 1.f}, {0, 255}, 2.f / 255.f, -1.f},
      {"max first", {1.f, -1.f}, {255, 0}, 2.f / 255.f, -1.f},
      {"constant", {3.25f, 3.25f, 3.25f}, {0, 0, 0}, 0.f, 3.25f},
      {"single", {-7.f}, {0}, 0.f, -7.f},
      // NaN elements are skipped by the range and get code 0.
      {"nan inside", {0.f, kNaN, 255.f, 51.f}, {0, 0, 255, 51}, 1.f, 0.f},
      {"nan first", {kNaN, 255.f, 0.f}, {0, 255, 0}, 1.f, 0.f},
      // A range past the float maximum: infinite slope, NaN quotient at the top.
      {"overflowing range", {-3e38f, 3e38f}, {0, 0}, kInf, -3e38f},
      // A denormal range whose slope rounds down would overshoot code 255.
      {"denormal range", {0.f, 300 * tiny}, {0, 255}, tiny, 0.f},
      // Just under a half rounds down (adding 0.5 first would round it up).
      {"just under a half", {0.f, 255.f, 0.49999997f, 2.4999998f}, {0, 255, 0, 2}, 1.f, 0.f},
      // Zeros of both signs tie: the later one is the minimum, as with fminf.
      {"zero ties keep the later sign", {0.f, -0.f}, {0, 0}, 0.f, -0.f},
      {"zero ties, other order", {-0.f, 0.f}, {0, 0}, 0.f, 0.f},
      // Rows long enough to be quantised several elements at a time, each
      // rule above somewhere in the middle of a run.
      {"long row",
       {0.f, 255.f, 1.5f, 2.5f, 0.49999997f, 2.4999998f, kNaN, 254.5f, 100.f, 0.5f, 3.5f, 253.5f,
        kNaN, 7.f, 8.f, 9.f, 10.f},
       {0, 255, 2, 3, 0, 2, 0, 255, 100, 1, 4, 254, 0, 7, 8, 9, 10},
       1.f,
       0.f},
      {"long overflowing range", {-3e38f, 3e38f, 0.f, 1e38f, 3e38f, -3e38f, 2e38f, 5.f, 3e38f},
       {0, 0, 0, 0, 0, 0, 0, 0, 0}, kInf, -3e38f},
      {"long denormal range",
       {0.f, 300 * tiny, 300 * tiny, 0.f, 300 * tiny, 0.f, 0.f, 300 * tiny, 300 * tiny},
       {0, 255, 255, 0, 255, 0, 0, 255, 255}, tiny, 0.f},
      // Rows of 16 and more, whose range is found in several chains at once:
      // zero ties far apart keep the later sign, at either end of the range;
      // NaN elements at the chains' starts and in the tail are skipped.
      {"long zero ties", {-0.f, 5.f, 1.f, 2.f, 3.f, 4.f, 5.f, 6.f, 7.f, 8.f, 9.f, 10.f, 11.f,
                          12.f, 13.f, 14.f, 15.f, 0.f, 255.f, 1.f},
       {0, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 255, 1}, 1.f, 0.f},
      {"long zero ties, other order", {5.f, 0.f, 255.f, 3.f, 4.f, 5.f, 6.f, 7.f, -0.f, 9.f, 10.f,
                                       11.f, 12.f, 13.f, 14.f, 15.f, 16.f},
       {5, 0, 255, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 16}, 1.f, -0.f},
      {"long zero maximum", {-255.f, -0.f, -2.f, -3.f, -4.f, -5.f, -6.f, -7.f, -8.f, -9.f,
                             -10.f, -11.f, -12.f, -13.f, -14.f, -15.f, 0.f},
       {0, 255, 253, 252, 251, 250, 249, 248, 247, 246, 245, 244, 243, 242, 241, 240, 255},
       1.f, -255.f},
      {"long nan starts", {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, 1.f, 256.f, 2.f, 3.f,
                           4.f, 5.f, 6.f, 7.f, 8.f, kNaN},
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6, 7, 0}, 1.f, 1.f},
  };
  for (const row_case &c : cases) check_row_u8(c);

  std::vector<uint8_t> codes(3, 0x5A);
  const float all_nan[] = {kNaN, kNaN, kNaN};
  const qz_ypu_row_affine_t a = qz_ypu_quantize_row_u8(codes.data(), all_nan, 3);
  EXPECT_TRUE(std::isnan(a.slope) && std::isnan(a.intercept));
  EXPECT_EQ(codes, (std::vector<uint8_t>{0, 0, 0}));
  // All NaN in a long row: the first element's NaN, as in a short one.
  std::vector<float> long_nan(20, kNaN);
  long_nan[0] = -kNaN;
  std::vector<uint8_t> long_codes(20, 0x5A);
  const qz_ypu_row_affine_t b = qz_ypu_quantize_row_u8(long_codes.data(), long_nan.data(), 20);
  EXPECT_EQ(bits(b.intercept), bits(-kNaN));
  EXPECT_EQ(long_codes, std::vector<uint8_t>(20, 0));
}

TEST(RowQuantizer, U16CodesAndPairs) {
  const float row[] = {0.f, 65535.f, 0.5f, 32767.5f, 1000.f};
  std::vector<uint16_t> codes(5);
  const qz_ypu_row_affine_t a = qz_ypu_quantize_row_u16(codes.data(), row, 5);
  EXPECT_EQ(a.slope, 1.f);
  EXPECT_EQ(a.intercept, 0.f);
  EXPECT_EQ(codes, (std::vector<uint16_t>{0, 65535, 1, 32768, 1000}));
}

// Dequantising any row lands within half a step of every element.
TEST(RowQuantizer, RoundTripWithinHalfStep) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const std::vector<float> row = random_floats(33, seed, -4.f, float(seed));
    std::vector<uint8_t> c8(row.size());
    std::vector<uint16_t> c16(row.size());
    const qz_ypu_row_affine_t a8 = qz_ypu_quantize_row_u8(c8.data(), row.data(), 33);
    const qz_ypu_row_affine_t a16 = qz_ypu_quantize_row_u16(c16.data(), row.data(), 33);
    for (size_t i = 0; i < row.size(); ++i) {
      EXPECT_NEAR(c8[i] * a8.slope + a8.intercept, row[i], a8.slope * 0.5001) << seed;
      EXPECT_NEAR(c16[i] * a16.slope + a16.intercept, row[i], a16.slope * 0.51) << seed;
    }
  }
}

// ---------------------------------------------------------------------------
// Operations, on every backend (the fake one catches unfetched outputs).

class CacheOps : public testing::TestWithParam<ypu_backend> {};

// Ring writers put new row j of ring i at ring row (position + j) mod window
// and leave every other ring row as it was.
template <class Code>
void check_ring_writer(ypu_backend backend, uint32_t op, float divisor) {
  struct ring_case {
    int m, n, k, position, window;
  };
  const ring_case cases[] = {
      {2, 2, 3, 7, 8},    // lands in ring rows 7 and 0
      {1, 1, 4, 0, 5},
      {3, 4, 2, 3, 4},    // fills every row, wrapping
      {2, 6, 3, 1, 4},    // more rows than the ring: the last four remain
  };
  for (const ring_case &c : cases) {
    SCOPED_TRACE(testing::Message() << "m" << c.m << " n" << c.n << " k" << c.k << " pos"
                                    << c.position << " window" << c.window);
    ypu_harness h(backend);
    const std::vector<float> xf = random_floats(size_t(c.n) * c.m * c.k, 11 + c.n, -2.f, 3.f);
    const Code canary = Code(0x7B);
    const float slope_canary = -123.f, intercept_canary = 456.f;
    const size_t ring_rows = size_t(c.m) * c.window;
    qz_ypu_buffer_t *xq = h.buffer(std::vector<Code>(ring_rows * c.k, canary));
    qz_ypu_buffer_t *slope = h.buffer(std::vector<float>(ring_rows, slope_canary));
    qz_ypu_buffer_t *intercept = h.buffer(std::vector<float>(ring_rows, intercept_canary));
    const qz_ypu_quantize_rows_ring_params_t p{.xq = xq, .slope = slope, .intercept = intercept,
                                               .xf = h.buffer(xf), .m = c.m, .n = c.n,
                                               .k = c.k, .position = c.position,
                                               .window = c.window};
    ASSERT_EQ(h.run(op, &p), QZ_STATUS_SUCCESS);
    const auto codes = h.read<Code>(xq, ring_rows * c.k);
    const auto slopes = h.read<float>(slope, ring_rows);
    const auto intercepts = h.read<float>(intercept, ring_rows);

    // Which new row, if any, each ring row should hold (the last one wins).
    std::vector<int> source(ring_rows, -1);
    for (int i = 0; i < c.m; ++i)
      for (int j = 0; j < c.n; ++j) source[size_t(i) * c.window + (c.position + j) % c.window] = j;
    for (size_t r = 0; r < ring_rows; ++r) {
      const int i = int(r / c.window), j = source[r];
      if (j < 0) {
        EXPECT_EQ(slopes[r], slope_canary) << "ring row " << r;
        EXPECT_EQ(intercepts[r], intercept_canary) << "ring row " << r;
        for (int d = 0; d < c.k; ++d) EXPECT_EQ(codes[r * c.k + d], canary) << "ring row " << r;
        continue;
      }
      const float *x = &xf[(size_t(j) * c.m + i) * c.k];
      float lo = x[0], hi = x[0];
      for (int d = 1; d < c.k; ++d) lo = std::min(lo, x[d]), hi = std::max(hi, x[d]);
      EXPECT_EQ(intercepts[r], lo) << "ring row " << r;
      EXPECT_EQ(slopes[r], (hi - lo) / divisor) << "ring row " << r;
      for (int d = 0; d < c.k; ++d) {
        const Code code = codes[r * c.k + d];
        if (x[d] == lo) {
          EXPECT_EQ(code, 0);
        }
        if (x[d] == hi) {
          EXPECT_EQ(code, Code(divisor));
        }
        EXPECT_NEAR(code * slopes[r] + lo, x[d], slopes[r] * 0.51) << "ring row " << r;
      }
    }
  }
}

TEST_P(CacheOps, RingWriterU8) {
  check_ring_writer<uint8_t>(GetParam(), QZ_YPU_OP_QUANTIZE_ROWS_RING_U8, 255.f);
}

TEST_P(CacheOps, RingWriterU16) {
  check_ring_writer<uint16_t>(GetParam(), QZ_YPU_OP_QUANTIZE_ROWS_RING_U16, 65535.f);
}

TEST_P(CacheOps, RingWriterRefusesRingsWithoutRowsAndNegativePositions) {
  for (const auto &[position, window] : {std::pair{0, 0}, std::pair{0, -2}, std::pair{-1, 4}}) {
    ypu_harness h(GetParam());
    qz_ypu_buffer_t *xq = h.buffer(64, 0x11);
    const qz_ypu_quantize_rows_ring_params_t p{
        .xq = xq, .slope = h.buffer(64), .intercept = h.buffer(64),
        .xf = h.buffer(std::vector<float>(4, 1.f)), .m = 1, .n = 2, .k = 2,
        .position = position, .window = window};
    EXPECT_EQ(h.run(QZ_YPU_OP_QUANTIZE_ROWS_RING_U8, &p), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(h.read<uint8_t>(xq, 64), std::vector<uint8_t>(64, 0x11));
  }
}

// The linear-cache writer puts row j of entry i at cache row
// i x max_length + position + j, with its pair interleaved in xm.
TEST_P(CacheOps, LinearWriterPlacesRowsAndPairs) {
  ypu_harness h(GetParam());
  const int m = 2, n = 2, k = 3, max_length = 5, position = 1;
  // Two junk floats before the rows: xf_offset is in bytes.
  std::vector<float> xf = {99.f, 99.f};
  const std::vector<float> rows = {-1.f, 1.f, -1.f,   4.f, 4.f, 4.f,
                                   0.f, 255.f, 2.5f,  -3.f, 124.5f, 0.f};
  xf.insert(xf.end(), rows.begin(), rows.end());
  qz_ypu_buffer_t *xq = h.buffer(std::vector<uint8_t>(m * max_length * k, 0xEE));
  qz_ypu_buffer_t *xm = h.buffer(std::vector<float>(2 * m * max_length, -9.f));
  const qz_ypu_quantize_rows_u8_params_t p{.xq = xq, .xm = xm, .xf = h.buffer(xf),
                                           .max_length = max_length, .position = position,
                                           .m = m, .n = n, .k = k, .xf_offset = 8};
  ASSERT_EQ(h.run(QZ_YPU_OP_QUANTIZE_ROWS_U8, &p), QZ_STATUS_SUCCESS);
  const auto codes = h.read<uint8_t>(xq, m * max_length * k);
  const auto pairs = h.read<float>(xm, 2 * m * max_length);

  const uint8_t E = 0xEE;
  const std::vector<uint8_t> want_codes = {
      E, E, E,  0, 255, 0,  0, 0, 0,    E, E, E,  E, E, E,  // entry 0: rows 1, 2
      E, E, E,  0, 255, 3,  0, 255, 6,  E, E, E,  E, E, E   // entry 1: rows 6, 7
  };
  EXPECT_EQ(codes, want_codes);
  const float x = -9.f;
  const std::vector<float> want_pairs = {
      x, x,  2.f / 255.f, -1.f,  0.f, 4.f,  x, x,  x, x,
      x, x,  1.f, 0.f,  0.5f, -3.f,  x, x,  x, x};
  for (size_t i = 0; i < want_pairs.size(); ++i)
    EXPECT_EQ(bits(pairs[i]), bits(want_pairs[i])) << "pair float " << i;
  // The constant row dequantises exactly.
  EXPECT_EQ(codes[6] * pairs[4] + pairs[5], 4.f);
}

TEST_P(CacheOps, ShiftRowsLeft) {
  struct shift_case {
    int rows, row_bytes, shift;
  };
  const shift_case cases[] = {{2, 8, 0}, {2, 8, 8}, {2, 8, 3}, {3, 5, 1}, {1, 4, 4}, {0, 4, 9}};
  for (const shift_case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " rows of " << c.row_bytes << " shift " << c.shift);
    ypu_harness h(GetParam());
    std::vector<uint8_t> data(size_t(std::max(c.rows, 1)) * c.row_bytes + 4);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
    qz_ypu_buffer_t *b = h.buffer(data);
    const qz_ypu_shift_rows_left_params_t p{.data = b, .rows = c.rows, .row_bytes = c.row_bytes,
                                            .shift_bytes = c.shift};
    ASSERT_EQ(h.run(QZ_YPU_OP_SHIFT_ROWS_LEFT, &p), QZ_STATUS_SUCCESS);
    std::vector<uint8_t> want = data;
    for (int r = 0; r < c.rows; ++r)
      for (int i = 0; i + c.shift < c.row_bytes; ++i)
        want[size_t(r) * c.row_bytes + i] = data[size_t(r) * c.row_bytes + i + c.shift];
    EXPECT_EQ(h.read<uint8_t>(b, data.size()), want);
  }
}

// A shift past either end of the row would move a negative byte count.
TEST_P(CacheOps, ShiftRowsLeftRefusesShiftsOutsideTheRow) {
  for (const int shift : {9, -1}) {
    ypu_harness h(GetParam());
    const std::vector<uint8_t> data = random_bytes(16, 3);
    qz_ypu_buffer_t *b = h.buffer(data);
    const qz_ypu_shift_rows_left_params_t p{.data = b, .rows = 2, .row_bytes = 8,
                                            .shift_bytes = shift};
    EXPECT_EQ(h.run(QZ_YPU_OP_SHIFT_ROWS_LEFT, &p), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(h.read<uint8_t>(b, 16), data);
  }
}

TEST_P(CacheOps, GatherRowsReordersAndKeepsTheRest) {
  ypu_harness h(GetParam());
  const int n = 5;
  const std::vector<uint8_t> input = random_bytes(4 * n, 9);
  const std::vector<int32_t> index = {3, 0, 3};
  // The output holds one row more than is gathered: it must keep its bytes.
  qz_ypu_buffer_t *out = h.buffer(std::vector<uint8_t>(4 * n, 0xC3));
  const qz_ypu_gather_rows_params_t p{.output = out, .input = h.buffer(input),
                                      .index = h.buffer(index), .m = 3, .n = n};
  ASSERT_EQ(h.run(QZ_YPU_OP_GATHER_ROWS, &p), QZ_STATUS_SUCCESS);
  std::vector<uint8_t> want(4 * n, 0xC3);
  for (int i = 0; i < 3; ++i)
    std::copy_n(input.begin() + index[i] * n, n, want.begin() + i * n);
  EXPECT_EQ(h.read<uint8_t>(out, 4 * n), want);
}

INSTANTIATE_TEST_SUITE_P(Backends, CacheOps, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
