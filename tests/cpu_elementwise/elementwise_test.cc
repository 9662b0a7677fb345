#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_elementwise/runner.h"
#include "ypu/params.h"

namespace {

// Around each kernel's step (4, 8, 16), plus vectors long enough to be split
// over the pool: 262152 gives two items of 131076 (a multiple of 4, not of
// 8), 786432 three items of whole 16-value steps, 393219 three odd-length items.
constexpr int32_t kAddSizes[] = {1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 262152, 786432, 393219};

std::vector<int16_t> random_i16(size_t count, uint32_t seed) {
  std::vector<int16_t> v(count);
  for (int16_t &x : v) x = static_cast<int16_t>(next_random(seed) >> 16);
  return v;
}

// Runs a two-input addition; `in_place` writes the sum over the first input.
template <class T>
std::vector<T> run_add(int32_t threads, uint32_t isa, uint32_t op, const std::vector<T> &a,
                       const std::vector<T> &b, bool in_place) {
  op_runner r(threads, isa);
  const slot sa = r.input(a), sb = r.input(b);
  const slot so = in_place ? sa : r.output<T>(a.size());
  const qz_ypu_two_input_params_t p{so.buffer, sa.buffer, sb.buffer,
                                    static_cast<int32_t>(a.size()), so.offset, sa.offset,
                                    sb.offset};
  EXPECT_EQ(r.run(op, &p), QZ_STATUS_SUCCESS);
  return r.result<T>(so);
}

class Additions : public testing::TestWithParam<isa_variant> {};

TEST_P(Additions, FloatSumsEqualTheHostBitForBit) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  for (int32_t n : kAddSizes) {
    const uint32_t seed = 1000u + n;
    auto a = random_floats(n, seed, -1e3f, 1e3f), b = random_floats(n, seed + 7, -1e3f, 1e3f);
    // Special values travel through every lane position.
    a[0] = std::numeric_limits<float>::infinity();
    if (n > 2) b[n / 2] = std::numeric_limits<float>::quiet_NaN();
    const auto want = run_add(0, 0, QZ_YPU_OP_ADD_F32, a, b, false);
    for (int32_t threads : kThreadCounts)
      for (bool in_place : {false, true}) {
        SCOPED_TRACE(testing::Message() << "n=" << n << " seed=" << seed << " threads="
                                        << threads << " in_place=" << in_place);
        EXPECT_TRUE(same_bits(run_add(threads, GetParam().mask, QZ_YPU_OP_ADD_F32, a, b, in_place),
                              want));
      }
  }
}

TEST_P(Additions, SaturatingSumsEqualTheHost) {
  SKIP_UNLESS_SUPPORTED(GetParam());
  for (int32_t n : kAddSizes) {
    const uint32_t seed = 2000u + n;
    auto a = random_i16(n, seed), b = random_i16(n, seed + 3);
    // Both clamps, at the first and last element (lane 0 and the tail).
    a[n - 1] = -32768, b[n - 1] = -1;
    a[0] = 32767, b[0] = 1;
    const auto want = run_add(0, 0, QZ_YPU_OP_ADD_SAT_I16, a, b, false);
    ASSERT_EQ(want[0], 32767);
    if (n > 1) {
      ASSERT_EQ(want[n - 1], -32768);
    }
    for (int32_t threads : kThreadCounts)
      for (bool in_place : {false, true}) {
        SCOPED_TRACE(testing::Message() << "n=" << n << " seed=" << seed << " threads="
                                        << threads << " in_place=" << in_place);
        EXPECT_EQ(run_add(threads, GetParam().mask, QZ_YPU_OP_ADD_SAT_I16, a, b, in_place), want);
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Cpu, Additions, testing::ValuesIn(kIsaVariants), variant_name);

TEST(Additions, EmptyVectorWritesNothing) {
  op_runner r(4, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41);
  const slot a = r.input(std::vector<float>{1.0f}), o = r.output<float>(1);
  const qz_ypu_two_input_params_t p{o.buffer, a.buffer, a.buffer, 0, o.offset, a.offset, a.offset};
  EXPECT_EQ(r.run(QZ_YPU_OP_ADD_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_TRUE(std::isnan(r.result<float>(o)[0]));
}

// Column groups of four then the tail columns; every element one product.
TEST(MulRow, EqualsTheHostForEveryWidthAndThreadCount) {
  const int32_t shapes[][2] = {{1, 1}, {3, 4}, {2, 5}, {5, 7}, {4, 8}, {7, 9}, {1, 33}, {64, 256}};
  for (const auto &shape : shapes) {
    const int32_t rows = shape[0], cols = shape[1];
    const uint32_t seed = 3000u + rows * 100 + cols;
    const auto a = random_floats(size_t(rows) * cols, seed), v = random_floats(cols, seed + 1);
    auto run = [&](int32_t threads, bool in_place) {
      op_runner r(threads, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41);
      const slot sa = r.input(a), sv = r.input(v);
      const slot so = in_place ? sa : r.output<float>(a.size());
      const qz_ypu_broadcast_params_t p{so.buffer, sa.buffer, sv.buffer, rows,
                                        cols,      so.offset, sa.offset, sv.offset};
      EXPECT_EQ(r.run(QZ_YPU_OP_MUL_ROW_F32, &p), QZ_STATUS_SUCCESS);
      return r.result<float>(so);
    };
    const auto want = run(0, false);
    // An independent check of the host: a[r][j] * v[j].
    for (int32_t i = 0; i < rows; ++i)
      for (int32_t j = 0; j < cols; ++j)
        ASSERT_EQ(want[size_t(i) * cols + j], a[size_t(i) * cols + j] * v[j]);
    for (int32_t threads : kThreadCounts)
      for (bool in_place : {false, true}) {
        SCOPED_TRACE(testing::Message() << rows << "x" << cols << " threads=" << threads
                                        << " in_place=" << in_place);
        EXPECT_TRUE(same_bits(run(threads, in_place), want));
      }
  }
}

}  // namespace
