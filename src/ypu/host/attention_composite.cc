// Host implementations of the composite attention operations. Each chains
// primitives through the dispatcher (so every step runs on the context's
// backend, falling back to the host), with score matrices and quantised
// key/value copies as temporaries created and freed through the backend.
//
//   float chain:  scores (71) -> [bias 62 | window 66] -> softmax (78) -> values (69)
//   cache chain:  scores (72) -> [bias 62 | window 66] -> softmax (78) -> values (70)
//   quantising front end: keys and values -> uint8 caches (56) -> cache composite
#include <algorithm>
#include <cstdint>
#include <limits>

#include "ypu/host/attention.h"
#include "ypu/host/host.h"
#include "ypu/params.h"
#include "ypu/records.h"

namespace {

// Above this many bytes of scores op 61 switches to the blocked attention.
constexpr int64_t kBlockedSwitchBytes = 268435456;
// The largest score matrix the other composites build.
constexpr int64_t kScoreLimitBytes = std::numeric_limits<int32_t>::max();

struct dims {
  int32_t B, Q, K, M, H, G, D;
};

// What goes between the scores and the softmax.
struct extra_term {
  enum kind_t { none, bias, window } kind = none;
  qz_ypu_buffer_t *row_bias = nullptr;
  qz_ypu_buffer_t *col_bias = nullptr;
  qz_ypu_buffer_t *mask_indices = nullptr;
  int32_t key_rows = 0;
  int32_t key_cols = 0;
};

inline int64_t nonnegative(int32_t v) { return std::max<int64_t>(v, 0); }

// Entries of the B x H x Q x K score matrix, in 64 bits.
int64_t score_count(const dims &d) {
  return nonnegative(d.B) * nonnegative(d.H) * nonnegative(d.Q) * nonnegative(d.K);
}

// The bias grid must tile a score row exactly: a larger grid would add past
// the score matrix, a smaller one would misalign every row after the first.
bool bias_grid_fits(int32_t key_rows, int32_t key_cols, int32_t key_value_size) {
  return key_rows >= 0 && key_cols >= 0 &&
         int64_t{key_rows} * key_cols == int64_t{key_value_size};
}

qz_status_t out_of_memory() {
  qz_error_push("", 0, &QZ_ATTENTION_ERROR_MEMORY);
  return QZ_STATUS_OUT_OF_MEMORY;
}

// Runs one step of a chain; a failure adds the chain's own message above
// whatever the step pushed.
qz_status_t run(qz_ypu_context_t *context, uint32_t op, const void *record) {
  const qz_status_t status = qz_ypu_execute(context, op, record);
  if (status != QZ_STATUS_SUCCESS) qz_error_push("", 0, &QZ_YPU_ERROR_OPERATOR, "execute");
  return status;
}

// A temporary device buffer, freed through the backend when it goes out of
// scope (so in reverse order of creation).
class temporary {
 public:
  explicit temporary(qz_ypu_context_t *context) : context_(context) {}
  ~temporary() {
    if (buffer_) qz_ypu_ops(context_).buffer_free(context_->device, buffer_);
  }
  temporary(const temporary &) = delete;
  temporary &operator=(const temporary &) = delete;

  // `bytes` is at most kScoreLimitBytes: the callers check their sizes first.
  bool create(int64_t bytes) {
    buffer_ = qz_ypu_ops(context_).buffer_create(context_->device, static_cast<int32_t>(bytes), 0);
    if (!buffer_) qz_error_push("", 0, &QZ_ATTENTION_ERROR_MEMORY);
    return buffer_ != nullptr;
  }
  qz_ypu_buffer_t *get() const { return buffer_; }

 private:
  qz_ypu_context_t *context_;
  qz_ypu_buffer_t *buffer_ = nullptr;
};

// The bias or the window over the scores S, as a step of the chain.
qz_status_t run_extra(qz_ypu_context_t *context, qz_ypu_buffer_t *scores, const extra_term &extra,
                      const dims &d, bool empty) {
  // With an empty score matrix the row counts may not even fit 32 bits; the
  // steps then have nothing to do.
  const int32_t heads_rows = empty ? 0 : d.B * d.Q * d.H;
  switch (extra.kind) {
    case extra_term::bias: {
      const qz_ypu_add_bias_2d_f32_params_t bias{.x = scores, .row_bias = extra.row_bias,
                                                 .col_bias = extra.col_bias, .outer = heads_rows,
                                                 .rows = extra.key_rows, .cols = extra.key_cols};
      return run(context, QZ_YPU_OP_ADD_BIAS_2D_F32, &bias);
    }
    case extra_term::window: {
      const qz_ypu_mask_window_f32_params_t mask{.scores = scores,
                                                 .mask_indices = extra.mask_indices,
                                                 .batches = empty ? 0 : d.H * d.B, .n = d.Q,
                                                 .k = d.K};
      return run(context, QZ_YPU_OP_MASK_WINDOW_F32, &mask);
    }
    case extra_term::none: break;
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t run_softmax(qz_ypu_context_t *context, qz_ypu_buffer_t *scores, const dims &d,
                        bool empty) {
  const qz_ypu_softmax_f32_params_t softmax{.out = scores, .in = scores,
                                       .rows = empty ? 0 : d.B * d.Q * d.H, .cols = d.K,
                                       .out_offset = 0, .in_offset = 0};
  return run(context, QZ_YPU_OP_SOFTMAX_F32, &softmax);
}

// Scores, extra term, softmax and values over float keys and values. The
// score matrix must already be known to fit its limit.
qz_status_t float_chain(qz_ypu_context_t *context, qz_ypu_buffer_t *output,
                        qz_ypu_buffer_t *query, qz_ypu_buffer_t *key, qz_ypu_buffer_t *value,
                        const extra_term &extra, const dims &d) {
  const int64_t n = score_count(d);
  temporary scores(context);
  if (!scores.create(4 * n)) return QZ_STATUS_OUT_OF_MEMORY;
  const qz_ypu_attention_scores_f32_params_t product{
      .scores = scores.get(), .query = query, .key = key, .batch_size = d.B,
      .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
      .head_dim = d.D};
  qz_status_t status = run(context, QZ_YPU_OP_ATTENTION_SCORES_F32, &product);
  if (status == QZ_STATUS_SUCCESS) status = run_extra(context, scores.get(), extra, d, n == 0);
  if (status == QZ_STATUS_SUCCESS) status = run_softmax(context, scores.get(), d, n == 0);
  if (status != QZ_STATUS_SUCCESS) return status;
  const qz_ypu_attention_values_f32_params_t weighted{
      .output = output, .scores = scores.get(), .value = value, .batch_size = d.B,
      .query_size = d.Q, .key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G,
      .head_dim = d.D};
  return run(context, QZ_YPU_OP_ATTENTION_VALUES_F32, &weighted);
}

// The same chain over uint8 linear caches.
qz_status_t cache_chain(qz_ypu_context_t *context, qz_ypu_buffer_t *output,
                        qz_ypu_buffer_t *query, qz_ypu_buffer_t *key, qz_ypu_buffer_t *key_metas,
                        qz_ypu_buffer_t *value, qz_ypu_buffer_t *value_metas,
                        const extra_term &extra, const dims &d) {
  const int64_t n = score_count(d);
  if (4 * n > kScoreLimitBytes) return out_of_memory();
  temporary scores(context);
  if (!scores.create(4 * n)) return QZ_STATUS_OUT_OF_MEMORY;
  const qz_ypu_attention_scores_cache_u8_params_t product{
      .scores = scores.get(), .query = query, .key = key, .key_metas = key_metas,
      .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K, .max_key_value_size = d.M,
      .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
  qz_status_t status = run(context, QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8, &product);
  if (status == QZ_STATUS_SUCCESS) status = run_extra(context, scores.get(), extra, d, n == 0);
  if (status == QZ_STATUS_SUCCESS) status = run_softmax(context, scores.get(), d, n == 0);
  if (status != QZ_STATUS_SUCCESS) return status;
  const qz_ypu_attention_values_cache_u8_params_t weighted{
      .output = output, .scores = scores.get(), .value = value, .value_metas = value_metas,
      .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K, .max_key_value_size = d.M,
      .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
  return run(context, QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8, &weighted);
}

// Quantises keys and values into uint8 caches of K positions and hands them
// to the cache composite that matches the extra term (73, 64 or 68).
qz_status_t quantized_front(qz_ypu_context_t *context, qz_ypu_buffer_t *output,
                            qz_ypu_buffer_t *query, qz_ypu_buffer_t *key, qz_ypu_buffer_t *value,
                            const extra_term &extra, const dims &d) {
  // The copies' sizes come from the caller: in 64 bits, and refused before
  // anything is created when a buffer could not hold them.
  const int64_t row_bytes = nonnegative(d.G) * nonnegative(d.D);
  const int64_t rows = nonnegative(d.B) * nonnegative(d.K);
  if (row_bytes > kScoreLimitBytes || rows * row_bytes > kScoreLimitBytes ||
      rows * 8 > kScoreLimitBytes)
    return out_of_memory();
  const int32_t width = static_cast<int32_t>(row_bytes);

  temporary key_codes(context), key_pairs(context), value_codes(context), value_pairs(context);
  if (!key_codes.create(rows * row_bytes) || !key_pairs.create(rows * 8))
    return QZ_STATUS_OUT_OF_MEMORY;
  const qz_ypu_quantize_rows_u8_params_t keys{
      .xq = key_codes.get(), .xm = key_pairs.get(), .xf = key, .max_length = d.K,
      .position = 0, .m = d.B, .n = d.K, .k = width, .xf_offset = 0};
  qz_status_t status = run(context, QZ_YPU_OP_QUANTIZE_ROWS_U8, &keys);
  if (status != QZ_STATUS_SUCCESS) return status;

  if (!value_codes.create(rows * row_bytes) || !value_pairs.create(rows * 8))
    return QZ_STATUS_OUT_OF_MEMORY;
  const qz_ypu_quantize_rows_u8_params_t values{
      .xq = value_codes.get(), .xm = value_pairs.get(), .xf = value, .max_length = d.K,
      .position = 0, .m = d.B, .n = d.K, .k = width, .xf_offset = 0};
  status = run(context, QZ_YPU_OP_QUANTIZE_ROWS_U8, &values);
  if (status != QZ_STATUS_SUCCESS) return status;

  switch (extra.kind) {
    case extra_term::bias: {
      const qz_ypu_attention_bias_cache_u8_params_t record{
          .output = output, .query = query, .key = key_codes.get(),
          .key_metas = key_pairs.get(), .value = value_codes.get(),
          .value_metas = value_pairs.get(), .row_bias = extra.row_bias,
          .col_bias = extra.col_bias, .batch_size = d.B, .query_size = d.Q,
          .key_value_size = d.K, .max_key_value_size = d.K, .num_heads = d.H,
          .num_kv_heads = d.G, .head_dim = d.D, .key_rows = extra.key_rows,
          .key_cols = extra.key_cols};
      return run(context, QZ_YPU_OP_ATTENTION_BIAS_CACHE_U8, &record);
    }
    case extra_term::window: {
      const qz_ypu_attention_window_cache_u8_params_t record{
          .output = output, .query = query, .key = key_codes.get(),
          .key_metas = key_pairs.get(), .value = value_codes.get(),
          .value_metas = value_pairs.get(), .mask_indices = extra.mask_indices,
          .batch_size = d.B, .query_size = d.Q, .key_value_size = d.K,
          .max_key_value_size = d.K, .num_heads = d.H, .num_kv_heads = d.G, .head_dim = d.D};
      return run(context, QZ_YPU_OP_ATTENTION_WINDOW_CACHE_U8, &record);
    }
    case extra_term::none: break;
  }
  const qz_ypu_attention_cache_u8_params_t record{
      .output = output, .query = query, .key = key_codes.get(), .key_metas = key_pairs.get(),
      .value = value_codes.get(), .value_metas = value_pairs.get(), .batch_size = d.B,
      .query_size = d.Q, .key_value_size = d.K, .max_key_value_size = d.K, .num_heads = d.H,
      .num_kv_heads = d.G, .head_dim = d.D};
  return run(context, QZ_YPU_OP_ATTENTION_CACHE_U8, &record);
}

// Ops 63 and 67 on float keys: the front end, or the limit then the chain.
qz_status_t float_composite(qz_ypu_context_t *context, qz_ypu_buffer_t *output,
                            qz_ypu_buffer_t *query, qz_ypu_buffer_t *key, qz_ypu_buffer_t *value,
                            const extra_term &extra, const dims &d, int32_t quantize) {
  if (quantize) return quantized_front(context, output, query, key, value, extra, d);
  if (4 * score_count(d) > kScoreLimitBytes) return out_of_memory();
  return float_chain(context, output, query, key, value, extra, d);
}

}  // namespace

qz_status_t qz_ypu_host_attention_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_f32_params_t *>(params);
  const dims d{p.batch_size, p.query_size, p.key_value_size, p.key_value_size,
               p.num_heads,  p.num_kv_heads, p.head_dim};
  if (p.quantize) return quantized_front(context, p.output, p.query, p.key, p.value, {}, d);
  if (4 * score_count(d) > kBlockedSwitchBytes) {
    const qz_ypu_attention_blocked_f32_params_t blocked{
        .output = p.output, .query = p.query, .key = p.key, .value = p.value,
        .batch_size = p.batch_size, .query_size = p.query_size,
        .key_value_size = p.key_value_size, .num_heads = p.num_heads,
        .num_kv_heads = p.num_kv_heads, .head_dim = p.head_dim};
    return run(context, QZ_YPU_OP_ATTENTION_BLOCKED_F32, &blocked);
  }
  return float_chain(context, p.output, p.query, p.key, p.value, {}, d);
}

qz_status_t qz_ypu_host_attention_bias_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_bias_f32_params_t *>(params);
  if (!bias_grid_fits(p.key_rows, p.key_cols, p.key_value_size)) return QZ_STATUS_INVALID_ARGUMENT;
  const dims d{p.batch_size, p.query_size, p.key_value_size, p.key_value_size,
               p.num_heads,  p.num_kv_heads, p.head_dim};
  const extra_term extra{.kind = extra_term::bias, .row_bias = p.row_bias,
                         .col_bias = p.col_bias, .key_rows = p.key_rows,
                         .key_cols = p.key_cols};
  return float_composite(context, p.output, p.query, p.key, p.value, extra, d, p.quantize);
}

qz_status_t qz_ypu_host_attention_window_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_window_f32_params_t *>(params);
  const dims d{p.batch_size, p.query_size, p.key_value_size, p.key_value_size,
               p.num_heads,  p.num_kv_heads, p.head_dim};
  const extra_term extra{.kind = extra_term::window, .mask_indices = p.mask_indices};
  return float_composite(context, p.output, p.query, p.key, p.value, extra, d, p.quantize);
}

qz_status_t qz_ypu_host_attention_cache_u8(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_cache_u8_params_t *>(params);
  const dims d{p.batch_size, p.query_size, p.key_value_size, p.max_key_value_size,
               p.num_heads,  p.num_kv_heads, p.head_dim};
  return cache_chain(context, p.output, p.query, p.key, p.key_metas, p.value, p.value_metas, {},
                     d);
}

qz_status_t qz_ypu_host_attention_bias_cache_u8(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_bias_cache_u8_params_t *>(params);
  if (!bias_grid_fits(p.key_rows, p.key_cols, p.key_value_size)) return QZ_STATUS_INVALID_ARGUMENT;
  const dims d{p.batch_size, p.query_size, p.key_value_size, p.max_key_value_size,
               p.num_heads,  p.num_kv_heads, p.head_dim};
  const extra_term extra{.kind = extra_term::bias, .row_bias = p.row_bias,
                         .col_bias = p.col_bias, .key_rows = p.key_rows,
                         .key_cols = p.key_cols};
  return cache_chain(context, p.output, p.query, p.key, p.key_metas, p.value, p.value_metas,
                     extra, d);
}

qz_status_t qz_ypu_host_attention_window_cache_u8(qz_ypu_context_t *context,
                                                  const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_window_cache_u8_params_t *>(params);
  const dims d{p.batch_size, p.query_size, p.key_value_size, p.max_key_value_size,
               p.num_heads,  p.num_kv_heads, p.head_dim};
  const extra_term extra{.kind = extra_term::window, .mask_indices = p.mask_indices};
  return cache_chain(context, p.output, p.query, p.key, p.key_metas, p.value, p.value_metas,
                     extra, d);
}
