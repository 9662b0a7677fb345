// The engine's exported functions: creating an engine from a model file,
// destroying it, and its small queries.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "engine/engine.h"
#include "engine/model.h"
#include "engine/search.h"
#include "tokenizer/tokenizer.h"
#include "qz_norvo.h"

namespace {

constexpr const char *SITE_INIT = "2524b28";
constexpr const char *SITE_HEADER = "9a0af96";
constexpr const char *SITE_OUTPUT = "611a66d";
constexpr const char *SITE_EMBEDDINGS = "35f2ccf";
constexpr const char *SITE_ENCODER = "f4e18c0";
constexpr const char *SITE_DECODER = "de72bca";
constexpr const char *SITE_LANGUAGE = "8404cd1";
constexpr const char *SITE_TOKENIZER = "96dfe58";
constexpr const char *SITE_SEARCH = "076b9aa";

// Frees whatever a complete or partly built engine holds, then drops its
// context reference.
void destroy(qz_norvo_t *engine) {
  if (!engine) return;
  qz_ypu_context_t *context = engine->context;
  if (engine->tokenizer) qz_norvo_tokenizer_free(engine->tokenizer);
  qz_norvo_decoder_free(context, engine->decoder);
  qz_norvo_encoder_free(context, engine->encoder);
  qz_norvo_embedding_free(context, engine->position_embedding);
  qz_norvo_embedding_free(context, engine->token_embedding);
  qz_norvo_linear_free(context, engine->output_linear);
  qz_norvo_search_delete(engine->search);
  qz_ypu_ops(context).host_free(context->device, engine);
  qz_ypu_context_destroy(context);
}

constexpr qz_error_record_t ERROR_IN_USE{
    0x6d, "The engine is in use by another thread; an engine serves one thread at a time."};
constexpr qz_error_record_t ERROR_FILE_ENDS{0xcb, "The model file ends early, at byte %lld."};
constexpr qz_error_record_t ERROR_MALFORMED{0xcc, "The model file's %s is malformed."};

// The end of a failed section: many of the readers' messages only name a
// site or a record, so a chain that explains nothing says here what failed
// on what: memory ran out, the file ended, or the section's contents are
// wrong. A reader that ran out of memory after reading to the end (an
// optional field that is absent) has not met the end early.
qz_status_t section_failed(FILE *file, qz_error_mark_t mark, const char *section,
                           const char *site, qz_status_t status) {
  if (status != QZ_STATUS_OUT_OF_MEMORY && std::feof(file))
    qz_error_push("", 0, &ERROR_FILE_ENDS, static_cast<long long>(std::ftell(file)));
  else
    qz_error_explain(mark, status, &ERROR_MALFORMED, section);
  qz_error_site(site);
  return status;
}

// The model's sections in file order, each pushing its site code when it
// fails.
qz_status_t read_model(qz_norvo_t *engine, FILE *file) {
  qz_ypu_context_t *context = engine->context;
  const qz_error_mark_t mark = qz_error_mark();
  qz_status_t status = qz_norvo_read_header(engine, file);
  if (status != QZ_STATUS_SUCCESS) return section_failed(file, mark, "header", SITE_HEADER, status);
  status = qz_norvo_linear_load(context, file, &engine->output_linear);
  if (status != QZ_STATUS_SUCCESS)
    return section_failed(file, mark, "output projection", SITE_OUTPUT, status);
  status = qz_norvo_embedding_load(context, file, &engine->token_embedding);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_embedding_load(context, file, &engine->position_embedding);
  if (status != QZ_STATUS_SUCCESS)
    return section_failed(file, mark, "embeddings", SITE_EMBEDDINGS, status);
  status = qz_norvo_encoder_load(context, file, engine->token_embedding,
                                 engine->position_embedding, &engine->encoder);
  if (status != QZ_STATUS_SUCCESS)
    return section_failed(file, mark, "encoder", SITE_ENCODER, status);
  status = qz_norvo_decoder_load(context, file, engine->token_embedding,
                                 engine->position_embedding, &engine->decoder);
  if (status != QZ_STATUS_SUCCESS)
    return section_failed(file, mark, "decoder", SITE_DECODER, status);
  status = qz_norvo_read_language_pair(engine, file);
  if (status != QZ_STATUS_SUCCESS)
    return section_failed(file, mark, "language section", SITE_LANGUAGE, status);
  status = qz_norvo_tokenizer_load(file, &engine->tokenizer);
  if (status != QZ_STATUS_SUCCESS)
    return section_failed(file, mark, "tokenizer data", SITE_TOKENIZER, status);
  return QZ_STATUS_SUCCESS;
}

// The search masks the start id in every row of logits and compares tokens
// with the end id, and the translation pass sizes its step buffer from the
// output projection's input width: ids outside the vocabulary would reach
// outside a row, and a width other than the embeddings' would overrun the
// step buffer.
qz_status_t check_search_inputs(const qz_norvo_t *engine) {
  const int32_t vocabulary = engine->output_linear->weight->rows;
  if (engine->start_id < 0 || engine->start_id >= vocabulary) return qz_norvo_invalid("start_id");
  if (engine->end_id < 0 || engine->end_id >= vocabulary) return qz_norvo_invalid("end_id");
  if (engine->output_linear->weight->cols != engine->token_embedding->table->cols)
    return qz_norvo_invalid("output_linear");
  if (engine->beam_size > INT32_MAX / 2) return qz_norvo_invalid("beam_size");
  return QZ_STATUS_SUCCESS;
}

}  // namespace

extern "C" qz_status_t qz_norvo_init(const char *model_path, const char *device,
                                     qz_norvo_t **object) {
  qz_error_stack_begin();
  // Null on every failure, the arguments' and the device string's included.
  if (object) *object = nullptr;
  const char *missing = !model_path ? "model_path" : !device ? "device" : !object ? "object" : nullptr;
  if (missing) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, missing);
    return QZ_STATUS_INVALID_ARGUMENT;
  }

  qz_ypu_context_t *context = nullptr;
  const qz_status_t status = qz_ypu_context_from_device_string(device, "cpu:1", &context);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_push("", 0, &QZ_ERROR_CALLER);
    return status;
  }
  return qz_norvo_init_on_context(model_path, context, object);
}

qz_status_t qz_norvo_init_on_context(const char *model_path, qz_ypu_context_t *context,
                                     qz_norvo_t **object) {
  *object = nullptr;
  auto engine = static_cast<qz_norvo_t *>(
      qz_ypu_ops(context).host_alloc(context->device, static_cast<int32_t>(sizeof(qz_norvo_t))));
  if (!engine) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_HOST_MEMORY);
    qz_ypu_context_destroy(context);
    qz_error_site(SITE_INIT);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  std::memset(engine, 0, sizeof *engine);
  engine->context = context;

  FILE *file = std::fopen(model_path, "rb");
  if (!file) {
    char quoted[QZ_ERROR_QUOTE_BYTES];
    qz_error_push("", 0, &QZ_ERROR_OPEN_FILE, qz_error_quote(model_path, quoted));
    destroy(engine);
    qz_error_site(SITE_INIT);
    return QZ_STATUS_IO_ERROR;
  }
  qz_status_t status = read_model(engine, file);
  std::fclose(file);
  if (status != QZ_STATUS_SUCCESS) {
    destroy(engine);
    qz_error_site(SITE_INIT);
    return status;
  }

  status = check_search_inputs(engine);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_search_create(context, engine->beam_size, 2 * engine->beam_size,
                                    engine->max_output_length, engine->start_id, engine->end_id,
                                    &engine->search);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_SEARCH);
    destroy(engine);
    qz_error_site(SITE_INIT);
    return status;
  }
  *object = engine;
  return QZ_STATUS_SUCCESS;
}

bool qz_norvo_enter(qz_norvo_t *engine) {
  int32_t expected = QZ_NORVO_IDLE;
  if (std::atomic_ref<int32_t>(engine->use_state)
          .compare_exchange_strong(expected, QZ_NORVO_IN_USE, std::memory_order_acquire,
                                   std::memory_order_relaxed))
    return true;
  qz_error_push("", 0, &ERROR_IN_USE);
  return false;
}

void qz_norvo_leave(qz_norvo_t *engine) {
  int32_t expected = QZ_NORVO_IN_USE;
  if (std::atomic_ref<int32_t>(engine->use_state)
          .compare_exchange_strong(expected, QZ_NORVO_IDLE, std::memory_order_acq_rel))
    return;
  // Deleted by another thread while this call held it: freed now.
  destroy(engine);
}

extern "C" void qz_norvo_delete(qz_norvo_t *object) {
  if (!object) return;
  std::atomic_ref<int32_t> state(object->use_state);
  for (;;) {
    int32_t expected = QZ_NORVO_IDLE;
    // Idle: taken for good and freed here.
    if (state.compare_exchange_strong(expected, QZ_NORVO_DELETED, std::memory_order_acq_rel)) {
      destroy(object);
      return;
    }
    // Held by a call in another thread: that call frees it as it returns.
    if (expected == QZ_NORVO_IN_USE &&
        state.compare_exchange_strong(expected, QZ_NORVO_DELETED, std::memory_order_acq_rel))
      return;
    // Already deleted: nothing more to do. Otherwise the call just left; again.
    if (expected == QZ_NORVO_DELETED) return;
  }
}

extern "C" qz_status_t qz_norvo_max_character_limit(qz_norvo_t *object,
                                                   int32_t *max_character_limit) {
  qz_error_stack_begin();
  if (!object || !max_character_limit) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, !object ? "object" : "max_character_limit");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  const qz_norvo_hold hold(object);
  if (!hold.held) return QZ_STATUS_INVALID_STATE;
  *max_character_limit = object->max_character_limit;
  return QZ_STATUS_SUCCESS;
}

extern "C" const char *qz_norvo_version(void) { return "1.1.0"; }

extern "C" void qz_norvo_translation_delete(qz_norvo_t *, char *translation) {
  std::free(translation);
}
