// The engine record behind the opaque qz_norvo_t.
#pragma once

#include <cstdint>

#include "engine/model.h"
#include "ypu/ypu.h"

struct qz_norvo_tokenizer_t;
struct qz_norvo_search_t;

struct qz_norvo {
  qz_ypu_context_t *context;
  qz_norvo_linear_t *output_linear;
  qz_norvo_embedding_t *token_embedding;
  qz_norvo_embedding_t *position_embedding;
  qz_norvo_stack_t *encoder;
  qz_norvo_stack_t *decoder;
  qz_norvo_tokenizer_t *tokenizer;
  char language_pair[6];
  int32_t max_character_limit;
  // The seven header integers, in file order.
  int32_t max_source_tokens;
  int32_t max_output_length;
  int32_t beam_size;
  int32_t header_reserved_4;  // stored, never read
  int32_t start_id;
  int32_t header_reserved_6;  // stored, never read
  int32_t end_id;
  int32_t dropped_id;
  qz_norvo_search_t *search;
};

// qz_norvo_init on a context already open: the engine takes the context
// over (it is destroyed with the engine, or at once when loading fails).
// The public entry opens the context from its device string; tests bring
// contexts of their own (say one on the GPU test harness).
qz_status_t qz_norvo_init_on_context(const char *model_path, qz_ypu_context_t *context,
                                     qz_norvo **object);
