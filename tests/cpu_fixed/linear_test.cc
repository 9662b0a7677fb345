// The CPU int8 x int16 linear layers against the host implementations: the
// same int16 bytes in the matrix and vector forms, for every forced
// instruction set and thread count.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

using namespace cpu_fixed;

class CpuFixedLinear : public testing::TestWithParam<isa_case> {
 protected:
  void SetUp() override { QZ_SKIP_WITHOUT_SETS(GetParam().mask); }
};

struct shape {
  int32_t rows, out_features, in_features;
  bool extreme;  // every input -32768 and every weight -128: the sums wrap
};

void add_case(same_as_host &check, uint32_t op, const shape &s, int repeat) {
  const uint32_t seed = 5000 + op * 1000 + s.rows * 97 + s.out_features * 13 + s.in_features;
  const std::string label = (testing::Message() << "op " << op << " rows " << s.rows << " out "
                                                << s.out_features << " in " << s.in_features
                                                << " seed " << seed)
                                .GetString();
  std::mt19937 rng(seed);
  const size_t m = s.rows > 0 ? s.rows : 0, n = s.out_features, k = s.in_features > 0 ? s.in_features : 0;
  const std::vector<int16_t> in =
      s.extreme ? std::vector<int16_t>(m * k, INT16_MIN) : random_values<int16_t>(rng, m * k);
  const std::vector<int8_t> weights =
      s.extreme ? std::vector<int8_t>(n * k, INT8_MIN) : random_values<int8_t>(rng, n * k);
  const std::vector<operand> operands = {make_operand(random_values<int16_t>(rng, m * n), 6),
                                         make_operand(in, 4), make_operand(weights),
                                         make_operand(random_values<int8_t>(rng, n))};
  check.add<qz_ypu_linear_i8i16_params_t>(
      label, op, operands,
      [=](qz_ypu_buffer_t *const *b) {
        return qz_ypu_linear_i8i16_params_t{b[0], b[1], b[2], b[3], s.rows, s.out_features,
                                            s.in_features, 6, 4};
      },
      repeat);
}

std::vector<shape> shapes() {
  std::vector<shape> all;
  // One row (the vector form: feature pairs, an odd last feature) and
  // several (the matrix form); lengths around the 8-, 16- and 32-value
  // blocks, including none at all.
  for (int32_t m : {1, 2, 3})
    for (int32_t n : {1, 2, 5, 7, 8})
      for (int32_t k : {0, 1, 8, 12, 16, 20, 32, 33, 47}) all.push_back({m, n, k, false});
  all.push_back({1, 3, 1040, true});
  all.push_back({2, 3, 1040, true});
  all.push_back({1, 64, 256, false});
  all.push_back({0, 4, 16, false});
  all.push_back({2, 4, -3, false});
  return all;
}

TEST_P(CpuFixedLinear, WriteMatchesHost) {
  same_as_host check(GetParam().mask);
  for (const shape &s : shapes()) add_case(check, QZ_YPU_OP_LINEAR_I8I16, s, 1);
}

// Op 19 adds into the output with saturation; running it twice adds twice.
TEST_P(CpuFixedLinear, AccumulateMatchesHost) {
  same_as_host check(GetParam().mask);
  for (const shape &s : shapes()) add_case(check, QZ_YPU_OP_LINEAR_ACC_I8I16, s, 2);
}

// Rounding of v = (acc + 64) >> 7 and saturation, on one input value with
// weight 1 and bias 0 (acc is the input), and on bias alone (K = 0).
TEST_P(CpuFixedLinear, RoundingAndSaturationFixtures) {
  same_as_host check(GetParam().mask);
  struct fixture {
    int16_t in, old_out;
    int8_t bias;
    int16_t want_write, want_accumulate;
  };
  const fixture fixtures[] = {
      {64, 0, 0, 1, 1},          {63, 0, 0, 0, 0},        {-64, 0, 0, 0, 0},
      {-65, 0, 0, -1, -1},       {0, 32000, 127, 1016, 32767}, {0, -32000, -128, -1024, -32768},
      {32767, 32767, 127, 1272, 32767}};
  for (const fixture &f : fixtures) {
    for (uint32_t op : {QZ_YPU_OP_LINEAR_I8I16, QZ_YPU_OP_LINEAR_ACC_I8I16}) {
      const std::vector<operand> operands = {
          make_operand(std::vector<int16_t>{f.old_out}, 2), make_operand(std::vector<int16_t>{f.in}),
          make_operand(std::vector<int8_t>{1}), make_operand(std::vector<int8_t>{f.bias})};
      const run_result r = check.add<qz_ypu_linear_i8i16_params_t>(
          "fixture " + std::to_string(f.in), op, operands, [](qz_ypu_buffer_t *const *b) {
            return qz_ypu_linear_i8i16_params_t{b[0], b[1], b[2], b[3], 1, 1, 1, 2, 0};
          });
      const int16_t want = op == QZ_YPU_OP_LINEAR_I8I16 ? f.want_write : f.want_accumulate;
      EXPECT_EQ(operand_values<int16_t>(r.buffers[0], 2, 1)[0], want) << "in " << f.in;
    }
  }
}

QZ_CPU_FIXED_ISA_CASES(CpuFixedLinear);

}  // namespace
