// The forward pass against a plain double-precision rebuild of the same
// network (tests/support/model_reference.h): encoder and decoder stacks,
// decoder layers through their uint8 caches, cache wrap-around, reorder
// and reset.
//
// Tolerances: the library computes in f32 and the reference in f64; after
// each layer norm the rows have unit scale, so f32 rounding stays below
// 1e-5. The caches store rows as uint8 codes; the reference quantises its
// own rows with the same rule, so the two differ only where an f32 value
// and its f64 counterpart round to different codes, which the fixed seeds
// below do not hit.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "model/model_test_util.h"
#include "support/model_reference.h"
#include "ypu/params.h"

namespace {

using namespace model_test;

constexpr double kTolerance = 2e-5;

// The CPU kernels of low-bit weights of 1 to 4 bits quantise their inputs to
// 8 bits (an error of up to 1/254 of a row's largest input per element);
// the host implementation does not.
double lowbit_tolerance(ypu_backend backend) {
  const bool cpu = backend == ypu_backend::cpu || backend == ypu_backend::cpu_pool;
  return cpu ? 5e-2 : kTolerance;
}

double max_difference(const std::vector<float> &got, const dvec &want) {
  EXPECT_EQ(got.size(), want.size());
  double worst = 0.0;
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    worst = std::max(worst, std::fabs(double(got[i]) - want[i]));
  return worst;
}

std::vector<uint32_t> random_ids(std::mt19937 &rng, size_t count, int32_t vocab) {
  std::vector<uint32_t> ids(count);
  for (uint32_t &id : ids) id = rng() % uint32_t(vocab);
  return ids;
}

model_shape dense_shape(int32_t encoder_layers, int32_t decoder_layers, int32_t positions) {
  model_shape shape;
  shape.dim = 8;
  shape.heads = 2;
  shape.hidden = 12;
  shape.vocab = 7;
  shape.positions = positions;
  shape.encoder_layers = encoder_layers;
  shape.decoder_layers = decoder_layers;
  shape.linear_kinds = {weight_kind::dense, weight_kind::named_dense};
  shape.table_kinds = {embedding_table::kind::float_table, embedding_table::kind::named_float};
  return shape;
}

// Low-bit linears of every width and quantised tables.
model_shape lowbit_shape(int32_t encoder_layers, int32_t decoder_layers, int32_t positions) {
  model_shape shape;
  shape.dim = 16;
  shape.heads = 4;
  shape.hidden = 32;
  shape.vocab = 16;
  shape.positions = positions;
  shape.encoder_layers = encoder_layers;
  shape.decoder_layers = decoder_layers;
  shape.linear_kinds = {weight_kind::lowbit_mixed, weight_kind::dense, weight_kind::lowbit};
  shape.table_kinds = {embedding_table::kind::quantized};
  return shape;
}

// A model read into the records of this library, freed at the end.
struct loaded_model {
  qz_ypu_context_t *context;
  qz_norvo_t engine{};
  loaded_model(qz_ypu_context_t *c, const model_record &model) : context(c) {
    const model_bytes bytes = write_model(model);
    file_ptr file = open_bytes(bytes.data());
    EXPECT_EQ(read_sections(context, file.get(), &engine), QZ_STATUS_SUCCESS)
        << testing::PrintToString(take_error_stack());
  }
  ~loaded_model() { free_sections(context, &engine); }
  loaded_model(const loaded_model &) = delete;
  loaded_model &operator=(const loaded_model &) = delete;

  qz_norvo_decoder_layer_t *decoder_layer(int32_t i) const {
    return static_cast<qz_norvo_decoder_layer_t *>(engine.decoder->layers[i]);
  }
};

class Forward : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
  qz_ypu_context_t *context() { return h.context(); }

  qz_ypu_buffer_t *floats(const std::vector<float> &values) { return h.buffer(values); }
  qz_ypu_buffer_t *zeros(size_t count) { return h.buffer(int32_t(count * sizeof(float))); }
  std::vector<float> read(qz_ypu_buffer_t *buffer, size_t count) { return h.read<float>(buffer, count); }

  // Encoder output of one sequence, copied for every sequence.
  qz_ypu_buffer_t *replicated(const std::vector<float> &rows, int32_t sequences) {
    std::vector<float> all;
    for (int32_t s = 0; s < sequences; ++s) all.insert(all.end(), rows.begin(), rows.end());
    return floats(all);
  }
};

INSTANTIATE_TEST_SUITE_P(Backends, Forward, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST_P(Forward, EncoderMatchesReference) {
  struct encoder_case {
    const char *label;
    model_shape shape;
    int32_t length;
    double tolerance;
  };
  const encoder_case cases[] = {
      {"dense weights, float tables", dense_shape(2, 0, 6), 5, kTolerance},
      {"low-bit weights, quantised tables", lowbit_shape(2, 0, 8), 7, lowbit_tolerance(GetParam())},
      {"one token", dense_shape(1, 0, 3), 1, kTolerance},
  };
  for (const encoder_case &c : cases) {
    SCOPED_TRACE(c.label);
    std::mt19937 rng(101);
    const model_record model = random_model(rng, c.shape);
    loaded_model m(context(), model);
    const std::vector<uint32_t> ids = random_ids(rng, c.length, c.shape.vocab);
    qz_ypu_buffer_t *hidden = zeros(size_t(c.length) * c.shape.dim);
    ASSERT_EQ(qz_norvo_encoder_forward(context(), m.engine.encoder, hidden, ids.data(), c.length),
              QZ_STATUS_SUCCESS);
    const dvec want = reference::network(model).encode(ids);
    EXPECT_LT(max_difference(read(hidden, want.size()), want), c.tolerance);
  }
}

TEST_P(Forward, StacksWithoutLayersLeaveTheEmbeddedRows) {
  std::mt19937 rng(102);
  model_shape shape = dense_shape(0, 0, 6);
  shape.table_kinds = {embedding_table::kind::quantized, embedding_table::kind::float_table};
  const model_record model = random_model(rng, shape);
  loaded_model m(context(), model);
  const std::vector<float> token = model.token.dequantized(), position = model.position.dequantized();
  auto embedded = [&](uint32_t id, int32_t place, float scale) {
    std::vector<float> row(shape.dim);
    for (int32_t c = 0; c < shape.dim; ++c)
      row[c] = token[id * shape.dim + c] * scale + position[place * shape.dim + c];
    return row;
  };

  const std::vector<uint32_t> source = {3, 0, 6, 3};
  qz_ypu_buffer_t *hidden = zeros(source.size() * shape.dim);
  ASSERT_EQ(qz_norvo_encoder_forward(context(), m.engine.encoder, hidden, source.data(), 4),
            QZ_STATUS_SUCCESS);
  std::vector<float> want;
  for (int32_t i = 0; i < 4; ++i) {
    const std::vector<float> row = embedded(source[i], i, model.encoder_scale);
    want.insert(want.end(), row.begin(), row.end());
  }
  EXPECT_EQ(read(hidden, want.size()), want);

  // One row per sequence, all at the same position.
  const std::vector<uint32_t> last = {5, 1};
  qz_ypu_buffer_t *step = zeros(2 * shape.dim);
  ASSERT_EQ(qz_norvo_decoder_forward(context(), m.engine.decoder, step, last.data(), hidden, 4, 2, 1, 4),
            QZ_STATUS_SUCCESS);
  want = embedded(5, 4, model.decoder_scale);
  const std::vector<float> second = embedded(1, 4, model.decoder_scale);
  want.insert(want.end(), second.begin(), second.end());
  EXPECT_EQ(read(step, want.size()), want);
}

TEST_P(Forward, DecoderStepsWithReorderMatchReference) {
  for (const model_shape &shape : {dense_shape(1, 2, 6), lowbit_shape(1, 1, 6)}) {
    SCOPED_TRACE(shape.dim);
    const double tolerance = shape.dim == 8 ? kTolerance : lowbit_tolerance(GetParam());
    std::mt19937 rng(103);
    const model_record model = random_model(rng, shape);
    loaded_model m(context(), model);
    reference::network ref(model);
    constexpr int32_t kSequences = 3, kLength = 4;

    const std::vector<uint32_t> source = random_ids(rng, kLength, shape.vocab);
    qz_ypu_buffer_t *encoded = zeros(size_t(kLength) * shape.dim);
    ASSERT_EQ(qz_norvo_encoder_forward(context(), m.engine.encoder, encoded, source.data(), kLength),
              QZ_STATUS_SUCCESS);
    const std::vector<float> encoder_rows = read(encoded, size_t(kLength) * shape.dim);
    qz_ypu_buffer_t *memory = replicated(encoder_rows, kSequences);
    dvec memory_ref;
    for (int32_t s = 0; s < kSequences; ++s)
      memory_ref.insert(memory_ref.end(), encoder_rows.begin(), encoder_rows.end());

    qz_ypu_buffer_t *hidden = zeros(size_t(kSequences) * shape.dim);
    const std::vector<std::vector<int32_t>> reorders = {{}, {2, 0, 2}, {}, {1, 1, 0}, {}, {0, 2, 1}};
    for (int32_t position = 0; position < 6; ++position) {
      SCOPED_TRACE(position);
      const std::vector<uint32_t> ids = random_ids(rng, kSequences, shape.vocab);
      ASSERT_EQ(qz_norvo_decoder_forward(context(), m.engine.decoder, hidden, ids.data(), memory, position,
                                         kSequences, 1, kLength),
                QZ_STATUS_SUCCESS)
          << testing::PrintToString(take_error_stack());
      const dvec want = ref.decode_step(ids, memory_ref, kLength, position);
      EXPECT_LT(max_difference(read(hidden, want.size()), want), tolerance);

      const std::vector<int32_t> &parents = reorders[position];
      if (parents.empty()) continue;
      qz_ypu_buffer_t *index = h.buffer(parents);
      for (int32_t i = 0; i < m.engine.decoder->layer_count; ++i) {
        for (auto *cache : {m.decoder_layer(i)->self_cache, m.decoder_layer(i)->cross_cache})
          ASSERT_EQ(qz_norvo_attention_cache_reorder(context(), cache, index, kSequences), QZ_STATUS_SUCCESS);
      }
      ref.reorder(parents);
    }
    EXPECT_EQ(m.decoder_layer(0)->self_cache->length, 6);
    EXPECT_EQ(m.decoder_layer(0)->cross_cache->length, kLength);
  }
}

// A self cache keeps `capacity` rows: after more steps the oldest rows are
// dropped and the rest slide down, sequence by sequence.
TEST_P(Forward, SelfCacheWrapsAtCapacity) {
  std::mt19937 rng(104);
  const model_record model = random_model(rng, dense_shape(0, 1, 3));
  loaded_model m(context(), model);
  reference::network ref(model);
  qz_norvo_decoder_layer_t *layer = m.decoder_layer(0);
  ASSERT_EQ(layer->self_cache->capacity, 3);
  constexpr int32_t kSequences = 2, kLength = 2, kDim = 8;

  std::uniform_real_distribution<float> value(-1.5f, 1.5f);
  std::vector<float> memory_rows(size_t(kSequences) * kLength * kDim);
  for (float &v : memory_rows) v = value(rng);
  qz_ypu_buffer_t *memory = floats(memory_rows);
  const dvec memory_ref(memory_rows.begin(), memory_rows.end());
  for (int step = 0; step < 7; ++step) {
    SCOPED_TRACE(step);
    std::vector<float> x(size_t(kSequences) * kDim);
    for (float &v : x) v = value(rng);
    qz_ypu_buffer_t *hidden = floats(x);
    ASSERT_EQ(qz_norvo_decoder_layer_forward(context(), layer, hidden, memory, kSequences, 1, kLength),
              QZ_STATUS_SUCCESS);
    const dvec want = ref.decoder_layer(0, dvec(x.begin(), x.end()), memory_ref, kSequences, kLength);
    EXPECT_LT(max_difference(read(hidden, want.size()), want), kTolerance);
    EXPECT_EQ(layer->self_cache->length, std::min(step + 1, 3));
  }
  EXPECT_EQ(ref.self_cache_length(0), 3u);
}

TEST_P(Forward, ResetEmptiesTheCachesAndRepeatsTheFirstStep) {
  std::mt19937 rng(105);
  const model_record model = random_model(rng, dense_shape(0, 2, 4));
  loaded_model m(context(), model);
  constexpr int32_t kSequences = 2, kLength = 3;
  std::vector<float> memory_rows(size_t(kSequences) * kLength * 8);
  for (float &v : memory_rows) v = std::uniform_real_distribution<float>(-1, 1)(rng);
  qz_ypu_buffer_t *memory = floats(memory_rows);
  const std::vector<uint32_t> ids = {4, 2};
  qz_ypu_buffer_t *hidden = zeros(kSequences * 8);

  std::vector<std::vector<float>> first_run;
  for (int round = 0; round < 2; ++round) {
    for (int32_t position = 0; position < 3; ++position) {
      ASSERT_EQ(qz_norvo_decoder_forward(context(), m.engine.decoder, hidden, ids.data(), memory, position,
                                         kSequences, 1, kLength),
                QZ_STATUS_SUCCESS);
      const std::vector<float> got = read(hidden, kSequences * 8);
      if (round == 0)
        first_run.push_back(got);
      else
        EXPECT_EQ(got, first_run[position]) << "position " << position;
    }
    qz_norvo_decoder_reset_caches(context(), m.engine.decoder);
    for (int32_t i = 0; i < 2; ++i) {
      for (auto [cache, capacity] : {std::pair{m.decoder_layer(i)->self_cache, 4},
                                     std::pair{m.decoder_layer(i)->cross_cache, 0}}) {
        EXPECT_EQ(cache->capacity, capacity);
        EXPECT_EQ(cache->length, 0);
        EXPECT_EQ(cache->sequences, 0);
        EXPECT_EQ(cache->width, 0);
        EXPECT_EQ(cache->key_codes, nullptr);
        EXPECT_EQ(cache->key_pairs, nullptr);
        EXPECT_EQ(cache->value_codes, nullptr);
        EXPECT_EQ(cache->value_pairs, nullptr);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Linear layers.

TEST_P(Forward, LowBitLinearMatchesItsDequantisedMatrix) {
  std::mt19937 rng(106);
  struct lowbit_case {
    const char *label;
    bool mixed, offset;
    int32_t rows, cols;
  };
  const lowbit_case cases[] = {
      {"one width", false, false, 32, 16},
      {"one width, offset row", false, true, 16, 24},
      {"mixed widths, offset row", true, true, 48, 64},
      {"mixed widths", true, false, 16, 40},
  };
  for (const lowbit_case &c : cases) {
    SCOPED_TRACE(c.label);
    linear_record record{random_lowbit(rng, c.rows, c.cols, c.mixed, c.offset), {}};
    record.bias.assign(c.rows, 0.25f);
    model_bytes bytes;
    write_linear(bytes, record);
    qz_norvo_linear_t *linear = nullptr;
    ASSERT_EQ(load(qz_norvo_linear_load, context(), bytes.data(), &linear), QZ_STATUS_SUCCESS);
    for (int32_t n : {1, 3}) {
      std::vector<float> x(size_t(n) * c.cols);
      for (float &v : x) v = std::uniform_real_distribution<float>(-1, 1)(rng);
      qz_ypu_buffer_t *out = zeros(size_t(n) * c.rows);
      ASSERT_EQ(qz_norvo_linear_forward(context(), linear, out, floats(x), n), QZ_STATUS_SUCCESS);
      const dvec want = reference::linear(record, dvec(x.begin(), x.end()), n);
      EXPECT_LT(max_difference(read(out, want.size()), want), lowbit_tolerance(GetParam()))
          << "n " << n;
    }
    qz_norvo_linear_free(context(), linear);
  }
}

// ---------------------------------------------------------------------------
// Embedding lookups.

TEST_P(Forward, EmbeddingLookupRefusesRowsOutsideTheTables) {
  std::mt19937 rng(107);
  const model_record model = random_model(rng, dense_shape(0, 0, 4));
  loaded_model m(context(), model);
  struct lookup_case {
    const char *label;
    uint32_t id;
    int32_t position_offset, positions;
  };
  const lookup_case cases[] = {
      {"id past the table", 7, 0, 1},
      {"id -1", 0xffffffffu, 0, 1},
      {"position past the table", 0, 2, 3},
      {"negative position", 0, -1, 1},
  };
  std::vector<float> rows(3 * 8);
  for (const lookup_case &c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<uint32_t> ids(c.positions, 1);
    ids[0] = c.id;
    take_error_stack();
    EXPECT_EQ(qz_norvo_embedding_lookup(context(), m.engine.token_embedding, m.engine.position_embedding,
                                        rows.data(), ids.data(), c.position_offset, 1.0f, 1, c.positions),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(), (strings{invalid("row"), site("d134232")}));
  }
  // Through the encoder the embedding adds its own code.
  const uint32_t bad[] = {1, 9};
  qz_ypu_buffer_t *hidden = zeros(2 * 8);
  EXPECT_EQ(qz_norvo_encoder_forward(context(), m.engine.encoder, hidden, bad, 2),
            QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), (strings{invalid("row"), site("d134232"), site("59ae30c")}));
}

// ---------------------------------------------------------------------------
// Caches through their own interface.

class Cache : public Forward {
 protected:
  qz_norvo_attention_cache_t *cache = nullptr;
  void TearDown() override { qz_norvo_attention_cache_free(context(), cache); }

  // Appends one row per sequence: keys [base, base + 1] and values
  // [2 base, 2 base + 3] for sequence 0, negated bases for sequence 1.
  qz_status_t append_step(float base, int32_t batch = 2) {
    std::vector<float> keys, values;
    for (int32_t s = 0; s < batch; ++s) {
      const float b = s == 0 ? base : -base;
      keys.insert(keys.end(), {b, b + 1.0f});
      values.insert(values.end(), {2.0f * b, 2.0f * b + 3.0f});
    }
    return qz_norvo_attention_cache_append(context(), cache, floats(keys), floats(values), batch, 1, 2, 0, 0);
  }
  // The intercepts of the cached key rows of one sequence.
  std::vector<float> key_intercepts(int32_t sequence) {
    const int32_t rows = cache->capacity > 0 ? cache->capacity : cache->length;
    const std::vector<float> pairs = read(cache->key_pairs, size_t(cache->sequences) * rows * 2);
    std::vector<float> out;
    for (int32_t r = 0; r < cache->length; ++r) out.push_back(pairs[(size_t(sequence) * rows + r) * 2 + 1]);
    return out;
  }
};

INSTANTIATE_TEST_SUITE_P(Backends, Cache, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST_P(Cache, KeepsTheNewestRowsOfEverySequence) {
  ASSERT_EQ(qz_norvo_attention_cache_create(context(), 4, &cache), QZ_STATUS_SUCCESS);
  for (int step = 1; step <= 6; ++step) ASSERT_EQ(append_step(float(step)), QZ_STATUS_SUCCESS);
  EXPECT_EQ(cache->length, 4);
  EXPECT_EQ(cache->sequences, 2);
  EXPECT_EQ(cache->width, 2);
  EXPECT_EQ(key_intercepts(0), (std::vector<float>{3, 4, 5, 6}));
  EXPECT_EQ(key_intercepts(1), (std::vector<float>{-3, -4, -5, -6}));
  // Each row spans its own range: codes 0 and 255, and the value rows likewise.
  for (qz_ypu_buffer_t *codes : {cache->key_codes, cache->value_codes}) {
    const std::vector<uint8_t> bytes = h.read<uint8_t>(codes, 2 * 4 * 2);
    for (size_t r = 0; r < 8; ++r) {
      EXPECT_EQ(bytes[2 * r], 0);
      EXPECT_EQ(bytes[2 * r + 1], 255);
    }
  }
  const std::vector<float> value_pairs = read(cache->value_pairs, 2 * 4 * 2);
  EXPECT_FLOAT_EQ(value_pairs[0], 3.0f / 255.0f);
  EXPECT_EQ(value_pairs[1], 6.0f);
}

TEST_P(Cache, CapacityZeroHoldsExactlyTheFirstRows) {
  ASSERT_EQ(qz_norvo_attention_cache_create(context(), 0, &cache), QZ_STATUS_SUCCESS);
  std::vector<float> rows(2 * 3 * 2);
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = float(i % 5);
  qz_ypu_buffer_t *input = floats(rows);
  ASSERT_EQ(qz_norvo_attention_cache_append(context(), cache, input, input, 2, 3, 2, 0, 0),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(cache->length, 3);
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context());
  EXPECT_EQ(ops.buffer_size(context()->device, cache->key_codes), 2 * 3 * 2);
  EXPECT_EQ(ops.buffer_size(context()->device, cache->key_pairs), 2 * 3 * 8);
  EXPECT_EQ(ops.buffer_size(context()->device, cache->value_codes), 2 * 3 * 2);
  EXPECT_EQ(ops.buffer_size(context()->device, cache->value_pairs), 2 * 3 * 8);
}

// The cross-attention projects the encoder rows on its first call only.
TEST_P(Cache, CrossAttentionFillsOnce) {
  std::mt19937 rng(108);
  model_record model = random_model(rng, dense_shape(0, 1, 4));
  loaded_model m(context(), model);
  qz_norvo_decoder_layer_t *layer = m.decoder_layer(0);
  constexpr int32_t kSequences = 2, kLength = 3;
  std::vector<float> memory_rows(kSequences * kLength * 8), x(kSequences * 8);
  const std::vector<float> other(memory_rows.size(), 5.0f);
  for (float &v : memory_rows) v = std::uniform_real_distribution<float>(-1, 1)(rng);
  for (float &v : x) v = std::uniform_real_distribution<float>(-1, 1)(rng);
  qz_ypu_buffer_t *query = floats(x), *first = zeros(kSequences * 8), *second = zeros(kSequences * 8);
  ASSERT_EQ(qz_norvo_cross_attention_forward(context(), layer->cross_attention, first, query,
                                             floats(memory_rows), layer->cross_cache, kSequences, 1,
                                             kLength),
            QZ_STATUS_SUCCESS);
  qz_ypu_buffer_t *keys = layer->cross_cache->key_codes;
  ASSERT_EQ(qz_norvo_cross_attention_forward(context(), layer->cross_attention, second, query,
                                             floats(other), layer->cross_cache, kSequences, 1,
                                             kLength),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(layer->cross_cache->length, kLength);
  EXPECT_EQ(layer->cross_cache->key_codes, keys);
  EXPECT_EQ(read(second, kSequences * 8), read(first, kSequences * 8));
}

// Filling the cross cache from one copy of the encoder rows and widening it
// gives the attention the bits it has when B copies are projected together.
TEST_P(Cache, CrossCacheFilledOnceAndWidenedMatchesBCopies) {
  std::mt19937 rng(109);
  model_record model = random_model(rng, dense_shape(0, 1, 4));
  loaded_model m(context(), model);
  qz_norvo_decoder_layer_t *layer = m.decoder_layer(0);
  constexpr int32_t kSequences = 3, kLength = 5;
  std::vector<float> one(kLength * 8), x(kSequences * 8);
  for (float &v : one) v = std::uniform_real_distribution<float>(-1, 1)(rng);
  for (float &v : x) v = std::uniform_real_distribution<float>(-1, 1)(rng);
  std::vector<float> copies;
  for (int32_t s = 0; s < kSequences; ++s) copies.insert(copies.end(), one.begin(), one.end());
  qz_ypu_buffer_t *query = floats(x), *together = zeros(kSequences * 8), *widened = zeros(kSequences * 8);
  ASSERT_EQ(qz_norvo_cross_attention_forward(context(), layer->cross_attention, together, query,
                                             floats(copies), layer->cross_cache, kSequences, 1,
                                             kLength),
            QZ_STATUS_SUCCESS);
  qz_norvo_decoder_reset_caches(context(), m.engine.decoder);
  ASSERT_EQ(qz_norvo_attention_fill_cache(context(), layer->cross_attention, layer->cross_cache,
                                          floats(one), 1, kLength),
            QZ_STATUS_SUCCESS);
  ASSERT_EQ(qz_norvo_attention_cache_widen(context(), layer->cross_cache, kSequences), QZ_STATUS_SUCCESS);
  ASSERT_EQ(qz_norvo_cross_attention_forward(context(), layer->cross_attention, widened, query,
                                             floats(copies), layer->cross_cache, kSequences, 1,
                                             kLength),
            QZ_STATUS_SUCCESS);
  const std::vector<float> a = read(together, kSequences * 8), b = read(widened, kSequences * 8);
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
}

TEST_P(Cache, ReorderCopiesTheParentSequences) {
  ASSERT_EQ(qz_norvo_attention_cache_create(context(), 3, &cache), QZ_STATUS_SUCCESS);
  for (int step = 1; step <= 2; ++step) ASSERT_EQ(append_step(float(step)), QZ_STATUS_SUCCESS);
  const std::vector<float> parent = key_intercepts(1);
  ASSERT_EQ(qz_norvo_attention_cache_reorder(context(), cache, h.buffer(std::vector<int32_t>{1, 1}), 2),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(key_intercepts(0), parent);
  EXPECT_EQ(key_intercepts(1), parent);
  EXPECT_EQ(cache->length, 2);
  // Appending after a reorder continues both sequences.
  ASSERT_EQ(append_step(9.0f), QZ_STATUS_SUCCESS);
  EXPECT_EQ(key_intercepts(0), (std::vector<float>{-1, -2, 9}));
  EXPECT_EQ(key_intercepts(1), (std::vector<float>{-1, -2, -9}));
}

// A cache filled for one sequence becomes copies of it that then go on as
// sequences of their own: appends and reorders treat them like any other.
TEST_P(Cache, WidenCopiesTheOneSequence) {
  struct widen_case {
    const char *label;
    int32_t capacity, steps;
    std::vector<float> filled;
  };
  const widen_case cases[] = {{"ring of 3 rows", 3, 2, {1, 2}}, {"capacity 0", 0, 1, {1}}};
  for (const widen_case &c : cases) {
    SCOPED_TRACE(c.label);
    qz_norvo_attention_cache_free(context(), cache);
    cache = nullptr;
    ASSERT_EQ(qz_norvo_attention_cache_create(context(), c.capacity, &cache), QZ_STATUS_SUCCESS);
    // Not filled yet: nothing to copy.
    EXPECT_EQ(qz_norvo_attention_cache_widen(context(), cache, 3), QZ_STATUS_SUCCESS);
    EXPECT_EQ(cache->key_codes, nullptr);
    for (int step = 1; step <= c.steps; ++step)
      ASSERT_EQ(append_step(float(step), 1), QZ_STATUS_SUCCESS);
    ASSERT_EQ(qz_norvo_attention_cache_widen(context(), cache, 3), QZ_STATUS_SUCCESS);
    EXPECT_EQ(cache->sequences, 3);
    EXPECT_EQ(cache->spare_key_codes, nullptr);
    const int32_t rows = c.capacity > 0 ? c.capacity : c.steps;
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context());
    EXPECT_EQ(ops.buffer_size(context()->device, cache->key_codes), 3 * rows * 2);
    EXPECT_EQ(ops.buffer_size(context()->device, cache->value_pairs), 3 * rows * 8);
    const std::vector<uint8_t> first = h.read<uint8_t>(cache->value_codes, size_t(3) * rows * 2);
    for (int32_t s = 0; s < 3; ++s) {
      EXPECT_EQ(key_intercepts(s), c.filled);
      EXPECT_TRUE(std::equal(first.begin(), first.begin() + c.steps * 2,
                             first.begin() + s * rows * 2));
    }
    // Only one sequence is widened.
    take_error_stack();
    EXPECT_EQ(qz_norvo_attention_cache_widen(context(), cache, 3), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(), strings{invalid("count")});
  }
  // The ring (the first case) goes on with three sequences and reorders them.
  qz_norvo_attention_cache_free(context(), cache);
  cache = nullptr;
  ASSERT_EQ(qz_norvo_attention_cache_create(context(), 3, &cache), QZ_STATUS_SUCCESS);
  for (int step = 1; step <= 2; ++step) ASSERT_EQ(append_step(float(step), 1), QZ_STATUS_SUCCESS);
  ASSERT_EQ(qz_norvo_attention_cache_widen(context(), cache, 3), QZ_STATUS_SUCCESS);
  ASSERT_EQ(append_step(9.0f, 3), QZ_STATUS_SUCCESS);
  EXPECT_EQ(key_intercepts(0), (std::vector<float>{1, 2, 9}));
  EXPECT_EQ(key_intercepts(2), (std::vector<float>{1, 2, -9}));
  ASSERT_EQ(qz_norvo_attention_cache_reorder(context(), cache, h.buffer(std::vector<int32_t>{2, 0, 0}), 3),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(key_intercepts(0), (std::vector<float>{1, 2, -9}));
  EXPECT_EQ(key_intercepts(1), (std::vector<float>{1, 2, 9}));
  EXPECT_EQ(key_intercepts(2), (std::vector<float>{1, 2, 9}));
}

TEST_P(Cache, RefusesCallsThatDoNotFitItsBuffers) {
  ASSERT_EQ(qz_norvo_attention_cache_create(context(), 2, &cache), QZ_STATUS_SUCCESS);
  // Nothing cached yet: a reorder has nothing to move.
  EXPECT_EQ(qz_norvo_attention_cache_reorder(context(), cache, h.buffer(std::vector<int32_t>{0}), 1),
            QZ_STATUS_SUCCESS);
  ASSERT_EQ(append_step(1.0f), QZ_STATUS_SUCCESS);
  qz_ypu_buffer_t *keys = cache->key_codes;
  take_error_stack();
  struct refusal {
    const char *label;
    std::function<qz_status_t()> call;
    std::string message;
  };
  std::vector<float> three_rows(2 * 3 * 2, 1.0f);
  auto reorder = [&](std::vector<int32_t> parents) {
    const int32_t count = int32_t(parents.size());
    return qz_norvo_attention_cache_reorder(context(), cache, h.buffer(parents), count);
  };
  const refusal cases[] = {
      {"parent out of range",
       [&] { return reorder({0, 2}); },
       invalid("index")},
      {"negative parent",
       [&] { return reorder({-1, 0}); },
       invalid("index")},
      {"more sequences than cached",
       [&] { return reorder({0, 1, 1}); },
       invalid("count")},
      {"another sequence count", [&] { return append_step(2.0f, 3); }, invalid("cache")},
      {"more rows than the capacity",
       [&] {
         qz_ypu_buffer_t *b = floats(three_rows);
         return qz_norvo_attention_cache_append(context(), cache, b, b, 2, 3, 2, 0, 0);
       },
       invalid("rows")},
  };
  for (const refusal &c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.call(), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(), strings{c.message});
    EXPECT_EQ(cache->key_codes, keys);
    EXPECT_EQ(cache->length, 1);
  }
}

// ---------------------------------------------------------------------------
// Failing operations: the chain of messages, and every temporary returned.

struct failing_op {
  const char *label;
  uint32_t op;
  bool decoder;
  strings messages;
};

TEST(ForwardFailures, EveryStepReportsAndCleansUp) {
  const failing_op cases[] = {
      {"attention", QZ_YPU_OP_ATTENTION_F32, false, {operation_failed("attention_f32"), execute_failed(), site("fe44928"), site("9a350f2")}},
      {"query projection", QZ_YPU_OP_MATMUL_NT_F32, false,
       {operation_failed("matmul_nt_f32"), execute_failed(), site("bbd9c19"), site("40304c6"), site("fe44928"), site("9a350f2")}},
      {"query bias", QZ_YPU_OP_ADD_ROW_F32, false,
       {operation_failed("add_row_f32"), execute_failed(), site("40304c6"), site("fe44928"), site("9a350f2")}},
      {"residual", QZ_YPU_OP_ADD_F32, false, {operation_failed("add_f32"), execute_failed(), site("9a350f2")}},
      {"layer norm", QZ_YPU_OP_LAYER_NORM_F32, false, {operation_failed("layer_norm_f32"), execute_failed(), site("9a559c9"), site("9a350f2")}},
      {"activation", QZ_YPU_OP_SILU_F32, false, {operation_failed("silu_f32"), execute_failed(), site("9a350f2")}},
      {"cache append", QZ_YPU_OP_QUANTIZE_ROWS_U8, true,
       {operation_failed("quantize_rows_u8"), execute_failed(), site("fe44928"), site("8ba9cd5")}},
      {"cached attention", QZ_YPU_OP_ATTENTION_CACHE_U8, true,
       {operation_failed("attention_cache_u8"), execute_failed(), site("fe44928"), site("8ba9cd5")}},
  };
  for (const failing_op &c : cases) {
    SCOPED_TRACE(c.label);
    fake_backend fake;
    for (const failing_op &other : cases) fake.execute[other.op] = fake_backend::entry::decline;
    qz_ypu_context_t *context = fake.make_context();
    ASSERT_NE(context, nullptr);
    {
      std::mt19937 rng(109);
      const model_record model = random_model(rng, dense_shape(1, 1, 4));
      loaded_model m(context, model);
      qz_ypu_buffer_t *hidden = fake.create(3 * 8 * 4), *step = fake.create(8 * 4);
      const uint32_t ids[] = {1, 2, 3};
      fake.execute[c.op] = fake_backend::entry::fail;
      take_error_stack();
      const qz_status_t status =
          c.decoder ? qz_norvo_decoder_forward(context, m.engine.decoder, step, ids, hidden, 0, 1, 1, 3)
                    : qz_norvo_encoder_forward(context, m.engine.encoder, hidden, ids, 3);
      EXPECT_EQ(status, QZ_STATUS_RUNTIME_ERROR);
      EXPECT_EQ(take_error_stack(), c.messages);
      fake.destroy(hidden);
      fake.destroy(step);
    }
    qz_ypu_context_destroy(context);
    EXPECT_EQ(fake.live_buffers, 0);
    EXPECT_EQ(fake.live_host, 0);
  }
}

TEST(ForwardFailures, CacheShiftAndReorder) {
  fake_backend fake;
  for (uint32_t op : {QZ_YPU_OP_SHIFT_ROWS_LEFT, QZ_YPU_OP_COPY_BYTES})
    fake.execute[op] = fake_backend::entry::decline;
  qz_ypu_context_t *context = fake.make_context();
  ASSERT_NE(context, nullptr);
  qz_norvo_attention_cache_t *cache = nullptr;
  ASSERT_EQ(qz_norvo_attention_cache_create(context, 1, &cache), QZ_STATUS_SUCCESS);
  qz_ypu_buffer_t *row = fake.create(2 * 4 * sizeof(float));
  ASSERT_EQ(qz_norvo_attention_cache_append(context, cache, row, row, 2, 1, 4, 0, 0), QZ_STATUS_SUCCESS);

  take_error_stack();
  fake.execute[QZ_YPU_OP_SHIFT_ROWS_LEFT] = fake_backend::entry::fail;
  EXPECT_EQ(qz_norvo_attention_cache_append(context, cache, row, row, 2, 1, 4, 0, 0),
            QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(),
            (strings{operation_failed("shift_rows_left"), execute_failed(), site("c0d14c8")}));

  const int32_t parents[] = {1, 0};
  qz_ypu_buffer_t *index = fake.create(8);
  fake.write(index, parents, 8);
  fake.execute[QZ_YPU_OP_COPY_BYTES] = fake_backend::entry::fail;
  EXPECT_EQ(qz_norvo_attention_cache_reorder(context, cache, index, 2), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(),
            (strings{operation_failed("copy_bytes"), execute_failed(), site("d92abb9")}));

  qz_norvo_attention_cache_free(context, cache);
  fake.destroy(row);
  fake.destroy(index);
  qz_ypu_context_destroy(context);
  EXPECT_EQ(fake.live_buffers, 0);
  EXPECT_EQ(fake.live_host, 0);
}

}  // namespace
