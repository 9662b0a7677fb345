#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ypu/fixed_point.h"

namespace {

// Round to nearest in double, as the tables were made (ties go up; the only
// tie, 16383.5 for sigmoid(0), must give 16384).
int64_t round_nearest(double v) { return static_cast<int64_t>(std::floor(v + 0.5)); }

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

TEST(FixedPointTables, EveryEntryFollowsItsRule) {
  for (int i = 0; i < QZ_SIGMOID_TABLE_SIZE; ++i) {
    const int k = i < 128 ? i : i - 256;
    const int64_t want = i == 256 ? 16384 : round_nearest(32767.0 * sigmoid(k / 16.0));
    EXPECT_EQ(QZ_SIGMOID_TABLE[i], want) << "sigmoid entry " << i;
  }
  for (int i = 0; i < QZ_EXP_TABLE_SIZE; ++i) {
    EXPECT_EQ(QZ_EXP_LSB_TABLE[i], round_nearest(2147483647.0 * std::exp(-i / 1024.0))) << i;
    EXPECT_EQ(QZ_EXP_MSB_TABLE[i], round_nearest(2147483647.0 * std::exp(-i / 8.0))) << i;
  }
}

TEST(FixedPointTables, TellingValues) {
  const std::pair<int, int> sigmoid_entries[] = {{0, 16384},  {1, 16895}, {16, 23955},
                                                 {127, 32755}, {128, 11},  {192, 589},
                                                 {255, 15872}, {256, 16384}};
  for (auto [i, v] : sigmoid_entries) EXPECT_EQ(QZ_SIGMOID_TABLE[i], v) << i;
  EXPECT_EQ(QZ_EXP_LSB_TABLE[0], 2147483647);
  EXPECT_EQ(QZ_EXP_LSB_TABLE[1], 2145387519);
  EXPECT_EQ(QZ_EXP_LSB_TABLE[127], 1896999301);
  EXPECT_EQ(QZ_EXP_MSB_TABLE[0], 2147483647);
  EXPECT_EQ(QZ_EXP_MSB_TABLE[1], 1895147667);
  EXPECT_EQ(QZ_EXP_MSB_TABLE[8], 790015084);
  EXPECT_EQ(QZ_EXP_MSB_TABLE[127], 274);
  static_assert(sizeof(QZ_SIGMOID_TABLE) == 514 && sizeof(QZ_EXP_LSB_TABLE) == 512 &&
                sizeof(QZ_EXP_MSB_TABLE) == 512);
}

TEST(FixedSigmoid, KnownValues) {
  const std::pair<int16_t, int16_t> cases[] = {
      {0, 16384},     {-1, 16376},    {1, 16391},     {64, 16895},    {-64, 15872},
      {1024, 23955},  {-1024, 8812},  {8127, 32755},  {8128, 32755},  {32767, 32755},
      {-8192, 11},    {-32768, 11}};
  for (auto [x, want] : cases) EXPECT_EQ(qz_ypu_fixed_sigmoid(x), want) << x;
}

TEST(FixedSigmoid, MonotoneBoundedAndCloseOverEveryInput) {
  int previous = -1;
  double worst = 0;
  for (int x = -32768; x <= 32767; ++x) {
    const int s = qz_ypu_fixed_sigmoid(static_cast<int16_t>(x));
    ASSERT_GE(s, 11) << x;
    ASSERT_LE(s, 32755) << x;
    ASSERT_GE(s, previous) << x;
    previous = s;
    const double clamped = std::min(std::max(x, -8192), 8128);
    worst = std::max(worst, std::fabs(s - 32767.0 * sigmoid(clamped / 1024.0)));
  }
  EXPECT_LT(worst, 2.71);
}

TEST(FixedTanh, KnownValues) {
  const std::pair<int16_t, int16_t> cases[] = {
      {0, 0},         {1, 30},          {-1, -32},        {1024, 24954},  {-1024, -24956},
      {4064, 32742},  {4065, 32742},    {32767, 32742},   {-4096, -32746}, {-4097, -32746},
      {-32768, -32746}};
  for (auto [x, want] : cases) EXPECT_EQ(qz_ypu_fixed_tanh(x), want) << x;
}

TEST(FixedTanh, TwiceTheSigmoidOfTheDoubledInput) {
  int previous = -32768;
  for (int x = -32768; x <= 32767; ++x) {
    const int doubled = std::min(std::max(2 * x, -32768), 32767);
    const int want = std::min(2 * qz_ypu_fixed_sigmoid(static_cast<int16_t>(doubled)) - 32768, 32767);
    const int t = qz_ypu_fixed_tanh(static_cast<int16_t>(x));
    ASSERT_EQ(t, want) << x;
    ASSERT_GE(t, previous) << x;
    ASSERT_GE(t, -32746);
    ASSERT_LE(t, 32742);
    previous = t;
  }
}

TEST(FixedExp, KnownValues) {
  const std::pair<int32_t, int32_t> cases[] = {
      {0, 2147483646}, {127, 1896999300}, {128, 1895147666}, {1024, 790015084}, {16383, 242}};
  for (auto [l, want] : cases) EXPECT_EQ(qz_ypu_fixed_exp(l), want) << l;
}

TEST(FixedExp, CloseToTheExponentialOverTheWholeRange) {
  double worst = 0;
  int32_t previous = INT32_MAX;
  for (int32_t l = 0; l <= QZ_YPU_FIXED_EXP_MAX_ARGUMENT; ++l) {
    const int32_t e = qz_ypu_fixed_exp(l);
    ASSERT_LE(e, previous) << l;
    ASSERT_GE(e, 242);
    ASSERT_LE(e, 2147483646);
    previous = e;
    worst = std::max(worst, std::fabs(e - 2147483647.0 * std::exp(-l / 1024.0)));
  }
  EXPECT_LT(worst, 1.63);
}

TEST(FixedExp, ArgumentsOutsideTheTablesAreClamped) {
  EXPECT_EQ(qz_ypu_fixed_exp(-1), qz_ypu_fixed_exp(0));
  EXPECT_EQ(qz_ypu_fixed_exp(INT32_MIN), qz_ypu_fixed_exp(0));
  EXPECT_EQ(qz_ypu_fixed_exp(16384), 242);
  EXPECT_EQ(qz_ypu_fixed_exp(INT32_MAX), 242);
}

TEST(FixedExp, WorksOverCallerSuppliedTables) {
  // The GPU copies go through the table-pointer form; it must agree.
  std::vector<int32_t> msb(QZ_EXP_MSB_TABLE, QZ_EXP_MSB_TABLE + QZ_EXP_TABLE_SIZE);
  std::vector<int32_t> lsb(QZ_EXP_LSB_TABLE, QZ_EXP_LSB_TABLE + QZ_EXP_TABLE_SIZE);
  for (int32_t l : {0, 1, 500, 16383})
    EXPECT_EQ(qz_ypu_fixed_exp_with(msb.data(), lsb.data(), l), qz_ypu_fixed_exp(l));
}

}  // namespace
