// Weight objects: every storage kind loads from hand-made bytes and from
// writer-made records, lookups decode the exact values, and malformed
// records fail with their messages and leave nothing behind.
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

#include "model/model_test_util.h"

namespace {

using namespace model_test;

class Weights : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};
  qz_ypu_context_t *context() { return h.context(); }
};

INSTANTIATE_TEST_SUITE_P(Backends, Weights, testing::ValuesIn(kReaderBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

std::vector<float> lookup(qz_ypu_context_t *context, qz_norvo_weight_t *table, int32_t row) {
  std::vector<float> out(table->cols);
  EXPECT_EQ(table->lookup_row(context, table, out.data(), row), QZ_STATUS_SUCCESS);
  return out;
}

// ---------------------------------------------------------------------------
// Hand-made bytes, written out here so that the reader is not checked only
// against the test-side writer.

TEST_P(Weights, HandMadeDenseLinearRecord) {
  const std::vector<uint8_t> file = bytes_of({
      0x00, 0x00, 0x00, 0x00,  // kind 0: dense
      0x02, 0x00, 0x00, 0x00,  // rows 2
      0x03, 0x00, 0x00, 0x00,  // cols 3
      0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0xc0, 0x00, 0x00, 0x00, 0x3f,  // 1, -2, 0.5
      0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x80, 0x3e, 0x00, 0x00, 0x80, 0x3f,  // 3, 0.25, 1
      0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0x00, 0xc0,                          // bias 0.5, -2
  });
  qz_norvo_linear_t *linear = nullptr;
  ASSERT_EQ(load(qz_norvo_linear_load, context(), file, &linear), QZ_STATUS_SUCCESS);
  const qz_norvo_weight_t *w = linear->weight;
  EXPECT_EQ(w->tag, 1);
  EXPECT_EQ(w->format, 0);
  EXPECT_EQ(w->rows, 2);
  EXPECT_EQ(w->cols, 3);
  EXPECT_NE(w->forward, nullptr);
  EXPECT_EQ(w->lookup_row, nullptr);
  EXPECT_EQ(w->forward_conv2d, nullptr);
  auto dense = reinterpret_cast<const qz_norvo_dense_weight_t *>(w);
  EXPECT_EQ(download<float>(context(), dense->data, 6),
            (std::vector<float>{1.0f, -2.0f, 0.5f, 3.0f, 0.25f, 1.0f}));
  EXPECT_EQ(download<float>(context(), linear->bias, 2), (std::vector<float>{0.5f, -2.0f}));
  qz_norvo_linear_free(context(), linear);
}

TEST_P(Weights, HandMadeQuantizedRowEightBits) {
  const std::vector<uint8_t> file = bytes_of({
      0x67, 0xfd, 0xff, 0xff,  // kind -665: quantised
      0x00, 0x00, 0x00, 0x00,  // empty name
      0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // 1 row of 4
      0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // blocks of 1 x 4
      0x08, 0x00, 0x00, 0x00,                          // 8 bits
      0x00, 0x00, 0x00, 0x00,                          // unused
      0x00, 0x66, 0x00, 0x62,                          // offset 0.5 (m 512, e 25), scale 0.25
      200, 0, 1, 255,                                  // codes
      0x00, 0x00, 0x00, 0x00,                          // trailer
  });
  qz_norvo_weight_t *table = nullptr;
  ASSERT_EQ(load(qz_norvo_embedding_weight_load, context(), file, &table), QZ_STATUS_SUCCESS);
  EXPECT_EQ(table->tag, 0);
  EXPECT_EQ(table->format, 1);
  EXPECT_EQ(lookup(context(), table, 0), (std::vector<float>{50.5f, 0.5f, 0.75f, 64.25f}));
  qz_norvo_weight_free(context(), table);
}

TEST_P(Weights, HandMadeQuantizedThreeBitCodesAcrossBytes) {
  // One block of 2 x 8 codes of 3 bits: each row is 3 bytes, most codes
  // straddle a byte boundary, and the lookup must pick row 1 of the block.
  const std::vector<uint8_t> file = bytes_of({
      0x67, 0xfd, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 'q', 't',  // kind -665, name "qt"
      0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,            // 2 rows of 8
      0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,            // one 2 x 8 block
      0x03, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,            // 3 bits, unused
      0x00, 0xea, 0x00, 0x6a,                                    // offset -1, scale 1
      0xd1, 0x58, 0x1f,                                          // row 0: 1 2 3 4 5 6 7 0
      0x77, 0x39, 0x05,                                          // row 1: 7 6 5 4 3 2 1 0
      0x00, 0x00, 0x00, 0x00,
  });
  qz_norvo_weight_t *table = nullptr;
  ASSERT_EQ(load(qz_norvo_embedding_weight_load, context(), file, &table), QZ_STATUS_SUCCESS);
  EXPECT_EQ(lookup(context(), table, 0), (std::vector<float>{0, 1, 2, 3, 4, 5, 6, -1}));
  EXPECT_EQ(lookup(context(), table, 1), (std::vector<float>{6, 5, 4, 3, 2, 1, 0, -1}));
  qz_norvo_weight_free(context(), table);
}

// ---------------------------------------------------------------------------
// Writer-made records of every kind.

TEST_P(Weights, DenseKindsRoundTrip) {
  std::mt19937 rng(11);
  for (bool named : {false, true}) {
    linear_record record = random_linear(rng, named ? weight_kind::named_dense : weight_kind::dense, 5, 7);
    model_bytes bytes;
    write_linear(bytes, record);
    qz_norvo_linear_t *linear = nullptr;
    ASSERT_EQ(load(qz_norvo_linear_load, context(), bytes.data(), &linear), QZ_STATUS_SUCCESS);
    auto dense = reinterpret_cast<const qz_norvo_dense_weight_t *>(linear->weight);
    EXPECT_EQ(download<float>(context(), dense->data, 35), std::get<dense_weight>(record.weight).values);
    EXPECT_EQ(download<float>(context(), linear->bias, 5), record.bias);
    qz_norvo_linear_free(context(), linear);
  }
}

TEST_P(Weights, TablesOfEveryKindLookUpTheirValues) {
  std::mt19937 rng(12);
  struct table_case {
    const char *label;
    embedding_table table;
  };
  const table_case cases[] = {
      {"float", random_table(rng, embedding_table::kind::float_table, 5, 6)},
      {"named", random_table(rng, embedding_table::kind::named_float, 3, 4)},
      {"8 bits, 1 x 4 blocks", random_quantized_table(rng, 3, 8, 1, 4, 8)},
      {"3 bits, 2 x 8 blocks", random_quantized_table(rng, 4, 16, 2, 8, 3)},
      {"5 bits, 4 x 2 blocks", random_quantized_table(rng, 8, 6, 4, 2, 5)},
      {"1 bit, 1 x 8 blocks", random_quantized_table(rng, 2, 16, 1, 8, 1)},
      {"7 bits, 8 x 1 blocks", random_quantized_table(rng, 8, 3, 8, 1, 7)},
  };
  for (const table_case &c : cases) {
    SCOPED_TRACE(c.label);
    model_bytes bytes;
    write_embedding(bytes, c.table);
    qz_norvo_weight_t *table = nullptr;
    ASSERT_EQ(load(qz_norvo_embedding_weight_load, context(), bytes.data(), &table), QZ_STATUS_SUCCESS);
    EXPECT_EQ(table->rows, c.table.rows);
    EXPECT_EQ(table->cols, c.table.cols);
    const std::vector<float> expected = c.table.dequantized();
    // Rows in a scrambled order: each lookup decodes its own block afresh.
    for (int32_t row : {c.table.rows - 1, 0, c.table.rows / 2, 0}) {
      std::vector<float> got(table->cols + 2, -7.0f);  // two guard floats after the row
      ASSERT_EQ(table->lookup_row(context(), table, got.data(), row), QZ_STATUS_SUCCESS);
      const std::vector<float> want(expected.begin() + size_t(row) * c.table.cols,
                                    expected.begin() + size_t(row + 1) * c.table.cols);
      EXPECT_EQ(std::vector<float>(got.begin(), got.begin() + table->cols), want) << "row " << row;
      EXPECT_EQ(got[table->cols], -7.0f);
      EXPECT_EQ(got[table->cols + 1], -7.0f);
    }
    qz_norvo_weight_free(context(), table);
  }
}

TEST_P(Weights, LookupOutsideTheTableIsRefused) {
  std::mt19937 rng(13);
  for (const embedding_table &t : {random_table(rng, embedding_table::kind::float_table, 3, 4),
                                   random_quantized_table(rng, 4, 4, 2, 4, 4)}) {
    model_bytes bytes;
    write_embedding(bytes, t);
    qz_norvo_weight_t *table = nullptr;
    ASSERT_EQ(load(qz_norvo_embedding_weight_load, context(), bytes.data(), &table), QZ_STATUS_SUCCESS);
    for (int32_t row : {-1, t.rows, INT32_MIN}) {
      std::vector<float> out(4, 9.0f);
      EXPECT_EQ(table->lookup_row(context(), table, out.data(), row), QZ_STATUS_INVALID_ARGUMENT);
      EXPECT_EQ(take_error_stack(), strings{invalid("row")});
      EXPECT_EQ(out, std::vector<float>(4, 9.0f));
    }
    qz_norvo_weight_free(context(), table);
  }
}

TEST_P(Weights, ConvolutionKernelLoadsWithItsShape) {
  conv2d_weight conv{.rows = 3, .cols = 2, .kernel_height = 2, .kernel_width = 3};
  for (int i = 0; i < 36; ++i) conv.values.push_back(0.5f * i - 3.0f);
  model_bytes bytes;
  bytes.name(conv.name).i32(5).i32(6).i32(3).i32(2).i32(2).i32(3).floats(conv.values);
  qz_norvo_weight_t *weight = nullptr;
  ASSERT_EQ(load(qz_norvo_conv2d_weight_load, context(), bytes.data(), &weight), QZ_STATUS_SUCCESS);
  auto kernel = reinterpret_cast<const qz_norvo_conv2d_weight_t *>(weight);
  EXPECT_EQ(weight->tag, 1);
  EXPECT_EQ(weight->format, 3);
  EXPECT_EQ(weight->rows, 3);
  EXPECT_EQ(weight->cols, 2);
  EXPECT_EQ(kernel->kernel_height, 2);
  EXPECT_EQ(kernel->kernel_width, 3);
  EXPECT_EQ(weight->forward, nullptr);
  EXPECT_NE(weight->forward_conv2d, nullptr);
  EXPECT_EQ(download<float>(context(), kernel->data, 36), conv.values);

  // Its forward is a 2-D convolution over [channel][row][column] planes:
  // two 3 x 4 input planes, a 2 x 3 kernel, stride 1 and padding 1 give
  // three (3 + 2 - 2 + 1) x (4 + 2 - 3 + 1) = 4 x 4 planes.
  std::vector<float> in(2 * 3 * 4);
  for (size_t i = 0; i < in.size(); ++i) in[i] = float(int(i % 7) - 3) * 0.25f;
  qz_ypu_buffer_t *input = h.buffer(in), *output = h.buffer(3 * 4 * 4 * 4);
  ASSERT_EQ(weight->forward_conv2d(context(), output, input, weight, 1, 3, 4, 1, 1), QZ_STATUS_SUCCESS);
  const std::vector<float> got = h.read<float>(output, 3 * 4 * 4);
  for (int o = 0; o < 3; ++o) {
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        double want = 0.0;
        for (int c = 0; c < 2; ++c)
          for (int ky = 0; ky < 2; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int iy = y + ky - 1, ix = x + kx - 1;
              if (iy < 0 || iy >= 3 || ix < 0 || ix >= 4) continue;
              want += double(conv.values[((o * 2 + c) * 2 + ky) * 3 + kx]) * in[(c * 3 + iy) * 4 + ix];
            }
        EXPECT_NEAR(got[(o * 4 + y) * 4 + x], want, 1e-5) << o << " " << y << " " << x;
      }
    }
  }
  qz_norvo_weight_free(context(), weight);
}

// ---------------------------------------------------------------------------
// Malformed records. Each case runs on the fake backend, whose counters show
// that a failing reader leaves no buffer and no host block behind.

using reader_fn = qz_status_t (*)(qz_ypu_context_t *, FILE *, qz_norvo_weight_t **);

struct bad_record {
  const char *label;
  reader_fn reader;
  std::function<void(model_bytes &)> write;
  qz_status_t status;
  strings messages;
};

void run_bad_records(const std::vector<bad_record> &cases) {
  for (const bad_record &c : cases) {
    SCOPED_TRACE(c.label);
    ypu_harness h(ypu_backend::fake);
    const int host_before = h.fake()->live_host;
    model_bytes bytes;
    c.write(bytes);
    take_error_stack();
    qz_norvo_weight_t *weight = nullptr;
    EXPECT_EQ(load(c.reader, h.context(), bytes.data(), &weight), c.status);
    EXPECT_EQ(weight, nullptr);
    EXPECT_EQ(take_error_stack(), c.messages);
    EXPECT_EQ(h.fake()->live_buffers, 0);
    EXPECT_EQ(h.fake()->live_host, host_before);
  }
}

TEST(WeightErrors, DenseAndFloatTables) {
  const reader_fn dense = qz_norvo_dense_weight_load, named = qz_norvo_named_dense_weight_load;
  const reader_fn table = qz_norvo_embedding_table_load, any_table = qz_norvo_embedding_weight_load;
  const auto ok_floats = [](model_bytes &b, int n) {
    for (int i = 0; i < n; ++i) b.f32(1.0f);
  };
  run_bad_records({
      {"rows cut short", dense, [](model_bytes &b) { b.text("\x02\x00"); }, QZ_STATUS_IO_ERROR,
       {read_failed()}},
      {"negative rows", dense, [](model_bytes &b) { b.i32(-2).i32(3); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("rows")}},
      {"zero cols", dense, [](model_bytes &b) { b.i32(2).i32(0); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("cols")}},
      // 65536 x 8192 floats: the byte size wraps to 0 in 32 bits.
      {"byte size wraps", dense, [](model_bytes &b) { b.i32(65536).i32(8192); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("rows")}},
      {"data cut short", dense, [&](model_bytes &b) { b.i32(2).i32(2); ok_floats(b, 3); },
       QZ_STATUS_IO_ERROR, {site("5143e09")}},
      {"negative name length", named, [](model_bytes &b) { b.i32(-1); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("name")}},
      {"name longer than its buffer", named, [](model_bytes &b) { b.name(std::string(257, 'n')); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("name")}},
      {"name cut short", named, [](model_bytes &b) { b.i32(4).text("ab"); }, QZ_STATUS_IO_ERROR,
       {read_failed()}},
      {"table data cut short", table, [&](model_bytes &b) { b.i32(2).i32(2); ok_floats(b, 3); },
       QZ_STATUS_IO_ERROR, {read_failed()}},
      {"table byte size wraps", table, [](model_bytes &b) { b.i32(1 << 20).i32(1 << 10); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("rows")}},
      {"unknown table kind", any_table, [](model_bytes &b) { b.i32(-664); }, QZ_STATUS_INVALID_ARGUMENT,
       {no_text(0xd2)}},
      {"table kind cut short", any_table, [](model_bytes &b) { b.text("\x00"); }, QZ_STATUS_IO_ERROR,
       {read_failed()}},
  });
}

TEST(WeightErrors, NameOfExactlyTheBufferSizeIsAccepted) {
  ypu_harness h(ypu_backend::cpu);
  model_bytes bytes;
  bytes.name(std::string(256, 'n')).i32(1).i32(1).f32(2.0f);
  qz_norvo_weight_t *weight = nullptr;
  ASSERT_EQ(load(qz_norvo_named_dense_weight_load, h.context(), bytes.data(), &weight), QZ_STATUS_SUCCESS);
  qz_norvo_weight_free(h.context(), weight);
}

TEST(WeightErrors, QuantizedTables) {
  const reader_fn quantized = qz_norvo_quantized_embedding_load;
  // name, rows, cols, block rows, block cols, bits, unused
  const auto head = [](model_bytes &b, int rows, int cols, int br, int bc, int bits) {
    b.name("q").i32(rows).i32(cols).i32(br).i32(bc).i32(bits).i32(0);
  };
  run_bad_records({
      {"trailer not zero", quantized,
       [&](model_bytes &b) { head(b, 1, 4, 1, 4, 8); b.u16(0).u16(0).i32(0).i32(1); },
       QZ_STATUS_INVALID_ARGUMENT, {no_text(0xd2)}},
      {"bits 0", quantized, [&](model_bytes &b) { head(b, 1, 8, 1, 8, 0); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("bits")}},
      {"bits 9", quantized, [&](model_bytes &b) { head(b, 1, 8, 1, 8, 9); }, QZ_STATUS_INVALID_ARGUMENT,
       {invalid("bits")}},
      {"block codes not whole bytes", quantized, [&](model_bytes &b) { head(b, 1, 3, 1, 3, 1); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("bits")}},
      {"block rows do not divide", quantized, [&](model_bytes &b) { head(b, 3, 4, 2, 4, 8); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("block_rows")}},
      {"block cols do not divide", quantized, [&](model_bytes &b) { head(b, 2, 6, 1, 4, 8); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("block_cols")}},
      {"block cols 0", quantized, [&](model_bytes &b) { head(b, 2, 6, 1, 0, 8); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("block_cols")}},
      {"negative rows", quantized, [&](model_bytes &b) { head(b, -4, 4, 1, 4, 8); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("rows")}},
      {"code bytes wrap", quantized, [&](model_bytes &b) { head(b, 1 << 16, 1 << 15, 1, 1 << 15, 8); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("rows")}},
      // Small blocks, but a row of floats larger than any buffer.
      {"row of floats too long", quantized, [&](model_bytes &b) { head(b, 1, 1 << 30, 1, 8, 8); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("cols")}},
      {"scales cut short", quantized, [&](model_bytes &b) { head(b, 2, 4, 1, 4, 8); b.u16(0).u16(0); },
       QZ_STATUS_IO_ERROR, {read_failed()}},
      {"codes cut short", quantized,
       [&](model_bytes &b) { head(b, 1, 4, 1, 4, 8); b.u16(0).u16(0).text("abc"); },
       QZ_STATUS_IO_ERROR, {read_failed()}},
  });
}

TEST(WeightErrors, ConvolutionKernels) {
  const reader_fn conv = qz_norvo_conv2d_weight_load;
  run_bad_records({
      {"kernel height 0", conv, [](model_bytes &b) { b.name("c").i32(0).i32(0).i32(2).i32(2).i32(0).i32(3); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("kernel_height")}},
      {"size wraps", conv,
       [](model_bytes &b) { b.name("c").i32(0).i32(0).i32(1 << 12).i32(1 << 12).i32(1 << 4).i32(1 << 4); },
       QZ_STATUS_INVALID_ARGUMENT, {invalid("kernel_width")}},
      {"kernel cut short", conv,
       [](model_bytes &b) { b.name("c").i32(0).i32(0).i32(1).i32(1).i32(1).i32(2).f32(1.0f); },
       QZ_STATUS_IO_ERROR, {site("5143e09")}},
  });
}


// ---------------------------------------------------------------------------
// Low-bit weights.

// The bytes of a low-bit weight after its kind integer, cut to `length`.
std::vector<uint8_t> lowbit_body(const lowbit_record &w, size_t length = SIZE_MAX) {
  model_bytes bytes;
  write_linear(bytes, linear_record{w, {}});
  std::vector<uint8_t> body(bytes.data().begin() + 4, bytes.data().end());
  if (length < body.size()) body.resize(length);
  return body;
}

reader_fn lowbit_reader(const lowbit_record &w) {
  return w.mixed ? qz_norvo_lowbit_mixed_weight_load : qz_norvo_lowbit_weight_load;
}

TEST_P(Weights, LowBitOneWidthReadsItsExactSizes) {
  // 32 x 16 of 4 bits: 2 x 2 tiles, 8 scale numbers and 2 x 2 x 64 tile bytes.
  std::vector<uint8_t> file = bytes_of({0x01, 0x00, 0x00, 0x00, 'w'});  // name "w"
  model_bytes head;
  head.i32(32).i32(16).i32(16).i32(8).i32(4).i32(-5);
  append(file, head.data());
  for (int i = 0; i < 8; ++i) append(file, bytes_of({i, 0x6a}));
  for (int i = 0; i < 256; ++i) file.push_back(uint8_t(i * 7));
  append(file, bytes_of({0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));  // no offset, then a stranger
  file_ptr stream = open_bytes(file);
  qz_norvo_weight_t *weight = nullptr;
  ASSERT_EQ(qz_norvo_lowbit_weight_load(context(), stream.get(), &weight), QZ_STATUS_SUCCESS);
  EXPECT_EQ(std::ftell(stream.get()), long(file.size() - 4));
  auto lowbit = reinterpret_cast<const qz_norvo_lowbit_weight_t *>(weight);
  EXPECT_EQ(weight->tag, 1);
  EXPECT_EQ(weight->format, 2);
  EXPECT_EQ(lowbit->tile_rows, 16);
  EXPECT_EQ(lowbit->tile_cols, 8);
  EXPECT_EQ(std::vector<uint32_t>(lowbit->width_counts, lowbit->width_counts + 8),
            (std::vector<uint32_t>{0, 0, 0, 2, 0, 0, 0, 0}));
  std::vector<int32_t> identity(16);
  for (int i = 0; i < 16; ++i) identity[i] = i;
  EXPECT_EQ(download<int32_t>(context(), lowbit->perm, 16), identity);
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context());
  EXPECT_EQ(ops.buffer_size(context()->device, lowbit->scales), 16);
  EXPECT_EQ(ops.buffer_size(context()->device, lowbit->tiles), 256);
  EXPECT_EQ(lowbit->offset, nullptr);
  qz_norvo_weight_free(context(), weight);
}

TEST_P(Weights, LowBitMixedWidthTables) {
  struct table_case {
    const char *label;
    std::vector<int32_t> group_bits, widths, starts;
    std::vector<uint32_t> counts;
  };
  const table_case cases[] = {
      {"widths 2 and 4", {2, 2, 2, 4, 4}, {2, 4}, {0, 3}, {0, 3, 0, 2, 0, 0, 0, 0}},
      {"pairs in any order", {2, 2, 2, 4, 4}, {4, 2}, {3, 0}, {0, 3, 0, 2, 0, 0, 0, 0}},
      {"widths 1 and 8", {1, 1, 8, 8}, {1, 8}, {0, 2}, {2, 0, 0, 0, 0, 0, 0, 2}},
      {"a width with no groups", {3, 3, 5}, {3, 4, 5}, {0, 2, 2}, {0, 0, 2, 0, 1, 0, 0, 0}},
  };
  std::mt19937 rng(14);
  for (const table_case &c : cases) {
    SCOPED_TRACE(c.label);
    lowbit_record w = random_lowbit(rng, 32, int32_t(c.group_bits.size()) * 8, true, false);
    w.group_bits = c.group_bits;
    for (lowbit_tile &t : w.tiles)
      for (uint8_t &code : t.codes) code &= 1;  // fits every width
    w.widths_override = c.widths;
    w.starts_override = c.starts;
    const std::vector<uint8_t> body = lowbit_body(w);
    file_ptr stream = open_bytes(body);
    qz_norvo_weight_t *weight = nullptr;
    ASSERT_EQ(qz_norvo_lowbit_mixed_weight_load(context(), stream.get(), &weight), QZ_STATUS_SUCCESS);
    EXPECT_EQ(std::ftell(stream.get()), long(body.size()));
    auto lowbit = reinterpret_cast<const qz_norvo_lowbit_weight_t *>(weight);
    EXPECT_EQ(std::vector<uint32_t>(lowbit->width_counts, lowbit->width_counts + 8), c.counts);
    EXPECT_EQ(download<int32_t>(context(), lowbit->perm, w.perm.size()), w.perm);
    qz_norvo_weight_free(context(), weight);
  }
}

TEST(WeightErrors, LowBitWeights) {
  std::mt19937 rng(15);
  const lowbit_record one = random_lowbit(rng, 32, 16, false, false);
  const lowbit_record mixed = random_lowbit(rng, 16, 40, true, true);
  auto edited = [](lowbit_record w, auto edit) {
    edit(w);
    return w;
  };
  auto body = [](const lowbit_record &w, size_t length = SIZE_MAX) {
    return [w, length](model_bytes &b) {
      const std::vector<uint8_t> bytes = lowbit_body(w, length);
      b.raw(bytes.data(), bytes.size());
    };
  };
  auto case_of = [&](const char *label, const lowbit_record &w, qz_status_t status, strings messages,
                     size_t length = SIZE_MAX) {
    return bad_record{label, lowbit_reader(w), body(w, length), status, std::move(messages)};
  };
  const size_t perm_end = 4 + mixed.name.size() + 16 + 4 * 40;
  const size_t mixed_size = lowbit_body(mixed).size();
  // The offset table of `mixed` is 1 x 16 floats: kind, rows, cols, then the values.
  const size_t offset_at = mixed_size - size_t(
      [&] { model_bytes t; write_embedding(t, *mixed.offset); return t.size(); }());
  const qz_status_t invalid_status = QZ_STATUS_INVALID_ARGUMENT;
  run_bad_records({
      case_of("32-row tiles", edited(one, [](auto &w) { w.tile_rows = 32; }), invalid_status,
              {invalid("tile_rows")}),
      case_of("4-column tiles", edited(one, [](auto &w) { w.tile_cols = 4; }), invalid_status,
              {invalid("tile_cols")}),
      case_of("rows not whole tiles", edited(one, [](auto &w) { w.rows = 24; }), invalid_status,
              {invalid("rows")}),
      // Few tiles of one bit, but a bias of 2^32 bytes.
      case_of("bias larger than a buffer", edited(one, [](auto &w) { w.rows = 1 << 30; }),
              invalid_status, {invalid("rows")}),
      case_of("cols not whole tiles", edited(mixed, [](auto &w) { w.cols = 12; }), invalid_status,
              {invalid("cols")}),
      case_of("bits 0", edited(one, [](auto &w) { w.widths_override = {{0}}; }), invalid_status,
              {invalid("bits")}),
      case_of("bits 9", edited(one, [](auto &w) { w.widths_override = {{9}}; }), invalid_status,
              {invalid("bits")}),
      case_of("no widths",
              edited(mixed, [](auto &w) { w.widths_override = w.starts_override = std::vector<int32_t>{}; }),
              invalid_status, {invalid("n")}),
      case_of("nine widths",
              edited(mixed,
                     [](auto &w) { w.widths_override = w.starts_override = std::vector<int32_t>(9, 1); }),
              invalid_status, {invalid("n")}),
      case_of("width 0",
              edited(mixed, [](auto &w) { w.widths_override = {{0}}; w.starts_override = {{0}}; }),
              invalid_status, {invalid("widths")}),
      case_of("width 9",
              edited(mixed, [](auto &w) { w.widths_override = {{9}}; w.starts_override = {{0}}; }),
              invalid_status, {invalid("widths")}),
      case_of("a width twice",
              edited(mixed, [](auto &w) { w.widths_override = {{2, 2}}; w.starts_override = {{0, 1}}; }),
              invalid_status, {invalid("widths")}),
      case_of("starts falling with the width",
              edited(mixed, [](auto &w) { w.widths_override = {{2, 4}}; w.starts_override = {{3, 0}}; }),
              invalid_status, {invalid("starts")}),
      case_of("first groups without a width",
              edited(mixed, [](auto &w) { w.widths_override = {{2, 4}}; w.starts_override = {{1, 3}}; }),
              invalid_status, {invalid("starts")}),
      case_of("start past the groups",
              edited(mixed, [](auto &w) { w.widths_override = {{2, 4}}; w.starts_override = {{0, 6}}; }),
              invalid_status, {invalid("starts")}),
      case_of("column used twice", edited(mixed, [](auto &w) { w.perm[5] = w.perm[6]; }), invalid_status,
              {invalid("perm")}),
      case_of("column out of range", edited(mixed, [](auto &w) { w.perm[0] = 40; }), invalid_status,
              {invalid("perm")}),
      case_of("column order cut short", mixed, QZ_STATUS_IO_ERROR, {site("5143e09")}, perm_end - 2),
      case_of("scales cut short", one, QZ_STATUS_IO_ERROR, {site("5143e09")}, 4 + one.name.size() + 24 + 10),
      case_of("tiles cut short", mixed, QZ_STATUS_IO_ERROR, {site("5143e09")}, offset_at - 8),
      case_of("offset flag cut short", mixed, QZ_STATUS_IO_ERROR, {read_failed()}, offset_at - 2),
      case_of("offset table cut short", mixed, QZ_STATUS_IO_ERROR, {read_failed(), site("bf3018f")},
              mixed_size - 1),
      case_of("offset row of the wrong length",
              edited(mixed,
                     [&](auto &w) { w.offset = random_table(rng, embedding_table::kind::float_table, 1, 15); }),
              invalid_status, {invalid("offset"), site("bf3018f")}),
      case_of("offset table refused",
              edited(mixed,
                     [](auto &w) {
                       w.offset->type = embedding_table::kind::quantized;
                       w.offset->bits = 0;
                     }),
              invalid_status, {invalid("bits"), site("bf3018f")}),
  });
}

TEST(WeightErrors, LowBitRepackFailure) {
  fake_backend fake;
  fake.execute[QZ_YPU_OP_REPACK_LOWBIT] = fake_backend::entry::fail;
  qz_ypu_context_t *context = fake.make_context();
  ASSERT_NE(context, nullptr);
  std::mt19937 rng(16);
  const std::vector<uint8_t> body = lowbit_body(random_lowbit(rng, 16, 16, true, true));
  take_error_stack();
  qz_norvo_weight_t *weight = nullptr;
  EXPECT_EQ(load(qz_norvo_lowbit_mixed_weight_load, context, body, &weight), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(),
            (strings{operation_failed("repack_lowbit"), execute_failed(), site("e2c6070")}));
  qz_ypu_context_destroy(context);
  EXPECT_EQ(fake.live_buffers, 0);
  EXPECT_EQ(fake.live_host, 0);
}

// The weight's forward adds the offset row only when the file has one.
TEST(LowBitForward, OffsetRowAddsOneOperation) {
  for (bool with_offset : {false, true}) {
    SCOPED_TRACE(with_offset);
    fake_backend fake;
    fake.execute[QZ_YPU_OP_LINEAR_LOWBIT] = fake_backend::entry::decline;
    fake.execute[QZ_YPU_OP_ADD_ROW_F32] = fake_backend::entry::decline;
    qz_ypu_context_t *context = fake.make_context();
    std::mt19937 rng(17);
    const std::vector<uint8_t> body = lowbit_body(random_lowbit(rng, 16, 8, false, with_offset));
    qz_norvo_weight_t *weight = nullptr;
    ASSERT_EQ(load(qz_norvo_lowbit_weight_load, context, body, &weight), QZ_STATUS_SUCCESS);
    qz_ypu_buffer_t *in = fake.create(2 * 8 * 4), *out = fake.create(2 * 16 * 4);
    ASSERT_EQ(weight->forward(context, out, in, weight, 2, 0, 0), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fake.count("execute 93"), 1);
    EXPECT_EQ(fake.count("execute 2"), with_offset ? 1 : 0);
    fake.destroy(in);
    fake.destroy(out);
    qz_norvo_weight_free(context, weight);
    qz_ypu_context_destroy(context);
    EXPECT_EQ(fake.live_buffers, 0);
  }
}

}  // namespace
