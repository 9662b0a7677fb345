// NEON score and value kernels of attention over ring caches: the head
// dimension in blocks of 8 (two 4-lane registers), the remainder as the plain
// kernels do. No fused multiply-add.
#include <arm_neon.h>

#include "ypu/cpu/attention.h"

namespace {

struct lanes8 {
  float32x4_t lo, hi;
};

// Eight codes as floats.
lanes8 widen8(const uint8_t *codes) {
  const uint16x8_t units = vmovl_u8(vld1_u8(codes));
  return {vcvtq_f32_u32(vmovl_u16(vget_low_u16(units))), vcvtq_f32_u32(vmovl_high_u16(units))};
}
lanes8 widen8(const uint16_t *codes) {
  const uint16x8_t units = vld1q_u16(codes);
  return {vcvtq_f32_u32(vmovl_u16(vget_low_u16(units))), vcvtq_f32_u32(vmovl_high_u16(units))};
}

// code x slope + intercept, then times `factor`, rounded at each step.
float32x4_t term(float32x4_t code, float32x4_t slope, float32x4_t intercept, float32x4_t factor) {
  return vmulq_f32(vaddq_f32(vmulq_f32(code, slope), intercept), factor);
}

// Per ring row: eight lane sums over d = 8k + lane, added to out[r] lane by
// lane, then the tail products, then the scale.
template <class Code>
void scores(const float *query, int32_t head_dimension, const Code *codes, const float *intercepts,
            const float *slopes, int32_t rows, float scale, float *out) {
  const int32_t dim8 = head_dimension > 0 ? head_dimension & ~7 : 0;
  for (int32_t r = 0; r < rows; ++r) {
    const Code *row = codes + int64_t{r} * head_dimension;
    const float32x4_t slope = vdupq_n_f32(slopes[r]), intercept = vdupq_n_f32(intercepts[r]);
    float32x4_t lo = vdupq_n_f32(0.0f), hi = vdupq_n_f32(0.0f);
    for (int32_t d = 0; d < dim8; d += 8) {
      const lanes8 x = widen8(row + d);
      lo = vaddq_f32(lo, term(x.lo, slope, intercept, vld1q_f32(query + d)));
      hi = vaddq_f32(hi, term(x.hi, slope, intercept, vld1q_f32(query + d + 4)));
    }
    float lanes[8];
    vst1q_f32(lanes, lo);
    vst1q_f32(lanes + 4, hi);
    float sum = out[r];
    if (dim8 > 0)
      for (int k = 0; k < 8; ++k) sum += lanes[k];
    for (int32_t d = dim8; d < head_dimension; ++d)
      sum += (static_cast<float>(row[d]) * slopes[r] + intercepts[r]) * query[d];
    out[r] = sum;
  }
  for (int32_t r = 0; r < rows; ++r) out[r] *= scale;
}

// Eight output elements at a time held in registers across the rows; each
// element adds its rows in order, as the plain kernel does.
template <class Code>
void values(const Code *codes, const float *intercepts, const float *slopes, int32_t rows,
            int32_t head_dimension, const float *weights, float *output) {
  const int32_t dim8 = head_dimension > 0 ? head_dimension & ~7 : 0;
  for (int32_t d0 = 0; d0 < dim8; d0 += 8) {
    float32x4_t lo = vld1q_f32(output + d0), hi = vld1q_f32(output + d0 + 4);
    for (int32_t r = 0; r < rows; ++r) {
      const lanes8 x = widen8(codes + int64_t{r} * head_dimension + d0);
      const float32x4_t slope = vdupq_n_f32(slopes[r]), intercept = vdupq_n_f32(intercepts[r]);
      const float32x4_t weight = vdupq_n_f32(weights[r]);
      lo = vaddq_f32(lo, term(x.lo, slope, intercept, weight));
      hi = vaddq_f32(hi, term(x.hi, slope, intercept, weight));
    }
    vst1q_f32(output + d0, lo);
    vst1q_f32(output + d0 + 4, hi);
  }
  for (int32_t r = 0; r < rows; ++r) {
    const Code *row = codes + int64_t{r} * head_dimension;
    for (int32_t d = dim8; d < head_dimension; ++d)
      output[d] += (static_cast<float>(row[d]) * slopes[r] + intercepts[r]) * weights[r];
  }
}

}  // namespace

void qz_ypu_cpu_attention_kv_u8_scores_neon(const float *query, int32_t head_dimension,
                                            const uint8_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows, float scale,
                                            float *out) {
  scores(query, head_dimension, codes, intercepts, slopes, rows, scale, out);
}

void qz_ypu_cpu_attention_kv_u8_values_neon(const uint8_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows,
                                            int32_t head_dimension, const float *weights,
                                            float *output) {
  values(codes, intercepts, slopes, rows, head_dimension, weights, output);
}

void qz_ypu_cpu_attention_kv_u16_scores_neon(const float *query, int32_t head_dimension,
                                             const uint16_t *codes, const float *intercepts,
                                             const float *slopes, int32_t rows, float scale,
                                             float *out) {
  scores(query, head_dimension, codes, intercepts, slopes, rows, scale, out);
}

void qz_ypu_cpu_attention_kv_u16_values_neon(const uint16_t *codes, const float *intercepts,
                                             const float *slopes, int32_t rows,
                                             int32_t head_dimension, const float *weights,
                                             float *output) {
  values(codes, intercepts, slopes, rows, head_dimension, weights, output);
}
