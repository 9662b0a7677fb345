// Beam search over the decoder's logits.
//
// Each step turns B rows of logits into cumulative log-probabilities on the
// device (softmax, log, running score, top-k of M = 2B over all rows) and does
// the bookkeeping on the host: M candidates, the B best of them continue as
// live beams, ended candidates among the B best enter a pool of the B best
// finished hypotheses, scored with a length normalisation.
#pragma once

#include <cstdint>

#include "ypu/ypu.h"

struct qz_norvo_search_t {
  qz_ypu_context_t *context;
  int32_t beam_size;          // B
  int32_t candidates;         // M, between B and 2B (the engine uses 2B)
  int32_t max_output_length;  // L, at least 2
  int32_t first_position;     // 1: position 0 holds the start id
  float length_penalty;       // 1.0
  int32_t start_id;
  int32_t end_id;
  int32_t running;

  uint8_t *eligible;        // [M]: only the B best candidates may finish
  int64_t *beam_tokens;     // [B x L] token history of each live beam
  float *beam_scores;       // [B] running score of each live beam
  int32_t *beam_parents;    // [B x (L - 1)] beam continued at each step, -1 unset
  uint8_t *ended;           // [M]
  int32_t *topk_indices;    // [M]
  int32_t *cand_beam;       // [M]
  int32_t *cand_token;      // [M]
  float *cand_score;        // [M]
  float *best_score;        // [B] scratch of the selections
  int32_t *best_index;      // [B]
  int64_t *pool_tokens;     // [3B x L]: rows 0..B-1 finished pool, B.. candidates
  float *pool_score;        // [3B]
  int32_t *pool_parents;    // [3B x (L - 1)]
  uint8_t *pool_finished;   // [3B]

  qz_ypu_buffer_t *scores_buffer;   // B floats
  qz_ypu_buffer_t *values_buffer;   // 3B floats
  qz_ypu_buffer_t *indices_buffer;  // 3B int32

  // The pool's rows 0..B-1 before a step rewrites them: the new rows are
  // picked from the old ones, in any order.
  int64_t *previous_tokens;   // [B x L]
  int32_t *previous_parents;  // [B x (L - 1)]
  float *previous_score;      // [B]
  uint8_t *previous_finished; // [B]
};

// Inserts (score, index) into best_score/best_index, kept in descending
// order: the pair is carried down the slots and swapped with every slot it
// strictly beats, so an entry displaced by a higher one moves down past
// entries of equal score, and the pair carried out of the last slot is gone.
// A score not above the last slot (NaN included) changes nothing.
void qz_norvo_search_insert(float *best_score, int32_t *best_index, int32_t slots, float score,
                            int32_t index);

// Refuses (0x65) a beam size below 1, candidates outside B..2B, a maximum
// length below 2 or sizes that do not fit the allocator; 0x323 when memory
// runs out. Leaves nothing behind on failure.
qz_status_t qz_norvo_search_create(qz_ypu_context_t *context, int32_t beam_size,
                                   int32_t candidates, int32_t max_output_length,
                                   int32_t start_id, int32_t end_id, qz_norvo_search_t **out);
void qz_norvo_search_delete(qz_norvo_search_t *search);
void qz_norvo_search_reset(qz_norvo_search_t *search);
// One step predicting position t (1 .. L - 1) from B rows of V logits, which
// are overwritten. *proceed is written only on success.
qz_status_t qz_norvo_search_step(qz_norvo_search_t *search, int32_t t, int32_t vocabulary_size,
                                 qz_ypu_buffer_t *logits, uint8_t *proceed);
// The best finished hypothesis, position 0 included, in an array from the
// backend's host allocator that the caller frees.
qz_status_t qz_norvo_search_best_hypothesis(qz_norvo_search_t *search, int32_t **ids,
                                            int32_t *count);
