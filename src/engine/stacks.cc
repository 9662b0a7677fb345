// Encoder and decoder layers and stacks: a post-norm transformer whose
// residual and feed-forward temporaries come from the context's buffer cache.
#include "engine/model.h"
#include "ypu/params.h"

namespace {

constexpr const char *SITE_EMBED = "59ae30c";
constexpr const char *SITE_ENCODER_LAYER = "9a350f2";
constexpr const char *SITE_DECODER_LAYER = "8ba9cd5";
constexpr const char *SITE_ATTENTION = "fe44928";
constexpr const char *SITE_NORM = "9a559c9";
constexpr const char *SITE_LINEAR = "40304c6";

// A buffer from the context's cache, handed back on every path.
class qz_norvo_cached_buffer {
 public:
  explicit qz_norvo_cached_buffer(qz_ypu_context_t *context) : context_(context) {}
  ~qz_norvo_cached_buffer() { qz_ypu_buffer_release(context_, buffer_); }
  qz_norvo_cached_buffer(const qz_norvo_cached_buffer &) = delete;
  qz_norvo_cached_buffer &operator=(const qz_norvo_cached_buffer &) = delete;

  // rows x width floats; pushes 0x324 when the size is refused or there is no memory.
  qz_status_t acquire(int64_t rows, int32_t width) {
    int32_t bytes = 0;
    const qz_status_t status = qz_norvo_byte_size(rows * width, sizeof(float), "rows", &bytes);
    if (status != QZ_STATUS_SUCCESS) return status;
    buffer_ = qz_ypu_buffer_acquire(context_, bytes);
    if (buffer_) return QZ_STATUS_SUCCESS;
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  qz_ypu_buffer_t *get() const { return buffer_; }

 private:
  qz_ypu_context_t *context_;
  qz_ypu_buffer_t *buffer_ = nullptr;
};

// t = t + x over `count` floats (op 0).
qz_status_t qz_norvo_residual(qz_ypu_context_t *context, qz_ypu_buffer_t *t, qz_ypu_buffer_t *x,
                              int64_t count) {
  const qz_ypu_add_f32_params_t params{.out = t,
                                       .a = t,
                                       .b = x,
                                       .count = static_cast<int32_t>(count),
                                       .out_offset = 0,
                                       .a_offset = 0,
                                       .b_offset = 0};
  return qz_norvo_execute(context, QZ_YPU_OP_ADD_F32, &params);
}

// x = norm(t + x): the residual add and the post-norm of every sub-block.
qz_status_t qz_norvo_add_norm(qz_ypu_context_t *context, qz_norvo_layer_norm_t *norm,
                              qz_ypu_buffer_t *t, qz_ypu_buffer_t *x, int32_t rows) {
  qz_status_t status = qz_norvo_residual(context, t, x, int64_t{rows} * norm->size);
  if (status != QZ_STATUS_SUCCESS) return status;
  status = qz_norvo_layer_norm_forward(context, norm, x, t, rows);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_NORM);
  return status;
}

// x = norm(ffn_out(silu(ffn_in(x))) + x), with t as the residual buffer.
qz_status_t qz_norvo_feed_forward(qz_ypu_context_t *context, qz_norvo_linear_t *ffn_in,
                                  qz_norvo_linear_t *ffn_out, qz_norvo_layer_norm_t *ffn_norm,
                                  qz_ypu_buffer_t *x, qz_ypu_buffer_t *t, int32_t rows) {
  const int32_t hidden = ffn_in->weight->rows;
  qz_norvo_cached_buffer h(context);
  qz_status_t status = h.acquire(rows, hidden);
  if (status != QZ_STATUS_SUCCESS) return status;
  status = qz_norvo_linear_forward(context, ffn_in, h.get(), x, rows);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_LINEAR);
    return status;
  }
  const qz_ypu_silu_f32_params_t silu{
      .out = h.get(), .in = h.get(), .count = rows * hidden, .out_offset = 0, .in_offset = 0};
  status = qz_norvo_execute(context, QZ_YPU_OP_SILU_F32, &silu);
  if (status != QZ_STATUS_SUCCESS) return status;
  status = qz_norvo_linear_forward(context, ffn_out, t, h.get(), rows);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_LINEAR);
    return status;
  }
  return qz_norvo_add_norm(context, ffn_norm, t, x, rows);
}

// Embeds ids into the hidden buffer through a host mapping.
qz_status_t qz_norvo_embed(qz_ypu_context_t *context, qz_norvo_stack_t *stack,
                           qz_ypu_buffer_t *hidden, const uint32_t *ids, int32_t position_offset,
                           int32_t sequences, int32_t positions) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  auto rows = static_cast<float *>(ops.buffer_map(context->device, hidden, 0));
  qz_status_t status = QZ_STATUS_OUT_OF_MEMORY;
  if (rows) {
    status = qz_norvo_embedding_lookup(context, stack->token_embedding, stack->position_embedding,
                                       rows, ids, position_offset, stack->embedding_scale,
                                       sequences, positions);
    ops.buffer_unmap(context->device, hidden, 1);
  } else {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
  }
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_EMBED);
  return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Layers.

qz_status_t qz_norvo_encoder_layer_forward(qz_ypu_context_t *context,
                                           qz_norvo_encoder_layer_t *layer, qz_ypu_buffer_t *hidden,
                                           int32_t length) {
  const int32_t width = layer->ffn_in->weight->cols;
  qz_norvo_cached_buffer t(context);
  qz_status_t status = t.acquire(length, width);
  if (status != QZ_STATUS_SUCCESS) return status;
  status = qz_norvo_attention_forward(context, layer->attention, t.get(), hidden, hidden, nullptr,
                                      1, length, length);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_ATTENTION);
    return status;
  }
  status = qz_norvo_add_norm(context, layer->attention_norm, t.get(), hidden, length);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_feed_forward(context, layer->ffn_in, layer->ffn_out, layer->ffn_norm, hidden,
                               t.get(), length);
}

qz_status_t qz_norvo_decoder_layer_forward(qz_ypu_context_t *context,
                                           qz_norvo_decoder_layer_t *layer, qz_ypu_buffer_t *hidden,
                                           qz_ypu_buffer_t *encoder_output, int32_t sequences,
                                           int32_t query_rows, int32_t encoder_length) {
  const int32_t width = layer->ffn_in->weight->cols;
  const int64_t rows64 = int64_t{sequences} * query_rows;
  if (sequences < 1 || query_rows < 1 || rows64 > INT32_MAX) return qz_norvo_invalid("sequences");
  const int32_t rows = static_cast<int32_t>(rows64);
  qz_norvo_cached_buffer t(context);
  qz_status_t status = t.acquire(rows, width);
  if (status != QZ_STATUS_SUCCESS) return status;

  // Self-attention: the new rows join the cache and attend to every cached row.
  status = qz_norvo_attention_forward(context, layer->self_attention, t.get(), hidden, hidden,
                                      layer->self_cache, sequences, query_rows, query_rows);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_ATTENTION);
    return status;
  }
  status = qz_norvo_add_norm(context, layer->self_attention_norm, t.get(), hidden, rows);
  if (status != QZ_STATUS_SUCCESS) return status;

  status = qz_norvo_cross_attention_forward(context, layer->cross_attention, t.get(), hidden,
                                            encoder_output, layer->cross_cache, sequences,
                                            query_rows, encoder_length);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_ATTENTION);
    return status;
  }
  status = qz_norvo_add_norm(context, layer->cross_attention_norm, t.get(), hidden, rows);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_feed_forward(context, layer->ffn_in, layer->ffn_out, layer->ffn_norm, hidden,
                               t.get(), rows);
}

// ---------------------------------------------------------------------------
// Stacks.

qz_status_t qz_norvo_encoder_forward(qz_ypu_context_t *context, qz_norvo_stack_t *encoder,
                                     qz_ypu_buffer_t *hidden, const uint32_t *ids, int32_t length) {
  qz_status_t status = qz_norvo_embed(context, encoder, hidden, ids, 0, 1, length);
  if (status != QZ_STATUS_SUCCESS) return status;
  for (int32_t i = 0; i < encoder->layer_count; ++i) {
    status = qz_norvo_encoder_layer_forward(
        context, static_cast<qz_norvo_encoder_layer_t *>(encoder->layers[i]), hidden, length);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_ENCODER_LAYER);
      return status;
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_decoder_forward(qz_ypu_context_t *context, qz_norvo_stack_t *decoder,
                                     qz_ypu_buffer_t *hidden, const uint32_t *ids,
                                     qz_ypu_buffer_t *encoder_output, int32_t position,
                                     int32_t sequences, int32_t query_rows,
                                     int32_t encoder_length) {
  qz_status_t status = qz_norvo_embed(context, decoder, hidden, ids, position, sequences, 1);
  if (status != QZ_STATUS_SUCCESS) return status;
  for (int32_t i = 0; i < decoder->layer_count; ++i) {
    status = qz_norvo_decoder_layer_forward(
        context, static_cast<qz_norvo_decoder_layer_t *>(decoder->layers[i]), hidden,
        encoder_output, sequences, query_rows, encoder_length);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_DECODER_LAYER);
      return status;
    }
  }
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_decoder_reset_caches(qz_ypu_context_t *context, qz_norvo_stack_t *decoder) {
  if (!decoder) return;
  for (int32_t i = 0; i < decoder->layer_count; ++i) {
    auto layer = static_cast<qz_norvo_decoder_layer_t *>(decoder->layers[i]);
    if (!layer) continue;
    for (qz_norvo_attention_cache_t *cache : {layer->self_cache, layer->cross_cache}) {
      if (!cache) continue;
      qz_norvo_attention_cache_release(context, cache);
      cache->sequences = cache->length = cache->width = 0;
    }
  }
}

// ---------------------------------------------------------------------------
// Freeing.

void qz_norvo_encoder_layer_free(qz_ypu_context_t *context, qz_norvo_encoder_layer_t *layer) {
  if (!layer) return;
  qz_norvo_layer_norm_free(context, layer->ffn_norm);
  qz_norvo_linear_free(context, layer->ffn_out);
  qz_norvo_linear_free(context, layer->ffn_in);
  qz_norvo_layer_norm_free(context, layer->attention_norm);
  qz_norvo_attention_free(context, layer->attention);
  qz_norvo_record_delete(context, layer);
}

void qz_norvo_decoder_layer_free(qz_ypu_context_t *context, qz_norvo_decoder_layer_t *layer) {
  if (!layer) return;
  qz_norvo_attention_cache_free(context, layer->cross_cache);
  qz_norvo_attention_cache_free(context, layer->self_cache);
  qz_norvo_layer_norm_free(context, layer->ffn_norm);
  qz_norvo_linear_free(context, layer->ffn_out);
  qz_norvo_linear_free(context, layer->ffn_in);
  qz_norvo_layer_norm_free(context, layer->cross_attention_norm);
  qz_norvo_attention_free(context, layer->cross_attention);
  qz_norvo_layer_norm_free(context, layer->self_attention_norm);
  qz_norvo_attention_free(context, layer->self_attention);
  qz_norvo_record_delete(context, layer);
}

namespace {

template <class Layer, void (*free_layer)(qz_ypu_context_t *, Layer *)>
void qz_norvo_stack_free(qz_ypu_context_t *context, qz_norvo_stack_t *stack) {
  if (!stack) return;
  for (int32_t i = stack->layer_count; i-- > 0;)
    if (stack->layers) free_layer(context, static_cast<Layer *>(stack->layers[i]));
  qz_norvo_record_delete(context, stack->layers);
  qz_norvo_record_delete(context, stack);
}

}  // namespace

void qz_norvo_encoder_free(qz_ypu_context_t *context, qz_norvo_stack_t *encoder) {
  qz_norvo_stack_free<qz_norvo_encoder_layer_t, qz_norvo_encoder_layer_free>(context, encoder);
}

void qz_norvo_decoder_free(qz_ypu_context_t *context, qz_norvo_stack_t *decoder) {
  qz_norvo_stack_free<qz_norvo_decoder_layer_t, qz_norvo_decoder_layer_free>(context, decoder);
}
