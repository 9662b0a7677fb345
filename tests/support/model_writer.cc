#include "support/model_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "support/tokenizer_writer.h"

// ---------------------------------------------------------------------------
// Bytes.

model_bytes &model_bytes::raw(const void *data, size_t size) {
  auto bytes = static_cast<const uint8_t *>(data);
  data_.insert(data_.end(), bytes, bytes + size);
  return *this;
}

model_bytes &model_bytes::i32(int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  const uint8_t bytes[4] = {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16),
                            uint8_t(bits >> 24)};
  return raw(bytes, 4);
}

model_bytes &model_bytes::f32(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return i32(static_cast<int32_t>(bits));
}

model_bytes &model_bytes::u16(uint16_t value) {
  const uint8_t bytes[2] = {uint8_t(value), uint8_t(value >> 8)};
  return raw(bytes, 2);
}

model_bytes &model_bytes::text(const std::string &bytes) { return raw(bytes.data(), bytes.size()); }

model_bytes &model_bytes::name(const std::string &name) {
  i32(static_cast<int32_t>(name.size()));
  return text(name);
}

model_bytes &model_bytes::floats(const std::vector<float> &values) {
  for (float v : values) f32(v);
  return *this;
}

model_bytes &model_bytes::mark(const std::string &label) {
  marks_.emplace_back(label, data_.size());
  return *this;
}

size_t model_bytes::at(const std::string &label) const {
  for (const auto &[name, offset] : marks_)
    if (name == label) return offset;
  throw std::out_of_range("no mark " + label);
}

file_ptr open_bytes(const std::vector<uint8_t> &bytes, size_t length) {
  FILE *file = std::tmpfile();
  if (!file) throw std::runtime_error("tmpfile");
  if (length && std::fwrite(bytes.data(), 1, length, file) != length)
    throw std::runtime_error("fwrite");
  std::rewind(file);
  return file_ptr(file, &std::fclose);
}

file_ptr open_bytes(const std::vector<uint8_t> &bytes) { return open_bytes(bytes, bytes.size()); }

// ---------------------------------------------------------------------------
// Scale numbers.

double scale16_value(uint16_t pattern) {
  const double magnitude = std::ldexp(double(pattern & 0x3ff), int((pattern >> 10) & 31) - 35);
  return (pattern & 0x8000) ? -magnitude : magnitude;
}

uint16_t scale16_nearest(double value) {
  const uint16_t sign = value < 0 ? 0x8000 : 0;
  const double magnitude = std::fabs(value);
  // The smallest exponent whose mantissa still fits keeps the most bits.
  for (int e = 0; e < 32; ++e) {
    const double m = std::nearbyint(std::ldexp(magnitude, 35 - e));
    if (m <= 1023) return static_cast<uint16_t>(sign | (e << 10) | int(m));
  }
  return static_cast<uint16_t>(sign | 0x7fff);
}

// ---------------------------------------------------------------------------
// Values.

std::vector<float> embedding_table::dequantized() const {
  if (type != kind::quantized) return values;
  std::vector<float> out(size_t(rows) * cols);
  const int32_t blocks_per_row = cols / block_cols;
  for (int32_t row = 0; row < rows; ++row) {
    for (int32_t col = 0; col < cols; ++col) {
      const size_t b = size_t(row / block_rows) * blocks_per_row + col / block_cols;
      const uint8_t code = codes[b * block_rows * block_cols +
                                 size_t(row % block_rows) * block_cols + col % block_cols];
      const float offset = float(scale16_value(scales[2 * b]));
      const float scale = float(scale16_value(scales[2 * b + 1]));
      out[size_t(row) * cols + col] = float(code) * scale + offset;
    }
  }
  return out;
}

std::vector<float> lowbit_record::dequantized() const {
  std::vector<float> w(size_t(rows) * cols);
  for (int32_t rb = 0; rb < row_blocks(); ++rb) {
    for (int32_t j = 0; j < groups(); ++j) {
      const lowbit_tile &tile = tiles[size_t(rb) * groups() + j];
      const float offset = float(scale16_value(tile.offset));
      const float scale = float(scale16_value(tile.scale));
      for (int r = 0; r < 16; ++r)
        for (int k = 0; k < 8; ++k)
          w[size_t(16 * rb + r) * cols + perm[8 * j + k]] =
              float(tile.codes[8 * r + k]) * scale + offset;
    }
  }
  return w;
}

std::vector<float> lowbit_record::offset_row() const {
  if (!offset) return std::vector<float>(rows, 0.0f);
  std::vector<float> table = offset->dequantized();
  table.resize(rows);
  return table;
}

int32_t linear_record::rows() const {
  return std::visit([](const auto &w) { return w.rows; }, weight);
}

int32_t linear_record::cols() const {
  return std::visit([](const auto &w) { return w.cols; }, weight);
}

// ---------------------------------------------------------------------------
// Encoding.

namespace {

// Packs codes of `bits` bits into a little-endian bit stream, lowest first.
void pack_codes(model_bytes &out, const uint8_t *codes, size_t count, int bits) {
  uint32_t accumulator = 0;
  int held = 0;
  for (size_t i = 0; i < count; ++i) {
    accumulator |= uint32_t(codes[i]) << held;
    held += bits;
    while (held >= 8) {
      const uint8_t byte = uint8_t(accumulator);
      out.raw(&byte, 1);
      accumulator >>= 8;
      held -= 8;
    }
  }
  if (held > 0) {
    const uint8_t byte = uint8_t(accumulator);
    out.raw(&byte, 1);
  }
}

void write_table_body(model_bytes &out, const embedding_table &t) {
  if (t.type == embedding_table::kind::named_float) out.name(t.name);
  if (t.type != embedding_table::kind::quantized) {
    out.i32(t.rows).i32(t.cols).floats(t.values);
    return;
  }
  out.name(t.name).i32(t.rows).i32(t.cols).i32(t.block_rows).i32(t.block_cols).i32(t.bits).i32(0);
  for (uint16_t s : t.scales) out.u16(s);
  const size_t block = size_t(t.block_rows) * t.block_cols;
  for (size_t b = 0; b * block < t.codes.size(); ++b)
    pack_codes(out, &t.codes[b * block], block, t.bits);
  out.i32(t.trailer);
}

// Distinct widths in ascending order and the first stored group of each.
void width_classes(const lowbit_record &w, std::vector<int32_t> &widths,
                   std::vector<int32_t> &starts) {
  for (int32_t j = 0; j < int32_t(w.group_bits.size()); ++j) {
    if (widths.empty() || widths.back() != w.group_bits[j]) {
      widths.push_back(w.group_bits[j]);
      starts.push_back(j);
    }
  }
}

void write_lowbit(model_bytes &out, const lowbit_record &w) {
  out.i32(w.mixed ? -664 : -665).name(w.name);
  out.i32(w.rows).i32(w.cols).i32(w.tile_rows).i32(w.tile_cols);
  std::vector<int32_t> widths, starts;
  width_classes(w, widths, starts);
  if (w.mixed) {
    for (int32_t p : w.perm) out.i32(p);
    if (w.widths_override) widths = *w.widths_override;
    if (w.starts_override) starts = *w.starts_override;
    out.i32(int32_t(widths.size()));
    for (int32_t b : widths) out.i32(b);
    for (int32_t s : starts) out.i32(s);
  } else {
    out.i32(w.widths_override ? w.widths_override->at(0) : w.group_bits.at(0));
  }
  out.i32(0);  // unused
  // Scales, then tiles: class by class, row blocks within a class.
  // As many row blocks as there are tiles, whatever `rows` claims.
  const int32_t groups = int32_t(w.group_bits.size());
  const int32_t row_blocks = groups ? int32_t(w.tiles.size()) / groups : 0;
  auto for_each_tile = [&](auto &&visit) {
    for (int b = 1; b <= 8; ++b)
      for (int32_t rb = 0; rb < row_blocks; ++rb)
        for (int32_t j = 0; j < groups; ++j)
          if (w.group_bits[j] == b) visit(w.tiles[size_t(rb) * groups + j], b);
  };
  for_each_tile([&](const lowbit_tile &t, int) { out.u16(t.offset).u16(t.scale); });
  for_each_tile([&](const lowbit_tile &t, int b) { pack_codes(out, t.codes, 128, b); });
  out.i32(w.offset ? 1 : 0);
  if (w.offset) write_embedding(out, *w.offset);
}

}  // namespace

void write_embedding(model_bytes &out, const embedding_table &table) {
  switch (table.type) {
    case embedding_table::kind::float_table:
      out.i32(0);
      break;
    case embedding_table::kind::named_float:
      out.i32(-666);
      break;
    case embedding_table::kind::quantized:
      out.i32(-665);
      break;
  }
  write_table_body(out, table);
}

void write_linear(model_bytes &out, const linear_record &linear) {
  if (auto *dense = std::get_if<dense_weight>(&linear.weight)) {
    if (dense->name)
      out.i32(-666).name(*dense->name);
    else
      out.i32(0);
    out.i32(dense->rows).i32(dense->cols).floats(dense->values);
  } else if (auto *lowbit = std::get_if<lowbit_record>(&linear.weight)) {
    write_lowbit(out, *lowbit);
  } else {
    const auto &conv = std::get<conv2d_weight>(linear.weight);
    out.i32(-656).name(conv.name).i32(0).i32(0);
    out.i32(conv.rows)
        .i32(conv.cols)
        .i32(conv.kernel_height)
        .i32(conv.kernel_width)
        .floats(conv.values);
  }
  out.mark("bias").floats(linear.bias);
}

void write_attention(model_bytes &out, const attention_record &a) {
  out.i32(a.dim).i32(a.heads);
  for (const linear_record *linear : {&a.key, &a.value, &a.query, &a.output})
    write_linear(out, *linear);
}

void write_norm(model_bytes &out, const norm_record &norm) {
  out.i32(int32_t(norm.gamma.size())).floats(norm.gamma).floats(norm.beta);
}

void write_encoder_layer(model_bytes &out, const encoder_layer_record &layer) {
  write_attention(out, layer.attention);
  write_norm(out, layer.attention_norm);
  write_linear(out, layer.ffn_in);
  write_linear(out, layer.ffn_out);
  write_norm(out, layer.ffn_norm);
}

void write_decoder_layer(model_bytes &out, const decoder_layer_record &layer) {
  write_attention(out, layer.self_attention);
  write_norm(out, layer.self_attention_norm);
  write_attention(out, layer.cross_attention);
  write_norm(out, layer.cross_attention_norm);
  write_linear(out, layer.ffn_in);
  write_linear(out, layer.ffn_out);
  write_norm(out, layer.ffn_norm);
}

void write_encoder(model_bytes &out, const model_record &model) {
  out.i32(int32_t(model.encoder.size())).f32(model.encoder_scale);
  for (const auto &layer : model.encoder) write_encoder_layer(out, layer);
}

void write_decoder(model_bytes &out, const model_record &model) {
  out.i32(int32_t(model.decoder.size())).f32(model.decoder_scale);
  for (const auto &layer : model.decoder) write_decoder_layer(out, layer);
}

void write_header(model_bytes &out, const model_record &m) {
  out.text(m.magic).text(m.version);
  out.i32(m.max_source_tokens).i32(m.max_output_length).i32(m.beam_size);
  out.i32(m.reserved_4).i32(m.start_id).i32(m.reserved_6).i32(m.end_id);
}

void write_language_pair(model_bytes &out, const model_record &m) {
  out.text(m.first_language).text(m.second_language).i32(m.max_character_limit).i32(m.dropped_id);
}

model_bytes write_model(const model_record &model) {
  model_bytes out;
  out.mark("header");
  write_header(out, model);
  out.mark("output");
  write_linear(out, model.output);
  out.mark("token");
  write_embedding(out, model.token);
  out.mark("position");
  write_embedding(out, model.position);
  out.mark("encoder");
  write_encoder(out, model);
  out.mark("decoder");
  write_decoder(out, model);
  out.mark("language");
  write_language_pair(out, model);
  out.mark("tokenizer");
  out.raw(model.tokenizer.data(), model.tokenizer.size());
  return out;
}

std::vector<uint8_t> small_tokenizer(int32_t vocab) {
  piece_model pieces;
  pieces.pieces = {{"<s>", 0.0f}, {"</s>", 0.0f}};
  for (int32_t i = 2; i < vocab; ++i)
    pieces.pieces.emplace_back(std::string(1, char('a' + (i - 2) % 26)), -float(i));
  pieces.specials = {0, 1};
  pieces.start_id = 0;
  pieces.end_id = 1;
  return tokenizer_section(pieces);
}

// ---------------------------------------------------------------------------
// Random networks.

namespace {

float uniform(std::mt19937 &rng, float lo, float hi) {
  return std::uniform_real_distribution<float>(lo, hi)(rng);
}

std::vector<float> uniform_values(std::mt19937 &rng, size_t count, float lo, float hi) {
  std::vector<float> values(count);
  for (float &v : values) v = uniform(rng, lo, hi);
  return values;
}

// Codes of `bits` bits spread over roughly [-magnitude, magnitude].
void random_affine(std::mt19937 &rng, int bits, float magnitude, uint16_t &offset,
                   uint16_t &scale) {
  const double levels = double((1 << bits) - 1);
  const double s = magnitude * 2.0 / levels * uniform(rng, 0.7f, 1.3f);
  scale = scale16_nearest(s);
  offset = scale16_nearest(-scale16_value(scale) * levels / 2.0 + uniform(rng, -0.05f, 0.05f));
}

}  // namespace

dense_weight random_dense(std::mt19937 &rng, int32_t rows, int32_t cols, float range) {
  dense_weight w;
  w.rows = rows;
  w.cols = cols;
  w.values = uniform_values(rng, size_t(rows) * cols, -range, range);
  return w;
}

embedding_table random_quantized_table(std::mt19937 &rng, int32_t rows, int32_t cols,
                                       int32_t block_rows, int32_t block_cols, int32_t bits) {
  embedding_table t;
  t.type = embedding_table::kind::quantized;
  t.rows = rows;
  t.cols = cols;
  t.block_rows = block_rows;
  t.block_cols = block_cols;
  t.bits = bits;
  const size_t blocks = size_t(rows / block_rows) * (cols / block_cols);
  std::uniform_int_distribution<int> code(0, (1 << bits) - 1);
  for (size_t b = 0; b < blocks; ++b) {
    uint16_t offset, scale;
    random_affine(rng, bits, 1.0f, offset, scale);
    t.scales.push_back(offset);
    t.scales.push_back(scale);
  }
  t.codes.resize(blocks * block_rows * block_cols);
  for (uint8_t &c : t.codes) c = uint8_t(code(rng));
  return t;
}

embedding_table random_table(std::mt19937 &rng, embedding_table::kind kind, int32_t rows,
                             int32_t cols) {
  if (kind == embedding_table::kind::quantized) {
    // Blocks of up to 8 columns and one or two rows, with widths that fill whole bytes.
    const int32_t block_cols = cols % 8 == 0 ? 8 : cols;
    const int32_t block_rows = rows % 2 == 0 ? 2 : 1;
    const int candidates[] = {3, 4, 5, 8};
    int bits = candidates[rng() % 4];
    if (block_rows * block_cols * bits % 8 != 0) bits = 8;
    return random_quantized_table(rng, rows, cols, block_rows, block_cols, bits);
  }
  embedding_table t;
  t.type = kind;
  t.rows = rows;
  t.cols = cols;
  t.values = uniform_values(rng, size_t(rows) * cols, -1.0f, 1.0f);
  return t;
}

lowbit_record random_lowbit(std::mt19937 &rng, int32_t rows, int32_t cols, bool mixed,
                            bool with_offset) {
  lowbit_record w;
  w.rows = rows;
  w.cols = cols;
  w.mixed = mixed;
  const int32_t groups = cols / 8;
  if (mixed) {
    for (int32_t j = 0; j < groups; ++j) w.group_bits.push_back(1 + int32_t(rng() % 8));
    std::sort(w.group_bits.begin(), w.group_bits.end());
    w.perm.resize(cols);
    std::iota(w.perm.begin(), w.perm.end(), 0);
    std::shuffle(w.perm.begin(), w.perm.end(), rng);
  } else {
    const int32_t bits[] = {2, 3, 4, 8};
    w.group_bits.assign(groups, bits[rng() % 4]);
    w.perm.resize(cols);
    std::iota(w.perm.begin(), w.perm.end(), 0);
  }
  const float magnitude = 1.0f / std::sqrt(float(cols));
  w.tiles.resize(size_t(w.row_blocks()) * groups);
  for (int32_t rb = 0; rb < w.row_blocks(); ++rb) {
    for (int32_t j = 0; j < groups; ++j) {
      lowbit_tile &tile = w.tiles[size_t(rb) * groups + j];
      const int bits = w.group_bits[j];
      random_affine(rng, bits, magnitude, tile.offset, tile.scale);
      std::uniform_int_distribution<int> code(0, (1 << bits) - 1);
      for (uint8_t &c : tile.codes) c = uint8_t(code(rng));
    }
  }
  if (with_offset) {
    const embedding_table::kind kinds[] = {embedding_table::kind::float_table,
                                           embedding_table::kind::named_float,
                                           embedding_table::kind::quantized};
    embedding_table offset = random_table(rng, kinds[rng() % 3], 1, rows);
    w.offset = offset;
  }
  return w;
}

linear_record random_linear(std::mt19937 &rng, weight_kind kind, int32_t rows, int32_t cols) {
  linear_record linear;
  switch (kind) {
    case weight_kind::dense:
    case weight_kind::named_dense: {
      dense_weight w = random_dense(rng, rows, cols, 1.0f / std::sqrt(float(cols)));
      if (kind == weight_kind::named_dense) w.name = "dense";
      linear.weight = w;
      break;
    }
    case weight_kind::lowbit:
    case weight_kind::lowbit_mixed:
      linear.weight =
          random_lowbit(rng, rows, cols, kind == weight_kind::lowbit_mixed, rng() % 2 == 0);
      break;
  }
  linear.bias = uniform_values(rng, rows, -0.1f, 0.1f);
  return linear;
}

model_record random_model(std::mt19937 &rng, const model_shape &shape) {
  size_t next_linear = 0, next_table = 0;
  auto linear = [&](int32_t rows, int32_t cols) {
    const weight_kind kind = shape.linear_kinds[next_linear++ % shape.linear_kinds.size()];
    return random_linear(rng, kind, rows, cols);
  };
  auto table = [&](int32_t rows, int32_t cols) {
    const auto kind = shape.table_kinds[next_table++ % shape.table_kinds.size()];
    return random_table(rng, kind, rows, cols);
  };
  auto attention = [&] {
    attention_record a;
    a.dim = shape.dim;
    a.heads = shape.heads;
    a.key = linear(shape.dim, shape.dim);
    a.value = linear(shape.dim, shape.dim);
    a.query = linear(shape.dim, shape.dim);
    a.output = linear(shape.dim, shape.dim);
    return a;
  };
  auto norm = [&] {
    return norm_record{uniform_values(rng, shape.dim, 0.8f, 1.2f),
                       uniform_values(rng, shape.dim, -0.1f, 0.1f)};
  };

  model_record m;
  m.max_source_tokens = shape.positions;
  m.max_output_length = shape.positions;
  m.output = linear(shape.vocab, shape.dim);
  m.token = table(shape.vocab, shape.dim);
  m.position = table(shape.positions, shape.dim);
  m.encoder_scale = std::sqrt(float(shape.dim)) / 2.0f;
  m.decoder_scale = 1.25f;
  m.tokenizer = small_tokenizer(shape.vocab);
  for (int32_t i = 0; i < shape.encoder_layers; ++i) {
    encoder_layer_record layer;
    layer.attention = attention();
    layer.attention_norm = norm();
    layer.ffn_in = linear(shape.hidden, shape.dim);
    layer.ffn_out = linear(shape.dim, shape.hidden);
    layer.ffn_norm = norm();
    m.encoder.push_back(std::move(layer));
  }
  for (int32_t i = 0; i < shape.decoder_layers; ++i) {
    decoder_layer_record layer;
    layer.self_attention = attention();
    layer.self_attention_norm = norm();
    layer.cross_attention = attention();
    layer.cross_attention_norm = norm();
    layer.ffn_in = linear(shape.hidden, shape.dim);
    layer.ffn_out = linear(shape.dim, shape.hidden);
    layer.ffn_norm = norm();
    m.decoder.push_back(std::move(layer));
  }
  return m;
}
