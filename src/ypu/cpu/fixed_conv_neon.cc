// NEON 1-D convolution kernels: 8 channels or 8 values per step, int8
// weights widened in registers, widening multiply-accumulates into 32-bit
// lanes. The 32-bit sums wrap, so every order of additions gives the plain
// task's integers.
#include <arm_neon.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

int16x8_t load8_i8_as16(const int8_t *p) { return vmovl_s8(vld1_s8(p)); }

// Output rows i (and i + 1 when `kRows` is 2), channels m .. m + 7.
template <int kRows>
void conv_block(const qz_ypu_cpu_conv1d_context_t *c, int64_t i, int64_t m) {
  const int64_t length = c->length;
  const int16_t *x0 = c->in + i * c->in_channels;
  const int16_t *x1 = x0 + c->in_channels;
  int32x4_t acc[kRows][8];
  for (auto &row : acc)
    for (auto &a : row) a = vdupq_n_s32(0);
  for (int64_t t = 0; t < length; t += 8) {
    const int16x8_t a0 = vld1q_s16(x0 + t);
    const int16x8_t a1 = kRows == 2 ? vld1q_s16(x1 + t) : a0;
    for (int ch = 0; ch < 8; ++ch) {
      const int16x8_t w = load8_i8_as16(c->weights + (m + ch) * length + t);
      acc[0][ch] = vmlal_high_s16(vmlal_s16(acc[0][ch], vget_low_s16(a0), vget_low_s16(w)), a0, w);
      if (kRows == 2)
        acc[kRows - 1][ch] = vmlal_high_s16(
            vmlal_s16(acc[kRows - 1][ch], vget_low_s16(a1), vget_low_s16(w)), a1, w);
    }
  }
  const int64_t m_count = c->out_channels;
  for (int row = 0; row < kRows; ++row) {
    int32_t *out = c->out + (i + row) * m_count + m;
    // Pairwise additions: lane sums of channels 0 .. 3, then 4 .. 7.
    for (int half = 0; half < 2; ++half) {
      const int32x4_t *a = acc[row] + 4 * half;
      vst1q_s32(out + 4 * half, vpaddq_s32(vpaddq_s32(a[0], a[1]), vpaddq_s32(a[2], a[3])));
    }
  }
}

// Phases k .. k + kPhases - 1 of group g, 8 channels from q.
template <int kPhases>
void transposed_block(const qz_ypu_cpu_dwconv1d_transposed_context_t *c, int64_t g, int64_t k,
                      int64_t q, int64_t t_begin, int64_t t_end) {
  const int64_t k_count = c->channels, s = c->stride;
  int32x4_t lo[kPhases], hi[kPhases];
  for (int ph = 0; ph < kPhases; ++ph) lo[ph] = hi[ph] = vdupq_n_s32(0);
  for (int64_t t = t_begin; t < t_end; ++t) {
    const int16x8_t x = vld1q_s16(c->in + (g - t) * k_count + q);
    for (int ph = 0; ph < kPhases; ++ph) {
      const int16x8_t w = load8_i8_as16(c->weights + (k + ph + t * s) * k_count + q);
      lo[ph] = vmlal_s16(lo[ph], vget_low_s16(x), vget_low_s16(w));
      hi[ph] = vmlal_high_s16(hi[ph], x, w);
    }
  }
  for (int ph = 0; ph < kPhases; ++ph) {
    int32_t *out = c->out + (g * s + k + ph) * k_count + q;
    vst1q_s32(out, lo[ph]);
    vst1q_s32(out + 4, hi[ph]);
  }
}

}  // namespace

// Channels a multiple of 8: for every tap the widened products are added
// into the output rows, which are read and rewritten once per tap.
void qz_ypu_cpu_dwconv1d_acc_i8i16_neon(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_acc_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t k_count = c->channels;
  for (int64_t i = r.begin; i < r.end; ++i) {
    int32_t *out = c->out + i * k_count;
    for (int64_t j = 0; j < c->taps; ++j) {
      const int16_t *in = c->in + (i + j) * k_count;
      const int8_t *w = c->weights + j * k_count;
      for (int64_t k = 0; k < k_count; k += 8) {
        const int16x8_t x = vld1q_s16(in + k), wv = load8_i8_as16(w + k);
        vst1q_s32(out + k, vmlal_s16(vld1q_s32(out + k), vget_low_s16(x), vget_low_s16(wv)));
        vst1q_s32(out + k + 4, vmlal_high_s16(vld1q_s32(out + k + 4), x, wv));
      }
    }
  }
}

// Output channels and taps x in_channels multiples of 8: two rows by eight
// channels per step, a last odd row alone.
void qz_ypu_cpu_conv1d_i8i16_neon(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_conv1d_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  int64_t i = r.begin;
  for (; r.end - i >= 2; i += 2)
    for (int64_t m = 0; m < c->out_channels; m += 8) conv_block<2>(c, i, m);
  if (i < r.end)
    for (int64_t m = 0; m < c->out_channels; m += 8) conv_block<1>(c, i, m);
}

// Channels a multiple of 8: four phases per step, the phases left over when
// the stride is not a multiple of four one at a time.
void qz_ypu_cpu_dwconv1d_transposed_i8i16_neon(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_transposed_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->groups, c->count, item);
  const int64_t s = c->stride;
  for (int64_t g = r.begin; g < r.end; ++g) {
    const int64_t t_begin = g - c->rows + 1 > 0 ? g - c->rows + 1 : 0;
    const int64_t t_end = c->phase_taps < g + 1 ? c->phase_taps : g + 1;
    int64_t k = 0;
    for (; s - k >= 4; k += 4)
      for (int64_t q = 0; q < c->channels; q += 8) transposed_block<4>(c, g, k, q, t_begin, t_end);
    for (; k < s; ++k)
      for (int64_t q = 0; q < c->channels; q += 8) transposed_block<1>(c, g, k, q, t_begin, t_end);
  }
}
