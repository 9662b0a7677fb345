// AVX2 tasks of the attention products and the AVX2 full-tile kernel of the
// blocked attention. These accumulate with fused multiply-add, so they agree
// with the host up to rounding; dequantisation stays a multiply then an add.
#include <immintrin.h>

#include "ypu/cpu/attention.h"
#include "ypu/cpu/attention_local.h"

// The file is built for AVX2; fused multiply-add is enabled per function.
#define QZ_FMA __attribute__((target("avx2,fma")))

namespace {

using context_t = qz_ypu_cpu_attention_context_t;
using shape_t = qz_ypu_attention_shape_t;


QZ_FMA float hsum(__m256 v) {
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));
  x = _mm_add_ss(x, _mm_shuffle_ps(x, x, 1));
  return _mm_cvtss_f32(x);
}

QZ_FMA __m256 dequantize8(const uint8_t *codes, __m256 slope, __m256 intercept) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes));
  const __m256 f = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
  return _mm256_add_ps(_mm256_mul_ps(f, slope), intercept);
}

QZ_FMA float dot_plain(const float *a, const float *b, int32_t from, int32_t to, float sum) {
  for (int32_t d = from; d < to; ++d) sum += a[d] * b[d];
  return sum;
}

// ---------------------------------------------------------------------------

QZ_FMA void scores_f32_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *key = static_cast<const float *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim, dim8 = dim & ~7;
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
      __m256 acc[4][2];
      for (int i = 0; i < 4; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
      for (int32_t d = 0; d < dim8; d += 8) {
        const __m256 kv0 = _mm256_loadu_ps(k0 + d), kv1 = _mm256_loadu_ps(k1 + d);
        for (int i = 0; i < 4; ++i) {
          const __m256 qv = _mm256_loadu_ps(qr[i] + d);
          acc[i][0] = _mm256_fmadd_ps(qv, kv0, acc[i][0]);
          acc[i][1] = _mm256_fmadd_ps(qv, kv1, acc[i][1]);
        }
      }
      for (int i = 0; i < 4; ++i) {
        out[i][t0] = c.scale * dot_plain(qr[i], k0, dim8, dim, hsum(acc[i][0]));
        out[i][t0 + 1] = c.scale * dot_plain(qr[i], k1, dim8, dim, hsum(acc[i][1]));
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

// `rows` queries (1 to 4) by 16 dimensions from d0.
template <int Rows>
QZ_FMA void values_f32_block(const float *const *w, float *const *out, const float *value,
                             const shape_t &s, int32_t b, int32_t g, int32_t d0) {
  __m256 acc[Rows][2];
  for (int i = 0; i < Rows; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
  const int32_t nk = s.key_value_size;
  for (int32_t t = 0; t < nk; ++t) {
    const float *vr = value + btgd(s, nk, b, t, g) + d0;
    const __m256 v0 = _mm256_loadu_ps(vr), v1 = _mm256_loadu_ps(vr + 8);
    for (int i = 0; i < Rows; ++i) {
      const __m256 wv = _mm256_set1_ps(w[i][t]);
      acc[i][0] = _mm256_fmadd_ps(wv, v0, acc[i][0]);
      acc[i][1] = _mm256_fmadd_ps(wv, v1, acc[i][1]);
    }
  }
  for (int i = 0; i < Rows; ++i) {
    _mm256_storeu_ps(out[i] + d0, acc[i][0]);
    _mm256_storeu_ps(out[i] + d0 + 8, acc[i][1]);
  }
}

QZ_FMA void values_f32_rows(const float *const *w, float *const *out, int rows,
                            const float *value, const shape_t &s, int32_t b, int32_t g) {
  const int32_t dim = s.head_dim, dim16 = dim & ~15, nk = s.key_value_size;
  for (int32_t d0 = 0; d0 < dim16; d0 += 16) {
    if (rows == 4)
      values_f32_block<4>(w, out, value, s, b, g, d0);
    else
      values_f32_block<1>(w, out, value, s, b, g, d0);
  }
  for (int32_t d = dim16; d < dim; ++d) {
    for (int i = 0; i < rows; ++i) {
      float sum = 0.0f;
      for (int32_t t = 0; t < nk; ++t) sum += w[i][t] * value[btgd(s, nk, b, t, g) + d];
      out[i][d] = sum;
    }
  }
}

QZ_FMA void values_f32_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *value = static_cast<const float *>(c.kv);
  const int32_t g = kv_head(s, h);
  for (int32_t q0 = 0; q0 < s.query_size;) {
    const int rows = s.query_size - q0 >= 4 ? 4 : 1;
    const float *w[4];
    float *out[4];
    for (int i = 0; i < rows; ++i) {
      w[i] = c.in + bhqk(s, b, h, q0 + i);
      out[i] = c.out + bqhd(s, b, q0 + i, h);
    }
    values_f32_rows(w, out, rows, value, s, b, g);
    q0 += rows;
  }
}

QZ_FMA void scores_cache_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *key = static_cast<const uint8_t *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim, dim8 = dim & ~7;
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *qr = c.in + bqhd(s, b, q, h);
    float *out = c.out + bhqk(s, b, h, q);
    for (int32_t t = 0; t < s.key_value_size; ++t) {
      const uint8_t *kr = key + btgd(s, s.max_key_value_size, b, t, g);
      const float *meta = c.metas + 2 * (int64_t{b} * s.max_key_value_size + t);
      const __m256 slope = _mm256_set1_ps(meta[0]), intercept = _mm256_set1_ps(meta[1]);
      __m256 acc = _mm256_setzero_ps();
      for (int32_t d = 0; d < dim8; d += 8)
        acc = _mm256_fmadd_ps(dequantize8(kr + d, slope, intercept), _mm256_loadu_ps(qr + d), acc);
      float sum = hsum(acc);
      for (int32_t d = dim8; d < dim; ++d)
        sum += (static_cast<float>(kr[d]) * meta[0] + meta[1]) * qr[d];
      out[t] = c.scale * sum;
    }
  }
}

// `Blocks` vectors of 8 dimensions from d0 of one output row.
template <int Blocks>
QZ_FMA void values_cache_block(const context_t &c, const float *w, float *out, int32_t b,
                               int32_t g, int32_t d0) {
  const shape_t &s = c.shape;
  const auto *value = static_cast<const uint8_t *>(c.kv);
  __m256 acc[Blocks];
  for (int k = 0; k < Blocks; ++k) acc[k] = _mm256_setzero_ps();
  for (int32_t t = 0; t < s.key_value_size; ++t) {
    const float *meta = c.metas + 2 * (int64_t{b} * s.max_key_value_size + t);
    const __m256 slope = _mm256_set1_ps(meta[0]), intercept = _mm256_set1_ps(meta[1]);
    const __m256 wv = _mm256_set1_ps(w[t]);
    const uint8_t *vr = value + btgd(s, s.max_key_value_size, b, t, g) + d0;
    for (int k = 0; k < Blocks; ++k)
      acc[k] = _mm256_fmadd_ps(dequantize8(vr + 8 * k, slope, intercept), wv, acc[k]);
  }
  for (int k = 0; k < Blocks; ++k) _mm256_storeu_ps(out + d0 + 8 * k, acc[k]);
}

QZ_FMA void values_cache_head(const context_t &c, int32_t b, int32_t h) {
  const shape_t &s = c.shape;
  const auto *value = static_cast<const uint8_t *>(c.kv);
  const int32_t g = kv_head(s, h), dim = s.head_dim;
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *w = c.in + bhqk(s, b, h, q);
    float *out = c.out + bqhd(s, b, q, h);
    int32_t d0 = 0;
    for (; d0 + 32 <= dim; d0 += 32) values_cache_block<4>(c, w, out, b, g, d0);
    for (; d0 + 8 <= dim; d0 += 8) values_cache_block<1>(c, w, out, b, g, d0);
    for (int32_t d = d0; d < dim; ++d) {
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

QZ_FMA void qz_ypu_cpu_attention_scores_f32_avx2(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  scores_f32_head(c, static_cast<int32_t>(a / heads), static_cast<int32_t>(a % heads));
}

QZ_FMA void qz_ypu_cpu_attention_values_f32_avx2(void *context, size_t a) {
  const auto &c = *static_cast<const context_t *>(context);
  const int32_t heads = c.shape.num_heads;
  values_f32_head(c, static_cast<int32_t>(a / heads), static_cast<int32_t>(a % heads));
}

QZ_FMA void qz_ypu_cpu_attention_scores_cache_u8_avx2(void *context, size_t i, size_t j) {
  cache_groups(*static_cast<const context_t *>(context), i, j, scores_cache_head);
}

QZ_FMA void qz_ypu_cpu_attention_values_cache_u8_avx2(void *context, size_t i, size_t j) {
  cache_groups(*static_cast<const context_t *>(context), i, j, values_cache_head);
}

// Full 256 x 256 tile, head_dim a positive multiple of 32.
QZ_FMA void qz_ypu_cpu_attention_blocked_f32_avx2(float *output, const float *query,
                                                  const float *key, const float *value,
                                                  float *tile, float *maxima, float *sums,
                                                  float scale, int32_t b, int32_t q0, int32_t t0,
                                                  int32_t h, int32_t g, const shape_t &s) {
  constexpr int32_t n = QZ_ATTENTION_BLOCK;
  const int32_t dim = s.head_dim;
  if (dim <= 0 || dim % 32 != 0) return;
  const int64_t stride = int64_t{s.num_heads} * dim;

  for (int32_t i = 0; i < n; ++i) {
    const float *qr = query + bqhd(s, b, q0 + i, h);
    float *trow = tile + int64_t{i} * n;
    for (int32_t j = 0; j < n; ++j) {
      const float *kr = key + btgd(s, s.key_value_size, b, t0 + j, g);
      __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
      for (int32_t d = 0; d < dim; d += 16) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(qr + d), _mm256_loadu_ps(kr + d), acc0);
        acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(qr + d + 8), _mm256_loadu_ps(kr + d + 8), acc1);
      }
      trow[j] = hsum(_mm256_add_ps(acc0, acc1)) * scale;
    }
  }

  float *rows = output + bqhd(s, b, q0, h);
  qz_ypu_cpu_attention_blocked_weights(tile, rows, stride, dim, maxima, sums);

  for (int32_t i = 0; i < n; i += 2) {
    const float *w0 = tile + int64_t{i} * n, *w1 = w0 + n;
    float *o0 = rows + i * stride, *o1 = o0 + stride;
    for (int32_t d0 = 0; d0 < dim; d0 += 32) {
      __m256 a0[4], a1[4];
      for (int k = 0; k < 4; ++k) {
        a0[k] = _mm256_loadu_ps(o0 + d0 + 8 * k);
        a1[k] = _mm256_loadu_ps(o1 + d0 + 8 * k);
      }
      for (int32_t j = 0; j < n; ++j) {
        const float *vr = value + btgd(s, s.key_value_size, b, t0 + j, g) + d0;
        const __m256 x0 = _mm256_set1_ps(w0[j]), x1 = _mm256_set1_ps(w1[j]);
        for (int k = 0; k < 4; ++k) {
          const __m256 v = _mm256_loadu_ps(vr + 8 * k);
          a0[k] = _mm256_fmadd_ps(x0, v, a0[k]);
          a1[k] = _mm256_fmadd_ps(x1, v, a1[k]);
        }
      }
      for (int k = 0; k < 4; ++k) {
        _mm256_storeu_ps(o0 + d0 + 8 * k, a0[k]);
        _mm256_storeu_ps(o1 + d0 + 8 * k, a1[k]);
      }
    }
  }
}
