// The CPU 1-D convolutions against the host implementations: the same int32
// bytes for every forced instruction set and thread count, guards included.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "compare.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

using namespace cpu_fixed;

class CpuFixedConv : public testing::TestWithParam<isa_case> {
 protected:
  void SetUp() override { QZ_SKIP_WITHOUT_SETS(GetParam().mask); }
};

// Extreme fills make every product -32768 x -128 = 2^22, so long runs wrap
// the 32-bit sums.
template <class T>
std::vector<T> fill(std::mt19937 &rng, size_t count, bool extreme) {
  if (extreme) return std::vector<T>(count, std::numeric_limits<T>::min());
  return random_values<T>(rng, count);
}

TEST_P(CpuFixedConv, DepthwiseAccumulateMatchesHost) {
  struct shape {
    int32_t rows, channels, taps;
    bool extreme;
  };
  // Channels around the 8- and 16-lane steps (24 takes the 8-lane kernel on
  // an AVX2 processor, 20 the plain task).
  const shape shapes[] = {{1, 1, 2, false},  {5, 7, 3, false},  {5, 8, 3, false},
                          {3, 9, 1, false},  {9, 16, 3, false}, {4, 17, 2, false},
                          {6, 24, 3, false}, {6, 20, 4, false}, {7, 32, 5, false},
                          {2, 33, 3, false}, {1, 16, 1, false}, {3, 16, 700, true},
                          {0, 16, 3, false}, {4, 16, 0, false}};
  same_as_host check(GetParam().mask);
  for (const shape &s : shapes) {
    const uint32_t seed = 1000 + s.rows * 31 + s.channels * 7 + s.taps;
    const std::string label = (testing::Message() << "rows " << s.rows << " channels " << s.channels << " taps "
                                    << s.taps << " seed " << seed).GetString();
    std::mt19937 rng(seed);
    const size_t k = s.channels, rows = s.rows > 0 ? s.rows : 0, taps = s.taps > 0 ? s.taps : 0;
    const std::vector<operand> operands = {
        make_operand(random_values<int32_t>(rng, rows * k), 8),  // added into
        make_operand(fill<int8_t>(rng, taps * k, s.extreme), 3),
        make_operand(fill<int16_t>(rng, (rows + taps + (taps ? 0 : 1) - 1) * k, s.extreme), 6)};
    check.add<qz_ypu_dwconv1d_acc_i8i16_params_t>(
        label, QZ_YPU_OP_DWCONV1D_ACC_I8I16, operands, [=](qz_ypu_buffer_t *const *b) {
          return qz_ypu_dwconv1d_acc_i8i16_params_t{b[0], b[1], b[2], s.rows, s.channels, s.taps,
                                                    8, 3, 6};
        });
  }
}

TEST_P(CpuFixedConv, FullConvolutionMatchesHost) {
  struct shape {
    int32_t rows, out_channels, in_channels, taps;
    bool extreme;
  };
  std::vector<shape> shapes;
  // Four-channel blocks (4, 8) and not (6); lengths taps x in_channels
  // around 8 and 16; one tap (the matrix-product task); odd row counts leave
  // a last row alone in the two-row kernels.
  for (int32_t m : {4, 6, 8})
    for (int32_t f : {1, 5, 8, 16})
      for (int32_t taps : {0, 1, 3, 4})
        for (int32_t rows : {1, 2, 5}) shapes.push_back({rows, m, f, taps, false});
  shapes.push_back({3, 4, 16, 70, true});  // 1120 products of 2^22: the sums wrap
  shapes.push_back({9, 8, 32, 1, false});
  same_as_host check(GetParam().mask);
  for (const shape &s : shapes) {
    const uint32_t seed = 2000 + s.rows * 131 + s.out_channels * 17 + s.in_channels * 5 + s.taps;
    const std::string label = (testing::Message() << "rows " << s.rows << " out " << s.out_channels << " in "
                                    << s.in_channels << " taps " << s.taps << " seed " << seed).GetString();
    std::mt19937 rng(seed);
    const size_t in_rows = s.rows + (s.taps > 0 ? s.taps : 1) - 1;
    const std::vector<operand> operands = {
        make_operand(random_values<int32_t>(rng, size_t(s.rows) * s.out_channels), 4),
        make_operand(fill<int8_t>(rng, size_t(s.out_channels) * s.taps * s.in_channels, s.extreme),
                     5),
        make_operand(fill<int16_t>(rng, in_rows * s.in_channels, s.extreme), 2)};
    check.add<qz_ypu_conv1d_i8i16_params_t>(
        label, QZ_YPU_OP_CONV1D_I8I16, operands, [=](qz_ypu_buffer_t *const *b) {
          return qz_ypu_conv1d_i8i16_params_t{
              b[0], b[1], b[2], s.rows, s.out_channels, s.in_channels, s.taps, 4, 5, 2};
        });
  }
}

// Negative taps or input channels give the empty sum (zeros), as on the host,
// even where their product is a positive multiple of the SIMD step.
TEST_P(CpuFixedConv, FullConvolutionWithNegativeSizesWritesZeros) {
  same_as_host check(GetParam().mask);
  const std::vector<operand> operands = {make_operand(std::vector<int32_t>(2 * 4, 77), 4),
                                         make_operand(std::vector<int8_t>(64, 1)),
                                         make_operand(std::vector<int16_t>(64, 1))};
  const run_result r = check.add<qz_ypu_conv1d_i8i16_params_t>(
      "negative taps and in_channels", QZ_YPU_OP_CONV1D_I8I16, operands, [](qz_ypu_buffer_t *const *b) {
        return qz_ypu_conv1d_i8i16_params_t{b[0], b[1], b[2], 2, 4, -4, -4, 4, 0, 0};
      });
  EXPECT_EQ(operand_values<int32_t>(r.buffers[0], 4, 8), std::vector<int32_t>(8, 0));
}

struct transposed_shape {
  int32_t rows, channels, taps, stride;
};

qz_ypu_dwconv1d_transposed_i8i16_params_t transposed_params(qz_ypu_buffer_t *const *b,
                                                            const transposed_shape &s) {
  return {b[0], b[1], b[2], s.rows, s.channels, s.taps, s.stride, 12, 1, 2};
}

std::vector<operand> transposed_operands(std::mt19937 &rng, const transposed_shape &s,
                                         const std::vector<int32_t> &out) {
  return {make_operand(out, 12), make_operand(random_values<int8_t>(rng, size_t(s.taps) * s.channels), 1),
          make_operand(random_values<int16_t>(rng, size_t(s.rows) * s.channels), 2)};
}

size_t transposed_out_count(const transposed_shape &s) {
  return (size_t(s.rows) - 1) * s.stride + s.taps;
}

// On a zeroed output the overwriting CPU kernels and the accumulating host
// loop agree. Strides 5 and 6 leave phases beyond the four-phase blocks.
TEST_P(CpuFixedConv, TransposedMatchesHostOnZeroedOutput) {
  std::vector<transposed_shape> shapes;
  for (int32_t k : {1, 8, 16, 20, 24, 32})
    for (transposed_shape s : {transposed_shape{1, k, 1, 1}, {5, k, 3, 1}, {4, k, 4, 2},
                               {3, k, 6, 3}, {6, k, 8, 4}, {2, k, 10, 5}, {3, k, 12, 6},
                               {7, k, 2, 2}})
      shapes.push_back(s);
  same_as_host check(GetParam().mask);
  for (const transposed_shape &s : shapes) {
    const uint32_t seed = 3000 + s.rows * 71 + s.channels * 13 + s.taps * 3 + s.stride;
    const std::string label = (testing::Message() << "rows " << s.rows << " channels " << s.channels << " taps "
                                    << s.taps << " stride " << s.stride << " seed " << seed).GetString();
    std::mt19937 rng(seed);
    const std::vector<int32_t> zeros(transposed_out_count(s) * s.channels, 0);
    check.add<qz_ypu_dwconv1d_transposed_i8i16_params_t>(
        label, QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, transposed_operands(rng, s, zeros),
        [=](qz_ypu_buffer_t *const *b) { return transposed_params(b, s); });
  }
}

// The one stated difference: when taps are a multiple of the stride the CPU
// kernels overwrite the output rows (the host adds into them); otherwise,
// and for strides below 1, the call goes to the host, which adds.
TEST_P(CpuFixedConv, TransposedOverwritesOrHandsToHost) {
  contexts ctx(GetParam().mask);
  struct fixture {
    transposed_shape shape;
    bool cpu_overwrites;
  };
  const fixture fixtures[] = {{{2, 1, 2, 2}, true},   {{3, 16, 4, 2}, true},
                              {{2, 1, 3, 2}, false},  {{3, 16, 3, 2}, false},
                              {{3, 8, 2, 0}, false},  {{3, 16, 5, 3}, false}};
  for (const fixture &f : fixtures) {
    const transposed_shape &s = f.shape;
    SCOPED_TRACE(testing::Message() << "rows " << s.rows << " channels " << s.channels << " taps "
                                    << s.taps << " stride " << s.stride);
    std::mt19937 rng(4000 + s.taps * 10 + s.stride);
    const size_t out_rows = s.stride > 0 ? transposed_out_count(s) : size_t(s.taps);
    const std::vector<int32_t> ones(out_rows * s.channels, 1);
    const std::vector<operand> operands = transposed_operands(rng, s, ones);
    const auto make = [=](qz_ypu_buffer_t *const *b) { return transposed_params(b, s); };
    const run_result host = run<qz_ypu_dwconv1d_transposed_i8i16_params_t>(
        ctx.host(), QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, operands, make);
    std::vector<int32_t> want = operand_values<int32_t>(host.buffers[0], 12, ones.size());
    if (f.cpu_overwrites)
      for (int32_t &v : want) v -= 1;  // the host added onto the ones
    for (qz_ypu_context_t *c : ctx.cpu()) {
      const run_result got = run<qz_ypu_dwconv1d_transposed_i8i16_params_t>(
          c, QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, operands, make);
      EXPECT_EQ(got.status, QZ_STATUS_SUCCESS);
      EXPECT_EQ(operand_values<int32_t>(got.buffers[0], 12, ones.size()), want);
      for (size_t i = 0; i < operands.size(); ++i)
        if (i != 0) {
          EXPECT_TRUE(got.buffers[i] == host.buffers[i]) << "buffer " << i;
        }
      EXPECT_TRUE(std::equal(got.buffers[0].begin(), got.buffers[0].begin() + 12,
                             host.buffers[0].begin()));
      EXPECT_TRUE(std::equal(got.buffers[0].end() - kCanaryBytes, got.buffers[0].end(),
                             host.buffers[0].end() - kCanaryBytes));
    }
  }
}

// The documented fixture: in {1, 2}, weights {3, 5}, stride 2.
TEST_P(CpuFixedConv, TransposedFixture) {
  contexts ctx(GetParam().mask);
  const std::vector<operand> operands = {make_operand(std::vector<int32_t>{1, 1, 1, 1}, 12),
                                         make_operand(std::vector<int8_t>{3, 5}, 1),
                                         make_operand(std::vector<int16_t>{1, 2}, 2)};
  const transposed_shape s{2, 1, 2, 2};
  for (qz_ypu_context_t *c : ctx.cpu()) {
    const run_result r = run<qz_ypu_dwconv1d_transposed_i8i16_params_t>(
        c, QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, operands,
        [=](qz_ypu_buffer_t *const *b) { return transposed_params(b, s); });
    EXPECT_EQ(operand_values<int32_t>(r.buffers[0], 12, 4), (std::vector<int32_t>{3, 5, 6, 10}));
  }
}

QZ_CPU_FIXED_ISA_CASES(CpuFixedConv);

}  // namespace
