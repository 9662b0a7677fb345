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

// The body of qz_norvo_init once the device's context is made: reads the
// model at `model_path` into an engine over `context`, which the engine takes
// over (destroyed with it, or here when loading fails). Also a seam for
// tests that run the engine on a context of their own.
qz_status_t qz_norvo_init_on_context(const char *model_path, qz_ypu_context_t *context,
                                     qz_norvo_t **object);
