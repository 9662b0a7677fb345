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
  // Who holds the engine (QZ_NORVO_IDLE, QZ_NORVO_IN_USE, QZ_NORVO_DELETED),
  // read and written through std::atomic_ref only.
  int32_t use_state;
};

// An engine serves one call at a time. A call holds it from enter to leave;
// a call that finds it held by another thread fails at once with
// QZ_STATUS_INVALID_STATE (no waiting, no lock). Deleting a held engine
// marks it, and the holder's leave frees it.
inline constexpr int32_t QZ_NORVO_IDLE = 0;
inline constexpr int32_t QZ_NORVO_IN_USE = 1;
inline constexpr int32_t QZ_NORVO_DELETED = 2;
// True when the caller now holds the engine; false with a message pushed.
bool qz_norvo_enter(qz_norvo *engine);
void qz_norvo_leave(qz_norvo *engine);

// Holds an engine for the rest of a scope.
struct qz_norvo_hold {
  qz_norvo *engine;
  bool held;
  explicit qz_norvo_hold(qz_norvo *e) : engine(e), held(qz_norvo_enter(e)) {}
  ~qz_norvo_hold() {
    if (held) qz_norvo_leave(engine);
  }
  qz_norvo_hold(const qz_norvo_hold &) = delete;
  qz_norvo_hold &operator=(const qz_norvo_hold &) = delete;
};

// qz_norvo_init on a context already open: the engine takes the context
// over (it is destroyed with the engine, or at once when loading fails).
// The public entry opens the context from its device string; tests bring
// contexts of their own (say one on the GPU test harness).
qz_status_t qz_norvo_init_on_context(const char *model_path, qz_ypu_context_t *context,
                                     qz_norvo **object);
