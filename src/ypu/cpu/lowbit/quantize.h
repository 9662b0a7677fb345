// The 8-bit activation quantiser of one group of 8, shared by the SSE4.1 and
// ARM64 kernel sets (they differ only in the order of the group sum). Plain
// code with internal linkage, so each instruction-set file keeps its own copy
// and none reaches a caller built for another set.
#pragma once

#include <cmath>
#include <cstdint>

namespace {

// lo = minimum, step = (maximum − lo) / 255 and code_k = lroundf((x_k − lo) /
// step), all in single precision; every code is 0 when step is 0.
inline void qz_ypu_cpu_lowbit_quantize_group(const float *v, uint8_t *codes, float *lo_out,
                                             float *step_out) {
  float lo = v[0], hi = v[0];
  for (int k = 1; k < 8; ++k) {
    lo = fminf(lo, v[k]);
    hi = fmaxf(hi, v[k]);
  }
  const float step = (hi - lo) / 255.0f;
  for (int k = 0; k < 8; ++k) {
    // Equal values (step 0) get code 0 instead of a 0/0 conversion; the
    // codes only count multiplied by step, so the term stays exact. Codes
    // of non-finite inputs are clamped so the 16-bit sums cannot overflow.
    long q = 0;
    if (step != 0.0f) q = lroundf((v[k] - lo) / step);
    codes[k] = static_cast<uint8_t>(q < 0 ? 0 : q > 255 ? 255 : q);
  }
  *lo_out = lo;
  *step_out = step;
}

}  // namespace
