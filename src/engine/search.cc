// Beam search: device work over B x V values, bookkeeping over at most 3B
// rows on the host.
#include "engine/search.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/error.h"
#include "engine/model.h"
#include "ypu/params.h"
#include "ypu/topk_insert.h"

namespace {

constexpr float kRepeatPenalty = 0.05f;
// Score that keeps a beam or a hypothesis out of a selection without making
// the arithmetic on it overflow.
constexpr float kExcluded = 1e9f;

constexpr const char *SITE_UPLOAD = "aba5af0";
constexpr const char *SITE_TOPK = "0e19ed4";
constexpr const char *SITE_SELECT = "05cec02";
constexpr const char *SITE_DOWNLOAD = "d8cd1c6";

}  // namespace

void qz_norvo_search_insert(float *best_score, int32_t *best_index, int32_t slots, float score,
                            int32_t index) {
  qz_ypu_topk_carry(best_score, best_index, slots, score, index);
}

namespace {

void clear_selection(qz_norvo_search_t *search) {
  for (int32_t j = 0; j < search->beam_size; ++j) {
    search->best_score[j] = -FLT_MAX;
    search->best_index[j] = 0;
  }
}

size_t row_tokens(const qz_norvo_search_t *search) {
  return static_cast<size_t>(search->max_output_length);
}
size_t row_parents(const qz_norvo_search_t *search) {
  return static_cast<size_t>(search->max_output_length) - 1;
}
int64_t *tokens_row(int64_t *base, const qz_norvo_search_t *search, int64_t row) {
  return base + static_cast<size_t>(row) * row_tokens(search);
}
int32_t *parents_row(int32_t *base, const qz_norvo_search_t *search, int64_t row) {
  return base + static_cast<size_t>(row) * row_parents(search);
}

// Subtracts the repeat penalty once per earlier occurrence of a token in the
// history of candidate i of the previous step (which is live beam i's history
// whenever that step kept its candidates in order), then masks the start id.
void penalise(qz_norvo_search_t *search, float *logits, int32_t t, int32_t vocabulary_size) {
  const int32_t B = search->beam_size;
  for (int32_t i = 0; i < B; ++i) {
    float *row = logits + static_cast<size_t>(i) * static_cast<size_t>(vocabulary_size);
    if (t >= 2) {
      const int64_t *history = tokens_row(search->pool_tokens, search, B + i);
      for (int32_t j = 1; j <= t - 1; ++j) {
        int64_t token = history[j] % vocabulary_size;
        if (token < 0) token += vocabulary_size;  // keeps a stray negative id inside the row
        row[token] -= kRepeatPenalty;
      }
    }
    row[search->start_id] = -FLT_MAX;
  }
}

// Top-k of M over all B x V cumulative scores, values into the candidate
// scores of the pool and indices into topk_indices.
qz_status_t top_candidates(qz_norvo_search_t *search, qz_ypu_buffer_t *logits, int32_t n) {
  qz_ypu_context_t *context = search->context;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  const int32_t B = search->beam_size;
  const int32_t M = search->candidates;
  const qz_ypu_topk_f32_params_t topk{.in = logits,
                                      .values = search->values_buffer,
                                      .indices = search->indices_buffer,
                                      .n = n,
                                      .k = M,
                                      .in_offset = 0,
                                      .values_offset = 0,
                                      .indices_offset = 0};
  qz_status_t status = qz_norvo_execute(context, QZ_YPU_OP_TOPK_F32, &topk);
  if (status == QZ_STATUS_SUCCESS) {
    status = ops.buffer_download(context->device, search->values_buffer, search->pool_score + B, 0,
                                 M * static_cast<int32_t>(sizeof(float)));
    if (status == QZ_STATUS_SUCCESS)
      status = ops.buffer_download(context->device, search->indices_buffer, search->topk_indices, 0,
                                   M * static_cast<int32_t>(sizeof(int32_t)));
    if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_DOWNLOAD);
  }
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_TOPK);
  return status;
}

// Softmax, logarithm and the running scores on the device.
qz_status_t score_on_device(qz_norvo_search_t *search, qz_ypu_buffer_t *logits, int32_t n,
                            int32_t vocabulary_size) {
  qz_ypu_context_t *context = search->context;
  const int32_t B = search->beam_size;
  const qz_ypu_softmax_f32_params_t softmax{
      .out = logits, .in = logits, .rows = B, .cols = vocabulary_size, .out_offset = 0,
      .in_offset = 0};
  qz_status_t status = qz_norvo_execute(context, QZ_YPU_OP_SOFTMAX_F32, &softmax);
  if (status != QZ_STATUS_SUCCESS) return status;
  const qz_ypu_log_f32_params_t log{
      .out = logits, .in = logits, .count = n, .out_offset = 0, .in_offset = 0};
  status = qz_norvo_execute(context, QZ_YPU_OP_LOG_F32, &log);
  if (status != QZ_STATUS_SUCCESS) return status;
  // A step scored with stale running scores would hand back a plausible but
  // wrong translation as a success, so a failed upload ends the step.
  status = qz_ypu_ops(context).buffer_upload(context->device, search->scores_buffer,
                                             search->beam_scores, 0,
                                             B * static_cast<int32_t>(sizeof(float)));
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_UPLOAD);
    return status;
  }
  const qz_ypu_add_col_f32_params_t add{.out = logits,
                                        .a = logits,
                                        .v = search->scores_buffer,
                                        .rows = B,
                                        .cols = vocabulary_size,
                                        .out_offset = 0,
                                        .a_offset = 0,
                                        .v_offset = 0};
  return qz_norvo_execute(context, QZ_YPU_OP_ADD_COL_F32, &add);
}

// Candidate rows B + s of the pool from the top-k: the parent beam's history
// extended by the candidate's token.
void expand_candidates(qz_norvo_search_t *search, int32_t t, int32_t vocabulary_size) {
  const int32_t B = search->beam_size;
  const int32_t M = search->candidates;
  const int64_t n = int64_t{B} * vocabulary_size;
  for (int32_t s = 0; s < M; ++s) {
    int32_t index = search->topk_indices[s];
    // A backend that hands back an index outside the scores must not steer
    // the copies below out of the beam rows.
    if (index < 0 || index >= n) index = 0;
    search->topk_indices[s] = index;
    search->cand_beam[s] = index / vocabulary_size;
    std::memcpy(parents_row(search->pool_parents, search, B + s),
                parents_row(search->beam_parents, search, search->cand_beam[s]),
                row_parents(search) * sizeof(int32_t));
    std::memcpy(tokens_row(search->pool_tokens, search, B + s),
                tokens_row(search->beam_tokens, search, search->cand_beam[s]),
                row_tokens(search) * sizeof(int64_t));
  }
  for (int32_t s = 0; s < M; ++s) {
    search->cand_token[s] = search->topk_indices[s] % vocabulary_size;
    tokens_row(search->pool_tokens, search, B + s)[t] = search->cand_token[s];
    parents_row(search->pool_parents, search, B + s)[t - search->first_position] =
        search->cand_beam[s];
  }
  for (int32_t s = 0; s < M; ++s) {
    search->ended[s] = (t + 1 >= search->max_output_length || search->cand_token[s] == search->end_id);
    search->cand_score[s] = search->pool_score[B + s];
    if (search->ended[s]) search->cand_score[s] = search->cand_score[s] + -kExcluded;
  }
}

// The B best candidates that have not ended become the live beams.
void choose_live_beams(qz_norvo_search_t *search) {
  const int32_t B = search->beam_size;
  clear_selection(search);
  for (int32_t s = 0; s < search->candidates; ++s)
    qz_norvo_search_insert(search->best_score, search->best_index, B, search->cand_score[s], s);
  for (int32_t i = 0; i < B; ++i) {
    const int32_t s = search->best_index[i];
    std::memcpy(tokens_row(search->beam_tokens, search, i),
                tokens_row(search->pool_tokens, search, B + s),
                row_tokens(search) * sizeof(int64_t));
    search->beam_scores[i] = search->cand_score[s];
    std::memcpy(parents_row(search->beam_parents, search, i),
                parents_row(search->pool_parents, search, B + s),
                row_parents(search) * sizeof(int32_t));
  }
}

// Merges this step's finished candidates into the pool of the B best
// finished hypotheses.
void update_pool(qz_norvo_search_t *search, int32_t t) {
  const int32_t B = search->beam_size;
  const int32_t M = search->candidates;
  const float norm = std::pow(static_cast<float>(t), search->length_penalty);
  for (int32_t s = 0; s < M; ++s) {
    float &score = search->pool_score[B + s];
    search->pool_finished[B + s] = search->ended[s] && search->eligible[s];
    score = score / norm;
    if (!search->pool_finished[B + s]) score = score - kExcluded;
  }

  clear_selection(search);
  for (int32_t e = 0; e < B + M; ++e)
    qz_norvo_search_insert(search->best_score, search->best_index, B, search->pool_score[e], e);

  std::memcpy(search->previous_tokens, search->pool_tokens,
              static_cast<size_t>(B) * row_tokens(search) * sizeof(int64_t));
  std::memcpy(search->previous_parents, search->pool_parents,
              static_cast<size_t>(B) * row_parents(search) * sizeof(int32_t));
  std::memcpy(search->previous_score, search->pool_score, static_cast<size_t>(B) * sizeof(float));
  std::memcpy(search->previous_finished, search->pool_finished, static_cast<size_t>(B));
  for (int32_t i = 0; i < B; ++i) {
    const int32_t e = search->best_index[i];
    const bool old = e < B;
    std::memcpy(tokens_row(search->pool_tokens, search, i),
                old ? tokens_row(search->previous_tokens, search, e)
                    : tokens_row(search->pool_tokens, search, e),
                row_tokens(search) * sizeof(int64_t));
    std::memcpy(parents_row(search->pool_parents, search, i),
                old ? parents_row(search->previous_parents, search, e)
                    : parents_row(search->pool_parents, search, e),
                row_parents(search) * sizeof(int32_t));
    search->pool_score[i] = old ? search->previous_score[e] : search->pool_score[e];
    search->pool_finished[i] = old ? search->previous_finished[e] : search->pool_finished[e];
  }
}

// Stops once the worst of the pool, if any of it has finished, is at least
// the best live beam's normalised score.
void stop_test(qz_norvo_search_t *search, int32_t t) {
  const int32_t B = search->beam_size;
  float least = FLT_MAX;
  for (int32_t i = 0; i < B; ++i) least = std::fmin(least, search->pool_score[i]);
  const float live = search->beam_scores[0] / std::pow(static_cast<float>(t), search->length_penalty);
  for (int32_t i = 0; i < B; ++i) {
    const float threshold = search->pool_finished[i] ? least : -kExcluded;
    if (threshold >= live) search->running = 0;
  }
}

template <class T>
qz_status_t alloc_array(qz_ypu_context_t *context, int64_t count, T **out) {
  if (count < 0 || count > INT32_MAX / static_cast<int64_t>(sizeof(T))) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_HOST_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  const int32_t bytes = static_cast<int32_t>(count * static_cast<int64_t>(sizeof(T)));
  void *p = qz_ypu_ops(context).host_alloc(context->device, bytes);
  if (!p) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_HOST_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  std::memset(p, 0, static_cast<size_t>(bytes));
  *out = static_cast<T *>(p);
  return QZ_STATUS_SUCCESS;
}

qz_status_t create_buffer(qz_ypu_context_t *context, int64_t bytes, qz_ypu_buffer_t **out) {
  qz_ypu_buffer_t *buffer = nullptr;
  if (bytes >= 0 && bytes <= INT32_MAX)
    buffer = qz_ypu_ops(context).buffer_create(context->device, static_cast<int32_t>(bytes), 0);
  if (!buffer) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_HOST_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  *out = buffer;
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_norvo_search_create(qz_ypu_context_t *context, int32_t beam_size,
                                   int32_t candidates, int32_t max_output_length,
                                   int32_t start_id, int32_t end_id, qz_norvo_search_t **out) {
  *out = nullptr;
  if (beam_size < 1 || beam_size > INT32_MAX / 3) return qz_norvo_invalid("beam_size");
  if (candidates < beam_size || candidates > 2 * beam_size) return qz_norvo_invalid("candidates");
  // Position 0 holds the start id, so a search needs room for at least one
  // predicted position.
  if (max_output_length < 2) return qz_norvo_invalid("max_output_length");

  auto search = qz_norvo_record_new<qz_norvo_search_t>(context);
  if (!search) return QZ_STATUS_OUT_OF_MEMORY;
  search->context = context;
  search->beam_size = beam_size;
  search->candidates = candidates;
  search->max_output_length = max_output_length;
  search->first_position = 1;
  search->length_penalty = 1.0f;
  search->start_id = start_id;
  search->end_id = end_id;
  search->running = 1;
  qz_norvo_guard cleanup([&] { qz_norvo_search_delete(search); });

  const int64_t B = beam_size, M = candidates, L = max_output_length;
  const int64_t pool = 3 * B;
  qz_status_t status = QZ_STATUS_SUCCESS;
  auto step = [&](qz_status_t s) {
    if (status == QZ_STATUS_SUCCESS) status = s;
  };
  step(alloc_array(context, M, &search->eligible));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B * L, &search->beam_tokens));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B, &search->beam_scores));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B * (L - 1), &search->beam_parents));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, M, &search->ended));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, M, &search->topk_indices));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, M, &search->cand_beam));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, M, &search->cand_token));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, M, &search->cand_score));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B, &search->best_score));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B, &search->best_index));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, pool * L, &search->pool_tokens));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, pool, &search->pool_score));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, pool * (L - 1), &search->pool_parents));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, pool, &search->pool_finished));
  if (status == QZ_STATUS_SUCCESS) step(create_buffer(context, B * 4, &search->scores_buffer));
  if (status == QZ_STATUS_SUCCESS) step(create_buffer(context, pool * 4, &search->values_buffer));
  if (status == QZ_STATUS_SUCCESS) step(create_buffer(context, pool * 4, &search->indices_buffer));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B * L, &search->previous_tokens));
  if (status == QZ_STATUS_SUCCESS)
    step(alloc_array(context, B * (L - 1), &search->previous_parents));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B, &search->previous_score));
  if (status == QZ_STATUS_SUCCESS) step(alloc_array(context, B, &search->previous_finished));
  if (status != QZ_STATUS_SUCCESS) return status;

  qz_norvo_search_reset(search);
  cleanup.dismiss();
  *out = search;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_search_delete(qz_norvo_search_t *search) {
  if (!search) return;
  qz_ypu_context_t *context = search->context;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  void *arrays[] = {search->eligible,     search->beam_tokens,   search->beam_scores,
                    search->beam_parents, search->ended,         search->topk_indices,
                    search->cand_beam,    search->cand_token,    search->cand_score,
                    search->best_score,   search->best_index,    search->pool_tokens,
                    search->pool_score,   search->pool_parents,  search->pool_finished,
                    search->previous_tokens, search->previous_parents, search->previous_score,
                    search->previous_finished};
  for (void *array : arrays)
    if (array) ops.host_free(context->device, array);
  for (qz_ypu_buffer_t *buffer :
       {search->scores_buffer, search->values_buffer, search->indices_buffer})
    if (buffer) ops.buffer_free(context->device, buffer);
  ops.host_free(context->device, search);
}

void qz_norvo_search_reset(qz_norvo_search_t *search) {
  const int32_t B = search->beam_size;
  const size_t tokens = static_cast<size_t>(B) * row_tokens(search);
  const size_t parents = static_cast<size_t>(B) * row_parents(search);
  search->running = 1;
  for (int32_t s = 0; s < search->candidates; ++s) search->eligible[s] = s < B;
  for (size_t j = 0; j < tokens; ++j) search->beam_tokens[j] = search->start_id;
  search->beam_scores[0] = 0.0f;
  for (int32_t i = 1; i < B; ++i) search->beam_scores[i] = -kExcluded;
  for (size_t j = 0; j < parents; ++j) search->beam_parents[j] = -1;
  std::memset(search->ended, 0, static_cast<size_t>(search->candidates));
  std::memcpy(search->pool_tokens, search->beam_tokens, tokens * sizeof(int64_t));
  std::memcpy(search->pool_parents, search->beam_parents, parents * sizeof(int32_t));
  for (int32_t i = 0; i < B; ++i) {
    search->pool_score[i] = -kExcluded;
    search->pool_finished[i] = 0;
  }
}

qz_status_t qz_norvo_search_step(qz_norvo_search_t *search, int32_t t, int32_t vocabulary_size,
                                 qz_ypu_buffer_t *logits, uint8_t *proceed) {
  qz_ypu_context_t *context = search->context;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  const int32_t B = search->beam_size;
  // The predicted position must fit the histories, every logit of the B
  // rows must be addressable in 32 bits, and the start id masked in each row
  // must lie inside it.
  if (t < search->first_position || t > search->max_output_length - 1) return qz_norvo_invalid("t");
  const int64_t n64 = int64_t{B} * vocabulary_size;
  if (vocabulary_size < 1 || n64 > INT32_MAX / 4) return qz_norvo_invalid("vocabulary_size");
  if (search->start_id < 0 || search->start_id >= vocabulary_size)
    return qz_norvo_invalid("start_id");
  if (!logits || (ops.buffer_size && ops.buffer_size(context->device, logits) < n64 * 4))
    return qz_norvo_invalid("logits");
  const int32_t n = static_cast<int32_t>(n64);

  auto *values = static_cast<float *>(ops.buffer_map(context->device, logits, 1));
  if (!values) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  penalise(search, values, t, vocabulary_size);
  ops.buffer_unmap(context->device, logits, 1);

  qz_status_t status = score_on_device(search, logits, n, vocabulary_size);
  if (status != QZ_STATUS_SUCCESS) return status;
  status = top_candidates(search, logits, n);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_SELECT);
    return status;
  }

  expand_candidates(search, t, vocabulary_size);
  choose_live_beams(search);
  update_pool(search, t);
  stop_test(search, t);

  bool all_ended = true;
  for (int32_t s = 0; s < search->candidates; ++s) all_ended = all_ended && search->ended[s];
  *proceed = search->running && !all_ended;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_search_best_hypothesis(qz_norvo_search_t *search, int32_t **ids,
                                            int32_t *count) {
  const int32_t *parents = search->pool_parents;
  int32_t n = search->first_position;
  for (size_t j = 0; j < row_parents(search); ++j)
    if (parents[j] >= 0) ++n;
  // A row may not claim more ids than it holds.
  if (n > search->max_output_length) n = search->max_output_length;
  int32_t *out = nullptr;
  const qz_status_t status = alloc_array(search->context, n, &out);
  if (status != QZ_STATUS_SUCCESS) return status;
  for (int32_t j = 0; j < n; ++j)
    out[j] = static_cast<int32_t>(static_cast<uint32_t>(search->pool_tokens[j] & 0xffffffff));
  *ids = out;
  *count = n;
  return QZ_STATUS_SUCCESS;
}
