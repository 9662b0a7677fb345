#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "ypu/table_exp.h"

namespace {

// Whether `value` is the float nearest to `exact` (double precision is far
// finer than the single-precision spacing being judged).
bool nearest_float(float value, double exact) {
  const double here = std::fabs(value - exact);
  return here <= std::fabs(std::nextafter(value, INFINITY) - exact) &&
         here <= std::fabs(std::nextafter(value, -INFINITY) - exact);
}

TEST(TableExp, TablesAreCorrectlyRoundedExponentials) {
  for (int j = -256; j < 256; ++j)
    EXPECT_TRUE(nearest_float(QZ_EXPF_FRAC_TABLE[QZ_EXPF_FRAC_TABLE_CENTRE + j], std::exp(j / 256.0)))
        << "j = " << j;
  for (int k = -88; k < 88; ++k)
    EXPECT_TRUE(nearest_float(QZ_EXPF_INT_TABLE[QZ_EXPF_INT_TABLE_CENTRE + k], std::exp(double(k))))
        << "k = " << k;
  EXPECT_EQ(std::fpclassify(QZ_EXPF_INT_TABLE[0]), FP_SUBNORMAL);
  EXPECT_EQ(QZ_EXPF_FRAC_TABLE[QZ_EXPF_FRAC_TABLE_CENTRE], 1.0f);
  EXPECT_EQ(QZ_EXPF_INT_TABLE[QZ_EXPF_INT_TABLE_CENTRE], 1.0f);
}

// Error in units of the last place of the exact result's binade, or in
// subnormal steps for results below the smallest normal float.
double error_units(float got, double exact) {
  if (exact < std::numeric_limits<float>::min())
    return std::fabs(got - exact) / std::numeric_limits<float>::denorm_min();
  int exponent;
  std::frexp(exact, &exponent);
  return std::fabs(got - exact) / std::ldexp(1.0, exponent - 24);
}

TEST(TableExp, WithinItsErrorOnADenseSweep) {
  double worst_normal = 0, worst_subnormal = 0;
  auto visit = [&](float x) {
    const double exact = std::exp(double(x));
    const double e = error_units(qz_ypu_table_expf(x), exact);
    double &worst = exact < std::numeric_limits<float>::min() ? worst_subnormal : worst_normal;
    worst = std::max(worst, e);
  };
  // A regular grid, then a stride through the bit patterns (which also
  // visits tiny arguments and the neighbourhood of every table step).
  for (int i = -880000; i <= 880000; ++i) visit(static_cast<float>(i * 1e-4));
  for (int sign = 0; sign < 2; ++sign) {
    for (uint32_t bits = 0; bits < 0x42B00000u; bits += 509) {
      const uint32_t pattern = bits | (sign ? 0x80000000u : 0u);
      float x;
      std::memcpy(&x, &pattern, sizeof x);
      visit(x);
    }
  }
  EXPECT_LT(worst_normal, QZ_EXPF_TABLE_MAX_ULPS);
  EXPECT_LT(worst_subnormal, 2.0);
}

TEST(TableExp, SpecialArguments) {
  EXPECT_EQ(qz_ypu_table_expf(0.0f), 1.0f);
  EXPECT_EQ(qz_ypu_table_expf(-0.0f), 1.0f);
  EXPECT_TRUE(std::isnan(qz_ypu_table_expf(NAN)));
  EXPECT_TRUE(std::isnan(qz_ypu_table_expf(-NAN)));
  EXPECT_EQ(qz_ypu_table_expf(INFINITY), INFINITY);
  EXPECT_EQ(qz_ypu_table_expf(-INFINITY), 0.0f);
  // From the limit on the library function decides.
  for (float x : {88.0f, -88.0f, 88.5f, -100.0f, 1e30f, -1e30f})
    EXPECT_EQ(qz_ypu_table_expf(x), expf(x)) << x;
  // Just inside the limit the tables still apply and stay finite.
  const float below = std::nextafter(88.0f, 0.0f);
  EXPECT_TRUE(std::isfinite(qz_ypu_table_expf(below)));
  EXPECT_LT(error_units(qz_ypu_table_expf(below), std::exp(double(below))), QZ_EXPF_TABLE_MAX_ULPS);
  EXPECT_GT(qz_ypu_table_expf(std::nextafter(-88.0f, 0.0f)), 0.0f);
}

TEST(TableErf, CloseToErfAndOdd) {
  double worst = 0;
  for (int i = -60000; i <= 60000; ++i) {
    const float z = static_cast<float>(i * 1e-4);
    const float got = qz_ypu_table_erff(z);
    worst = std::max(worst, std::fabs(got - std::erf(double(z))));
    ASSERT_EQ(got, -qz_ypu_table_erff(-z)) << z;
  }
  // The rational approximation's own error is about 1.5e-7; float rounding
  // adds several units of 6e-8 near 1.
  EXPECT_LT(worst, 6e-7);
  EXPECT_TRUE(std::isnan(qz_ypu_table_erff(NAN)));
  EXPECT_EQ(qz_ypu_table_erff(INFINITY), 1.0f);
  EXPECT_EQ(qz_ypu_table_erff(-INFINITY), -1.0f);
}

}  // namespace
