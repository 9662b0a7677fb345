// Table-driven e^x: a power of e from a table of integer exponents, one from
// a table of 1/256 steps, and a cubic for the remaining |r| < 1/256. The
// Windows build calls it where the other builds call expf. Arguments at or
// beyond +-88, infinities and NaN go to expf.
//
// Error against the exact exponential: below QZ_EXPF_TABLE_MAX_ULPS units in
// the last place for normal results (3.5 measured over every 7th float), and
// below two subnormal steps for results under the smallest normal float.
#pragma once

#include <cmath>

inline constexpr int QZ_EXPF_FRAC_TABLE_SIZE = 512;
inline constexpr int QZ_EXPF_FRAC_TABLE_CENTRE = 256;  // the entry for j = 0
inline constexpr int QZ_EXPF_INT_TABLE_SIZE = 176;
inline constexpr int QZ_EXPF_INT_TABLE_CENTRE = 88;  // the entry for k = 0
inline constexpr float QZ_EXPF_TABLE_LIMIT = 88.0f;
inline constexpr double QZ_EXPF_TABLE_MAX_ULPS = 4.0;

extern const float QZ_EXPF_FRAC_TABLE[QZ_EXPF_FRAC_TABLE_SIZE];
extern const float QZ_EXPF_INT_TABLE[QZ_EXPF_INT_TABLE_SIZE];

float qz_ypu_table_expf(float x);

// erf by the Abramowitz-Stegun rational approximation (absolute error about
// 1.5e-7) over qz_ypu_table_expf: what the Windows build uses for erff.
float qz_ypu_table_erff(float z);

// The ARM64 builds compute with the table forms: the Windows DLL, and the
// aarch64 Linux build that runs its kernels under test.
#if defined(_WIN32) || (defined(__aarch64__) && defined(__linux__))
#define QZ_YPU_TABLE_EXPF 1
#endif

// The exponential and erf of this build: the table forms on the ARM64
// builds, the maths library elsewhere.
inline float qz_ypu_build_expf(float x) {
#if defined(QZ_YPU_TABLE_EXPF)
  return qz_ypu_table_expf(x);
#else
  return expf(x);
#endif
}

inline float qz_ypu_build_erff(float z) {
#if defined(QZ_YPU_TABLE_EXPF)
  return qz_ypu_table_erff(z);
#else
  return erff(z);
#endif
}
