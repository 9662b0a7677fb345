// Baseline int16 sigmoid and tanh array functions of the CPU kernels.
#include "ypu/cpu/fixed_kernels.h"
#include "ypu/fixed_point.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

int16_t qz_ypu_cpu_fixed_sigmoid(int16_t x) { return qz_ypu_fixed_sigmoid(x); }

namespace {

// out[i] = sat16(2 in[i]) for the leading multiple of 8; returns how many.
// The saturating 16-bit add of a value to itself is sat16(2x).
#if defined(__SSE2__)
int32_t double_blocks(int32_t count, const int16_t *in, int16_t *out) {
  int32_t i = 0;
  for (; count - i >= 8; i += 8) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_adds_epi16(x, x));
  }
  return i;
}
#else
int32_t double_blocks(int32_t, const int16_t *, int16_t *) { return 0; }
#endif

}  // namespace

// tanh(x) = 2 sigmoid(2x) - 1 as three passes over the output: saturating
// doubling, the sigmoid in place, then 2s - 32768 (only the upper bound of
// which can saturate, as s > 0).
void qz_ypu_cpu_tanh_i16(int32_t count, const int16_t *in, int16_t *out) {
  if (count <= 0) return;
  int32_t i = 0;
  if (count >= 8 && qz_ypu_cpu_same_or_apart(in, out, count)) i = double_blocks(count, in, out);
  for (; i < count; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{in[i]});
  for (i = 0; i < count; ++i) out[i] = qz_ypu_fixed_sigmoid(out[i]);
  for (i = 0; i < count; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{out[i]} - 32768);
}
