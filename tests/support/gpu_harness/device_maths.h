// The documented accuracy of the GPU's single-precision maths: the largest
// difference, in units in the last place (ulp) of the result, between the
// CUDA maths library's result and the correctly rounded one, over the full
// range (CUDA C++ Programming Guide, "Mathematical Functions" appendix).
// Kernels build with -prec-div=true -prec-sqrt=true, so division and
// square root are correctly rounded (0 ulp) and absent here.
//
// One table for both sides: the harness makes its device maths exactly
// that far off (cuda_emu.h), and the tests of kernels that call them derive
// their tolerances from the same numbers.
#pragma once

#include <cmath>

namespace qz_gpu_harness {

struct device_maths_bounds {
  int expf = 2;
  int exp2f = 2;
  int logf = 1;
  int powf = 4;
  int sinf = 2;
  int cosf = 2;
  int sincosf = 2;  // each of the two results
  int tanhf = 2;
  int erff = 2;
  int rsqrtf = 2;
  // The fast base-2 logarithm: 2 ulp outside [0.5, 2], an absolute error of
  // 2^-22.6 inside it.
  int log2f_intrinsic = 2;
  double log2f_intrinsic_absolute = 1.5749e-7;  // 2^-22.6, rounded up
};

inline constexpr device_maths_bounds kDeviceMaths{};

// The host implementations' single-precision <cmath> functions (the C
// library's expf, powf, sinf, cosf, sincosf...) are within 1 ulp, which
// tests comparing a kernel with the host add on the host's side.
inline constexpr int kHostMathsUlps = 1;

// How far a device function's float result may lie from the exact value
// `exact`: its documented ulps from the correctly rounded result plus that
// rounding's half ulp, an ulp being at most 2^-23 of the value (2^-149 below
// the normal range); the last factor covers steps that cross into the next
// binade.
inline double device_error(double exact, int ulps) {
  return (ulps + 0.5) * (0x1p-23 * std::fabs(exact) + 0x1p-149) * (1 + 0x1p-20);
}

// The relative form, for a result used as a factor: |error| <= this * |value|
// (normal range).
inline constexpr double device_relative_error(int ulps) {
  return (ulps + 0.5) * 0x1p-23 * (1 + 0x1p-20);
}

}  // namespace qz_gpu_harness
