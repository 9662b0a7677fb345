// NEON int16 Q10 -> Q15 sigmoid and tanh over arrays, 8 lanes per step. The
// table has no vector gather, so each lane reads its two neighbours with
// scalar loads; clamping, index arithmetic and the interpolation are
// vectorised. The tanh doubles with the saturating add and looks the table
// up one element at a time.
#include <arm_neon.h>

#include "ypu/cpu/fixed_kernels.h"
#include "ypu/fixed_point.h"

namespace {

void sigmoid_step(const int16_t *in, int16_t *out) {
  int16x8_t x = vld1q_s16(in);
  // The upper clamp 127 x 64 keeps positive inputs off entry 128.
  x = vmaxq_s16(vminq_s16(x, vdupq_n_s16(8128)), vdupq_n_s16(-8192));
  const uint16x8_t u = vandq_u16(vreinterpretq_u16_s16(x), vdupq_n_u16(0x3FFF));
  const int16x8_t f = vandq_s16(x, vdupq_n_s16(63));
  uint16_t lo[8], hi[8];
  vst1q_u16(lo, vshrq_n_u16(u, 6));
  vst1q_u16(hi, vshrq_n_u16(vaddq_u16(u, vdupq_n_u16(63)), 6));
  int16_t tlo[8], thi[8];
  for (int lane = 0; lane < 8; ++lane) {
    tlo[lane] = QZ_SIGMOID_TABLE[lo[lane]];
    thi[lane] = QZ_SIGMOID_TABLE[hi[lane]];
  }
  const int16x8_t a = vld1q_s16(tlo), b = vld1q_s16(thi);
  const int16x8_t wa = vsubq_s16(vdupq_n_s16(64), f);
  // 32-bit products, added, shifted and narrowed (never saturating).
  const int32x4_t sum0 = vmlal_s16(vmull_s16(vget_low_s16(a), vget_low_s16(wa)),
                                   vget_low_s16(b), vget_low_s16(f));
  const int32x4_t sum1 = vmlal_high_s16(vmull_high_s16(a, wa), b, f);
  vst1q_s16(out, vcombine_s16(vqmovn_s32(vshrq_n_s32(sum0, 6)), vqmovn_s32(vshrq_n_s32(sum1, 6))));
}

}  // namespace

void qz_ypu_cpu_sigmoid_i16_neon_blocks(int32_t count, const int16_t *in, int16_t *out) {
  for (int32_t i = 0; count - i >= 8; i += 8) sigmoid_step(in + i, out + i);
}

void qz_ypu_cpu_sigmoid_i16_neon(int32_t count, const int16_t *in, int16_t *out) {
  int32_t i = 0;
  for (; count - i >= 8; i += 8) sigmoid_step(in + i, out + i);
  for (; i < count; ++i) out[i] = qz_ypu_cpu_fixed_sigmoid(in[i]);
}

// The three passes of the baseline form, the doubling 8 lanes at a time.
void qz_ypu_cpu_tanh_i16_neon(int32_t count, const int16_t *in, int16_t *out) {
  if (count <= 0) return;
  int32_t i = 0;
  if (count >= 8 && qz_ypu_cpu_same_or_apart(in, out, count))
    for (; count - i >= 8; i += 8) {
      const int16x8_t x = vld1q_s16(in + i);
      vst1q_s16(out + i, vqaddq_s16(x, x));
    }
  for (; i < count; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{in[i]});
  for (i = 0; i < count; ++i) out[i] = qz_ypu_cpu_fixed_sigmoid(out[i]);
  for (i = 0; i < count; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{out[i]} - 32768);
}
