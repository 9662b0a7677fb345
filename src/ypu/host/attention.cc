// Host implementations of the attention primitives: attention over ring
// caches, score and value products over float keys and uint8 linear caches,
// the blocked online-softmax attention, and the bias, mask and gather steps
// the composites chain together. The arithmetic lives in the shared helpers
// of attention.h, which the CPU kernels call too.
#include "ypu/host/attention.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "ypu/table_exp.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

inline float dequantize(uint32_t code, float slope, float intercept) {
  return static_cast<float>(code) * slope + intercept;
}

// Offsets of the dense layouts, in elements, computed in 64 bits.
inline int64_t bqhd(const qz_ypu_attention_shape_t &s, int64_t b, int64_t q, int64_t h) {
  return ((b * s.query_size + q) * s.num_heads + h) * s.head_dim;
}
inline int64_t bhqk(const qz_ypu_attention_shape_t &s, int64_t b, int64_t h, int64_t q) {
  return ((b * s.num_heads + h) * s.query_size + q) * s.key_value_size;
}
// Row of position t, kv head g in keys laid out B x rows x G x D.
inline int64_t btgd(const qz_ypu_attention_shape_t &s, int64_t rows, int64_t b, int64_t t,
                    int64_t g) {
  return ((b * rows + t) * s.num_kv_heads + g) * s.head_dim;
}

inline int32_t kv_head(const qz_ypu_attention_shape_t &s, int32_t h) {
  return h / (s.num_heads / s.num_kv_heads);
}

template <class Code>
void ring_scores(float *scores, const float *query_row, const Code *keys, const float *intercepts,
                 const float *slopes, int32_t g, int64_t first, int64_t last,
                 int32_t window_length, int32_t head_dimension, float scale) {
  for (int64_t p = first; p <= last; ++p) {
    const int64_t r = int64_t{g} * window_length + p % window_length;
    const Code *row = keys + r * head_dimension;
    float sum = 0.0f;
    for (int32_t d = 0; d < head_dimension; ++d)
      sum += dequantize(row[d], slopes[r], intercepts[r]) * query_row[d];
    scores[p - first] = scale * sum;
  }
}

template <class Code>
void ring_values(float *out_row, const float *weights, const Code *values,
                 const float *intercepts, const float *slopes, int32_t g, int64_t first,
                 int64_t last, int32_t window_length, int32_t head_dimension) {
  for (int32_t d = 0; d < head_dimension; ++d) out_row[d] = 0.0f;
  for (int64_t p = first; p <= last; ++p) {
    const int64_t r = int64_t{g} * window_length + p % window_length;
    const Code *row = values + r * head_dimension;
    const float w = weights[p - first];
    for (int32_t d = 0; d < head_dimension; ++d)
      out_row[d] += dequantize(row[d], slopes[r], intercepts[r]) * w;
  }
}

// A scratch buffer for one operation: taken from the context's cache and
// handed back, or created and freed through the backend directly. Its old
// contents are of no use: mapped without fetch, never written back.
class scratch_buffer {
 public:
  enum source { cache, backend };
  scratch_buffer(qz_ypu_context_t *context, int32_t bytes, source from)
      : context_(context),
        from_(from),
        buffer_(from == cache ? qz_ypu_buffer_acquire(context, bytes)
                              : qz_ypu_ops(context).buffer_create(context->device, bytes, 0)) {}
  ~scratch_buffer() {
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context_);
    if (pointer_) ops.buffer_unmap(context_->device, buffer_, 0);
    if (from_ == cache) qz_ypu_buffer_release(context_, buffer_);
    else if (buffer_) ops.buffer_free(context_->device, buffer_);
  }
  scratch_buffer(const scratch_buffer &) = delete;
  scratch_buffer &operator=(const scratch_buffer &) = delete;

  bool obtained() const { return buffer_ != nullptr; }
  float *map() {
    pointer_ = qz_ypu_ops(context_).buffer_map(context_->device, buffer_, 0);
    return static_cast<float *>(pointer_);
  }

 private:
  qz_ypu_context_t *context_;
  source from_;
  qz_ypu_buffer_t *buffer_;
  void *pointer_ = nullptr;
};

template <class Code>
qz_status_t attention_kv(qz_ypu_context_t *context, const qz_ypu_attention_kv_params_t &p) {
  const bool work = p.num_queries > 0 && p.num_heads > 0;
  if (work && (p.window_length < 1 || !qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads)))
    return QZ_STATUS_INVALID_ARGUMENT;

  // One score row per head; sized as the cache has always seen it, but in
  // 64 bits so that a far position cannot wrap it into a small buffer.
  const int64_t rows = std::max<int64_t>(int64_t{p.position} + p.num_queries, p.window_length);
  const int64_t bytes = std::max<int64_t>(rows, 0) * std::max(p.num_heads, 0) * 4;
  if (bytes > std::numeric_limits<int32_t>::max()) {
    qz_error_push("", 0, &QZ_ATTENTION_ERROR_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  scratch_buffer scratch(context, static_cast<int32_t>(bytes), scratch_buffer::cache);
  if (!scratch.obtained()) {
    qz_error_push("", 0, &QZ_ATTENTION_ERROR_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  float *scores = scratch.map();
  if (!scores) return QZ_STATUS_OUT_OF_MEMORY;

  qz_ypu_host_frame frame(context);
  float *output = frame.inout<float>(p.output, 0);
  const float *query = frame.in<float>(p.query, 0);
  const Code *keys = frame.in<Code>(p.keys, 0);
  const float *key_intercepts = frame.in<float>(p.key_intercepts, 0);
  const float *key_slopes = frame.in<float>(p.key_slopes, 0);
  const Code *values = frame.in<Code>(p.values, 0);
  const float *value_intercepts = frame.in<float>(p.value_intercepts, 0);
  const float *value_slopes = frame.in<float>(p.value_slopes, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  const float scale = qz_ypu_attention_scale(p.head_dimension);
  const int32_t q_per_kv = p.num_heads / p.num_kv_heads;
  const int64_t dim = p.head_dimension;
  for (int32_t j = 0; j < p.num_queries; ++j) {
    // The row sees itself and at most window_length - 1 earlier positions.
    const int64_t last = int64_t{p.position} + j;
    const int64_t first = std::max<int64_t>(0, last + 1 - p.window_length);
    const int64_t count = last - first + 1;
    if (count < 1) {
      // A row before the sequence start sees nothing.
      std::fill_n(output + int64_t{j} * p.num_heads * dim, p.num_heads * dim, 0.0f);
      continue;
    }
    for (int32_t h = 0; h < p.num_heads; ++h)
      ring_scores(scores + h * count, query + (int64_t{h} * p.num_queries + j) * dim, keys,
                  key_intercepts, key_slopes, h / q_per_kv, first, last, p.window_length,
                  p.head_dimension, scale);
    qz_ypu_host_softmax_rows(scores, scores, p.num_heads, static_cast<int32_t>(count));
    for (int32_t h = 0; h < p.num_heads; ++h)
      ring_values(output + (int64_t{j} * p.num_heads + h) * dim, scores + h * count, values,
                  value_intercepts, value_slopes, h / q_per_kv, first, last, p.window_length,
                  p.head_dimension);
  }
  return QZ_STATUS_SUCCESS;
}

qz_ypu_attention_shape_t float_shape(int32_t b, int32_t q, int32_t k, int32_t h, int32_t g,
                                     int32_t d) {
  return {.batch_size = b, .query_size = q, .key_value_size = k, .max_key_value_size = k,
          .num_heads = h, .num_kv_heads = g, .head_dim = d};
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared arithmetic.

float qz_ypu_attention_scale(int32_t head_dim) {
  return 1.0f / sqrtf(static_cast<float>(head_dim));
}

bool qz_ypu_attention_heads_valid(int32_t num_heads, int32_t num_kv_heads) {
  return num_kv_heads >= 1 && num_heads % num_kv_heads == 0;
}

void qz_ypu_host_softmax_rows(float *out, const float *in, int32_t rows, int32_t length) {
  if (length <= 0) return;
  for (int64_t r = 0; r < rows; ++r) {
    const float *x = in + r * length;
    float *y = out + r * length;
    float mx = x[0];
    for (int32_t i = 1; i < length; ++i) mx = fmaxf(mx, x[i]);
    float sum = 0.0f;
    for (int32_t i = 0; i < length; ++i) {
      const float e = qz_ypu_build_expf(x[i] - mx);
      y[i] = e;
      sum += e;
    }
    const float inv = 1.0f / sum;
    for (int32_t i = 0; i < length; ++i) y[i] *= inv;
  }
}

void qz_ypu_attention_scores_f32_head(float *scores, const float *query, const float *key,
                                      const qz_ypu_attention_shape_t &s, int32_t b, int32_t h,
                                      float scale) {
  const int32_t g = kv_head(s, h);
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *qrow = query + bqhd(s, b, q, h);
    float *out = scores + bhqk(s, b, h, q);
    for (int32_t t = 0; t < s.key_value_size; ++t) {
      const float *krow = key + btgd(s, s.key_value_size, b, t, g);
      float sum = 0.0f;
      for (int32_t d = 0; d < s.head_dim; ++d) sum += qrow[d] * krow[d];
      out[t] = scale * sum;
    }
  }
}

void qz_ypu_attention_values_f32_head(float *output, const float *weights, const float *value,
                                      const qz_ypu_attention_shape_t &s, int32_t b, int32_t h) {
  const int32_t g = kv_head(s, h);
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *w = weights + bhqk(s, b, h, q);
    float *out = output + bqhd(s, b, q, h);
    for (int32_t d = 0; d < s.head_dim; ++d) out[d] = 0.0f;
    for (int32_t t = 0; t < s.key_value_size; ++t) {
      const float *vrow = value + btgd(s, s.key_value_size, b, t, g);
      for (int32_t d = 0; d < s.head_dim; ++d) out[d] += w[t] * vrow[d];
    }
  }
}

void qz_ypu_attention_scores_cache_u8_head(float *scores, const float *query, const uint8_t *key,
                                           const float *key_metas,
                                           const qz_ypu_attention_shape_t &s, int32_t b,
                                           int32_t h, float scale) {
  const int32_t g = kv_head(s, h);
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *qrow = query + bqhd(s, b, q, h);
    float *out = scores + bhqk(s, b, h, q);
    for (int32_t t = 0; t < s.key_value_size; ++t) {
      const uint8_t *krow = key + btgd(s, s.max_key_value_size, b, t, g);
      const float *meta = key_metas + 2 * (int64_t{b} * s.max_key_value_size + t);
      float sum = 0.0f;
      for (int32_t d = 0; d < s.head_dim; ++d)
        sum += dequantize(krow[d], meta[0], meta[1]) * qrow[d];
      out[t] = scale * sum;
    }
  }
}

void qz_ypu_attention_values_cache_u8_head(float *output, const float *weights,
                                           const uint8_t *value, const float *value_metas,
                                           const qz_ypu_attention_shape_t &s, int32_t b,
                                           int32_t h) {
  const int32_t g = kv_head(s, h);
  for (int32_t q = 0; q < s.query_size; ++q) {
    const float *w = weights + bhqk(s, b, h, q);
    float *out = output + bqhd(s, b, q, h);
    for (int32_t d = 0; d < s.head_dim; ++d) out[d] = 0.0f;
    for (int32_t t = 0; t < s.key_value_size; ++t) {
      const uint8_t *vrow = value + btgd(s, s.max_key_value_size, b, t, g);
      const float *meta = value_metas + 2 * (int64_t{b} * s.max_key_value_size + t);
      for (int32_t d = 0; d < s.head_dim; ++d)
        out[d] += dequantize(vrow[d], meta[0], meta[1]) * w[t];
    }
  }
}

void qz_ypu_attention_ring_scores(float *scores, const float *query_row, const uint8_t *keys,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension, float scale) {
  ring_scores(scores, query_row, keys, intercepts, slopes, g, first, last, window_length,
              head_dimension, scale);
}

void qz_ypu_attention_ring_scores(float *scores, const float *query_row, const uint16_t *keys,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension, float scale) {
  ring_scores(scores, query_row, keys, intercepts, slopes, g, first, last, window_length,
              head_dimension, scale);
}

void qz_ypu_attention_ring_values(float *out_row, const float *weights, const uint8_t *values,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension) {
  ring_values(out_row, weights, values, intercepts, slopes, g, first, last, window_length,
              head_dimension);
}

void qz_ypu_attention_ring_values(float *out_row, const float *weights, const uint16_t *values,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension) {
  ring_values(out_row, weights, values, intercepts, slopes, g, first, last, window_length,
              head_dimension);
}

void qz_ypu_attention_blocked_step(float *output, const float *query, const float *key,
                                   const float *value, float *tile, float *maxima, float *sums,
                                   float scale, int32_t b, int32_t q0, int32_t t0, int32_t h,
                                   int32_t g, const qz_ypu_attention_shape_t &s) {
  const int32_t queries = std::min(QZ_ATTENTION_BLOCK, s.query_size - q0);
  const int32_t keys = std::min(QZ_ATTENTION_BLOCK, s.key_value_size - t0);
  const int32_t dim = s.head_dim;

  // Tile scores.
  for (int32_t i = 0; i < queries; ++i) {
    const float *qrow = query + bqhd(s, b, q0 + i, h);
    float *trow = tile + int64_t{i} * QZ_ATTENTION_BLOCK;
    for (int32_t j = 0; j < keys; ++j) {
      const float *krow = key + btgd(s, s.key_value_size, b, t0 + j, g);
      float sum = 0.0f;
      for (int32_t d = 0; d < dim; ++d) sum += qrow[d] * krow[d];
      trow[j] = sum * scale;
    }
  }

  // Online softmax: raise each running maximum, rescale what was summed so
  // far, turn the tile's scores into weights.
  for (int32_t i = 0; i < queries; ++i) {
    float *trow = tile + int64_t{i} * QZ_ATTENTION_BLOCK;
    float *out = output + bqhd(s, b, q0 + i, h);
    float block_max = -std::numeric_limits<float>::infinity();
    for (int32_t j = 0; j < keys; ++j) block_max = fmaxf(block_max, trow[j]);
    const float m = fmaxf(maxima[i], block_max + QZ_ATTENTION_MAX_HEADROOM);
    const float r = qz_ypu_build_expf(maxima[i] - m);
    for (int32_t d = 0; d < dim; ++d) out[d] *= r;
    float sum = sums[i] * r;
    for (int32_t j = 0; j < keys; ++j) {
      const float w = trow[j] - m < QZ_ATTENTION_CUTOFF ? 0.0f : qz_ypu_build_expf(trow[j] - m);
      trow[j] = w;
      sum += w;
    }
    sums[i] = sum;
    maxima[i] = m;
  }

  // Weighted values.
  for (int32_t i = 0; i < queries; ++i) {
    const float *trow = tile + int64_t{i} * QZ_ATTENTION_BLOCK;
    float *out = output + bqhd(s, b, q0 + i, h);
    for (int32_t j = 0; j < keys; ++j) {
      const float *vrow = value + btgd(s, s.key_value_size, b, t0 + j, g);
      const float w = trow[j];
      for (int32_t d = 0; d < dim; ++d) out[d] += w * vrow[d];
    }
  }
}

// ---------------------------------------------------------------------------
// Operations.

qz_status_t qz_ypu_host_attention_kv_u8(qz_ypu_context_t *context, const void *params) {
  return attention_kv<uint8_t>(context, *static_cast<const qz_ypu_attention_kv_u8_params_t *>(params));
}

qz_status_t qz_ypu_host_attention_kv_u16(qz_ypu_context_t *context, const void *params) {
  return attention_kv<uint16_t>(context,
                                *static_cast<const qz_ypu_attention_kv_u16_params_t *>(params));
}

qz_status_t qz_ypu_host_attention_scores_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_f32_params_t *>(params);
  const auto s = float_shape(p.batch_size, p.query_size, p.key_value_size, p.num_heads,
                             p.num_kv_heads, p.head_dim);
  const bool work = s.batch_size > 0 && s.num_heads > 0 && s.query_size > 0 &&
                    s.key_value_size > 0;
  if (work && !qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  float *scores = frame.inout<float>(p.scores, 0);
  const float *query = frame.in<float>(p.query, 0);
  const float *key = frame.in<float>(p.key, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;
  const float scale = qz_ypu_attention_scale(s.head_dim);
  for (int32_t b = 0; b < s.batch_size; ++b)
    for (int32_t h = 0; h < s.num_heads; ++h)
      qz_ypu_attention_scores_f32_head(scores, query, key, s, b, h, scale);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_attention_values_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_f32_params_t *>(params);
  auto s = float_shape(p.batch_size, p.query_size, p.key_value_size, p.num_heads,
                       p.num_kv_heads, p.head_dim);
  const bool work = s.batch_size > 0 && s.num_heads > 0 && s.query_size > 0 && s.head_dim > 0;
  if (work && !qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;
  // No keys: every output is the empty sum, 0.
  s.key_value_size = std::max(s.key_value_size, 0);
  s.max_key_value_size = s.key_value_size;
  qz_ypu_host_frame frame(context);
  float *output = frame.inout<float>(p.output, 0);
  const float *weights = frame.in<float>(p.scores, 0);
  const float *value = frame.in<float>(p.value, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;
  for (int32_t b = 0; b < s.batch_size; ++b)
    for (int32_t h = 0; h < s.num_heads; ++h)
      qz_ypu_attention_values_f32_head(output, weights, value, s, b, h);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_attention_scores_cache_u8(qz_ypu_context_t *context,
                                                  const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_cache_u8_params_t *>(params);
  const qz_ypu_attention_shape_t s{
      .batch_size = p.batch_size, .query_size = p.query_size,
      .key_value_size = p.key_value_size, .max_key_value_size = p.max_key_value_size,
      .num_heads = p.num_heads, .num_kv_heads = p.num_kv_heads, .head_dim = p.head_dim};
  const bool work = s.batch_size > 0 && s.query_size > 0 && s.key_value_size > 0 &&
                    s.num_heads > 0;
  if (work && !qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  float *scores = frame.inout<float>(p.scores, 0);
  const float *query = frame.in<float>(p.query, 0);
  const uint8_t *key = frame.in<uint8_t>(p.key, 0);
  const float *key_metas = frame.in<float>(p.key_metas, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;
  const float scale = qz_ypu_attention_scale(s.head_dim);
  for (int32_t b = 0; b < s.batch_size; ++b)
    for (int32_t h = 0; h < s.num_heads; ++h)
      qz_ypu_attention_scores_cache_u8_head(scores, query, key, key_metas, s, b, h, scale);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_attention_values_cache_u8(qz_ypu_context_t *context,
                                                  const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_cache_u8_params_t *>(params);
  const qz_ypu_attention_shape_t s{
      .batch_size = p.batch_size, .query_size = p.query_size,
      .key_value_size = std::max(p.key_value_size, 0),
      .max_key_value_size = p.max_key_value_size, .num_heads = p.num_heads,
      .num_kv_heads = p.num_kv_heads, .head_dim = p.head_dim};
  const bool work = s.batch_size > 0 && s.query_size > 0 && s.num_heads > 0 && s.head_dim > 0;
  if (work && !qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  float *output = frame.inout<float>(p.output, 0);
  const float *weights = frame.in<float>(p.scores, 0);
  const uint8_t *value = frame.in<uint8_t>(p.value, 0);
  const float *value_metas = frame.in<float>(p.value_metas, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;
  for (int32_t b = 0; b < s.batch_size; ++b)
    for (int32_t h = 0; h < s.num_heads; ++h)
      qz_ypu_attention_values_cache_u8_head(output, weights, value, value_metas, s, b, h);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_attention_blocked_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_blocked_f32_params_t *>(params);
  const auto s = float_shape(p.batch_size, p.query_size, p.key_value_size, p.num_heads,
                             p.num_kv_heads, p.head_dim);
  const bool work = s.batch_size > 0 && s.num_heads > 0 && s.query_size > 0;
  if (work && !qz_ypu_attention_heads_valid(s.num_heads, s.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;

  scratch_buffer scratch(context, QZ_ATTENTION_BLOCK * QZ_ATTENTION_BLOCK * 4,
                         scratch_buffer::backend);
  if (!scratch.obtained()) {
    qz_error_push("", 0, &QZ_ATTENTION_ERROR_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  float *tile = scratch.map();
  if (!tile) return QZ_STATUS_OUT_OF_MEMORY;

  qz_ypu_host_frame frame(context);
  float *output = frame.inout<float>(p.output, 0);
  const float *query = frame.in<float>(p.query, 0);
  const float *key = frame.in<float>(p.key, 0);
  const float *value = frame.in<float>(p.value, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  const float scale = qz_ypu_attention_scale(s.head_dim);
  const int32_t q_per_kv = s.num_heads / s.num_kv_heads;
  float maxima[QZ_ATTENTION_BLOCK];
  float sums[QZ_ATTENTION_BLOCK];
  for (int32_t b = 0; b < s.batch_size; ++b) {
    for (int32_t h = 0; h < s.num_heads; ++h) {
      for (int32_t q0 = 0; q0 < s.query_size; q0 += QZ_ATTENTION_BLOCK) {
        const int32_t queries = std::min(QZ_ATTENTION_BLOCK, s.query_size - q0);
        for (int32_t i = 0; i < queries; ++i) {
          maxima[i] = -std::numeric_limits<float>::infinity();
          sums[i] = 0.0f;
          std::fill_n(output + bqhd(s, b, q0 + i, h), std::max(s.head_dim, 0), 0.0f);
        }
        for (int32_t t0 = 0; t0 < s.key_value_size; t0 += QZ_ATTENTION_BLOCK)
          qz_ypu_attention_blocked_step(output, query, key, value, tile, maxima, sums, scale, b,
                                        q0, t0, h, h / q_per_kv, s);
        // Without keys the rows stay 0, as the value product gives.
        if (s.key_value_size < 1) continue;
        for (int32_t i = 0; i < queries; ++i) {
          float *out = output + bqhd(s, b, q0 + i, h);
          for (int32_t d = 0; d < s.head_dim; ++d) out[d] /= sums[i];
        }
      }
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_add_bias_2d_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_add_bias_2d_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *x = frame.inout<float>(p.x, 0);
  const float *row_bias = frame.in<float>(p.row_bias, 0);
  const float *col_bias = frame.in<float>(p.col_bias, 0);
  if (!frame.ok()) return frame.status();
  if (p.rows < 1 || p.cols < 1) return QZ_STATUS_SUCCESS;
  for (int64_t o = 0; o < p.outer; ++o) {
    for (int64_t r = 0; r < p.rows; ++r) {
      float *row = x + (o * p.rows + r) * p.cols;
      const float rb = row_bias[o * p.rows + r];
      const float *cb = col_bias + o * p.cols;
      for (int32_t c = 0; c < p.cols; ++c) row[c] = (rb + cb[c]) + row[c];
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_mask_window_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_mask_window_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *scores = frame.inout<float>(p.scores, 0);
  const int32_t *windows = frame.in<int32_t>(p.mask_indices, 0);
  if (!frame.ok()) return frame.status();
  if (p.n < 1 || p.k < 1) return QZ_STATUS_SUCCESS;
  const float minus_inf = -std::numeric_limits<float>::infinity();
  for (int64_t b = 0; b < p.batches; ++b) {
    for (int32_t r = 0; r < p.n; ++r) {
      float *row = scores + (b * p.n + r) * p.k;
      const int32_t lo = windows[2 * int64_t{r}], hi = windows[2 * int64_t{r} + 1];
      // Tested per entry, so a window reaching past the row masks nothing more.
      for (int32_t t = 0; t < p.k; ++t)
        if (t < lo || t > hi) row[t] = minus_inf;
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_gather_clamped(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_gather_clamped_params_t *>(params);
  qz_ypu_host_frame frame(context);
  uint32_t *output = frame.inout<uint32_t>(p.output, 0);
  const uint32_t *input = frame.in<uint32_t>(p.input, 0);
  if (!frame.ok()) return frame.status();
  // Without a source row there is nothing to clamp to.
  if (p.block_count < 1 || p.block_rows < 1 || p.source_rows < 1 || p.row_words < 1)
    return QZ_STATUS_SUCCESS;
  const int64_t t = std::max(p.block_count / p.block_rows, 1);
  const int64_t s = std::max(p.block_rows / p.block_count, 1);
  const size_t row_bytes = size_t(p.row_words) * 4;
  for (int64_t i = 0; i < p.block_count; ++i) {
    for (int64_t j = 0; j < p.block_rows; ++j) {
      const int64_t source = std::clamp<int64_t>(t * (p.block_rows - 1 - j) + s * i, 0,
                                                 p.source_rows - 1);
      std::memcpy(output + (i * p.block_rows + j) * p.row_words, input + source * p.row_words,
                  row_bytes);
    }
  }
  return QZ_STATUS_SUCCESS;
}
