// The CPU row quantisation (op 55) and column affine map (op 81) against the
// host implementations: the same int16 and float bytes for every forced
// instruction set and thread count.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

using namespace cpu_fixed;

class CpuFixedQuantize : public testing::TestWithParam<isa_case> {
 protected:
  void SetUp() override { QZ_SKIP_WITHOUT_SETS(GetParam().mask); }
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Rows of several kinds, cycling: random, all zeros, a magnitude too small
// for 31 / m (t infinite), one small enough that 1024 t overflows while
// (x t) 1024 does not, an infinity, a NaN among finite values.
std::vector<float> rows_of_kinds(std::mt19937 &rng, int32_t rows, int32_t cols) {
  std::uniform_real_distribution<float> any(-3.0f, 3.0f);
  std::vector<float> v;
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t j = 0; j < cols; ++j) {
      float x = any(rng);
      switch (r % 6) {
        case 1: x = 0.0f; break;
        case 2: x = j == 0 ? 1e-39f : j % 3 == 0 ? 0.0f : -5e-40f; break;
        case 3: x = j == cols - 1 ? 5e-35f : j % 2 ? 0.0f : x * 1e-36f; break;
        case 4: x = j == cols / 2 ? -kInf : x; break;
        case 5: x = j == cols / 2 ? kNaN : x; break;
      }
      v.push_back(x);
    }
  return v;
}

qz_ypu_quantize_rows_i16_params_t quantize_params(qz_ypu_buffer_t *const *b, int32_t rows,
                                                  int32_t cols) {
  return {b[0], b[1], b[2], rows, cols, 2, 8, 4};
}

TEST_P(CpuFixedQuantize, RowsMatchHost) {
  same_as_host check(GetParam().mask);
  for (int32_t cols : {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 33})
    for (int32_t rows : {1, 3, 6, 13}) {
      const uint32_t seed = 8000 + rows * 50 + cols;
      std::mt19937 rng(seed);
      const size_t count = size_t(rows) * (cols > 0 ? cols : 0);
      // Outputs pre-filled with junk and factors with NaN: everything must be written.
      const std::vector<operand> operands = {
          make_operand(random_values<int16_t>(rng, count), 2),
          make_operand(std::vector<float>(rows, kNaN), 8),
          make_operand(rows_of_kinds(rng, rows, cols > 0 ? cols : 0), 4)};
      check.add<qz_ypu_quantize_rows_i16_params_t>(
          "rows " + std::to_string(rows) + " cols " + std::to_string(cols) + " seed " +
              std::to_string(seed),
          QZ_YPU_OP_QUANTIZE_ROWS_I16, operands,
          [=](qz_ypu_buffer_t *const *b) { return quantize_params(b, rows, cols); });
    }
}

// The documented row {1, -0.5, 0.25}: t = 31; a zero row gives zeros and
// factor 0 at lengths that take the SIMD steps.
TEST_P(CpuFixedQuantize, RowFixtures) {
  same_as_host check(GetParam().mask);
  const run_result r = check.add<qz_ypu_quantize_rows_i16_params_t>(
      "documented row", QZ_YPU_OP_QUANTIZE_ROWS_I16,
      {make_operand(std::vector<int16_t>(3, 1), 2), make_operand(std::vector<float>{kNaN}, 8),
       make_operand(std::vector<float>{1.0f, -0.5f, 0.25f}, 4)},
      [](qz_ypu_buffer_t *const *b) { return quantize_params(b, 1, 3); });
  EXPECT_EQ(operand_values<int16_t>(r.buffers[0], 2, 3), (std::vector<int16_t>{31744, -15872, 7936}));
  EXPECT_EQ(operand_values<float>(r.buffers[1], 8, 1)[0], 1.0f / (31.0f * 131072.0f));
  for (int32_t cols : {8, 16, 24}) {
    const run_result z = check.add<qz_ypu_quantize_rows_i16_params_t>(
        "zero row " + std::to_string(cols), QZ_YPU_OP_QUANTIZE_ROWS_I16,
        {make_operand(std::vector<int16_t>(cols, -7), 2), make_operand(std::vector<float>{kNaN}, 8),
         make_operand(std::vector<float>(cols, 0.0f), 4)},
        [=](qz_ypu_buffer_t *const *b) { return quantize_params(b, 1, cols); });
    EXPECT_EQ(operand_values<int16_t>(z.buffers[0], 2, cols), std::vector<int16_t>(cols, 0));
    EXPECT_EQ(operand_values<float>(z.buffers[1], 8, 1)[0], 0.0f);
  }
}

qz_ypu_affine_columns_i16_params_t affine_params(qz_ypu_buffer_t *const *b, int32_t rows,
                                                 int32_t cols) {
  return {b[0], b[1], b[2], b[3], rows, cols, 6, 2};
}

// Columns around the 8- and 16-column steps (24 takes the 8-column kernel on
// an AVX2 processor, 20 the plain task); 3000 rows make two items of 1500.
TEST_P(CpuFixedQuantize, AffineColumnsMatchHost) {
  same_as_host check(GetParam().mask);
  struct shape {
    int32_t rows, cols;
  };
  const shape shapes[] = {{1, 1},  {3, 7},  {3, 8},  {5, 16}, {4, 17}, {6, 20},
                          {6, 24}, {2, 32}, {3000, 8}, {2100, 16}, {0, 8}};
  for (const shape &s : shapes) {
    const uint32_t seed = 9000 + s.rows + s.cols;
    std::mt19937 rng(seed);
    const size_t count = size_t(s.rows) * s.cols;
    const std::vector<operand> operands = {make_operand(random_values<int16_t>(rng, count), 6),
                                           make_operand(random_values<int16_t>(rng, count), 2),
                                           make_operand(random_values<int16_t>(rng, s.cols)),
                                           make_operand(random_values<int16_t>(rng, s.cols))};
    check.add<qz_ypu_affine_columns_i16_params_t>(
        "rows " + std::to_string(s.rows) + " cols " + std::to_string(s.cols) + " seed " +
            std::to_string(seed),
        QZ_YPU_OP_AFFINE_COLUMNS_I16, operands,
        [=](qz_ypu_buffer_t *const *b) { return affine_params(b, s.rows, s.cols); });
  }
}

// Differences beyond int16 saturate after the shift, in every column kernel.
TEST_P(CpuFixedQuantize, AffineExtremes) {
  same_as_host check(GetParam().mask);
  for (int32_t cols : {8, 16, 20}) {
    std::vector<int16_t> in, offsets, scales;
    for (int32_t j = 0; j < cols; ++j) {
      in.push_back(j % 2 ? INT16_MAX : INT16_MIN);
      offsets.push_back(j % 2 ? INT16_MIN : INT16_MAX);
      scales.push_back(j % 4 < 2 ? 1024 : INT16_MIN);
    }
    const run_result r = check.add<qz_ypu_affine_columns_i16_params_t>(
        "extremes " + std::to_string(cols), QZ_YPU_OP_AFFINE_COLUMNS_I16,
        {make_operand(std::vector<int16_t>(cols, 5), 6), make_operand(in, 2),
         make_operand(offsets), make_operand(scales)},
        [=](qz_ypu_buffer_t *const *b) { return affine_params(b, 1, cols); });
    const std::vector<int16_t> got = operand_values<int16_t>(r.buffers[0], 6, cols);
    for (int32_t j = 0; j < cols; ++j) {
      // -65535 x 1024 or 65535 x 1024, and with scale -32768 the opposite sign.
      const bool positive = (j % 2 == 1) == (j % 4 < 2);
      EXPECT_EQ(got[j], positive ? INT16_MAX : INT16_MIN) << "column " << j;
    }
  }
}

QZ_CPU_FIXED_ISA_CASES(CpuFixedQuantize);

}  // namespace
