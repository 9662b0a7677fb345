// NEON LSTM cell over one chunk of any length: 8 units per step, the last
// n % 8 units one at a time.
#include <arm_neon.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

// tanh(in) into out: saturating doubling, the array sigmoid, 2s - 32768.
void tanh_chunk(int32_t n, const int16_t *in, int16_t *out) {
  int32_t i = 0;
  for (; n - i >= 8; i += 8) {
    const int16x8_t x = vld1q_s16(in + i);
    vst1q_s16(out + i, vqaddq_s16(x, x));
  }
  for (; i < n; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{in[i]});
  qz_ypu_cpu_sigmoid_i16_neon(n, out, out);
  const int32x4_t half = vdupq_n_s32(32768);
  for (i = 0; n - i >= 8; i += 8) {
    const int16x8_t s = vld1q_s16(out + i);
    const int32x4_t a = vsubq_s32(vshll_n_s16(vget_low_s16(s), 1), half);
    const int32x4_t b = vsubq_s32(vshll_high_n_s16(s, 1), half);
    vst1q_s16(out + i, vcombine_s16(vqmovn_s32(a), vqmovn_s32(b)));
  }
  for (; i < n; ++i) out[i] = qz_ypu_cpu_sat16(2 * int32_t{out[i]} - 32768);
}

int32x4_t state_half(int32x4_t s, int32x4_t g, int32x4_t c) {
  const int32x4_t kept = vshrq_n_s32(
      vaddq_s32(vmulq_s32(s, vsubq_s32(vdupq_n_s32(32767), g)), vdupq_n_s32(16384)), 15);
  const int32x4_t added = vshrq_n_s32(vaddq_s32(vmulq_s32(g, c), vdupq_n_s32(524288)), 20);
  return vaddq_s32(kept, added);
}

int32x4_t out_half(int32x4_t t, int32x4_t g) {
  return vshrq_n_s32(vaddq_s32(vmulq_s32(t, g), vdupq_n_s32(524288)), 20);
}

int32x4_t low32(int16x8_t v) { return vmovl_s16(vget_low_s16(v)); }
int32x4_t high32(int16x8_t v) { return vmovl_high_s16(v); }

}  // namespace

void qz_ypu_cpu_lstm_cell_i16_neon(const qz_ypu_cpu_lstm_context_t *c, int64_t begin,
                                   int64_t end) {
  const int64_t h = c->hidden;
  const auto n = static_cast<int32_t>(end - begin);
  int16_t *input = c->gates + begin;
  int16_t *candidate = c->gates + h + begin;
  int16_t *output = c->gates + 2 * h + begin;
  int16_t *state = c->state + begin;
  int16_t *out = c->out + begin;

  qz_ypu_cpu_sigmoid_i16_neon(n, input, input);
  tanh_chunk(n, candidate, candidate);
  qz_ypu_cpu_sigmoid_i16_neon(n, output, output);
  int32_t u = 0;
  for (; n - u >= 8; u += 8) {
    const int16x8_t s = vld1q_s16(state + u), g = vld1q_s16(input + u), k = vld1q_s16(candidate + u);
    // The saturating narrowing is the sat16 of the sum.
    vst1q_s16(state + u, vcombine_s16(vqmovn_s32(state_half(low32(s), low32(g), low32(k))),
                                      vqmovn_s32(state_half(high32(s), high32(g), high32(k)))));
  }
  for (; u < n; ++u) state[u] = qz_ypu_cpu_lstm_state(state[u], input[u], candidate[u]);
  tanh_chunk(n, state, input);
  for (u = 0; n - u >= 8; u += 8) {
    const int16x8_t t = vld1q_s16(input + u), g = vld1q_s16(output + u);
    // Results lie within [-1023, 1023], so the narrowing never saturates.
    vst1q_s16(out + u, vcombine_s16(vqmovn_s32(out_half(low32(t), low32(g))),
                                    vqmovn_s32(out_half(high32(t), high32(g)))));
  }
  for (; u < n; ++u) out[u] = qz_ypu_cpu_lstm_out(input[u], output[u]);
}
