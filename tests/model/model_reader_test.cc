// The model-file readers: header, language pair, linear, attention, norm and
// stack records, their messages and site codes, the checks on untrusted
// sizes and widths, and cut-short and out-of-memory sweeps over whole files.
#include <cstring>
#include <random>

#include "common/alloc.h"
#include "tokenizer/tokenizer.h"
#include "model/model_test_util.h"

namespace {

using namespace model_test;

model_record small_dense_model(uint32_t seed, int32_t encoder_layers = 1, int32_t decoder_layers = 1,
                               bool named = true) {
  std::mt19937 rng(seed);
  model_shape shape;
  shape.dim = 8;
  shape.heads = 2;
  shape.hidden = 12;
  shape.vocab = 6;
  shape.positions = 5;
  shape.encoder_layers = encoder_layers;
  shape.decoder_layers = decoder_layers;
  shape.linear_kinds = {weight_kind::dense};
  if (named) shape.linear_kinds.push_back(weight_kind::named_dense);
  shape.table_kinds = {embedding_table::kind::float_table, embedding_table::kind::named_float,
                       embedding_table::kind::quantized};
  return random_model(rng, shape);
}

// Low-bit weights of both kinds, quantised and named tables.
model_record small_lowbit_model(uint32_t seed) {
  std::mt19937 rng(seed);
  model_shape shape;
  shape.dim = 16;
  shape.heads = 4;
  shape.hidden = 16;
  shape.vocab = 16;
  shape.positions = 2;
  shape.linear_kinds = {weight_kind::lowbit_mixed, weight_kind::lowbit, weight_kind::named_dense};
  shape.table_kinds = {embedding_table::kind::quantized, embedding_table::kind::named_float};
  return random_model(rng, shape);
}

struct read_result {
  qz_status_t status;
  strings messages;
};

// Reads the sections of `bytes` (cut to `length`) and frees everything.
read_result read_file(qz_ypu_context_t *context, const std::vector<uint8_t> &bytes,
                      size_t length = SIZE_MAX) {
  take_error_stack();
  qz_norvo_t engine{};
  file_ptr file = open_bytes(bytes, length == SIZE_MAX ? bytes.size() : length);
  const qz_status_t status = read_sections(context, file.get(), &engine);
  free_sections(context, &engine);
  return {status, take_error_stack()};
}

// ---------------------------------------------------------------------------
// Header.

TEST(Header, HandMadeBytes) {
  const std::vector<uint8_t> bytes = bytes_of({
      'n', 'o', 'r', 'v', 'o', '1', '.', '1', '.', '0',
      0x00, 0x02, 0x00, 0x00,  // max_source_tokens 512
      0x40, 0x00, 0x00, 0x00,  // max_output_length 64
      0x04, 0x00, 0x00, 0x00,  // beam_size 4
      0xff, 0xff, 0xff, 0xff,  // fourth integer -1
      0x02, 0x00, 0x00, 0x00,  // start_id 2
      0x00, 0x00, 0x00, 0x80,  // sixth integer INT32_MIN
      0x03, 0x00, 0x00, 0x00,  // end_id 3
  });
  qz_norvo_t engine{};
  file_ptr file = open_bytes(bytes);
  ASSERT_EQ(qz_norvo_read_header(&engine, file.get()), QZ_STATUS_SUCCESS);
  EXPECT_EQ(engine.max_source_tokens, 512);
  EXPECT_EQ(engine.max_output_length, 64);
  EXPECT_EQ(engine.beam_size, 4);
  EXPECT_EQ(engine.header_reserved_4, -1);
  EXPECT_EQ(engine.start_id, 2);
  EXPECT_EQ(engine.header_reserved_6, INT32_MIN);
  EXPECT_EQ(engine.end_id, 3);
  EXPECT_EQ(std::fgetc(file.get()), EOF);
}

TEST(Header, Failures) {
  const std::string format =
      message(0x69, "Norvo model (.qz) file has incorrect format or belongs to a different platform.");
  auto version = [](const std::string &file_version) {
    return message(0x6a, "Norvo model (.qz) file belongs to a different version of the library. File is `" +
                             file_version + "` while library is `1.1.0`.");
  };
  struct header_case {
    const char *label;
    std::function<void(model_record &)> edit;
    size_t cut;  // bytes kept; SIZE_MAX keeps the header whole
    qz_status_t status;
    strings messages;
  };
  const header_case cases[] = {
      {"four bytes", [](model_record &) {}, 4, QZ_STATUS_IO_ERROR, {read_failed()}},
      {"bad magic", [](model_record &m) { m.magic = "norvx"; }, SIZE_MAX, QZ_STATUS_INVALID_ARGUMENT,
       {format}},
      {"version cut short", [](model_record &) {}, 8, QZ_STATUS_IO_ERROR, {read_failed()}},
      {"older version", [](model_record &m) { m.version = "1.0.9"; }, SIZE_MAX,
       QZ_STATUS_INVALID_ARGUMENT, {version("1.0.9")}},
      {"version with a NUL", [](model_record &m) { m.version = std::string("1.\0.0", 5); }, SIZE_MAX,
       QZ_STATUS_INVALID_ARGUMENT, {version("1.")}},
      {"no source tokens", [](model_record &m) { m.max_source_tokens = 0; }, SIZE_MAX,
       QZ_STATUS_INVALID_ARGUMENT, {no_text(0x6f)}},
      {"negative output length", [](model_record &m) { m.max_output_length = -3; }, SIZE_MAX,
       QZ_STATUS_INVALID_ARGUMENT, {no_text(0x6f)}},
      // Refused before the fourth integer is read: the file ends right here.
      {"beam size 0", [](model_record &m) { m.beam_size = 0; }, 22, QZ_STATUS_INVALID_ARGUMENT,
       {no_text(0x6f)}},
      {"ends in the end id", [](model_record &) {}, 37, QZ_STATUS_IO_ERROR, {read_failed()}},
  };
  for (const header_case &c : cases) {
    SCOPED_TRACE(c.label);
    model_record model;
    c.edit(model);
    model_bytes bytes;
    write_header(bytes, model);
    take_error_stack();
    qz_norvo_t engine{};
    file_ptr file = open_bytes(bytes.data(), std::min(c.cut, bytes.size()));
    EXPECT_EQ(qz_norvo_read_header(&engine, file.get()), c.status);
    EXPECT_EQ(take_error_stack(), c.messages);
  }
}

TEST(LanguagePair, FieldsAndFailures) {
  model_record model;
  model.first_language = "fr";
  model.second_language = "it";
  model.max_character_limit = 1000;
  model.dropped_id = 17;
  model_bytes bytes;
  write_language_pair(bytes, model);
  {
    qz_norvo_t engine{};
    std::memset(engine.language_pair, 'x', sizeof engine.language_pair);
    file_ptr file = open_bytes(bytes.data());
    ASSERT_EQ(qz_norvo_read_language_pair(&engine, file.get()), QZ_STATUS_SUCCESS);
    EXPECT_EQ(std::string(engine.language_pair, 6), std::string("fr-it\0", 6));
    EXPECT_EQ(engine.max_character_limit, 1000);
    EXPECT_EQ(engine.dropped_id, 17);
  }
  for (size_t cut : {size_t{1}, size_t{3}, size_t{6}, bytes.size() - 1}) {
    take_error_stack();
    qz_norvo_t engine{};
    file_ptr file = open_bytes(bytes.data(), cut);
    EXPECT_EQ(qz_norvo_read_language_pair(&engine, file.get()), QZ_STATUS_IO_ERROR) << cut;
    EXPECT_EQ(take_error_stack(), strings{read_failed()});
  }
  model.max_character_limit = 0;
  model_bytes zero;
  write_language_pair(zero, model);
  take_error_stack();
  qz_norvo_t engine{};
  file_ptr file = open_bytes(zero.data());
  EXPECT_EQ(qz_norvo_read_language_pair(&engine, file.get()), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), strings{no_text(0x6f)});
}

// ---------------------------------------------------------------------------
// Records. Each failing case runs on the fake backend, whose counters show
// that nothing is left behind.

template <class T>
struct record_case {
  const char *label;
  std::function<void(model_bytes &)> write;
  qz_status_t status;
  strings messages;
};

template <class T>
void run_record_cases(qz_status_t (*reader)(qz_ypu_context_t *, FILE *, T **),
                      const std::vector<record_case<T>> &cases) {
  for (const record_case<T> &c : cases) {
    SCOPED_TRACE(c.label);
    ypu_harness h(ypu_backend::fake);
    const int host_before = h.fake()->live_host;
    model_bytes bytes;
    c.write(bytes);
    take_error_stack();
    T *record = nullptr;
    EXPECT_EQ(load(reader, h.context(), bytes.data(), &record), c.status);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(take_error_stack(), c.messages);
    EXPECT_EQ(h.fake()->live_buffers, 0);
    EXPECT_EQ(h.fake()->live_host, host_before);
  }
}

linear_record dense_linear(int32_t rows, int32_t cols) {
  std::mt19937 rng(rows * 31 + cols);
  return random_linear(rng, weight_kind::dense, rows, cols);
}

attention_record dense_attention(int32_t dim, int32_t heads) {
  return attention_record{dim, heads, dense_linear(dim, dim), dense_linear(dim, dim), dense_linear(dim, dim),
                          dense_linear(dim, dim)};
}

TEST(LinearRecord, Failures) {
  const linear_record good = dense_linear(2, 3);
  model_bytes whole;
  write_linear(whole, good);
  const size_t bias_at = whole.at("bias");
  run_record_cases<qz_norvo_linear_t>(
      qz_norvo_linear_load,
      {
          {"kind cut short", [](model_bytes &b) { b.text("\x00\x00"); }, QZ_STATUS_IO_ERROR,
           {read_failed(), site("a7d897f")}},
          {"unknown kind", [](model_bytes &b) { b.i32(7); }, QZ_STATUS_INVALID_ARGUMENT,
           {no_text(0xd2), site("a7d897f")}},
          // A convolution kernel has no linear forward.
          {"convolution kernel",
           [](model_bytes &b) {
             write_linear(b, linear_record{conv2d_weight{.rows = 1, .cols = 1, .values = {1.0f}}, {0.0f}});
           },
           QZ_STATUS_INVALID_ARGUMENT, {invalid("weight"), site("a7d897f")}},
          {"weight refused", [](model_bytes &b) { b.i32(0).i32(-1).i32(2); }, QZ_STATUS_INVALID_ARGUMENT,
           {invalid("rows"), site("a7d897f")}},
          {"weight cut short", [&](model_bytes &b) { b.raw(whole.data().data(), bias_at - 1); },
           QZ_STATUS_IO_ERROR, {site("5143e09"), site("a7d897f")}},
          // No "Failed to read parameter" message for a short bias.
          {"bias cut short", [&](model_bytes &b) { b.raw(whole.data().data(), whole.size() - 1); },
           QZ_STATUS_IO_ERROR, {site("5143e09")}},
      });
}

TEST(AttentionRecord, LoadsInFileOrder) {
  ypu_harness h(ypu_backend::cpu);
  attention_record record = dense_attention(6, 3);
  model_bytes bytes;
  write_attention(bytes, record);
  qz_norvo_attention_t *attention = nullptr;
  ASSERT_EQ(load(qz_norvo_attention_load, h.context(), bytes.data(), &attention), QZ_STATUS_SUCCESS);
  EXPECT_EQ(attention->dim, 6);
  EXPECT_EQ(attention->heads, 3);
  EXPECT_EQ(attention->head_dim, 2);
  const std::pair<qz_norvo_linear_t *, const linear_record *> parts[] = {
      {attention->key, &record.key},
      {attention->value, &record.value},
      {attention->query, &record.query},
      {attention->output, &record.output}};
  for (auto [linear, expected] : parts)
    EXPECT_EQ(download<float>(h.context(), linear->bias, 6), expected->bias);
  qz_norvo_attention_free(h.context(), attention);
}

TEST(AttentionRecord, Failures) {
  auto attention = [](int32_t dim, int32_t heads, const linear_record &query) {
    return [=](model_bytes &b) {
      attention_record a = dense_attention(dim, heads);
      a.query = query;
      write_attention(b, a);
    };
  };
  run_record_cases<qz_norvo_attention_t>(
      qz_norvo_attention_load,
      {
          {"heads cut short", [](model_bytes &b) { b.i32(8); }, QZ_STATUS_IO_ERROR, {read_failed()}},
          {"heads 0", [](model_bytes &b) { b.i32(8).i32(0); }, QZ_STATUS_INVALID_ARGUMENT,
           {invalid("heads")}},
          {"heads -2", [](model_bytes &b) { b.i32(8).i32(-2); }, QZ_STATUS_INVALID_ARGUMENT,
           {invalid("heads")}},
          {"heads do not divide dim", [](model_bytes &b) { b.i32(8).i32(3); }, QZ_STATUS_INVALID_ARGUMENT,
           {invalid("heads")}},
          {"dim 0", [](model_bytes &b) { b.i32(0).i32(1); }, QZ_STATUS_INVALID_ARGUMENT, {invalid("dim")}},
          {"query not dim x dim", attention(4, 2, dense_linear(4, 3)), QZ_STATUS_INVALID_ARGUMENT,
           {invalid("query")}},
          {"value linear fails",
           [](model_bytes &b) {
             b.i32(4).i32(2);
             write_linear(b, dense_linear(4, 4));
             b.i32(9);
           },
           QZ_STATUS_INVALID_ARGUMENT, {no_text(0xd2), site("a7d897f"), site("611a66d")}},
      });
}

TEST(LayerNormRecord, LoadsAndFails) {
  {
    ypu_harness h(ypu_backend::fake);
    const norm_record record{{1.0f, 2.0f, 3.0f}, {-1.0f, -2.0f, -3.0f}};
    model_bytes bytes;
    write_norm(bytes, record);
    qz_norvo_layer_norm_t *norm = nullptr;
    ASSERT_EQ(load(qz_norvo_layer_norm_load, h.context(), bytes.data(), &norm), QZ_STATUS_SUCCESS);
    EXPECT_EQ(norm->size, 3);
    EXPECT_EQ(download<float>(h.context(), norm->gamma, 3), record.gamma);
    EXPECT_EQ(download<float>(h.context(), norm->beta, 3), record.beta);
    qz_norvo_layer_norm_free(h.context(), norm);
  }
  run_record_cases<qz_norvo_layer_norm_t>(
      qz_norvo_layer_norm_load,
      {
          {"size cut short", [](model_bytes &b) { b.text("\x03"); }, QZ_STATUS_IO_ERROR, {read_failed()}},
          {"negative size", [](model_bytes &b) { b.i32(-3); }, QZ_STATUS_INVALID_ARGUMENT, {invalid("size")}},
          {"size too large for a buffer", [](model_bytes &b) { b.i32(INT32_MAX); },
           QZ_STATUS_INVALID_ARGUMENT, {invalid("size")}},
          {"gamma cut short", [](model_bytes &b) { b.i32(2).f32(1.0f); }, QZ_STATUS_IO_ERROR,
           {site("5143e09")}},
          {"beta cut short", [](model_bytes &b) { b.i32(2).f32(1.0f).f32(1.0f).f32(0.0f); },
           QZ_STATUS_IO_ERROR, {site("5143e09")}},
      });
}

// ---------------------------------------------------------------------------
// Stacks.

class Stacks : public testing::Test {
 protected:
  ypu_harness h{ypu_backend::fake};
  qz_norvo_t engine{};
  model_record model = small_dense_model(7);

  void SetUp() override {
    model_bytes tables;
    write_embedding(tables, model.token);
    write_embedding(tables, model.position);
    file_ptr file = open_bytes(tables.data());
    ASSERT_EQ(qz_norvo_embedding_load(h.context(), file.get(), &engine.token_embedding), QZ_STATUS_SUCCESS);
    ASSERT_EQ(qz_norvo_embedding_load(h.context(), file.get(), &engine.position_embedding),
              QZ_STATUS_SUCCESS);
  }
  void TearDown() override { free_sections(h.context(), &engine); }

  qz_status_t load_stack(bool decoder, const model_bytes &bytes, qz_norvo_stack_t **out) {
    take_error_stack();
    file_ptr file = open_bytes(bytes.data());
    auto loader = decoder ? qz_norvo_decoder_load : qz_norvo_encoder_load;
    return loader(h.context(), file.get(), engine.token_embedding, engine.position_embedding, out);
  }
};

TEST_F(Stacks, DecoderLayersGetTheirCaches) {
  model.decoder.push_back(model.decoder[0]);
  model.decoder_scale = 2.5f;
  model_bytes bytes;
  write_decoder(bytes, model);
  ASSERT_EQ(load_stack(true, bytes, &engine.decoder), QZ_STATUS_SUCCESS);
  EXPECT_EQ(engine.decoder->layer_count, 2);
  EXPECT_EQ(engine.decoder->embedding_scale, 2.5f);
  EXPECT_EQ(engine.decoder->token_embedding, engine.token_embedding);
  EXPECT_EQ(engine.decoder->position_embedding, engine.position_embedding);
  for (int i = 0; i < 2; ++i) {
    auto layer = static_cast<qz_norvo_decoder_layer_t *>(engine.decoder->layers[i]);
    EXPECT_EQ(layer->self_cache->capacity, model.position.rows);
    EXPECT_EQ(layer->cross_cache->capacity, 0);
    for (auto *cache : {layer->self_cache, layer->cross_cache}) {
      EXPECT_EQ(cache->length, 0);
      EXPECT_EQ(cache->key_codes, nullptr);
    }
  }
}

TEST_F(Stacks, NoLayersGiveAnEmptyStack) {
  for (bool decoder : {false, true}) {
    model.encoder.clear();
    model.decoder.clear();
    model_bytes bytes;
    decoder ? write_decoder(bytes, model) : write_encoder(bytes, model);
    qz_norvo_stack_t *stack = nullptr;
    ASSERT_EQ(load_stack(decoder, bytes, &stack), QZ_STATUS_SUCCESS);
    EXPECT_EQ(stack->layer_count, 0);
    decoder ? qz_norvo_decoder_free(h.context(), stack) : qz_norvo_encoder_free(h.context(), stack);
  }
}

TEST_F(Stacks, Failures) {
  const int buffers_before = h.fake()->live_buffers, host_before = h.fake()->live_host;
  struct stack_case {
    const char *label;
    bool decoder;
    std::function<void(model_bytes &)> write;
    qz_status_t status;
    strings messages;
  };
  const decoder_layer_record &dec = model.decoder[0];
  const encoder_layer_record &enc = model.encoder[0];
  const stack_case cases[] = {
      {"head cut short", false, [](model_bytes &b) { b.i32(1).text("\x00"); }, QZ_STATUS_IO_ERROR,
       {read_failed()}},
      {"negative layer count", true, [](model_bytes &b) { b.i32(-1).f32(1.0f); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("layer_count")}},
      {"more layers than an array can hold", false, [](model_bytes &b) { b.i32(INT32_MAX).f32(1.0f); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("layer_count")}},
      {"layer attention fails", false,
       [](model_bytes &b) { b.i32(1).f32(1.0f).i32(8).i32(0); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("heads"), site("5410a32"), site("033aa19")}},
      {"second decoder layer norm cut short", true,
       [&](model_bytes &b) {
         b.i32(2).f32(1.0f);
         write_decoder_layer(b, dec);
         write_attention(b, dec.self_attention);
         b.i32(8).f32(1.0f);
       },
       QZ_STATUS_IO_ERROR, {site("5143e09"), site("58b7f20"), site("b01c145")}},
      {"encoder feed-forward bias cut short", false,
       [&](model_bytes &b) {
         b.i32(1).f32(1.0f);
         write_attention(b, enc.attention);
         write_norm(b, enc.attention_norm);
         write_linear(b, enc.ffn_in);
         b.i32(0).i32(8).i32(12);
       },
       QZ_STATUS_IO_ERROR, {site("5143e09"), site("a7d897f"), site("611a66d"), site("033aa19")}},
      // Widths the forward pass would combine must agree.
      {"encoder layer wider than the embeddings", false,
       [&](model_bytes &b) {
         std::mt19937 rng(3);
         model_shape wide;
         wide.dim = 4;
         wide.hidden = 6;
         model_record other = random_model(rng, wide);
         b.i32(1).f32(1.0f);
         write_encoder_layer(b, other.encoder[0]);
       },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("attention"), site("033aa19")}},
      {"feed-forward output of the wrong width", false,
       [&](model_bytes &b) {
         encoder_layer_record layer = enc;
         layer.ffn_out = dense_linear(8, 11);
         b.i32(1).f32(1.0f);
         write_encoder_layer(b, layer);
       },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("ffn_out"), site("033aa19")}},
      {"cross norm of the wrong size", true,
       [&](model_bytes &b) {
         decoder_layer_record layer = dec;
         layer.cross_attention_norm.gamma.pop_back();
         layer.cross_attention_norm.beta.pop_back();
         b.i32(1).f32(1.0f);
         write_decoder_layer(b, layer);
       },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("cross_attention_norm"), site("b01c145")}},
      {"decoder feed-forward input of the wrong width", true,
       [&](model_bytes &b) {
         decoder_layer_record layer = dec;
         layer.ffn_in = dense_linear(12, 4);
         b.i32(1).f32(1.0f);
         write_decoder_layer(b, layer);
       },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("ffn_in"), site("b01c145")}},
  };
  for (const stack_case &c : cases) {
    SCOPED_TRACE(c.label);
    model_bytes bytes;
    c.write(bytes);
    qz_norvo_stack_t *stack = nullptr;
    EXPECT_EQ(load_stack(c.decoder, bytes, &stack), c.status);
    EXPECT_EQ(stack, nullptr);
    EXPECT_EQ(take_error_stack(), c.messages);
    EXPECT_EQ(h.fake()->live_buffers, buffers_before);
    EXPECT_EQ(h.fake()->live_host, host_before);
  }
}

TEST_F(Stacks, PositionRowsMustMatchTokenRows) {
  qz_norvo_embedding_free(h.context(), engine.position_embedding);
  engine.position_embedding = nullptr;
  std::mt19937 rng(5);
  model_bytes table;
  write_embedding(table, random_table(rng, embedding_table::kind::float_table, 5, 7));
  ASSERT_EQ(load(qz_norvo_embedding_load, h.context(), table.data(), &engine.position_embedding),
            QZ_STATUS_SUCCESS);
  model.encoder.clear();
  model_bytes bytes;
  write_encoder(bytes, model);
  qz_norvo_stack_t *stack = nullptr;
  EXPECT_EQ(load_stack(false, bytes, &stack), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), strings{invalid("position_embedding")});
}

// ---------------------------------------------------------------------------
// Whole files.

TEST(ModelFile, SectionsLoadAndTrailingBytesAreIgnored) {
  for (ypu_backend backend : kReaderBackends) {
    SCOPED_TRACE(ypu_backend_name(backend));
    ypu_harness h(backend);
    model_record model = small_dense_model(21, 2, 2);
    const model_bytes bytes = write_model(model);
    std::vector<uint8_t> file_bytes = bytes.data();
    file_bytes.insert(file_bytes.end(), {0xde, 0xad, 0xbe});
    qz_norvo_t engine{};
    file_ptr file = open_bytes(file_bytes);
    ASSERT_EQ(read_sections(h.context(), file.get(), &engine), QZ_STATUS_SUCCESS);
    EXPECT_EQ(std::ftell(file.get()), long(bytes.at("tokenizer")));
    // The tokenizer section follows right where the readers stopped.
    qz_norvo_tokenizer_t *tokenizer = nullptr;
    ASSERT_EQ(qz_norvo_tokenizer_load(file.get(), &tokenizer), QZ_STATUS_SUCCESS);
    EXPECT_EQ(std::ftell(file.get()), long(bytes.size()));
    qz_norvo_tokenizer_free(tokenizer);
    EXPECT_EQ(engine.encoder->layer_count, 2);
    EXPECT_EQ(engine.decoder->layer_count, 2);
    EXPECT_EQ(engine.output_linear->weight->rows, model.output.rows());
    EXPECT_STREQ(engine.language_pair, "en-de");
    free_sections(h.context(), &engine);
  }
}

TEST(ModelFile, SectionCodesAtKnownCuts) {
  ypu_harness h(ypu_backend::cpu);
  // Unnamed dense weights only, so that offsets inside a section are known.
  const model_record model = small_dense_model(22, 1, 1, false);
  const model_bytes bytes = write_model(model);
  struct cut_case {
    const char *label;
    size_t length;
    strings messages;
  };
  const cut_case cases[] = {
      {"empty file", 0, {read_failed(), site("9a0af96")}},
      {"inside the output bias", bytes.at("token") - 2, {site("5143e09"), site("611a66d")}},
      {"inside the position kind", bytes.at("position") + 1,
       {read_failed(), site("bf3018f"), site("35f2ccf")}},
      {"inside the first encoder key weight", bytes.at("encoder") + 8 + 8 + 12,
       {site("5143e09"), site("a7d897f"), site("611a66d"), site("5410a32"), site("033aa19"),
        site("f4e18c0")}},
      {"inside the decoder head", bytes.at("decoder") + 5, {read_failed(), site("de72bca")}},
      {"inside the dropped id", bytes.at("tokenizer") - 1, {read_failed(), site("8404cd1")}},
  };
  for (const cut_case &c : cases) {
    SCOPED_TRACE(c.label);
    const read_result got = read_file(h.context(), bytes.data(), c.length);
    EXPECT_EQ(got.status, QZ_STATUS_IO_ERROR);
    EXPECT_EQ(got.messages, c.messages);
  }
}

// Every prefix of a whole file fails cleanly: a short-read status, the
// failing section's site code last, and nothing left allocated.
TEST(ModelFile, EveryCutFailsCleanly) {
  const model_record models[] = {small_dense_model(23), small_lowbit_model(23)};
  const char *sections[] = {"header",  "output",  "token",    "position",
                            "encoder", "decoder", "language", "tokenizer"};
  const char *codes[] = {"9a0af96", "611a66d", "35f2ccf", "35f2ccf", "f4e18c0", "de72bca", "8404cd1"};
  for (const model_record &model : models) {
    ypu_harness h(ypu_backend::fake);
    const int buffers_before = h.fake()->live_buffers, host_before = h.fake()->live_host;
    const model_bytes bytes = write_model(model);
    // The tokenizer section after them has readers of its own.
    for (size_t length = 0; length < bytes.at("tokenizer"); ++length) {
      const read_result got = read_file(h.context(), bytes.data(), length);
      ASSERT_EQ(got.status, QZ_STATUS_IO_ERROR) << "cut at " << length;
      size_t section = 0;
      while (bytes.at(sections[section + 1]) <= length) ++section;
      ASSERT_FALSE(got.messages.empty());
      ASSERT_EQ(got.messages.back(), site(codes[section])) << "cut at " << length;
      ASSERT_EQ(h.fake()->live_buffers, buffers_before) << "cut at " << length;
      ASSERT_EQ(h.fake()->live_host, host_before) << "cut at " << length;
    }
    EXPECT_EQ(read_file(h.context(), bytes.data()).status, QZ_STATUS_SUCCESS);
  }
}

// Every allocation of a load fails in turn: each run reports it and frees
// what was built (the sanitizer build checks the CPU backend for leaks).
TEST(ModelFile, EveryAllocationFailureIsReported) {
  for (const model_record &model : {small_dense_model(24), small_lowbit_model(24)}) {
    const model_bytes bytes = write_model(model);
    ypu_harness h(ypu_backend::cpu);
    int failures = 0;
    for (int n = 1;; ++n) {
      qz_alloc_fail_at(n);
      const read_result got = read_file(h.context(), bytes.data());
      qz_alloc_fail_at(0);
      if (got.status == QZ_STATUS_SUCCESS) break;
      ++failures;
      ASSERT_EQ(got.status, QZ_STATUS_OUT_OF_MEMORY) << "allocation " << n;
      ASSERT_FALSE(got.messages.empty());
      const std::string &first = got.messages.front();
      EXPECT_TRUE(first == host_memory() || first == device_memory()) << first;
      ASSERT_LT(n, 10000);
    }
    EXPECT_GT(failures, 50);
  }
}

}  // namespace
