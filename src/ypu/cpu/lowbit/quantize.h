// The activation quantiser's arithmetic, one routine for every set that
// quantises groups of 8 activations, so they all produce the same codes.
// Plain code with internal linkage: each kernel file compiles its own copy
// with its own flags, and none of them leaks into another file.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Per group of 8: lo = minimum, step = (maximum − lo) / 255, sum left to
// right, code = lroundf((x − lo) / step), for the groups of one chunk.
inline void qz_ypu_cpu_lowbit_quantize_chunk(const qz_ypu_cpu_lowbit_quantize_context_t &c,
                                             size_t chunk) {
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.groups, c.chunks, int64_t(chunk));
  for (int64_t i = range.begin; i < range.end; ++i) {
    const float *v = c.x + 8 * i;
    float lo = v[0], hi = v[0], sum = v[0];
    for (int k = 1; k < 8; ++k) {
      lo = fminf(lo, v[k]);
      hi = fmaxf(hi, v[k]);
      sum = sum + v[k];
    }
    const float step = (hi - lo) / 255.0f;
    uint8_t *codes = c.codes + 8 * i;
    for (int k = 0; k < 8; ++k) {
      // Equal values (step 0) get code 0 instead of a 0/0 conversion; the
      // codes only count multiplied by step, so the term stays exact. Codes
      // of non-finite inputs are clamped so the 16-bit sums cannot overflow.
      long q = 0;
      if (step != 0.0f) q = lroundf((v[k] - lo) / step);
      codes[k] = static_cast<uint8_t>(q < 0 ? 0 : q > 255 ? 255 : q);
    }
    c.lo[i] = lo;
    c.step[i] = step;
    c.sum[i] = sum;
  }
}

}  // namespace
