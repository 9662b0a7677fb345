// NEON row softmax tasks: 4-lane float rows with the polynomial exponential
// of the SSE4.1 task (same constants and steps, separate multiplications and
// additions), and int16 rows with the host's fixed-point arithmetic.
#include <arm_neon.h>

#include "ypu/cpu/isa_local.h"
#include "ypu/cpu/softmax.h"

namespace {

float32x4_t splat(float x) { return vdupq_n_f32(x); }
// a * b + c, rounded twice.
float32x4_t mul_add(float32x4_t a, float32x4_t b, float32x4_t c) {
  return vaddq_f32(vmulq_f32(a, b), c);
}

}  // namespace

float32x4_t qz_ypu_cpu_exp4_neon(float32x4_t x) {
  const float32x4_t shift = splat(12582912.0f);
  const float32x4_t t = mul_add(x, splat(1.442695f), shift);
  const float32x4_t n = vsubq_f32(t, shift);
  float32x4_t r = vsubq_f32(x, vmulq_f32(n, splat(0.69314575f)));
  r = vsubq_f32(r, vmulq_f32(n, splat(1.4286068e-6f)));
  const float32x4_t s = vmulq_f32(r, r);
  const float32x4_t p = mul_add(mul_add(mul_add(r, splat(0.00824739f), splat(0.041899767f)), s,
                                        mul_add(r, splat(0.16668396f), splat(0.49999127f))),
                                s, vmulq_f32(splat(0.9999994f), r));
  const int32x4_t shifted = vshlq_n_s32(vreinterpretq_s32_f32(t), 23);
  const float32x4_t scale =
      vreinterpretq_f32_s32(vaddq_s32(shifted, vdupq_n_s32(0x3F800000)));
  const float32x4_t result = mul_add(p, scale, scale);
  const float32x4_t magnitude = vabsq_f32(n);
  const uint32x4_t large = vcgtq_f32(magnitude, splat(126.0f));
  if (vmaxvq_u32(large) == 0) return result;
  const uint32x4_t non_positive = vcleq_f32(n, vdupq_n_f32(0.0f));
  const int32x4_t k = vreinterpretq_s32_u32(vandq_u32(non_positive, vdupq_n_u32(0x82000000u)));
  const float32x4_t s1 = vreinterpretq_f32_s32(vsubq_s32(shifted, k));
  const float32x4_t s2 = vreinterpretq_f32_s32(vaddq_s32(k, vdupq_n_s32(0x7F000000)));
  const uint32x4_t huge = vcgtq_f32(magnitude, splat(192.0f));
  const float32x4_t scaled = vmulq_f32(mul_add(s1, p, s1), s2);
  const float32x4_t extreme = vbslq_f32(huge, vmulq_f32(s2, s2), scaled);
  return vbslq_f32(large, extreme, result);
}

void qz_ypu_cpu_softmax_f32_neon(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_f32_context_t *>(opaque);
  const int64_t n = c.cols;
  if (n < 4 || n % 4 != 0) return;  // never chosen for such rows
  const qz_ypu_cpu_range_t range = qz_isa_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t row = range.begin; row < range.end; ++row) {
    const float *x = c.in + row * n;
    float *o = c.out + row * n;
    float32x4_t m4 = vld1q_f32(x);
    for (int64_t j = 4; j < n; j += 4) m4 = vmaxq_f32(m4, vld1q_f32(x + j));
    const float32x4_t m = vdupq_n_f32(vmaxvq_f32(m4));
    float32x4_t sum = vdupq_n_f32(0.0f);
    for (int64_t j = 0; j < n; j += 4) {
      const float32x4_t e = qz_ypu_cpu_exp4_neon(vsubq_f32(vld1q_f32(x + j), m));
      vst1q_f32(o + j, e);
      sum = vaddq_f32(sum, e);
    }
    const float total = (vgetq_lane_f32(sum, 0) + vgetq_lane_f32(sum, 1)) +
                        (vgetq_lane_f32(sum, 2) + vgetq_lane_f32(sum, 3));
    const float32x4_t k = splat(1.0f / total);
    for (int64_t j = 0; j < n; j += 4) vst1q_f32(o + j, vmulq_f32(vld1q_f32(o + j), k));
  }
}

namespace {

// Per 32-bit lane: (a * b + 2^30) >> 31 from the 64-bit product, INT32_MAX
// when the rounded product reaches 2^62; both factors non-negative.
int32x4_t q31_round(int32x4_t a, int32x4_t b) {
  const int64x2_t half = vdupq_n_s64(int64_t{1} << 30);
  const int64x2_t top = vdupq_n_s64(INT32_MAX);
  auto narrow = [&](int64x2_t product) {
    const int64x2_t v = vaddq_s64(product, half);
    const uint64x2_t fits = vceqq_s64(vshrq_n_s64(v, 62), vdupq_n_s64(0));
    return vmovn_s64(vbslq_s64(fits, vshrq_n_s64(v, 31), top));
  };
  const int32x2_t lo = narrow(vmull_s32(vget_low_s32(a), vget_low_s32(b)));
  const int32x2_t hi = narrow(vmull_high_s32(a, b));
  return vcombine_s32(lo, hi);
}

}  // namespace

void qz_ypu_cpu_softmax_fixed_i16_neon(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_fixed_context_t *>(opaque);
  const int64_t n = c.cols;
  if (n < 8 || n % 8 != 0) return;  // never chosen for such rows
  const qz_ypu_cpu_range_t range = qz_isa_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t row = range.begin; row < range.end; ++row) {
    const int16_t *x = c.in + row * n;
    int32_t *o = c.out + row * n;
    int16x8_t m8 = vld1q_s16(x);
    for (int64_t j = 8; j < n; j += 8) m8 = vmaxq_s16(m8, vld1q_s16(x + j));
    const int32_t m = vmaxvq_s16(m8);
    // The table reads stay scalar.
    const int64_t sum = qz_ypu_cpu_fixed_exp_row(x, m, n, o);
    const int32x4_t reciprocal =
        vdupq_n_s32(static_cast<int32_t>(qz_ypu_cpu_q31_reciprocal(sum)));
    for (int64_t j = 0; j < n; j += 4) vst1q_s32(o + j, q31_round(reciprocal, vld1q_s32(o + j)));
  }
}
