// SSE4.1 tasks of the attention products and the SSE4.1 full-tile kernel of
// the blocked attention. No fused multiply-add: the value products and the
// weighted sums of the blocked tile add each product to the running element
// in key order, exactly as the host does; only the score sums are reordered
// (4 lanes, then the lanes, then the tail).
#include <smmintrin.h>

#include "ypu/cpu/attention.h"
#include "ypu/cpu/attention_local.h"

namespace {

using context_t = qz_ypu_cpu_attention_context_t;
using shape_t = qz_ypu_attention_shape_t;


float hsum(__m128 v) {
  v = _mm_add_ps(v, _mm_movehl_ps(v, v));
  v = _mm_add_ss(v, _mm_shuffle_ps(v, v, 1));
  return _mm_cvtss_f32(v);
}

// Eight codes from `codes` as two dequantised 4-float vectors.
void dequantize8(const uint8_t *codes, __m128 slope, __m128 intercept, __m128 &lo, __m128 &hi) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes));
  const __m128 flo = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(bytes));
  const __m128 fhi = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_srli_si128(bytes, 4)));
  lo = _mm_add_ps(_mm_mul_ps(flo, slope), intercept);
  hi = _mm_add_ps(_mm_mul_ps(fhi, slope), intercept);
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
      __m128 acc[4][2];
      for (int i = 0; i < 4; ++i) acc[i][0] = acc[i][1] = _mm_setzero_ps();
      for (int32_t d = 0; d < dim4; d += 4) {
        const __m128 kv0 = _mm_loadu_ps(k0 + d), kv1 = _mm_loadu_ps(k1 + d);
        for (int i = 0; i < 4; ++i) {
          const __m128 qv = _mm_loadu_ps(qr[i] + d);
          acc[i][0] = _mm_add_ps(acc[i][0], _mm_mul_ps(qv, kv0));
          acc[i][1] = _mm_add_ps(acc[i][1], _mm_mul_ps(qv, kv1));
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
      __m128 acc[4][2];
      for (int i = 0; i < 4; ++i) acc[i][0] = acc[i][1] = _mm_setzero_ps();
      for (int32_t t = 0; t < nk; ++t) {
        const float *vr = value + btgd(s, nk, b, t, g) + d0;
        const __m128 v0 = _mm_loadu_ps(vr), v1 = _mm_loadu_ps(vr + 4);
        for (int i = 0; i < 4; ++i) {
          const __m128 wv = _mm_set1_ps(w[i][t]);
          acc[i][0] = _mm_add_ps(acc[i][0], _mm_mul_ps(wv, v0));
          acc[i][1] = _mm_add_ps(acc[i][1], _mm_mul_ps(wv, v1));
        }
      }
      for (int i = 0; i < 4; ++i) {
        _mm_storeu_ps(out[i] + d0, acc[i][0]);
        _mm_storeu_ps(out[i] + d0 + 4, acc[i][1]);
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
      const __m128 slope = _mm_set1_ps(meta[0]), intercept = _mm_set1_ps(meta[1]);
      __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps();
      for (int32_t d = 0; d < dim8; d += 8) {
        __m128 lo, hi;
        dequantize8(kr + d, slope, intercept, lo, hi);
        acc0 = _mm_add_ps(acc0, _mm_mul_ps(lo, _mm_loadu_ps(qr + d)));
        acc1 = _mm_add_ps(acc1, _mm_mul_ps(hi, _mm_loadu_ps(qr + d + 4)));
      }
      float sum = hsum(_mm_add_ps(acc0, acc1));
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
      __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps();
      for (int32_t t = 0; t < s.key_value_size; ++t) {
        const float *meta = c.metas + 2 * (int64_t{b} * s.max_key_value_size + t);
        __m128 lo, hi;
        dequantize8(value + btgd(s, s.max_key_value_size, b, t, g) + d0, _mm_set1_ps(meta[0]),
                    _mm_set1_ps(meta[1]), lo, hi);
        const __m128 wv = _mm_set1_ps(w[t]);
        acc0 = _mm_add_ps(acc0, _mm_mul_ps(lo, wv));
        acc1 = _mm_add_ps(acc1, _mm_mul_ps(hi, wv));
      }
      _mm_storeu_ps(out + d0, acc0);
      _mm_storeu_ps(out + d0 + 4, acc1);
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

void qz_ypu_cpu_attention_scores_f32_sse41(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  scores_f32_head(c, static_cast<int32_t>(a / heads), static_cast<int32_t>(a % heads));
}

void qz_ypu_cpu_attention_values_f32_sse41(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  values_f32_head(c, static_cast<int32_t>(a / heads), static_cast<int32_t>(a % heads));
}

void qz_ypu_cpu_attention_scores_cache_u8_sse41(void *context, size_t i, size_t j) {
  cache_groups(*static_cast<const context_t *>(context), i, j, scores_cache_head);
}

void qz_ypu_cpu_attention_values_cache_u8_sse41(void *context, size_t i, size_t j) {
  cache_groups(*static_cast<const context_t *>(context), i, j, values_cache_head);
}

// Full 256 x 256 tile, head_dim a positive multiple of 16.
void qz_ypu_cpu_attention_blocked_f32_sse41(float *output, const float *query, const float *key,
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
      __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps();
      for (int32_t d = 0; d < dim; d += 8) {
        acc0 = _mm_add_ps(acc0, _mm_mul_ps(_mm_loadu_ps(qr + d), _mm_loadu_ps(kr + d)));
        acc1 = _mm_add_ps(acc1, _mm_mul_ps(_mm_loadu_ps(qr + d + 4), _mm_loadu_ps(kr + d + 4)));
      }
      trow[j] = hsum(_mm_add_ps(acc0, acc1)) * scale;
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
      __m128 a0[4], a1[4];
      for (int k = 0; k < 4; ++k) {
        a0[k] = _mm_loadu_ps(o0 + d0 + 4 * k);
        a1[k] = _mm_loadu_ps(o1 + d0 + 4 * k);
      }
      for (int32_t j = 0; j < n; ++j) {
        const float *vr = value + btgd(s, s.key_value_size, b, t0 + j, g) + d0;
        const __m128 x0 = _mm_set1_ps(w0[j]), x1 = _mm_set1_ps(w1[j]);
        for (int k = 0; k < 4; ++k) {
          const __m128 v = _mm_loadu_ps(vr + 4 * k);
          a0[k] = _mm_add_ps(a0[k], _mm_mul_ps(x0, v));
          a1[k] = _mm_add_ps(a1[k], _mm_mul_ps(x1, v));
        }
      }
      for (int k = 0; k < 4; ++k) {
        _mm_storeu_ps(o0 + d0 + 4 * k, a0[k]);
        _mm_storeu_ps(o1 + d0 + 4 * k, a1[k]);
      }
    }
  }
}
