// Beam search on logits built by hand: selection order, finishing, the
// repeat penalty and start mask, the pool and the stop test, and failures.
#include "engine/search.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/error_stack.h"
#include "support/ypu_harness.h"

namespace {

std::string message(unsigned code, const std::string &text) {
  char head[32];
  std::snprintf(head, sizeof head, "0633a7d %08X: ", code);
  return head + text;
}

// ---------------------------------------------------------------------------
// The carried insertion that both selections use.

struct insert_case {
  const char *name;
  std::vector<float> scores;
  std::vector<int32_t> indices;
  float score;
  std::vector<float> want_scores;
  std::vector<int32_t> want_indices;
};

TEST(SearchInsert, KeepsDescendingOrderAndMovesDisplacedEntriesPastEqualOnes) {
  constexpr int32_t a = 10, b = 11, c = 12, d = 13, n = 99;
  const float nan = std::nanf("");
  const insert_case cases[] = {
      {"between equal scores", {5, 3, 3, 1}, {a, b, c, d}, 4, {5, 4, 3, 3}, {a, n, c, b}},
      {"equal to the top", {5, 3, 3, 1}, {a, b, c, d}, 5, {5, 5, 3, 3}, {a, n, c, b}},
      {"equal to the last is not taken", {5, 3, 3, 1}, {a, b, c, d}, 1, {5, 3, 3, 1}, {a, b, c, d}},
      {"below the last", {5, 3, 3, 1}, {a, b, c, d}, 0, {5, 3, 3, 1}, {a, b, c, d}},
      {"NaN", {5, 3, 3, 1}, {a, b, c, d}, nan, {5, 3, 3, 1}, {a, b, c, d}},
      {"into empty slots", {-FLT_MAX, -FLT_MAX, -FLT_MAX}, {0, 0, 0}, 2, {2, -FLT_MAX, -FLT_MAX},
       {n, 0, 0}},
      {"most negative float is never taken", {-FLT_MAX, -FLT_MAX}, {0, 0}, -FLT_MAX,
       {-FLT_MAX, -FLT_MAX}, {0, 0}},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    auto scores = k.scores;
    auto indices = k.indices;
    qz_norvo_search_insert(scores.data(), indices.data(), static_cast<int32_t>(scores.size()),
                           k.score, n);
    EXPECT_EQ(scores, k.want_scores);
    EXPECT_EQ(indices, k.want_indices);
  }
}

// ---------------------------------------------------------------------------
// A search state on a context of one backend kind, stepped with logits given
// row by row.

class search_fixture {
 public:
  search_fixture(ypu_backend backend, int32_t beams, int32_t length, int32_t start, int32_t end,
                 int32_t vocabulary)
      : harness_(backend), beams_(beams), vocabulary_(vocabulary) {
    EXPECT_EQ(qz_norvo_search_create(harness_.context(), beams, 2 * beams, length, start, end,
                                     &search_),
              QZ_STATUS_SUCCESS);
    logits_ = harness_.buffer(beams * vocabulary * 4);
  }
  ~search_fixture() {
    if (search_) qz_norvo_search_delete(search_);
  }

  qz_norvo_search_t *operator->() const { return search_; }
  qz_norvo_search_t *get() const { return search_; }
  ypu_harness &harness() { return harness_; }

  // Logits of every beam (B rows of V) for position t.
  qz_status_t step(int32_t t, const std::vector<float> &logits, uint8_t *proceed) {
    EXPECT_EQ(logits.size(), static_cast<size_t>(beams_ * vocabulary_));
    harness_.write(logits_, logits.data(), static_cast<int32_t>(logits.size() * 4));
    return qz_norvo_search_step(search_, t, vocabulary_, logits_, proceed);
  }
  uint8_t step_ok(int32_t t, const std::vector<float> &logits) {
    uint8_t proceed = 7;
    EXPECT_EQ(step(t, logits, &proceed), QZ_STATUS_SUCCESS);
    return proceed;
  }

  std::vector<int32_t> best() {
    int32_t *ids = nullptr;
    int32_t count = 0;
    EXPECT_EQ(qz_norvo_search_best_hypothesis(search_, &ids, &count), QZ_STATUS_SUCCESS);
    std::vector<int32_t> out(ids, ids + count);
    qz_ypu_ops(harness_.context()).host_free(harness_.context()->device, ids);
    return out;
  }

  std::vector<int64_t> beam_row(int32_t i) const {
    const int64_t *row = search_->beam_tokens + i * search_->max_output_length;
    return {row, row + search_->max_output_length};
  }
  std::vector<int64_t> pool_row(int32_t i) const {
    const int64_t *row = search_->pool_tokens + i * search_->max_output_length;
    return {row, row + search_->max_output_length};
  }
  void set_pool_row(int32_t i, const std::vector<int64_t> &tokens) {
    std::copy(tokens.begin(), tokens.end(), search_->pool_tokens + i * search_->max_output_length);
  }
  void set_beam_row(int32_t i, const std::vector<int64_t> &tokens) {
    std::copy(tokens.begin(), tokens.end(), search_->beam_tokens + i * search_->max_output_length);
  }
  void set_pool_parents(int32_t i, const std::vector<int32_t> &parents) {
    std::copy(parents.begin(), parents.end(),
              search_->pool_parents + i * (search_->max_output_length - 1));
  }
  int32_t parent(int32_t beam, int32_t column) const {
    return search_->beam_parents[beam * (search_->max_output_length - 1) + column];
  }

 private:
  ypu_harness harness_;
  int32_t beams_;
  int32_t vocabulary_;
  qz_norvo_search_t *search_ = nullptr;
  qz_ypu_buffer_t *logits_ = nullptr;
};

std::vector<int64_t> tokens(std::initializer_list<int64_t> head, int32_t length, int64_t fill) {
  std::vector<int64_t> row(head);
  row.resize(static_cast<size_t>(length), fill);
  return row;
}

class SearchStep : public ::testing::TestWithParam<ypu_backend> {};

// At the first position only beam 0 is alive: every candidate extends it,
// even when another beam's logits are far higher.
TEST_P(SearchStep, FirstStepExtendsOnlyBeamZero) {
  search_fixture s(GetParam(), 2, 10, 0, 5, 6);
  const std::vector<float> logits = {0, 1, 2, 3, 4, -1,  //
                                     9, 9, 9, 9, 9, 9};
  EXPECT_EQ(s.step_ok(1, logits), 1);
  EXPECT_EQ(std::vector<int32_t>(s->cand_beam, s->cand_beam + 4), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(std::vector<int32_t>(s->cand_token, s->cand_token + 4),
            (std::vector<int32_t>{4, 3, 2, 1}));
  EXPECT_EQ(s.beam_row(0), tokens({0, 4}, 10, 0));
  EXPECT_EQ(s.beam_row(1), tokens({0, 3}, 10, 0));
  EXPECT_EQ(s.parent(0, 0), 0);
  EXPECT_EQ(s.parent(1, 0), 0);
  // Running scores are log-probabilities of the chosen tokens (start masked).
  double sum = 0;
  for (int j = 1; j < 6; ++j) sum += std::exp(double(logits[j]));
  EXPECT_NEAR(s->beam_scores[0], 4 - std::log(sum), 1e-5);
  EXPECT_NEAR(s->beam_scores[1], 3 - std::log(sum), 1e-5);
}

// With one beam and two candidates, an end id finishes only when it is the
// first candidate; in second place it neither finishes nor continues.
TEST_P(SearchStep, OneBeamFinishesOnlyFromFirstPlace) {
  constexpr int32_t start = 0, end = 4;
  {
    SCOPED_TRACE("end id first");
    search_fixture s(GetParam(), 1, 10, start, end, 5);
    EXPECT_EQ(s.step_ok(1, {0, 1, 0, 0, 3}), 0);
    EXPECT_EQ(s->pool_finished[0], 1);
    EXPECT_EQ(s.pool_row(0), tokens({start, end}, 10, start));
    EXPECT_EQ(s.best(), (std::vector<int32_t>{start, end}));
    // The live beam is the candidate that did not end.
    EXPECT_EQ(s.beam_row(0), tokens({start, 1}, 10, start));
  }
  {
    SCOPED_TRACE("end id second");
    search_fixture s(GetParam(), 1, 10, start, end, 5);
    EXPECT_EQ(s.step_ok(1, {0, 3, 0, 0, 1}), 1);
    EXPECT_EQ(s->ended[1], 1);
    EXPECT_EQ(s->pool_finished[0], 0);
    EXPECT_EQ(s.beam_row(0), tokens({start, 1}, 10, start));
    EXPECT_GT(s->beam_scores[0], -1e8f);
    EXPECT_EQ(s.best(), (std::vector<int32_t>{start}));
  }
}

// Each earlier occurrence of a token at positions 1 .. t-1 of the previous
// step's candidate row costs 0.05; position 0 and later positions do not.
TEST_P(SearchStep, RepeatPenaltyCountsEveryEarlierOccurrence) {
  struct penalty_case {
    const char *name;
    std::vector<int64_t> history;
    int occurrences;
  };
  const penalty_case cases[] = {
      {"absent", {0, 1, 2}, 0},
      {"once", {0, 3, 2}, 1},
      {"twice", {0, 3, 3}, 2},
      {"position 0 is not counted", {3, 1, 2}, 0},
      {"the predicted position is not counted", {0, 1, 2, 3}, 0},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    search_fixture s(GetParam(), 1, 10, 0, 5, 6);
    s.set_pool_row(1, tokens({}, 10, 0));
    for (size_t j = 0; j < k.history.size(); ++j) s->pool_tokens[10 + j] = k.history[j];
    // Tokens 3 and 4 lead; their cumulative scores differ by their logits'
    // difference less the penalty on token 3.
    EXPECT_EQ(s.step_ok(3, {0, -50, -50, 2, 1, -50}), 1);
    ASSERT_EQ(s->cand_token[0], 3);
    ASSERT_EQ(s->cand_token[1], 4);
    EXPECT_NEAR(s->cand_score[0] - s->cand_score[1], 1.0 - 0.05 * k.occurrences, 1e-5);
  }
}

// The start id is masked at every step, so it is never chosen even with the
// highest logits of every row.
TEST_P(SearchStep, StartIdIsNeverChosen) {
  constexpr int32_t start = 2, end = 3, length = 6;
  search_fixture s(GetParam(), 2, length, start, end, 4);
  const std::vector<float> logits = {0.5f, 0.2f, 100, -9, 0.4f, 0.1f, 100, -9};
  int32_t t = 1;
  for (; t < length; ++t) {
    const uint8_t proceed = s.step_ok(t, logits);
    for (int32_t c = 0; c < 4; ++c) EXPECT_NE(s->cand_token[c], start) << "t = " << t;
    if (!proceed) break;
  }
  const auto best = s.best();
  ASSERT_FALSE(best.empty());
  EXPECT_EQ(best[0], start);
  for (size_t j = 1; j < best.size(); ++j) EXPECT_NE(best[j], start);
}

// With L = 5 every candidate of step 4 has reached the length limit: the
// search stops there, and the best hypothesis holds 5 ids.
TEST_P(SearchStep, LengthFiveStopsAfterStepFour) {
  constexpr int32_t start = 0, end = 7, length = 5;
  search_fixture s(GetParam(), 2, length, start, end, 8);
  std::vector<float> logits(16, 0.0f);
  logits[7] = logits[15] = -40;
  for (int32_t t = 1; t <= 4; ++t) {
    const uint8_t proceed = s.step_ok(t, logits);
    EXPECT_EQ(proceed, t < 4 ? 1 : 0) << "t = " << t;
  }
  const auto best = s.best();
  ASSERT_EQ(best.size(), 5u);
  EXPECT_EQ(best[0], start);
  for (size_t j = 1; j < 5; ++j) EXPECT_NE(best[j], end);
  uint8_t proceed = 0;
  EXPECT_EQ(s.step(5, logits, &proceed), QZ_STATUS_INVALID_ARGUMENT);
}

// The stop test: once every pool slot has finished and the worst of them is
// at least the best live beam's normalised score, the search stops; one
// unfinished slot keeps it going.
TEST_P(SearchStep, StopsWhenNoLiveBeamCanBeatAFullPool) {
  struct stop_case {
    const char *name;
    uint8_t finished0, finished1;
    uint8_t want;
  };
  const stop_case cases[] = {
      {"both finished", 1, 1, 0},
      {"one finished", 1, 0, 1},
      {"none finished", 0, 0, 1},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    search_fixture s(GetParam(), 2, 10, 0, 7, 8);
    for (int32_t row = 0; row < 6; ++row) s.set_pool_row(row, tokens({0, 1}, 10, 0));
    // Unfinished pool rows carry the exclusion score, as the search leaves them.
    s->pool_score[0] = k.finished0 ? -0.5f : -1e9f;
    s->pool_score[1] = k.finished1 ? -0.6f : -1e9f;
    s->pool_finished[0] = k.finished0;
    s->pool_finished[1] = k.finished1;
    s.set_pool_parents(0, {0, -1, -1, -1, -1, -1, -1, -1, -1});
    s.set_pool_parents(1, {0, -1, -1, -1, -1, -1, -1, -1, -1});
    s->beam_scores[0] = -5.0f;
    // Uniform logits: every extension costs log 7, the live beam's
    // normalised score is about (-5 - 1.95) / 2, below both pool scores.
    std::vector<float> logits(16, 0.0f);
    EXPECT_EQ(s.step_ok(2, logits), k.want);
    EXPECT_EQ(s->running, k.want);
  }
}

// A finished candidate that outranks the whole pool pushes the old rows down
// intact: the new row 1 is the old row 0, not a copy of the new row 0.
TEST_P(SearchStep, PoolRowsMoveDownIntact) {
  constexpr int32_t start = 0, end = 5, length = 6;
  search_fixture s(GetParam(), 2, length, start, end, 6);
  s.set_pool_row(0, {start, 1, 2, end, start, start});
  s.set_pool_parents(0, {0, 0, 0, -1, -1});
  s->pool_score[0] = -3.0f;
  s->pool_finished[0] = 1;
  s.set_pool_row(1, {start, 2, end, start, start, start});
  s.set_pool_parents(1, {0, 0, -1, -1, -1});
  s->pool_score[1] = -4.0f;
  s->pool_finished[1] = 1;
  s.set_beam_row(0, {start, 3, start, start, start, start});
  s->beam_scores[0] = -0.5f;
  s->beam_scores[1] = -1e9f;
  s->beam_parents[0] = 0;
  // Beam 0 is almost sure of the end id: its candidate finishes at about
  // -0.5 / 2, ahead of both pool rows.
  const std::vector<float> logits = {0, 0, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(s.step_ok(2, logits), 0);
  EXPECT_EQ(s.pool_row(0), (std::vector<int64_t>{start, 3, end, start, start, start}));
  EXPECT_NEAR(s->pool_score[0], -0.25f, 1e-4);
  EXPECT_EQ(s.pool_row(1), (std::vector<int64_t>{start, 1, 2, end, start, start}));
  EXPECT_EQ(s->pool_score[1], -3.0f);
  EXPECT_EQ(s->pool_finished[1], 1);
  EXPECT_EQ(s.best(), (std::vector<int32_t>{start, 3, end}));
}

// A reset after a finished search starts from scratch: the same logits give
// the same hypothesis again.
TEST_P(SearchStep, ResetRepeatsTheSameSearch) {
  search_fixture s(GetParam(), 3, 8, 1, 2, 7);
  auto run = [&] {
    qz_norvo_search_reset(s.get());
    for (int32_t t = 1; t < 8; ++t) {
      std::vector<float> logits(21);
      for (size_t j = 0; j < logits.size(); ++j)
        logits[j] = std::sin(float(j * 7 + t * 3)) + (j % 7 == 2 && t > 3 ? 3.0f : 0.0f);
      if (!s.step_ok(t, logits)) break;
    }
    return s.best();
  };
  const auto first = run();
  EXPECT_GE(first.size(), 2u);
  EXPECT_EQ(run(), first);
}

INSTANTIATE_TEST_SUITE_P(Backends, SearchStep, ::testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

// ---------------------------------------------------------------------------
// Failures.

TEST(SearchFailure, UnmappableLogitsAreOutOfMemory) {
  search_fixture s(ypu_backend::fake, 1, 4, 0, 1, 3);
  s.harness().fake()->fail_map = true;
  take_error_stack();
  uint8_t proceed = 7;
  EXPECT_EQ(s.step(1, {0, 1, 2}, &proceed), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(proceed, 7);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{message(0xc8, "Failed to allocate, out of memory.")}));
}

// A step scored with stale running scores would pass a wrong result off as a
// success, so a failed upload of the scores ends the step.
TEST(SearchFailure, FailedScoreUploadEndsTheStep) {
  search_fixture s(ypu_backend::fake, 1, 4, 0, 1, 3);
  // The logits go in through an upload too, before uploads start failing.
  const std::vector<float> logits = {0, 1, 2};
  qz_ypu_buffer_t *buffer = s.harness().buffer(12);
  s.harness().write(buffer, logits.data(), 12);
  s.harness().fake()->fail_upload = true;
  take_error_stack();
  uint8_t proceed = 7;
  EXPECT_EQ(qz_norvo_search_step(s.get(), 1, 3, buffer, &proceed), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(proceed, 7);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{site_message("aba5af0")}));
}

TEST(SearchFailure, FailingOperationsReportTheirSites) {
  struct op_case {
    uint32_t op;
    std::vector<std::string> tail;
  };
  const std::string execute = message(0x321, "Failed to execute operator");
  // Which op failed comes first, then the Part's record.
  auto failed = [](const std::string &op) {
    return message(0x327, "Operation `" + op + "` on the test device failed with status RUNTIME_ERROR.");
  };
  const op_case cases[] = {
      {QZ_YPU_OP_SOFTMAX_F32, {failed("softmax_f32"), execute}},
      {QZ_YPU_OP_LOG_F32, {failed("log_f32"), execute}},
      {QZ_YPU_OP_ADD_COL_F32, {failed("add_col_f32"), execute}},
      {QZ_YPU_OP_TOPK_F32,
       {failed("topk_f32"), execute, site_message("0e19ed4"), site_message("05cec02")}},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.op);
    fake_backend fake;
    fake.execute[k.op] = fake_backend::entry::fail;
    qz_ypu_context_t *context = fake.make_context();
    const int baseline = fake.live_host;  // the context record
    ASSERT_NE(context, nullptr);
    qz_norvo_search_t *search = nullptr;
    ASSERT_EQ(qz_norvo_search_create(context, 1, 2, 4, 0, 1, &search), QZ_STATUS_SUCCESS);
    qz_ypu_buffer_t *logits = fake.create(12);
    take_error_stack();
    uint8_t proceed = 7;
    EXPECT_EQ(qz_norvo_search_step(search, 1, 3, logits, &proceed), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(proceed, 7);
    EXPECT_EQ(take_error_stack(), k.tail);
    fake.destroy(logits);
    qz_norvo_search_delete(search);
    EXPECT_EQ(fake.live_host, baseline);
    EXPECT_EQ(fake.live_buffers, 0);
    qz_ypu_context_destroy(context);
  }
}

TEST(SearchFailure, CreationRefusesShapesWithoutRoomAndLeavesNothing) {
  struct shape_case {
    int32_t beams, candidates, length;
    const char *name;
  };
  const shape_case cases[] = {
      {0, 0, 4, "beam_size"},  {1, 3, 4, "candidates"}, {2, 1, 4, "candidates"},
      {1, 2, 1, "max_output_length"}, {1, 2, 0, "max_output_length"},
      {0x40000000, 0x7ffffffe, 4, "beam_size"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    fake_backend fake;
    qz_ypu_context_t *context = fake.make_context();
    const int baseline = fake.live_host;  // the context record
    qz_norvo_search_t *search = reinterpret_cast<qz_norvo_search_t *>(&fake);
    take_error_stack();
    EXPECT_EQ(qz_norvo_search_create(context, k.beams, k.candidates, k.length, 0, 1, &search),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(search, nullptr);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{message(
                                      0x65, std::string("Argument `") + k.name + "` is invalid.")}));
    EXPECT_EQ(fake.live_host, baseline);
    qz_ypu_context_destroy(context);
  }
}

TEST(SearchFailure, CreationOutOfMemoryLeavesNothing) {
  // Sizes whose arrays do not fit the allocator, then allocators that fail.
  {
    fake_backend fake;
    qz_ypu_context_t *context = fake.make_context();
    const int baseline = fake.live_host;  // the context record
    qz_norvo_search_t *search = nullptr;
    take_error_stack();
    EXPECT_EQ(qz_norvo_search_create(context, 1000, 2000, 1 << 20, 0, 1, &search),
              QZ_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(search, nullptr);
    EXPECT_EQ(take_error_stack(),
              (std::vector<std::string>{message(0x323, "Failed to allocate, out of memory.")}));
    EXPECT_EQ(fake.live_host, baseline);
    qz_ypu_context_destroy(context);
  }
  for (int buffers_before_failure : {-1, 0, 1, 2}) {
    SCOPED_TRACE(buffers_before_failure);
    fake_backend fake;
    qz_ypu_context_t *context = fake.make_context();
    const int baseline = fake.live_host;  // the context record
    fake.fail_host_alloc = buffers_before_failure < 0;
    fake.fail_buffer_create_after = buffers_before_failure;
    qz_norvo_search_t *search = nullptr;
    EXPECT_EQ(qz_norvo_search_create(context, 2, 4, 5, 0, 1, &search), QZ_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(search, nullptr);
    EXPECT_EQ(fake.live_host, baseline);
    EXPECT_EQ(fake.live_buffers, 0);
    qz_ypu_context_destroy(context);
  }
}

TEST(SearchFailure, StepRefusesArgumentsOutsideTheState) {
  struct argument_case {
    int32_t t, vocabulary, start;
    const char *name;
  };
  const argument_case cases[] = {
      {0, 3, 0, "t"},
      {4, 3, 0, "t"},
      {1, 0, 0, "vocabulary_size"},
      {1, 3, 3, "start_id"},
      {1, 3, -1, "start_id"},
      {1, 4, 0, "logits"},  // the buffer holds 3 logits
      {1, 0x20000000, 0, "vocabulary_size"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    ypu_harness h(ypu_backend::cpu);
    qz_norvo_search_t *search = nullptr;
    ASSERT_EQ(qz_norvo_search_create(h.context(), 1, 2, 4, k.start, 1, &search), QZ_STATUS_SUCCESS);
    qz_ypu_buffer_t *logits = h.buffer(12);
    take_error_stack();
    uint8_t proceed = 7;
    EXPECT_EQ(qz_norvo_search_step(search, k.t, k.vocabulary, logits, &proceed),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(proceed, 7);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{message(
                                      0x65, std::string("Argument `") + k.name + "` is invalid.")}));
    qz_norvo_search_delete(search);
  }
}

TEST(SearchFailure, BestHypothesisOutOfMemory) {
  fake_backend fake;
  qz_ypu_context_t *context = fake.make_context();
  const int baseline = fake.live_host;  // the context record
  qz_norvo_search_t *search = nullptr;
  ASSERT_EQ(qz_norvo_search_create(context, 1, 2, 4, 0, 1, &search), QZ_STATUS_SUCCESS);
  fake.fail_host_alloc = true;
  take_error_stack();
  int32_t *ids = nullptr;
  int32_t count = -1;
  EXPECT_EQ(qz_norvo_search_best_hypothesis(search, &ids, &count), QZ_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{message(0x323, "Failed to allocate, out of memory.")}));
  fake.fail_host_alloc = false;
  qz_norvo_search_delete(search);
  EXPECT_EQ(fake.live_host, baseline);
  qz_ypu_context_destroy(context);
}

}  // namespace
