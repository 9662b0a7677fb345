// The model-file reader: header, linear, embedding, attention, layer-norm,
// stack and language-pair records, read front to back with fread. The file
// is untrusted: every size is checked before it is used to allocate or
// index, and widths that the forward pass combines must agree.
#include <bit>
#include <climits>
#include <cstring>

#include "engine/engine.h"
#include "engine/model.h"

static_assert(std::endian::native == std::endian::little,
              "model files are little-endian and read as they lie");

namespace {

constexpr const char *SITE_LINEAR_WEIGHT = "a7d897f";
constexpr const char *SITE_SHORT_TENSOR = "5143e09";
constexpr const char *SITE_EMBEDDING = "bf3018f";
constexpr const char *SITE_LINEAR = "611a66d";
constexpr const char *SITE_ATTENTION = "5410a32";
constexpr const char *SITE_LAYER_NORM = "58b7f20";
constexpr const char *SITE_ENCODER = "033aa19";
constexpr const char *SITE_DECODER = "b01c145";
constexpr const char *SITE_CACHES = "907af40";

}  // namespace

// ---------------------------------------------------------------------------
// Helpers.

qz_status_t qz_norvo_skip_name(FILE *file) {
  int32_t length = 0;
  const qz_status_t status = qz_norvo_read_i32(file, &length);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (length < 0 || length > QZ_NORVO_NAME_BYTES) return qz_norvo_invalid("name");
  char name[QZ_NORVO_NAME_BYTES];
  return qz_norvo_read(file, name, length);
}

qz_status_t qz_norvo_invalid(const char *name) {
  qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, name);
  return QZ_STATUS_INVALID_ARGUMENT;
}

qz_status_t qz_norvo_byte_size(int64_t count, int64_t element_size, const char *name,
                               int32_t *bytes) {
  if (count < 0 || element_size < 0 || (element_size > 0 && count > INT32_MAX / element_size))
    return qz_norvo_invalid(name);
  *bytes = static_cast<int32_t>(count * element_size);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_check_positive(int32_t value, const char *name) {
  return value >= 1 ? QZ_STATUS_SUCCESS : qz_norvo_invalid(name);
}

void *qz_norvo_record_alloc(qz_ypu_context_t *context, int64_t size) {
  void *record = nullptr;
  if (size >= 0 && size <= INT32_MAX)
    record = qz_ypu_ops(context).host_alloc(context->device, static_cast<int32_t>(size));
  if (!record) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_HOST_MEMORY);
    return nullptr;
  }
  std::memset(record, 0, static_cast<size_t>(size));
  return record;
}

void qz_norvo_record_delete(qz_ypu_context_t *context, void *record) {
  if (record) qz_ypu_ops(context).host_free(context->device, record);
}

qz_ypu_buffer_t *qz_norvo_buffer_new(qz_ypu_context_t *context, int32_t bytes) {
  qz_ypu_buffer_t *buffer = qz_ypu_ops(context).buffer_create(context->device, bytes, 0);
  if (!buffer) qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
  return buffer;
}

void qz_norvo_buffer_delete(qz_ypu_context_t *context, qz_ypu_buffer_t **buffer) {
  if (*buffer) qz_ypu_ops(context).buffer_free(context->device, *buffer);
  *buffer = nullptr;
}

qz_status_t qz_norvo_execute(qz_ypu_context_t *context, uint32_t op, const void *params) {
  const qz_status_t status = qz_ypu_execute(context, op, params);
  if (status != QZ_STATUS_SUCCESS) {
    const char *status_text = qz_status_to_string(status);
    qz_error_push("", 0, &QZ_NORVO_ERROR_OPERATION, qz_ypu_op_name(op),
                  qz_ypu_backend_name(context->backend), status_text ? status_text : "unknown");
    qz_error_push("", 0, &QZ_NORVO_ERROR_OPERATOR, "execute");
  }
  return status;
}

qz_status_t qz_norvo_read_tensor(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer,
                                 int32_t element_size, int32_t count, FILE *file) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  void *data = ops.buffer_map(context->device, buffer, 0);
  if (!data) return QZ_STATUS_IO_ERROR;
  const size_t wanted = count > 0 ? static_cast<size_t>(count) : 0;
  const size_t got = std::fread(data, static_cast<size_t>(element_size), wanted, file);
  ops.buffer_unmap(context->device, buffer, 1);
  return got == wanted ? QZ_STATUS_SUCCESS : QZ_STATUS_IO_ERROR;
}

// ---------------------------------------------------------------------------
// Header and language pair.

namespace {

// Reads exactly five bytes into a six-byte string.
qz_status_t qz_norvo_read_tag(FILE *file, char (&tag)[6]) {
  std::memset(tag, 0, sizeof tag);
  if (std::fread(tag, 1, 5, file) == 5) return QZ_STATUS_SUCCESS;
  qz_error_push("", 0, &QZ_ERROR_READ_FILE);
  return QZ_STATUS_IO_ERROR;
}

}  // namespace

qz_status_t qz_norvo_read_header(qz_norvo_t *engine, FILE *file) {
  char tag[6];
  qz_status_t status = qz_norvo_read_tag(file, tag);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (std::strcmp(tag, QZ_NORVO_MODEL_MAGIC) != 0) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_MODEL_FORMAT, QZ_NORVO_MODEL_DESCRIPTION);
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  status = qz_norvo_read_tag(file, tag);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (std::strcmp(tag, QZ_NORVO_MODEL_VERSION) != 0) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_VERSION, QZ_NORVO_MODEL_DESCRIPTION, tag,
                  QZ_NORVO_MODEL_VERSION);
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  // The three limits are checked as soon as each is read.
  for (int32_t *limit :
       {&engine->max_source_tokens, &engine->max_output_length, &engine->beam_size}) {
    status = qz_norvo_read_i32(file, limit);
    if (status != QZ_STATUS_SUCCESS) return status;
    if (*limit < 1) {
      qz_error_push("", 0, &QZ_NORVO_ERROR_VALUE);
      return QZ_STATUS_INVALID_ARGUMENT;
    }
  }
  for (int32_t *field : {&engine->header_reserved_4, &engine->start_id, &engine->header_reserved_6,
                         &engine->end_id}) {
    status = qz_norvo_read_i32(file, field);
    if (status != QZ_STATUS_SUCCESS) return status;
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_read_language_pair(qz_norvo_t *engine, FILE *file) {
  char *pair = engine->language_pair;
  if (std::fread(pair, 1, 2, file) != 2 || std::fread(pair + 3, 1, 2, file) != 2) {
    qz_error_push("", 0, &QZ_ERROR_READ_FILE);
    return QZ_STATUS_IO_ERROR;
  }
  pair[2] = '-';
  pair[5] = '\0';
  qz_status_t status = qz_norvo_read_i32(file, &engine->max_character_limit);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (engine->max_character_limit < 1) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_VALUE);
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  return qz_norvo_read_i32(file, &engine->dropped_id);
}

// ---------------------------------------------------------------------------
// Linear, embedding, attention and layer-norm records.

qz_status_t qz_norvo_linear_load(qz_ypu_context_t *context, FILE *file, qz_norvo_linear_t **out) {
  auto linear = qz_norvo_record_new<qz_norvo_linear_t>(context);
  if (!linear) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_linear_free(context, linear); });

  int32_t kind = 0;
  qz_status_t status = qz_norvo_read_i32(file, &kind);
  if (status == QZ_STATUS_SUCCESS) {
    switch (kind) {
      case QZ_NORVO_KIND_DENSE:
        status = qz_norvo_dense_weight_load(context, file, &linear->weight);
        break;
      case QZ_NORVO_KIND_NAMED:
        status = qz_norvo_named_dense_weight_load(context, file, &linear->weight);
        break;
      case QZ_NORVO_KIND_LOWBIT:
        status = qz_norvo_lowbit_weight_load(context, file, &linear->weight);
        break;
      case QZ_NORVO_KIND_LOWBIT_MIXED:
        status = qz_norvo_lowbit_mixed_weight_load(context, file, &linear->weight);
        break;
      // A convolution kernel has no forward a linear layer could call.
      case QZ_NORVO_KIND_CONV2D:
        status = qz_norvo_invalid("weight");
        break;
      default:
        qz_error_push("", 0, &QZ_NORVO_ERROR_KIND);
        status = QZ_STATUS_INVALID_ARGUMENT;
        break;
    }
  }
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_LINEAR_WEIGHT);
    return status;
  }

  const int32_t rows = linear->weight->rows;
  int32_t bytes = 0;  // every weight kind has checked this already
  status = qz_norvo_byte_size(rows, sizeof(float), "rows", &bytes);
  if (status != QZ_STATUS_SUCCESS) return status;
  linear->bias = qz_norvo_buffer_new(context, bytes);
  if (!linear->bias) return QZ_STATUS_OUT_OF_MEMORY;
  status = qz_norvo_read_tensor(context, linear->bias, sizeof(float), rows, file);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_SHORT_TENSOR);
    return status;
  }
  cleanup.dismiss();
  *out = linear;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_embedding_load(qz_ypu_context_t *context, FILE *file,
                                    qz_norvo_embedding_t **out) {
  auto holder = qz_norvo_record_new<qz_norvo_embedding_t>(context);
  if (!holder) return QZ_STATUS_OUT_OF_MEMORY;
  const qz_status_t status = qz_norvo_embedding_weight_load(context, file, &holder->table);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_EMBEDDING);
    qz_norvo_embedding_free(context, holder);
    return status;
  }
  *out = holder;
  return QZ_STATUS_SUCCESS;
}

namespace {

// A projection of the attention maps `dim` inputs to `dim` outputs.
bool qz_norvo_square(const qz_norvo_linear_t *linear, int32_t dim) {
  return linear->weight->rows == dim && linear->weight->cols == dim;
}

}  // namespace

qz_status_t qz_norvo_attention_load(qz_ypu_context_t *context, FILE *file,
                                    qz_norvo_attention_t **out) {
  auto attention = qz_norvo_record_new<qz_norvo_attention_t>(context);
  if (!attention) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_attention_free(context, attention); });

  qz_status_t status = qz_norvo_read_i32(file, &attention->dim);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, &attention->heads);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(attention->dim, "dim");
  // The heads split every row evenly; the ops address rows as heads x head_dim.
  if (status == QZ_STATUS_SUCCESS &&
      (attention->heads < 1 || attention->dim % attention->heads != 0))
    status = qz_norvo_invalid("heads");
  if (status != QZ_STATUS_SUCCESS) return status;
  attention->head_dim = attention->dim / attention->heads;

  struct part {
    qz_norvo_linear_t **linear;
    const char *name;
  };
  const part parts[] = {{&attention->key, "key"},
                        {&attention->value, "value"},
                        {&attention->query, "query"},
                        {&attention->output, "output"}};
  for (const part &p : parts) {
    status = qz_norvo_linear_load(context, file, p.linear);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_LINEAR);
      return status;
    }
  }
  for (const part &p : parts)
    if (!qz_norvo_square(*p.linear, attention->dim)) return qz_norvo_invalid(p.name);

  cleanup.dismiss();
  *out = attention;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_layer_norm_load(qz_ypu_context_t *context, FILE *file,
                                     qz_norvo_layer_norm_t **out) {
  auto norm = qz_norvo_record_new<qz_norvo_layer_norm_t>(context);
  if (!norm) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_layer_norm_free(context, norm); });

  int32_t bytes = 0;
  qz_status_t status = qz_norvo_read_i32(file, &norm->size);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(norm->size, "size");
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(norm->size, sizeof(float), "size", &bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  norm->gamma = qz_norvo_buffer_new(context, bytes);
  if (!norm->gamma) return QZ_STATUS_OUT_OF_MEMORY;
  norm->beta = qz_norvo_buffer_new(context, bytes);
  if (!norm->beta) return QZ_STATUS_OUT_OF_MEMORY;
  for (qz_ypu_buffer_t *buffer : {norm->gamma, norm->beta}) {
    status = qz_norvo_read_tensor(context, buffer, sizeof(float), norm->size, file);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_SHORT_TENSOR);
      return status;
    }
  }
  cleanup.dismiss();
  *out = norm;
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Layers and stacks.

namespace {

// Reads one part of a layer; a failure adds the part's site code.
qz_status_t qz_norvo_part_load(qz_ypu_context_t *context, FILE *file, qz_norvo_attention_t **out) {
  const qz_status_t status = qz_norvo_attention_load(context, file, out);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_ATTENTION);
  return status;
}
qz_status_t qz_norvo_part_load(qz_ypu_context_t *context, FILE *file, qz_norvo_layer_norm_t **out) {
  const qz_status_t status = qz_norvo_layer_norm_load(context, file, out);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_LAYER_NORM);
  return status;
}
qz_status_t qz_norvo_part_load(qz_ypu_context_t *context, FILE *file, qz_norvo_linear_t **out) {
  const qz_status_t status = qz_norvo_linear_load(context, file, out);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_LINEAR);
  return status;
}

// The feed-forward block of a layer of width `width`: width -> hidden -> width,
// and a norm over `width`.
qz_status_t qz_norvo_check_ffn(const qz_norvo_linear_t *ffn_in, const qz_norvo_linear_t *ffn_out,
                               const qz_norvo_layer_norm_t *ffn_norm, int32_t width) {
  if (ffn_in->weight->cols != width) return qz_norvo_invalid("ffn_in");
  if (ffn_out->weight->rows != width || ffn_out->weight->cols != ffn_in->weight->rows)
    return qz_norvo_invalid("ffn_out");
  if (ffn_norm->size != width) return qz_norvo_invalid("ffn_norm");
  return QZ_STATUS_SUCCESS;
}

// Every layer of a stack works on rows as wide as the embeddings.
int32_t qz_norvo_stack_width(const qz_norvo_stack_t *stack) {
  return stack->token_embedding->table->cols;
}

qz_status_t qz_norvo_decoder_layer_load(qz_ypu_context_t *context, FILE *file,
                                        const qz_norvo_stack_t *stack,
                                        qz_norvo_decoder_layer_t **out) {
  auto layer = qz_norvo_record_new<qz_norvo_decoder_layer_t>(context);
  if (!layer) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_decoder_layer_free(context, layer); });

  qz_status_t status = qz_norvo_part_load(context, file, &layer->self_attention);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_part_load(context, file, &layer->self_attention_norm);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_part_load(context, file, &layer->cross_attention);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_part_load(context, file, &layer->cross_attention_norm);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_part_load(context, file, &layer->ffn_in);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_part_load(context, file, &layer->ffn_out);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_part_load(context, file, &layer->ffn_norm);
  if (status != QZ_STATUS_SUCCESS) return status;

  const int32_t width = qz_norvo_stack_width(stack);
  if (layer->self_attention->dim != width) return qz_norvo_invalid("self_attention");
  if (layer->self_attention_norm->size != width) return qz_norvo_invalid("self_attention_norm");
  if (layer->cross_attention->dim != width) return qz_norvo_invalid("cross_attention");
  if (layer->cross_attention_norm->size != width) return qz_norvo_invalid("cross_attention_norm");
  status = qz_norvo_check_ffn(layer->ffn_in, layer->ffn_out, layer->ffn_norm, width);
  if (status != QZ_STATUS_SUCCESS) return status;

  // The caches are not in the file. The self cache keeps as many rows as
  // there are positions; the cross cache is sized by the encoder output.
  if (qz_norvo_attention_cache_create(context, stack->position_embedding->table->rows,
                                      &layer->self_cache) != QZ_STATUS_SUCCESS ||
      qz_norvo_attention_cache_create(context, 0, &layer->cross_cache) != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_CACHES);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  cleanup.dismiss();
  *out = layer;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_encoder_layer_read(qz_ypu_context_t *context, FILE *file,
                                        const qz_norvo_stack_t *stack,
                                        qz_norvo_encoder_layer_t **out) {
  qz_norvo_encoder_layer_t *layer = nullptr;
  qz_status_t status = qz_norvo_encoder_layer_load(context, file, &layer);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (layer->attention->dim != qz_norvo_stack_width(stack)) {
    qz_norvo_encoder_layer_free(context, layer);
    return qz_norvo_invalid("attention");
  }
  *out = layer;
  return QZ_STATUS_SUCCESS;
}

enum class qz_norvo_stack_kind { encoder, decoder };

qz_status_t qz_norvo_stack_load(qz_ypu_context_t *context, FILE *file, qz_norvo_stack_kind kind,
                                qz_norvo_embedding_t *token_embedding,
                                qz_norvo_embedding_t *position_embedding, qz_norvo_stack_t **out) {
  const bool decoder = kind == qz_norvo_stack_kind::decoder;
  const char *site = decoder ? SITE_DECODER : SITE_ENCODER;
  if (!token_embedding || !token_embedding->table) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, "token_embedding");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (!position_embedding || !position_embedding->table) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, "position_embedding");
    return QZ_STATUS_INVALID_ARGUMENT;
  }

  auto stack = qz_norvo_record_new<qz_norvo_stack_t>(context);
  if (!stack) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] {
    if (decoder)
      qz_norvo_decoder_free(context, stack);
    else
      qz_norvo_encoder_free(context, stack);
  });

  int32_t layer_count = 0;
  float embedding_scale = 0.0f;
  qz_status_t status = qz_norvo_read_i32(file, &layer_count);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_f32(file, &embedding_scale);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (layer_count < 0) return qz_norvo_invalid("layer_count");
  // Position rows are added to token rows element by element.
  if (position_embedding->table->cols != token_embedding->table->cols)
    return qz_norvo_invalid("position_embedding");

  stack->embedding_scale = embedding_scale;
  stack->token_embedding = token_embedding;
  stack->position_embedding = position_embedding;
  if (layer_count > 0) {
    int32_t bytes = 0;
    status = qz_norvo_byte_size(layer_count, sizeof(void *), "layer_count", &bytes);
    if (status != QZ_STATUS_SUCCESS) return status;
    stack->layers = static_cast<void **>(qz_norvo_record_alloc(context, bytes));
    if (!stack->layers) return QZ_STATUS_OUT_OF_MEMORY;
  }
  // Counted as read, so that a failure frees exactly the layers that exist.
  for (int32_t i = 0; i < layer_count; ++i) {
    if (decoder) {
      status = qz_norvo_decoder_layer_load(
          context, file, stack, reinterpret_cast<qz_norvo_decoder_layer_t **>(&stack->layers[i]));
    } else {
      status = qz_norvo_encoder_layer_read(
          context, file, stack, reinterpret_cast<qz_norvo_encoder_layer_t **>(&stack->layers[i]));
    }
    stack->layer_count = i + (status == QZ_STATUS_SUCCESS ? 1 : 0);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(site);
      return status;
    }
  }
  cleanup.dismiss();
  *out = stack;
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_norvo_encoder_layer_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_encoder_layer_t **out) {
  auto layer = qz_norvo_record_new<qz_norvo_encoder_layer_t>(context);
  if (!layer) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_encoder_layer_free(context, layer); });

  qz_status_t status = qz_norvo_part_load(context, file, &layer->attention);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_part_load(context, file, &layer->attention_norm);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_part_load(context, file, &layer->ffn_in);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_part_load(context, file, &layer->ffn_out);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_part_load(context, file, &layer->ffn_norm);
  if (status != QZ_STATUS_SUCCESS) return status;

  const int32_t width = layer->attention->dim;
  if (layer->attention_norm->size != width) return qz_norvo_invalid("attention_norm");
  status = qz_norvo_check_ffn(layer->ffn_in, layer->ffn_out, layer->ffn_norm, width);
  if (status != QZ_STATUS_SUCCESS) return status;

  cleanup.dismiss();
  *out = layer;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_encoder_load(qz_ypu_context_t *context, FILE *file,
                                  qz_norvo_embedding_t *token_embedding,
                                  qz_norvo_embedding_t *position_embedding,
                                  qz_norvo_stack_t **out) {
  return qz_norvo_stack_load(context, file, qz_norvo_stack_kind::encoder, token_embedding,
                             position_embedding, out);
}

qz_status_t qz_norvo_decoder_load(qz_ypu_context_t *context, FILE *file,
                                  qz_norvo_embedding_t *token_embedding,
                                  qz_norvo_embedding_t *position_embedding,
                                  qz_norvo_stack_t **out) {
  return qz_norvo_stack_load(context, file, qz_norvo_stack_kind::decoder, token_embedding,
                             position_embedding, out);
}
