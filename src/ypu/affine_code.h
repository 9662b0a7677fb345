// The arithmetic of the affine row quantisers (uint8 and uint16 key/value
// caches), shared by the host code and the GPU programs so that both give
// the same codes: code = lroundf((x - lo) / slope), slope = (hi - lo) /
// levels, value = code x slope + lo.
#pragma once

#include <stdint.h>

#if defined(__CUDACC__)
#define QZ_YPU_AFFINE_FN __host__ __device__ inline
#else
#define QZ_YPU_AFFINE_FN inline
#endif

// fminf and fmaxf written out with glibc's answers: a NaN argument gives
// the other one, and a tie (+0 against -0) gives the second argument.
QZ_YPU_AFFINE_FN float qz_ypu_affine_min(float x, float y) {
  if (x < y || y != y) return x;
  return y;
}
QZ_YPU_AFFINE_FN float qz_ypu_affine_max(float x, float y) {
  if (x > y || y != y) return x;
  return y;
}

// The code of x in a row whose minimum is lo. An equal row would divide 0 by
// 0; a NaN element, or a row spanning more than the float range, gives a NaN
// quotient: all get code 0 rather than whatever the conversion of NaN
// happens to yield. A slope rounded down to a denormal could push a quotient
// past the top code, which would wrap in the low bits: it is held at the top
// code. Quotients are never below 0 (every element is at least lo), so
// lroundf rounds a non-negative number: the truncation plus one when the
// fraction, which is exact, reaches one half (adding 0.5 and truncating
// would round 0.49999997 up).
QZ_YPU_AFFINE_FN uint32_t qz_ypu_affine_code(float x, float lo, float slope, float levels) {
  const float q = slope == 0.0f ? 0.0f : (x - lo) / slope;
  if (q != q) return 0;
  const float held = q < levels ? q : levels;
  const int32_t whole = static_cast<int32_t>(held);
  return static_cast<uint32_t>(whole + (held - static_cast<float>(whole) >= 0.5f ? 1 : 0));
}
