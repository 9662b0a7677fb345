// The CPU LSTM cell against the host implementation (out, state and all
// three gate parts), and the int16 sigmoid and tanh array functions against
// the element functions over every input.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare.h"
#include "ypu/cpu/fixed_kernels.h"
#include "ypu/fixed_point.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

using namespace cpu_fixed;

class CpuFixedLstm : public testing::TestWithParam<isa_case> {
 protected:
  void SetUp() override { QZ_SKIP_WITHOUT_SETS(GetParam().mask); }
};

qz_ypu_lstm_cell_i16_params_t lstm_params(qz_ypu_buffer_t *const *b, int32_t hidden) {
  return {b[0], b[1], b[2], hidden, 2, 4, 6};
}

// Hidden sizes around the 8- and 16-unit steps and the 128-unit chunks
// (200: chunks of 128 and 72; 257: a one-unit last chunk).
TEST_P(CpuFixedLstm, MatchesHostIncludingGates) {
  same_as_host check(GetParam().mask);
  for (int32_t h : {0, 1, 7, 8, 9, 15, 16, 17, 33, 128, 129, 200, 256, 257}) {
    const uint32_t seed = 6000 + h;
    std::mt19937 rng(seed);
    const size_t n = h;
    const std::vector<operand> operands = {make_operand(random_values<int16_t>(rng, n), 2),
                                           make_operand(random_values<int16_t>(rng, n), 4),
                                           make_operand(random_values<int16_t>(rng, 3 * n), 6)};
    check.add<qz_ypu_lstm_cell_i16_params_t>(
        "hidden " + std::to_string(h) + " seed " + std::to_string(seed), QZ_YPU_OP_LSTM_CELL_I16,
        operands, [=](qz_ypu_buffer_t *const *b) { return lstm_params(b, h); });
  }
}

// All gates 0 and state 1024: new state 512, out 237; the gates end as
// tanh(512), tanh(0) and sigmoid(0).
TEST_P(CpuFixedLstm, DocumentedFixture) {
  same_as_host check(GetParam().mask);
  for (int32_t h : {1, 8, 16, 24, 200}) {
    const size_t n = h;
    const std::vector<operand> operands = {make_operand(std::vector<int16_t>(n, -1), 2),
                                           make_operand(std::vector<int16_t>(n, 1024), 4),
                                           make_operand(std::vector<int16_t>(3 * n, 0), 6)};
    const run_result r = check.add<qz_ypu_lstm_cell_i16_params_t>(
        "fixture " + std::to_string(h), QZ_YPU_OP_LSTM_CELL_I16, operands,
        [=](qz_ypu_buffer_t *const *b) { return lstm_params(b, h); });
    EXPECT_EQ(operand_values<int16_t>(r.buffers[0], 2, n), std::vector<int16_t>(n, 237));
    EXPECT_EQ(operand_values<int16_t>(r.buffers[1], 4, n), std::vector<int16_t>(n, 512));
    std::vector<int16_t> gates(n, 15142);
    gates.resize(2 * n, 0);
    gates.resize(3 * n, 16384);
    EXPECT_EQ(operand_values<int16_t>(r.buffers[2], 6, 3 * n), gates);
  }
}

QZ_CPU_FIXED_ISA_CASES(CpuFixedLstm);

// ---------------------------------------------------------------------------
// Array functions.

using array_fn = void (*)(int32_t, const int16_t *, int16_t *);

struct array_case {
  const char *name;
  array_fn fn;
  int16_t (*element)(int16_t);
  int32_t block;  // whole-block forms cover only multiples of this
  uint32_t mask;
};

#if defined(__aarch64__)
const array_case kArrayCases[] = {
    {"sigmoid_neon_blocks", qz_ypu_cpu_sigmoid_i16_neon_blocks, qz_ypu_fixed_sigmoid, 8,
     QZ_YPU_CPU_ISA_NEON},
    {"sigmoid_neon", qz_ypu_cpu_sigmoid_i16_neon, qz_ypu_fixed_sigmoid, 1, QZ_YPU_CPU_ISA_NEON},
    {"tanh_neon", qz_ypu_cpu_tanh_i16_neon, qz_ypu_fixed_tanh, 1, QZ_YPU_CPU_ISA_NEON},
    {"tanh", qz_ypu_cpu_tanh_i16, qz_ypu_fixed_tanh, 1, 0},
};
// The sigmoid form with a tail of this build's narrowest vector set.
constexpr array_fn kSigmoidTail = qz_ypu_cpu_sigmoid_i16_neon;
constexpr uint32_t kSigmoidTailMask = QZ_YPU_CPU_ISA_NEON;
#else
const array_case kArrayCases[] = {
    {"sigmoid_avx2_blocks", qz_ypu_cpu_sigmoid_i16_avx2_blocks, qz_ypu_fixed_sigmoid, 16,
     QZ_YPU_CPU_ISA_AVX2},
    {"sigmoid_avx2", qz_ypu_cpu_sigmoid_i16_avx2, qz_ypu_fixed_sigmoid, 1, QZ_YPU_CPU_ISA_AVX2},
    {"sigmoid_sse41_blocks", qz_ypu_cpu_sigmoid_i16_sse41_blocks, qz_ypu_fixed_sigmoid, 8,
     QZ_YPU_CPU_ISA_SSE41},
    {"sigmoid_sse41", qz_ypu_cpu_sigmoid_i16_sse41, qz_ypu_fixed_sigmoid, 1, QZ_YPU_CPU_ISA_SSE41},
    {"tanh", qz_ypu_cpu_tanh_i16, qz_ypu_fixed_tanh, 1, 0},
};
constexpr array_fn kSigmoidTail = qz_ypu_cpu_sigmoid_i16_sse41;
constexpr uint32_t kSigmoidTailMask = QZ_YPU_CPU_ISA_SSE41;
#endif

class CpuFixedArray : public testing::TestWithParam<array_case> {
 protected:
  void SetUp() override { QZ_SKIP_WITHOUT_SETS(GetParam().mask); }
};

constexpr int16_t kArrayCanary = 0x1234;

std::vector<int16_t> every_input() {
  std::vector<int16_t> in(65536);
  for (int32_t i = 0; i < 65536; ++i) in[i] = static_cast<int16_t>(i - 32768);
  return in;
}

// Over all 65,536 inputs, separately and in place, with canaries after the
// count; then every short count, so each tail length is covered.
TEST_P(CpuFixedArray, EqualsElementFunctionEverywhere) {
  const array_case &a = GetParam();
  const std::vector<int16_t> in = every_input();
  std::vector<int16_t> out(in.size() + 16, kArrayCanary);
  a.fn(static_cast<int32_t>(in.size()), in.data(), out.data());
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], a.element(in[i])) << "input " << in[i];
  for (size_t i = in.size(); i < out.size(); ++i) ASSERT_EQ(out[i], kArrayCanary);

  std::vector<int16_t> same = in;
  same.resize(in.size() + 16, kArrayCanary);
  a.fn(static_cast<int32_t>(in.size()), same.data(), same.data());
  EXPECT_TRUE(same == out);

  std::mt19937 rng(7000);
  for (int32_t count = 1; count <= 40; ++count) {
    const std::vector<int16_t> x = random_values<int16_t>(rng, count);
    std::vector<int16_t> y(count + 16, kArrayCanary);
    a.fn(count, x.data(), y.data());
    const int32_t covered = count / a.block * a.block;
    for (int32_t i = 0; i < count; ++i)
      ASSERT_EQ(y[i], i < covered ? a.element(x[i]) : kArrayCanary) << "count " << count << " i " << i;
    for (int32_t i = count; i < count + 16; ++i) ASSERT_EQ(y[i], kArrayCanary) << "count " << count;
  }
}

TEST_P(CpuFixedArray, NonPositiveCountWritesNothing) {
  const array_case &a = GetParam();
  const std::vector<int16_t> in(32, 100);
  for (int32_t count : {0, -1, -16, INT32_MIN}) {
    std::vector<int16_t> out(32, kArrayCanary);
    a.fn(count, in.data(), out.data());
    EXPECT_EQ(out, std::vector<int16_t>(32, kArrayCanary)) << "count " << count;
  }
}

INSTANTIATE_TEST_SUITE_P(Functions, CpuFixedArray, testing::ValuesIn(kArrayCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(CpuFixedArrayValues, DocumentedSigmoidAndTanhValues) {
  QZ_SKIP_WITHOUT_SETS(kSigmoidTailMask);
  const std::vector<int16_t> in = {0, -1, 1, 64, -64, 1024, -1024, 8127, 8128, 32767, -8192, -32768, 0, 0, 0, 0};
  const std::vector<int16_t> sigmoid = {16384, 16376, 16391, 16895, 15872, 23955, 8812, 32755,
                                        32755, 32755, 11, 11, 16384, 16384, 16384, 16384};
  std::vector<int16_t> out(16);
  kSigmoidTail(16, in.data(), out.data());
  EXPECT_EQ(out, sigmoid);
  const std::vector<int16_t> t_in = {0, 1, -1, 1024, -1024, 4064, 32767, -4096, -32768};
  const std::vector<int16_t> t_want = {0, 30, -32, 24954, -24956, 32742, 32742, -32746, -32746};
  std::vector<int16_t> t_out(t_in.size());
  qz_ypu_cpu_tanh_i16(static_cast<int32_t>(t_in.size()), t_in.data(), t_out.data());
  EXPECT_EQ(t_out, t_want);
}

}  // namespace
