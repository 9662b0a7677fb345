// Table activations of the CPU backend: GELU (tanh and erf forms) and SiLU
// by linear interpolation in 4096-entry tables, built once on first use.
#pragma once

#include <cstdint>

inline constexpr int QZ_ACTIVATION_TABLE_SIZE = 4096;

struct qz_ypu_activation_tables_t {
  float gelu_tanh[QZ_ACTIVATION_TABLE_SIZE];  // over [-4, 4]
  float gelu_erf[QZ_ACTIVATION_TABLE_SIZE];   // over [-4, 4]
  float silu[QZ_ACTIVATION_TABLE_SIZE];       // over [-12, 12]
};

// Entry i holds f(lo + i (hi - lo) / 4095), evaluated in double precision
// and rounded once.
const qz_ypu_activation_tables_t &qz_ypu_cpu_activation_tables();

// One element: 0 at or below lo, x at or above hi, the interpolated table
// value in between; NaN stays NaN. `lo` is -4 or -12 and `scale` is
// 4095 / (hi - lo).
float qz_ypu_cpu_table_activation(const float *table, float lo, float hi, float scale, float x);
// The same over `count` elements with AVX2 (only where the processor has it).
void qz_ypu_cpu_table_activation_avx2(const float *table, float lo, float hi, float scale,
                                      const float *in, float *out, int64_t count);
