// Fixed-point element functions shared by the quantised operations: a
// sigmoid and a tanh from int16 Q10 to int16 Q15, and an exponential of a
// non-positive Q10 argument to int32 Q31. Host code, CPU kernels and GPU
// programs all compute with exactly these tables and formulas, so every
// implementation of an operation produces the same integers.
//
// The functions are written once over a table pointer (`*_with`) so that GPU
// code can run them on its own constant copies of the tables; host code uses
// the plain names, which read the library's tables.
#pragma once

#include <stdint.h>

#if defined(__CUDACC__)
#define QZ_YPU_FIXED_FN __host__ __device__ inline
#else
#define QZ_YPU_FIXED_FN inline
#endif

// Sigmoid sampled every 1/16 over [-8, 8), Q15 (32767 = 1.0). Indexed by the
// sample number taken as an 8-bit two's-complement value, so the negative
// half follows the positive one; entry 256 repeats sigmoid(0) as the upper
// neighbour of entry 255 during interpolation.
inline constexpr int QZ_SIGMOID_TABLE_SIZE = 257;
// e^(-i/1024) and e^(-i/8) in Q31 with 2147483647 as 1.0.
inline constexpr int QZ_EXP_TABLE_SIZE = 128;

extern const int16_t QZ_SIGMOID_TABLE[QZ_SIGMOID_TABLE_SIZE];
extern const int32_t QZ_EXP_LSB_TABLE[QZ_EXP_TABLE_SIZE];
extern const int32_t QZ_EXP_MSB_TABLE[QZ_EXP_TABLE_SIZE];

// The largest exponential magnitude the tables cover (e^(-16383/1024)).
inline constexpr int32_t QZ_YPU_FIXED_EXP_MAX_ARGUMENT = 16383;

QZ_YPU_FIXED_FN int16_t qz_ypu_fixed_sigmoid_with(const int16_t *table, int16_t x) {
  // The upper clamp is 127 * 64 so positive inputs never interpolate into
  // the negative half at entry 128.
  int32_t v = x;
  if (v < -8192) v = -8192;
  if (v > 8128) v = 8128;
  const int32_t u = v & 0x3FFF;  // negative inputs land on entries 128..256
  const int32_t f = v & 63;
  const int32_t lo = u >> 6;
  const int32_t hi = (u + 63) >> 6;
  return static_cast<int16_t>((table[lo] * (64 - f) + table[hi] * f) >> 6);
}

QZ_YPU_FIXED_FN int16_t qz_ypu_fixed_tanh_with(const int16_t *table, int16_t x) {
  // tanh(x) = 2 sigmoid(2x) - 1; the sigmoid is positive, so only the upper
  // saturation of the result can act.
  int32_t t = 2 * static_cast<int32_t>(x);
  if (t > 32767) t = 32767;
  if (t < -32768) t = -32768;
  const int32_t s = qz_ypu_fixed_sigmoid_with(table, static_cast<int16_t>(t));
  int32_t r = 2 * s - 32768;
  if (r > 32767) r = 32767;
  return static_cast<int16_t>(r);
}

QZ_YPU_FIXED_FN int32_t qz_ypu_fixed_exp_with(const int32_t *msb, const int32_t *lsb, int32_t l) {
  // e^(-l/1024) = e^(-(l >> 7)/8) * e^(-(l & 127)/1024). Arguments outside
  // the tables are clamped rather than read out of bounds.
  if (l < 0) l = 0;
  if (l > QZ_YPU_FIXED_EXP_MAX_ARGUMENT) l = QZ_YPU_FIXED_EXP_MAX_ARGUMENT;
  const int64_t p = static_cast<int64_t>(msb[l >> 7]) * lsb[l & 127];
  const int64_t rounded = p + (int64_t{1} << 30);
  if (rounded >= (int64_t{1} << 62)) return 2147483647;
  return static_cast<int32_t>(rounded >> 31);
}

// Q10 in, Q15 out, range [11, 32755].
QZ_YPU_FIXED_FN int16_t qz_ypu_fixed_sigmoid(int16_t x) {
  return qz_ypu_fixed_sigmoid_with(QZ_SIGMOID_TABLE, x);
}
// Q10 in, Q15 out, range [-32746, 32742].
QZ_YPU_FIXED_FN int16_t qz_ypu_fixed_tanh(int16_t x) {
  return qz_ypu_fixed_tanh_with(QZ_SIGMOID_TABLE, x);
}
// l in [0, 16383] is the Q10 magnitude of a non-positive argument; Q31 out,
// range [242, 2147483646].
QZ_YPU_FIXED_FN int32_t qz_ypu_fixed_exp(int32_t l) {
  return qz_ypu_fixed_exp_with(QZ_EXP_MSB_TABLE, QZ_EXP_LSB_TABLE, l);
}
