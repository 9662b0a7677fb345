// NEON tasks of the attention products and the NEON full-tile kernel of the
// blocked attention: the SSE4.1 kernels' steps on 4-lane NEON registers. No
// fused multiply-add: the value products and the weighted sums of the
// blocked tile add each product to the running element in key order, as the
// host does; only the score sums are reordered (4 lanes, then the lanes,
// then the tail).
#include <arm_neon.h>

#include "ypu/cpu/attention.h"
#include "ypu/cpu/attention_local.h"

namespace {

using context_t = qz_ypu_cpu_attention_context_t;
using shape_t = qz_ypu_attention_shape_t;


// (v0 + v2) + (v1 + v3), the SSE4.1 kernels' order.
float hsum(float32x4_t v) {
  return (vgetq_lane_f32(v, 0) + vgetq_lane_f32(v, 2)) +
         (vgetq_lane_f32(v, 1) + vgetq_lane_f32(v, 3));
}

// Eight codes from `codes` as two dequantised 4-float vectors.
void dequantize8(const uint8_t *codes, float32x4_t slope, float32x4_t intercept, float32x4_t &lo,
                 float32x4_t &hi) {
  const uint16x8_t units = vmovl_u8(vld1_u8(codes));
  const float32x4_t flo = vcvtq_f32_u32(vmovl_u16(vget_low_u16(units)));
  const float32x4_t fhi = vcvtq_f32_u32(vmovl_high_u16(units));
  lo = vaddq_f32(vmulq_f32(flo, slope), intercept);
  hi = vaddq_f32(vmulq_f32(fhi, slope), intercept);
}

float dot_plain(const float *a, const float *b, int32_t from, int32_t to, float sum) {
  for (int32_t d = from; d < to; ++d) sum += a[d] * b[d];
  return sum;
}

// ---------------------------------------------------------------------------

void scores_f32_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *key = static_cast<const float *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim, dim4 = dim & ~3;
  const int32_t nq = s.query_size, nk = s.key_value_size;
  int32_t q0 = 0;
  for (; q0 + 4 <= nq; q0 += 4) {
    const float *qr[4];
    float *out[4];
    for (int i = 0; i < 4; ++i) {
      qr[i] = c.in + bqhd(s, b, q0 + i, h);
      out[i] = c.out + bhqk(s, b, h, q0 + i);
    }
    int32_t t0 = 0;
    for (; t0 + 2 <= nk; t0 += 2) {
      const float *k0 = key + btgd(s, nk, b, t0, g), *k1 = key + btgd(s, nk, b, t0 + 1, g);
      float32x4_t acc[4][2];
      for (int i = 0; i < 4; ++i) acc[i][0] = acc[i][1] = vdupq_n_f32(0.0f);
      for (int32_t d = 0; d < dim4; d += 4) {
        const float32x4_t kv0 = vld1q_f32(k0 + d), kv1 = vld1q_f32(k1 + d);
        for (int i = 0; i < 4; ++i) {
          const float32x4_t qv = vld1q_f32(qr[i] + d);
          acc[i][0] = vaddq_f32(acc[i][0], vmulq_f32(qv, kv0));
          acc[i][1] = vaddq_f32(acc[i][1], vmulq_f32(qv, kv1));
        }
      }
      for (int i = 0; i < 4; ++i) {
        out[i][t0] = c.scale * dot_plain(qr[i], k0, dim4, dim, hsum(acc[i][0]));
        out[i][t0 + 1] = c.scale * dot_plain(qr[i], k1, dim4, dim, hsum(acc[i][1]));
      }
    }
    for (; t0 < nk; ++t0) {
      const float *kr = key + btgd(s, nk, b, t0, g);
      for (int i = 0; i < 4; ++i) out[i][t0] = c.scale * dot_plain(qr[i], kr, 0, dim, 0.0f);
    }
  }
  for (; q0 < nq; ++q0) {
    const float *qr = c.in + bqhd(s, b, q0, h);
    float *out = c.out + bhqk(s, b, h, q0);
    for (int32_t t = 0; t < nk; ++t)
      out[t] = c.scale * dot_plain(qr, key + btgd(s, nk, b, t, g), 0, dim, 0.0f);
  }
}

void values_f32_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *value = static_cast<const float *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim, dim8 = dim & ~7;
  const int32_t nq = s.query_size, nk = s.key_value_size;
  int32_t q0 = 0;
  for (; q0 + 4 <= nq; q0 += 4) {
    const float *w[4];
    float *out[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = c.in + bhqk(s, b, h, q0 + i);
      out[i] = c.out + bqhd(s, b, q0 + i, h);
    }
    for (int32_t d0 = 0; d0 < dim8; d0 += 8) {
      float32x4_t acc[4][2];
      for (int i = 0; i < 4; ++i) acc[i][0] = acc[i][1] = vdupq_n_f32(0.0f);
      for (int32_t t = 0; t < nk; ++t) {
        const float *vr = value + btgd(s, nk, b, t, g) + d0;
        const float32x4_t v0 = vld1q_f32(vr), v1 = vld1q_f32(vr + 4);
        for (int i = 0; i < 4; ++i) {
          const float32x4_t wv = vdupq_n_f32(w[i][t]);
          acc[i][0] = vaddq_f32(acc[i][0], vmulq_f32(wv, v0));
          acc[i][1] = vaddq_f32(acc[i][1], vmulq_f32(wv, v1));
        }
      }
      for (int i = 0; i < 4; ++i) {
        vst1q_f32(out[i] + d0, acc[i][0]);
        vst1q_f32(out[i] + d0 + 4, acc[i][1]);
      }
    }
    for (int32_t d = dim8; d < dim; ++d) {
      for (int i = 0; i < 4; ++i) {
        float sum = 0.0f;
        for (int32_t t = 0; t < nk; ++t) sum += w[i][t] * value[btgd(s, nk, b, t, g) + d];
        out[i][d] = sum;
      }
    }
  }
  for (; q0 < nq; ++q0) {
    const float *w = c.in + bhqk(s, b, h, q0);
    float *out = c.out + bqhd(s, b, q0, h);
    for (int32_t d = 0; d < dim; ++d) out[d] = 0.0f;
    for (int32_t t = 0; t < nk; ++t) {
      const float *vr = value + btgd(s, nk, b, t, g);
      for (int32_t d = 0; d < dim; ++d) out[d] += w[t] * vr[d];
    }
  }
}

void scores_cache_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *key = static_cast<const uint8_t *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim, dim8 = dim & ~7;
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *qr = c.in + bqhd(s, b, q, h);
    float *out = c.out + bhqk(s, b, h, q);
    for (int32_t t = 0; t < s.key_value_size; ++t) {
      const uint8_t *kr = key + btgd(s, s.max_key_value_size, b, t, g);
      const float *meta = c.metas + 2 * (int64_t{b} * s.max_key_value_size + t);
      const float32x4_t slope = vdupq_n_f32(meta[0]), intercept = vdupq_n_f32(meta[1]);
      float32x4_t acc0 = vdupq_n_f32(0.0f), acc1 = vdupq_n_f32(0.0f);
      for (int32_t d = 0; d < dim8; d += 8) {
        float32x4_t lo, hi;
        dequantize8(kr + d, slope, intercept, lo, hi);
        acc0 = vaddq_f32(acc0, vmulq_f32(lo, vld1q_f32(qr + d)));
        acc1 = vaddq_f32(acc1, vmulq_f32(hi, vld1q_f32(qr + d + 4)));
      }
      float sum = hsum(vaddq_f32(acc0, acc1));
      for (int32_t d = dim8; d < dim; ++d)
        sum += (static_cast<float>(kr[d]) * meta[0] + meta[1]) * qr[d];
      out[t] = c.scale * sum;
    }
  }
}

void values_cache_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *value = static_cast<const uint8_t *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim, dim8 = dim & ~7;
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *w = c.in + bhqk(s, b, h, q);
    float *out = c.out + bqhd(s, b, q, h);
    for (int32_t d0 = 0; d0 < dim8; d0 += 8) {
      float32x4_t acc0 = vdupq_n_f32(0.0f), acc1 = vdupq_n_f32(0.0f);
      for (int32_t t = 0; t < s.key_value_size; ++t) {
        const float *meta = c.metas + 2 * (int64_t{b} * s.max_key_value_size + t);
        float32x4_t lo, hi;
        dequantize8(value + btgd(s, s.max_key_value_size, b, t, g) + d0, vdupq_n_f32(meta[0]),
                    vdupq_n_f32(meta[1]), lo, hi);
        const float32x4_t wv = vdupq_n_f32(w[t]);
        acc0 = vaddq_f32(acc0, vmulq_f32(lo, wv));
        acc1 = vaddq_f32(acc1, vmulq_f32(hi, wv));
      }
      vst1q_f32(out + d0, acc0);
      vst1q_f32(out + d0 + 4, acc1);
    }
    for (int32_t d = dim8; d < dim; ++d) {
      float sum = 0.0f;
      for (int32_t t = 0; t < s.key_value_size; ++t) {
        const float *meta = c.metas + 2 * (int64_t{b} * s.max_key_value_size + t);
        const uint8_t code = value[btgd(s, s.max_key_value_size, b, t, g) + d];
        sum += (static_cast<float>(code) * meta[0] + meta[1]) * w[t];
      }
      out[d] = sum;
    }
  }
}

}  // namespace

void qz_ypu_cpu_attention_scores_f32_neon(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  scores_f32_head(c, static_cast<int32_t>(a / heads), static_cast<int32_t>(a % heads));
}

void qz_ypu_cpu_attention_values_f32_neon(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  values_f32_head(c, static_cast<int32_t>(a / heads), static_cast<int32_t>(a % heads));
}

void qz_ypu_cpu_attention_scores_cache_u8_neon(void *context, size_t i, size_t j) {
  cache_groups(*static_cast<const context_t *>(context), i, j, scores_cache_head);
}

void qz_ypu_cpu_attention_values_cache_u8_neon(void *context, size_t i, size_t j) {
  cache_groups(*static_cast<const context_t *>(context), i, j, values_cache_head);
}

// Full 256 x 256 tile, head_dim a positive multiple of 16.
void qz_ypu_cpu_attention_blocked_f32_neon(float *output, const float *query, const float *key,
                                            const float *value, float *tile, float *maxima,
                                            float *sums, float scale, int32_t b, int32_t q0,
                                            int32_t t0, int32_t h, int32_t g,
                                            const shape_t &s) {
  constexpr int32_t n = QZ_ATTENTION_BLOCK;
  const int32_t dim = s.head_dim;
  if (dim <= 0 || dim % 16 != 0) return;
  const int64_t stride = int64_t{s.num_heads} * dim;

  for (int32_t i = 0; i < n; ++i) {
    const float *qr = query + bqhd(s, b, q0 + i, h);
    float *trow = tile + int64_t{i} * n;
    for (int32_t j = 0; j < n; ++j) {
      const float *kr = key + btgd(s, s.key_value_size, b, t0 + j, g);
      float32x4_t acc0 = vdupq_n_f32(0.0f), acc1 = vdupq_n_f32(0.0f);
      for (int32_t d = 0; d < dim; d += 8) {
        acc0 = vaddq_f32(acc0, vmulq_f32(vld1q_f32(qr + d), vld1q_f32(kr + d)));
        acc1 = vaddq_f32(acc1, vmulq_f32(vld1q_f32(qr + d + 4), vld1q_f32(kr + d + 4)));
      }
      trow[j] = hsum(vaddq_f32(acc0, acc1)) * scale;
    }
  }

  float *rows = output + bqhd(s, b, q0, h);
  qz_ypu_cpu_attention_blocked_weights(tile, rows, stride, dim, maxima, sums);

  // Two query rows by 16 dimensions at a time; each element still adds its
  // weighted values in key order.
  for (int32_t i = 0; i < n; i += 2) {
    const float *w0 = tile + int64_t{i} * n, *w1 = w0 + n;
    float *o0 = rows + i * stride, *o1 = o0 + stride;
    for (int32_t d0 = 0; d0 < dim; d0 += 16) {
      float32x4_t a0[4], a1[4];
      for (int k = 0; k < 4; ++k) {
        a0[k] = vld1q_f32(o0 + d0 + 4 * k);
        a1[k] = vld1q_f32(o1 + d0 + 4 * k);
      }
      for (int32_t j = 0; j < n; ++j) {
        const float *vr = value + btgd(s, s.key_value_size, b, t0 + j, g) + d0;
        const float32x4_t x0 = vdupq_n_f32(w0[j]), x1 = vdupq_n_f32(w1[j]);
        for (int k = 0; k < 4; ++k) {
          const float32x4_t v = vld1q_f32(vr + 4 * k);
          a0[k] = vaddq_f32(a0[k], vmulq_f32(x0, v));
          a1[k] = vaddq_f32(a1[k], vmulq_f32(x1, v));
        }
      }
      for (int k = 0; k < 4; ++k) {
        vst1q_f32(o0 + d0 + 4 * k, a0[k]);
        vst1q_f32(o1 + d0 + 4 * k, a1[k]);
      }
    }
  }
}
