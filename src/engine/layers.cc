// Linear layers, layer norms, attention with its uint8 key/value caches, and
// the embedding lookup; every step is one operation dispatched through the
// context.
#include <cstring>
#include <utility>

#include "engine/model.h"
#include "ypu/params.h"

namespace {

constexpr const char *SITE_LINEAR_WEIGHT = "bbd9c19";
constexpr const char *SITE_ATTENTION_LINEAR = "40304c6";
constexpr const char *SITE_CACHE_SHIFT = "c0d14c8";
constexpr const char *SITE_CACHE_RESERVE = "9b2b412";
constexpr const char *SITE_CACHE_REORDER = "d92abb9";
constexpr const char *SITE_EMBEDDING_ROW = "d134232";

constexpr int32_t kPairBytes = 2 * sizeof(float);  // {slope, intercept} per cached row

// Rows a cache's buffers hold per sequence.
int32_t qz_norvo_cache_rows(const qz_norvo_attention_cache_t *cache) {
  return cache->capacity >= 1 ? cache->capacity : cache->length;
}

bool qz_norvo_cache_reserved(const qz_norvo_attention_cache_t *cache) {
  return cache->key_codes != nullptr;
}

// Byte size of rows x width floats, refused when it does not fit a buffer.
qz_status_t qz_norvo_rows_bytes(int64_t rows, int32_t width, const char *name, int32_t *bytes) {
  return qz_norvo_byte_size(rows * width, sizeof(float), name, bytes);
}

// Device buffers that live for one call and are freed on every path.
struct qz_norvo_temporaries {
  qz_ypu_context_t *context;
  qz_ypu_buffer_t *buffers[4] = {};
  explicit qz_norvo_temporaries(qz_ypu_context_t *c) : context(c) {}
  ~qz_norvo_temporaries() {
    for (int i = 3; i >= 0; --i) qz_norvo_buffer_delete(context, &buffers[i]);
  }
  qz_norvo_temporaries(const qz_norvo_temporaries &) = delete;
  qz_norvo_temporaries &operator=(const qz_norvo_temporaries &) = delete;
  qz_ypu_buffer_t *create(int i, int32_t bytes) {
    return buffers[i] = qz_norvo_buffer_new(context, bytes);
  }
};

qz_status_t qz_norvo_attention_linear(qz_ypu_context_t *context, qz_norvo_linear_t *linear,
                                      qz_ypu_buffer_t *out, qz_ypu_buffer_t *in, int32_t n) {
  const qz_status_t status = qz_norvo_linear_forward(context, linear, out, in, n);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_ATTENTION_LINEAR);
  return status;
}

// Op 73 over the cached keys and values.
qz_status_t qz_norvo_attend_cache(qz_ypu_context_t *context, const qz_norvo_attention_t *attention,
                                  qz_norvo_attention_cache_t *cache, qz_ypu_buffer_t *output,
                                  qz_ypu_buffer_t *query, int32_t batch, int32_t query_rows) {
  const qz_ypu_attention_cache_u8_params_t params{.output = output,
                                                  .query = query,
                                                  .key = cache->key_codes,
                                                  .key_metas = cache->key_pairs,
                                                  .value = cache->value_codes,
                                                  .value_metas = cache->value_pairs,
                                                  .batch_size = batch,
                                                  .query_size = query_rows,
                                                  .key_value_size = cache->length,
                                                  .max_key_value_size = qz_norvo_cache_rows(cache),
                                                  .num_heads = attention->heads,
                                                  .num_kv_heads = attention->heads,
                                                  .head_dim = attention->head_dim};
  return qz_norvo_execute(context, QZ_YPU_OP_ATTENTION_CACHE_U8, &params);
}

qz_status_t qz_norvo_check_counts(int32_t batch, int32_t query_rows, int32_t kv_rows) {
  if (batch < 1) return qz_norvo_invalid("batch");
  if (query_rows < 1) return qz_norvo_invalid("query_rows");
  if (kv_rows < 1) return qz_norvo_invalid("kv_rows");
  return QZ_STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Linear and layer norm.

qz_status_t qz_norvo_linear_forward(qz_ypu_context_t *context, qz_norvo_linear_t *linear,
                                    qz_ypu_buffer_t *out, qz_ypu_buffer_t *in, int32_t n) {
  qz_norvo_weight_t *weight = linear->weight;
  qz_status_t status = weight->forward ? weight->forward(context, out, in, weight, n, 0, 0)
                                       : qz_norvo_invalid("weight");
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_LINEAR_WEIGHT);
    return status;
  }
  const qz_ypu_add_row_f32_params_t params{.out = out,
                                           .a = out,
                                           .v = linear->bias,
                                           .rows = n,
                                           .cols = weight->rows,
                                           .out_offset = 0,
                                           .a_offset = 0,
                                           .v_offset = 0};
  return qz_norvo_execute(context, QZ_YPU_OP_ADD_ROW_F32, &params);
}

qz_status_t qz_norvo_layer_norm_forward(qz_ypu_context_t *context, qz_norvo_layer_norm_t *norm,
                                        qz_ypu_buffer_t *out, qz_ypu_buffer_t *in, int32_t rows) {
  const qz_ypu_layer_norm_f32_params_t params{.out = out,
                                              .in = in,
                                              .gamma = norm->gamma,
                                              .beta = norm->beta,
                                              .epsilon = QZ_NORVO_LAYER_NORM_EPSILON,
                                              .rows = rows,
                                              .cols = norm->size,
                                              .out_offset = 0,
                                              .in_offset = 0,
                                              .gamma_offset = 0,
                                              .beta_offset = 0};
  return qz_norvo_execute(context, QZ_YPU_OP_LAYER_NORM_F32, &params);
}

// ---------------------------------------------------------------------------
// Attention caches.

qz_status_t qz_norvo_attention_cache_create(qz_ypu_context_t *context, int32_t capacity,
                                            qz_norvo_attention_cache_t **out) {
  auto cache = qz_norvo_record_new<qz_norvo_attention_cache_t>(context);
  if (!cache) return QZ_STATUS_OUT_OF_MEMORY;
  cache->capacity = capacity;
  *out = cache;
  return QZ_STATUS_SUCCESS;
}

namespace {

// The four buffers of a cache, or of its spare set, in reserve order.
struct qz_norvo_cache_quad {
  qz_ypu_buffer_t **buffers[4];
};

qz_norvo_cache_quad qz_norvo_cache_main(qz_norvo_attention_cache_t *cache) {
  return {{&cache->key_codes, &cache->key_pairs, &cache->value_codes, &cache->value_pairs}};
}

qz_norvo_cache_quad qz_norvo_cache_spare(qz_norvo_attention_cache_t *cache) {
  return {{&cache->spare_key_codes, &cache->spare_key_pairs, &cache->spare_value_codes,
           &cache->spare_value_pairs}};
}

void qz_norvo_cache_quad_delete(qz_ypu_context_t *context, const qz_norvo_cache_quad &quad) {
  for (int i = 3; i >= 0; --i) qz_norvo_buffer_delete(context, quad.buffers[i]);
}

// Creates the four buffers of `quad` for the cache's sequences and width;
// on failure none is left.
qz_status_t qz_norvo_cache_quad_new(qz_ypu_context_t *context,
                                    const qz_norvo_attention_cache_t *cache,
                                    const qz_norvo_cache_quad &quad) {
  const int64_t rows = int64_t{cache->sequences} * qz_norvo_cache_rows(cache);
  int32_t code_bytes = 0, pair_bytes = 0;
  qz_status_t status = qz_norvo_byte_size(rows * cache->width, 1, "width", &code_bytes);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(rows, kPairBytes, "sequences", &pair_bytes);
  if (status != QZ_STATUS_SUCCESS) return status;
  const int32_t bytes[4] = {code_bytes, pair_bytes, code_bytes, pair_bytes};
  for (int i = 0; i < 4; ++i) {
    *quad.buffers[i] = qz_norvo_buffer_new(context, bytes[i]);
    if (!*quad.buffers[i]) {
      qz_norvo_cache_quad_delete(context, quad);
      return QZ_STATUS_OUT_OF_MEMORY;
    }
  }
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_norvo_attention_cache_reserve(qz_ypu_context_t *context,
                                             qz_norvo_attention_cache_t *cache) {
  const qz_status_t status = qz_norvo_cache_quad_new(context, cache, qz_norvo_cache_main(cache));
  if (status != QZ_STATUS_SUCCESS) qz_norvo_attention_cache_release(context, cache);
  return status;
}

void qz_norvo_attention_cache_release(qz_ypu_context_t *context,
                                      qz_norvo_attention_cache_t *cache) {
  qz_norvo_cache_quad_delete(context, qz_norvo_cache_spare(cache));
  qz_norvo_cache_quad_delete(context, qz_norvo_cache_main(cache));
}

qz_status_t qz_norvo_attention_cache_append(qz_ypu_context_t *context,
                                            qz_norvo_attention_cache_t *cache, qz_ypu_buffer_t *key,
                                            qz_ypu_buffer_t *value, int32_t batch, int32_t rows,
                                            int32_t width, int32_t key_offset,
                                            int32_t value_offset) {
  if (batch < 1) return qz_norvo_invalid("batch");
  if (rows < 1) return qz_norvo_invalid("rows");
  if (width < 1) return qz_norvo_invalid("width");
  // Filled buffers are laid out for their own sequence count and width.
  if (qz_norvo_cache_reserved(cache) && (batch != cache->sequences || width != cache->width))
    return qz_norvo_invalid("cache");
  const int32_t limit = qz_norvo_cache_rows(cache);
  // More new rows than the cache keeps would shift by more than a sequence.
  if (limit > 0 && rows > limit) return qz_norvo_invalid("rows");
  const int64_t wanted = int64_t{cache->length} + rows;
  if (wanted > INT32_MAX) return qz_norvo_invalid("rows");

  if (limit > 0 && limit < wanted) {
    // Full: drop the oldest rows of every sequence to make room.
    const int32_t dropped = static_cast<int32_t>(wanted - limit);
    cache->length = limit - rows;
    struct shift {
      qz_ypu_buffer_t *data;
      int32_t row_bytes;
    };
    const shift shifts[] = {{cache->key_codes, width},
                            {cache->key_pairs, kPairBytes},
                            {cache->value_codes, width},
                            {cache->value_pairs, kPairBytes}};
    for (const shift &s : shifts) {
      const qz_ypu_shift_rows_left_params_t params{.data = s.data,
                                                   .rows = batch,
                                                   .row_bytes = limit * s.row_bytes,
                                                   .shift_bytes = dropped * s.row_bytes};
      const qz_status_t status = qz_norvo_execute(context, QZ_YPU_OP_SHIFT_ROWS_LEFT, &params);
      if (status != QZ_STATUS_SUCCESS) {
        qz_error_site(SITE_CACHE_SHIFT);
        return status;
      }
    }
  }
  // New rows go right after the rows kept.
  const int32_t position = cache->length;
  cache->length = position + rows;

  if (!qz_norvo_cache_reserved(cache)) {
    cache->sequences = batch;
    cache->width = width;
    const qz_status_t status = qz_norvo_attention_cache_reserve(context, cache);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_CACHE_RESERVE);
      return status;
    }
  }
  struct writer {
    qz_ypu_buffer_t *codes, *pairs, *input;
    int32_t offset;
  };
  const writer writers[] = {{cache->key_codes, cache->key_pairs, key, key_offset},
                            {cache->value_codes, cache->value_pairs, value, value_offset}};
  for (const writer &w : writers) {
    const qz_ypu_quantize_rows_u8_params_t params{.xq = w.codes,
                                                  .xm = w.pairs,
                                                  .xf = w.input,
                                                  .max_length = qz_norvo_cache_rows(cache),
                                                  .position = position,
                                                  .m = batch,
                                                  .n = rows,
                                                  .k = width,
                                                  .xf_offset = w.offset};
    const qz_status_t status = qz_norvo_execute(context, QZ_YPU_OP_QUANTIZE_ROWS_U8, &params);
    if (status != QZ_STATUS_SUCCESS) return status;
  }
  return QZ_STATUS_SUCCESS;
}

namespace {

// Each new sequence continues one of the cached sequences; the parents are
// copied to `parents` (count entries).
qz_status_t qz_norvo_read_parents(qz_ypu_context_t *context,
                                  const qz_norvo_attention_cache_t *cache, qz_ypu_buffer_t *index,
                                  int32_t count, int32_t *parents) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  auto mapped = static_cast<const int32_t *>(ops.buffer_map(context->device, index, 1));
  if (!mapped) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  bool ok = true;
  for (int32_t i = 0; i < count && ok; ++i) {
    parents[i] = mapped[i];
    ok = parents[i] >= 0 && parents[i] < cache->sequences;
  }
  ops.buffer_unmap(context->device, index, 0);
  return ok ? QZ_STATUS_SUCCESS : qz_norvo_invalid("index");
}

// Fills the spare set (made for the cache's sequence count when missing) with
// sequence parents[i] of the main set as sequence i (sequence 0 for every i
// when parents is null), and makes it the main set. Only the rows in use move: rows past `length` are never read before
// an append writes them.
qz_status_t qz_norvo_cache_move_rows(qz_ypu_context_t *context,
                                     qz_norvo_attention_cache_t *cache, const int32_t *parents,
                                     int32_t count) {
  qz_status_t status = QZ_STATUS_SUCCESS;
  const qz_norvo_cache_quad spare = qz_norvo_cache_spare(cache);
  if (!cache->spare_key_codes) {
    status = qz_norvo_cache_quad_new(context, cache, spare);
    if (status != QZ_STATUS_SUCCESS) {
      qz_norvo_attention_cache_release(context, cache);
      qz_error_site(SITE_CACHE_RESERVE);
      return status;
    }
  }

  const int32_t rows = qz_norvo_cache_rows(cache);
  const qz_norvo_cache_quad current = qz_norvo_cache_main(cache);
  const int32_t row_bytes[4] = {cache->width, kPairBytes, cache->width, kPairBytes};
  for (int b = 0; b < 4; ++b) {
    const int32_t block = rows * row_bytes[b];
    for (int32_t i = 0; i < count; ++i) {
      const qz_ypu_copy_bytes_params_t params{.out = *spare.buffers[b],
                                              .in = *current.buffers[b],
                                              .count = cache->length * row_bytes[b],
                                              .out_offset = i * block,
                                              .in_offset = parents ? parents[i] * block : 0};
      status = qz_norvo_execute(context, QZ_YPU_OP_COPY_BYTES, &params);
      if (status != QZ_STATUS_SUCCESS) {
        qz_error_site(SITE_CACHE_REORDER);
        return status;
      }
    }
  }
  for (int b = 0; b < 4; ++b) std::swap(*spare.buffers[b], *current.buffers[b]);
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_norvo_attention_cache_reorder(qz_ypu_context_t *context,
                                             qz_norvo_attention_cache_t *cache,
                                             qz_ypu_buffer_t *index, int32_t count) {
  // An empty cache has nothing to reorder.
  if (!qz_norvo_cache_reserved(cache)) return QZ_STATUS_SUCCESS;
  if (count != cache->sequences) return qz_norvo_invalid("count");
  int32_t parents_on_stack[16];
  int32_t *parents = count <= 16 ? parents_on_stack
                                 : static_cast<int32_t *>(qz_norvo_record_alloc(
                                       context, int64_t{count} * int64_t{sizeof(int32_t)}));
  if (!parents) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard free_parents([&] {
    if (parents != parents_on_stack) qz_norvo_record_delete(context, parents);
  });
  qz_status_t status = qz_norvo_read_parents(context, cache, index, count, parents);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_cache_move_rows(context, cache, parents, count);
}

qz_status_t qz_norvo_attention_cache_widen(qz_ypu_context_t *context,
                                           qz_norvo_attention_cache_t *cache, int32_t count) {
  if (!qz_norvo_cache_reserved(cache)) return QZ_STATUS_SUCCESS;
  if (cache->sequences != 1 || count < 1) return qz_norvo_invalid("count");
  if (count == 1) return QZ_STATUS_SUCCESS;
  // The spare set, if any, has room for one sequence only: the new main set
  // is made in its place, and the old one goes once every copy is made.
  qz_norvo_cache_quad_delete(context, qz_norvo_cache_spare(cache));
  cache->sequences = count;
  const qz_status_t status = qz_norvo_cache_move_rows(context, cache, nullptr, count);
  // Either way no set is left sized for one sequence.
  if (status == QZ_STATUS_SUCCESS)
    qz_norvo_cache_quad_delete(context, qz_norvo_cache_spare(cache));
  else
    qz_norvo_attention_cache_release(context, cache);
  return status;
}

void qz_norvo_attention_cache_free(qz_ypu_context_t *context, qz_norvo_attention_cache_t *cache) {
  if (!cache) return;
  qz_norvo_attention_cache_release(context, cache);
  qz_norvo_record_delete(context, cache);
}

// ---------------------------------------------------------------------------
// Attention.

namespace {

qz_status_t qz_norvo_project_keys_values(qz_ypu_context_t *context,
                                         qz_norvo_attention_t *attention, qz_ypu_buffer_t *keys,
                                         qz_ypu_buffer_t *values, qz_ypu_buffer_t *kv_input,
                                         int32_t kv_count) {
  qz_status_t status =
      qz_norvo_attention_linear(context, attention->key, keys, kv_input, kv_count);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_attention_linear(context, attention->value, values, kv_input, kv_count);
  return status;
}

}  // namespace

qz_status_t qz_norvo_attention_fill_cache(qz_ypu_context_t *context,
                                          qz_norvo_attention_t *attention,
                                          qz_norvo_attention_cache_t *cache,
                                          qz_ypu_buffer_t *kv_input, int32_t batch,
                                          int32_t kv_rows) {
  qz_status_t status = qz_norvo_check_counts(batch, 1, kv_rows);
  int32_t kv_bytes = 0;
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_rows_bytes(int64_t{batch} * kv_rows, attention->dim, "kv_rows", &kv_bytes);
  if (status != QZ_STATUS_SUCCESS) return status;
  enum { KEY, VALUE };
  qz_norvo_temporaries t(context);
  if (!t.create(KEY, kv_bytes) || !t.create(VALUE, kv_bytes)) return QZ_STATUS_OUT_OF_MEMORY;
  status = qz_norvo_project_keys_values(context, attention, t.buffers[KEY], t.buffers[VALUE],
                                        kv_input, batch * kv_rows);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_attention_cache_append(context, cache, t.buffers[KEY], t.buffers[VALUE], batch,
                                         kv_rows, attention->dim, 0, 0);
}

qz_status_t qz_norvo_attention_forward(qz_ypu_context_t *context, qz_norvo_attention_t *attention,
                                       qz_ypu_buffer_t *out, qz_ypu_buffer_t *query_input,
                                       qz_ypu_buffer_t *kv_input, qz_norvo_attention_cache_t *cache,
                                       int32_t batch, int32_t query_rows, int32_t kv_rows) {
  qz_status_t status = qz_norvo_check_counts(batch, query_rows, kv_rows);
  const int32_t dim = attention->dim;
  int32_t query_bytes = 0, kv_bytes = 0;
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_rows_bytes(int64_t{batch} * query_rows, dim, "query_rows", &query_bytes);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_rows_bytes(int64_t{batch} * kv_rows, dim, "kv_rows", &kv_bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  enum { QUERY, KEY, VALUE, OUTPUT };
  qz_norvo_temporaries t(context);
  if (!t.create(QUERY, query_bytes) || !t.create(KEY, kv_bytes) || !t.create(VALUE, kv_bytes) ||
      !t.create(OUTPUT, query_bytes))
    return QZ_STATUS_OUT_OF_MEMORY;

  const int32_t query_count = batch * query_rows;
  status = qz_norvo_attention_linear(context, attention->query, t.buffers[QUERY], query_input,
                                     query_count);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_project_keys_values(context, attention, t.buffers[KEY], t.buffers[VALUE],
                                          kv_input, batch * kv_rows);
  if (status != QZ_STATUS_SUCCESS) return status;

  if (!cache) {
    const qz_ypu_attention_f32_params_t params{.output = t.buffers[OUTPUT],
                                               .query = t.buffers[QUERY],
                                               .key = t.buffers[KEY],
                                               .value = t.buffers[VALUE],
                                               .batch_size = batch,
                                               .query_size = query_rows,
                                               .key_value_size = kv_rows,
                                               .num_heads = attention->heads,
                                               .num_kv_heads = attention->heads,
                                               .head_dim = attention->head_dim,
                                               .quantize = 0};
    status = qz_norvo_execute(context, QZ_YPU_OP_ATTENTION_F32, &params);
  } else {
    status = qz_norvo_attention_cache_append(context, cache, t.buffers[KEY], t.buffers[VALUE],
                                             batch, kv_rows, dim, 0, 0);
    if (status == QZ_STATUS_SUCCESS)
      status = qz_norvo_attend_cache(context, attention, cache, t.buffers[OUTPUT], t.buffers[QUERY],
                                     batch, query_rows);
  }
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_attention_linear(context, attention->output, out, t.buffers[OUTPUT], query_count);
}

qz_status_t qz_norvo_cross_attention_forward(qz_ypu_context_t *context,
                                             qz_norvo_attention_t *attention, qz_ypu_buffer_t *out,
                                             qz_ypu_buffer_t *query_input,
                                             qz_ypu_buffer_t *kv_input,
                                             qz_norvo_attention_cache_t *cache, int32_t batch,
                                             int32_t query_rows, int32_t kv_rows) {
  // The encoder's keys and values are projected once, on the first step.
  if (cache->length == 0)
    return qz_norvo_attention_forward(context, attention, out, query_input, kv_input, cache, batch,
                                      query_rows, kv_rows);
  qz_status_t status = qz_norvo_check_counts(batch, query_rows, kv_rows);
  if (status == QZ_STATUS_SUCCESS && batch != cache->sequences) status = qz_norvo_invalid("batch");
  int32_t query_bytes = 0;
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_rows_bytes(int64_t{batch} * query_rows, attention->dim, "query_rows",
                                 &query_bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  enum { QUERY, OUTPUT };
  qz_norvo_temporaries t(context);
  if (!t.create(QUERY, query_bytes) || !t.create(OUTPUT, query_bytes))
    return QZ_STATUS_OUT_OF_MEMORY;
  const int32_t query_count = batch * query_rows;
  status = qz_norvo_attention_linear(context, attention->query, t.buffers[QUERY], query_input,
                                     query_count);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_attend_cache(context, attention, cache, t.buffers[OUTPUT], t.buffers[QUERY],
                                   batch, query_rows);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_attention_linear(context, attention->output, out, t.buffers[OUTPUT], query_count);
}

// ---------------------------------------------------------------------------
// Embedding lookup.

qz_status_t qz_norvo_embedding_lookup(qz_ypu_context_t *context,
                                      qz_norvo_embedding_t *token_embedding,
                                      qz_norvo_embedding_t *position_embedding, float *rows,
                                      const uint32_t *ids, int32_t position_offset, float scale,
                                      int32_t sequences, int32_t positions) {
  qz_norvo_weight_t *tokens = token_embedding->table;
  qz_norvo_weight_t *places = position_embedding->table;
  const int32_t cols = tokens->cols;
  if (places->cols != cols) return qz_norvo_invalid("position_embedding");
  if (sequences < 0) return qz_norvo_invalid("sequences");
  if (positions < 0) return qz_norvo_invalid("positions");
  auto position_row = static_cast<float *>(
      qz_norvo_record_alloc(context, int64_t{cols} * static_cast<int64_t>(sizeof(float))));
  if (!position_row) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard free_row([&] { qz_norvo_record_delete(context, position_row); });

  const size_t width = static_cast<size_t>(cols);
  const int64_t count = int64_t{sequences} * positions;
  for (int64_t j = 0; j < count; ++j) {
    // Ids above INT32_MAX become negative rows, which the table refuses.
    const qz_status_t status = tokens->lookup_row(
        context, tokens, rows + static_cast<size_t>(j) * width, static_cast<int32_t>(ids[j]));
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_EMBEDDING_ROW);
      return status;
    }
  }
  for (int32_t i = 0; i < positions; ++i) {
    const int64_t place = int64_t{position_offset} + i;
    // The table refuses rows outside it; only a sum past INT32_MAX is caught here.
    qz_status_t status = place > INT32_MAX ? qz_norvo_invalid("row")
                                           : places->lookup_row(context, places, position_row,
                                                                static_cast<int32_t>(place));
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_EMBEDDING_ROW);
      return status;
    }
    for (int32_t k = 0; k < sequences; ++k) {
      float *row = rows + (static_cast<size_t>(k) * static_cast<size_t>(positions) + i) * width;
      for (size_t c = 0; c < width; ++c) row[c] = row[c] * scale + position_row[c];
    }
  }
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Freeing.

void qz_norvo_linear_free(qz_ypu_context_t *context, qz_norvo_linear_t *linear) {
  if (!linear) return;
  qz_norvo_buffer_delete(context, &linear->bias);
  qz_norvo_weight_free(context, linear->weight);
  qz_norvo_record_delete(context, linear);
}

void qz_norvo_layer_norm_free(qz_ypu_context_t *context, qz_norvo_layer_norm_t *norm) {
  if (!norm) return;
  qz_norvo_buffer_delete(context, &norm->beta);
  qz_norvo_buffer_delete(context, &norm->gamma);
  qz_norvo_record_delete(context, norm);
}

void qz_norvo_attention_free(qz_ypu_context_t *context, qz_norvo_attention_t *attention) {
  if (!attention) return;
  qz_norvo_linear_free(context, attention->output);
  qz_norvo_linear_free(context, attention->query);
  qz_norvo_linear_free(context, attention->value);
  qz_norvo_linear_free(context, attention->key);
  qz_norvo_record_delete(context, attention);
}

void qz_norvo_embedding_free(qz_ypu_context_t *context, qz_norvo_embedding_t *embedding) {
  if (!embedding) return;
  qz_norvo_weight_free(context, embedding->table);
  qz_norvo_record_delete(context, embedding);
}
