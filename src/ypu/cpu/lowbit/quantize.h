// The 8-bit activation quantiser, one routine for every set that quantises
// groups of 8 activations (SSE4.1, AVX, AVX2 and the ARM64 sets), so they
// all produce the same codes; the x86 and ARM64 sets differ only in the
// order of the group sum. Plain code with internal linkage: each kernel file
// compiles its own copy with its own flags, and none of them leaks into
// another file.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"

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

// The x86 sets' stage 1 for the groups of one chunk: the group quantised as
// above, its sum taken left to right.
inline void qz_ypu_cpu_lowbit_quantize_chunk(const qz_ypu_cpu_lowbit_quantize_context_t &c,
                                             size_t chunk) {
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.groups, c.chunks, int64_t(chunk));
  for (int64_t i = range.begin; i < range.end; ++i) {
    const float *v = c.x + 8 * i;
    float sum = v[0];
    for (int k = 1; k < 8; ++k) sum = sum + v[k];
    qz_ypu_cpu_lowbit_quantize_group(v, c.codes + 8 * i, &c.lo[i], &c.step[i]);
    c.sum[i] = sum;
  }
}

}  // namespace
