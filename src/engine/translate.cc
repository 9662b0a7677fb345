// One translation: encode the text, run the encoder once, decode position by
// position with the beam search, and turn the best hypothesis back into text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "engine/engine.h"
#include "engine/model.h"
#include "engine/search.h"
#include "tokenizer/tokenizer.h"
#include "qz_norvo.h"
#include "ypu/params.h"

namespace {

constexpr qz_error_record_t ERROR_CHARACTER_LIMIT{0x6c, "Maximum character limit of `%d` exceeded."};
constexpr qz_error_record_t ERROR_TOKEN_LIMIT{
    0x6c, "Input text exceeded token limit. Try reducing input text length."};

// Follow records without text, or a chain of site codes only.
constexpr qz_error_record_t ERROR_NO_TOKEN{0x6e, "The text gives no token the model can translate."};
constexpr qz_error_record_t ERROR_TOKENIZER{0x138, "The tokenizer failed to %s."};

constexpr const char *SITE_ENCODE = "3e3532c";
constexpr const char *SITE_TRANSLATE = "91512ea";
constexpr const char *SITE_ENCODER = "1803470";
constexpr const char *SITE_ENCODER_PASS = "aac5e6a";
constexpr const char *SITE_DECODER_STEP = "fb2850e";
constexpr const char *SITE_DECODER = "715b3fb";
constexpr const char *SITE_PROJECTION = "40304c6";
constexpr const char *SITE_SEARCH = "397fb53";
constexpr const char *SITE_REORDER = "72dbf80";
constexpr const char *SITE_BEST = "47157d1";
constexpr const char *SITE_DECODE = "2b5bc58";

// Everything one pass holds; the destructor gives it all back, so every
// failure path leaves the engine as a successful pass would.
struct pass_state {
  qz_norvo_t *engine;
  uint32_t *source = nullptr;  // from the tokenizer, freed with free
  qz_ypu_buffer_t *encoder_output = nullptr;
  qz_ypu_buffer_t *logits = nullptr;
  uint32_t *last_tokens = nullptr;
  qz_ypu_buffer_t *beam_index = nullptr;
  int32_t *hypothesis = nullptr;
  bool decoding = false;  // the decoder's caches may hold this pass's rows

  explicit pass_state(qz_norvo_t *e) : engine(e) {}
  pass_state(const pass_state &) = delete;
  pass_state &operator=(const pass_state &) = delete;
  ~pass_state() {
    qz_ypu_context_t *context = engine->context;
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
    release_buffers();
    if (hypothesis) ops.host_free(context->device, hypothesis);
    std::free(source);
  }
  // Step 24 to 26 of a pass: the buffers go back to the cache, the caches
  // are emptied for the next pass, the source ids are freed.
  void release_buffers() {
    qz_ypu_context_t *context = engine->context;
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
    qz_ypu_buffer_release(context, beam_index);
    beam_index = nullptr;
    if (last_tokens) ops.host_free(context->device, last_tokens);
    last_tokens = nullptr;
    qz_ypu_buffer_release(context, logits);
    logits = nullptr;
    qz_ypu_buffer_release(context, encoder_output);
    encoder_output = nullptr;
    if (decoding) qz_norvo_decoder_reset_caches(context, engine->decoder);
    decoding = false;
    std::free(source);
    source = nullptr;
  }
};

// A buffer of count x element bytes from the cache; a size beyond what a
// buffer can hold counts as memory that cannot be had.
qz_status_t take_buffer(qz_ypu_context_t *context, int64_t count, int64_t element,
                        qz_ypu_buffer_t **out) {
  const int64_t bytes = count * element;
  if (count >= 0 && count <= INT32_MAX / element)
    *out = qz_ypu_buffer_acquire(context, static_cast<int32_t>(bytes));
  if (!*out) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  return QZ_STATUS_SUCCESS;
}

// Copies the first `block` bytes of `buffer` over the next count - 1 blocks.
qz_status_t copy_first_block(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer, int32_t block,
                             int32_t count) {
  for (int32_t j = 1; j < count; ++j) {
    const qz_ypu_copy_bytes_params_t copy{
        .out = buffer, .in = buffer, .count = block, .out_offset = j * block, .in_offset = 0};
    const qz_status_t status = qz_norvo_execute(context, QZ_YPU_OP_COPY_BYTES, &copy);
    if (status != QZ_STATUS_SUCCESS) return status;
  }
  return QZ_STATUS_SUCCESS;
}

// From two source rows up the cross caches are filled from one copy of the
// encoder rows; a single row keeps the B-row projection, whose one-row form
// could round differently.
bool cross_caches_from_one_copy(int32_t k) { return k >= 2; }

// Encoder pass over the k source ids, then B - 1 copies of its output only when
// the decoder will project them (otherwise they would be unread).
qz_status_t encode_source(pass_state &pass, int32_t k, int32_t width) {
  qz_norvo_t *engine = pass.engine;
  qz_ypu_context_t *context = engine->context;
  const int32_t B = engine->beam_size;
  qz_status_t status =
      qz_norvo_encoder_forward(context, engine->encoder, pass.encoder_output, pass.source, k);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_ENCODER);
    qz_error_site(SITE_ENCODER_PASS);
    return status;
  }
  if (cross_caches_from_one_copy(k)) return QZ_STATUS_SUCCESS;
  return copy_first_block(context, pass.encoder_output,
                          k * width * static_cast<int32_t>(sizeof(float)), B);
}

// Before the first step: every beam attends to the same encoder rows, so
// each cross-attention cache is filled from one copy of them and then copied
// to every beam (the projections give each row the bits it has in a batch of
// B copies: rows of a many-row product do not depend on one another).
qz_status_t fill_cross_caches(pass_state &pass, int32_t k) {
  qz_norvo_t *engine = pass.engine;
  qz_ypu_context_t *context = engine->context;
  const int32_t B = engine->beam_size;
  if (B < 2 || !cross_caches_from_one_copy(k)) return QZ_STATUS_SUCCESS;
  qz_norvo_stack_t *decoder = engine->decoder;
  for (int32_t l = 0; l < decoder->layer_count; ++l) {
    auto layer = static_cast<qz_norvo_decoder_layer_t *>(decoder->layers[l]);
    if (layer->cross_cache->length != 0) continue;
    qz_status_t status = qz_norvo_attention_fill_cache(context, layer->cross_attention,
                                                       layer->cross_cache, pass.encoder_output, 1, k);
    if (status == QZ_STATUS_SUCCESS)
      status = qz_norvo_attention_cache_widen(context, layer->cross_cache, B);
    if (status != QZ_STATUS_SUCCESS) return status;
  }
  return QZ_STATUS_SUCCESS;
}

// Decoder step for position t: B rows of hidden state into B rows of logits.
qz_status_t decoder_step(pass_state &pass, int32_t t, int32_t k, int32_t width) {
  qz_norvo_t *engine = pass.engine;
  qz_ypu_context_t *context = engine->context;
  const int32_t B = engine->beam_size;
  qz_ypu_buffer_t *hidden = nullptr;
  qz_status_t status = t == 1 ? fill_cross_caches(pass, k) : QZ_STATUS_SUCCESS;
  if (status == QZ_STATUS_SUCCESS)
    status = take_buffer(context, int64_t{B} * width, sizeof(float), &hidden);
  if (status == QZ_STATUS_SUCCESS) {
    status = qz_norvo_decoder_forward(context, engine->decoder, hidden, pass.last_tokens,
                                      pass.encoder_output, t - 1, B, 1, k);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_DECODER);
    } else {
      status = qz_norvo_linear_forward(context, engine->output_linear, pass.logits, hidden, B);
      if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_PROJECTION);
    }
    qz_ypu_buffer_release(context, hidden);
  }
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_DECODER_STEP);
  return status;
}

// Tells the caches which old beam each new beam continues, and reorders them.
qz_status_t follow_parents(pass_state &pass, int32_t t) {
  qz_norvo_t *engine = pass.engine;
  qz_ypu_context_t *context = engine->context;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  const qz_norvo_search_t *search = engine->search;
  const int32_t B = engine->beam_size;
  auto *index = static_cast<int32_t *>(ops.buffer_map(context->device, pass.beam_index, 0));
  if (!index) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  const size_t columns = static_cast<size_t>(search->max_output_length) - 1;
  for (int32_t m = 0; m < B; ++m)
    index[m] = search->beam_parents[static_cast<size_t>(m) * columns + static_cast<size_t>(t - 1)];
  ops.buffer_unmap(context->device, pass.beam_index, 1);

  qz_norvo_stack_t *decoder = engine->decoder;
  for (int32_t l = 0; l < decoder->layer_count; ++l) {
    auto layer = static_cast<qz_norvo_decoder_layer_t *>(decoder->layers[l]);
    // The cross caches are not reordered: they were filled from B copies of
    // one encoder output, so every beam holds the same rows and any reorder
    // leaves them as they are.
    qz_status_t status = qz_norvo_attention_cache_reorder(context, layer->self_cache,
                                                          pass.beam_index, B);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_REORDER);
      return status;
    }
  }
  return QZ_STATUS_SUCCESS;
}

// Steps 9 to 24: everything between the checked source ids and the best
// hypothesis. Failures push their own messages but not the pass's site.
qz_status_t search_translation(pass_state &pass, int32_t k, int32_t *count) {
  qz_norvo_t *engine = pass.engine;
  qz_ypu_context_t *context = engine->context;
  qz_norvo_search_t *search = engine->search;
  const int32_t B = engine->beam_size;
  const int32_t L = search->max_output_length;
  const int32_t width = engine->token_embedding->table->cols;
  const int32_t vocabulary = engine->output_linear->weight->rows;

  qz_norvo_search_reset(search);
  qz_status_t status =
      take_buffer(context, int64_t{B} * k * width, sizeof(float), &pass.encoder_output);
  if (status == QZ_STATUS_SUCCESS)
    status = take_buffer(context, int64_t{B} * vocabulary, sizeof(float), &pass.logits);
  if (status != QZ_STATUS_SUCCESS) return status;
  pass.last_tokens = static_cast<uint32_t *>(qz_ypu_ops(context).host_alloc(
      context->device, B * static_cast<int32_t>(sizeof(uint32_t))));
  if (!pass.last_tokens) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_HOST_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  status = encode_source(pass, k, width);
  if (status != QZ_STATUS_SUCCESS) return status;
  status = take_buffer(context, B, sizeof(int32_t), &pass.beam_index);
  if (status != QZ_STATUS_SUCCESS) return status;

  pass.decoding = true;
  uint8_t proceed = 1;
  for (int32_t t = 1; proceed && t < L; ++t) {
    for (int32_t b = 0; b < B; ++b)
      pass.last_tokens[b] =
          static_cast<uint32_t>(search->beam_tokens[static_cast<size_t>(b) * L + (t - 1)]);
    status = decoder_step(pass, t, k, engine->output_linear->weight->cols);
    if (status != QZ_STATUS_SUCCESS) return status;
    status = qz_norvo_search_step(search, t, vocabulary, pass.logits, &proceed);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(SITE_SEARCH);
      return status;
    }
    status = follow_parents(pass, t);
    if (status != QZ_STATUS_SUCCESS) return status;
  }

  status = qz_norvo_search_best_hypothesis(search, &pass.hypothesis, count);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_BEST);
  return status;
}

}  // namespace

extern "C" qz_status_t qz_norvo_translate(qz_norvo_t *object, const char *text,
                                          char **translation) {
  const char *missing = !object ? "object" : !text ? "text" : !translation ? "translation" : nullptr;
  if (missing) {
    qz_error_push("", 0, &QZ_ERROR_ARG_NULL, missing);
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  *translation = nullptr;
  const qz_norvo_hold hold(object);
  if (!hold.held) return QZ_STATUS_INVALID_STATE;
  // Lengths are compared in full: a text of 2 GiB or more must not pass as a
  // negative 32-bit length.
  const size_t length = std::strlen(text);
  if (length == 0) {
    qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, "text");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (object->max_character_limit < 0 ||
      length > static_cast<size_t>(object->max_character_limit)) {
    qz_error_push("", 0, &ERROR_CHARACTER_LIMIT, object->max_character_limit);
    return QZ_STATUS_INVALID_ARGUMENT;
  }

  // White space alone has nothing to translate: the tokenizer would give it
  // pieces of white space (or nothing), and the network would answer them
  // with words of its own. It comes back as it is.
  if (qz_norvo_text_is_blank(text)) {
    *translation = static_cast<char *>(std::malloc(length + 1));
    if (!*translation) {
      qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
      return QZ_STATUS_OUT_OF_MEMORY;
    }
    std::memcpy(*translation, text, length + 1);
    return QZ_STATUS_SUCCESS;
  }

  pass_state pass(object);
  int32_t encoded = 0;
  const qz_error_mark_t mark = qz_error_mark();
  qz_status_t status =
      qz_norvo_tokenizer_encode(object->tokenizer, text, 0, 1, &encoded, &pass.source);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_explain(mark, status, &ERROR_TOKENIZER, "encode the text");
    qz_error_site(SITE_ENCODE);
    return status;
  }
  int32_t k = 0;
  for (int32_t j = 0; j < encoded; ++j)
    if (pass.source[j] != static_cast<uint32_t>(object->dropped_id)) pass.source[k++] = pass.source[j];
  if (k == 0) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_VALUE);
    qz_error_push("", 0, &ERROR_NO_TOKEN);
    qz_error_site(SITE_TRANSLATE);
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (k > object->max_source_tokens) {
    qz_error_push("", 0, &ERROR_TOKEN_LIMIT);
    qz_error_site(SITE_TRANSLATE);
    return QZ_STATUS_INVALID_ARGUMENT;
  }

  int32_t count = 0;
  status = search_translation(pass, k, &count);
  pass.release_buffers();
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_TRANSLATE);
    return status;
  }

  // Drop a leading start id, and a trailing end id unless it stands alone.
  const uint32_t *ids = reinterpret_cast<const uint32_t *>(pass.hypothesis);
  int32_t first = 0, last = count;
  if (count >= 1 && pass.hypothesis[0] == object->start_id) first = 1;
  if (count >= 2 && pass.hypothesis[count - 1] == object->end_id) last = count - 1;
  if (last < first) last = first;
  int cut = 0;
  char *out = nullptr;
  status = qz_norvo_tokenizer_decode(object->tokenizer, ids + first, last - first, 0, &cut, &out);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_explain(mark, status, &ERROR_TOKENIZER, "decode the translation");
    qz_error_site(SITE_DECODE);
    return status;
  }
  *translation = out;
  return QZ_STATUS_SUCCESS;
}
