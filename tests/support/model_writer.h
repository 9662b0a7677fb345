// A test-side writer of model files: in-memory descriptions of every record
// kind, their byte encoding in file order, their dequantised values for
// reference computations, and small random networks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

// Little-endian byte sink with named marks, so tests can cut a file at a
// known place.
class model_bytes {
 public:
  model_bytes &i32(int32_t value);
  model_bytes &f32(float value);
  model_bytes &u16(uint16_t value);
  model_bytes &raw(const void *data, size_t size);
  model_bytes &text(const std::string &bytes);  // the bytes, no length, no NUL
  model_bytes &name(const std::string &name);   // int32 length, then the bytes
  model_bytes &floats(const std::vector<float> &values);
  model_bytes &mark(const std::string &label);

  const std::vector<uint8_t> &data() const { return data_; }
  size_t size() const { return data_.size(); }
  // Offset recorded by mark(label); the first one when marked several times.
  size_t at(const std::string &label) const;

 private:
  std::vector<uint8_t> data_;
  std::vector<std::pair<std::string, size_t>> marks_;
};

// An open read-only stream over bytes (a temporary file), closed on release.
using file_ptr = std::unique_ptr<FILE, int (*)(FILE *)>;
file_ptr open_bytes(const std::vector<uint8_t> &bytes);
file_ptr open_bytes(const std::vector<uint8_t> &bytes, size_t length);

// The 16-bit scale number: sign bit 15, exponent bits 14-10, mantissa bits
// 9-0, value m x 2^(e - 35). Encoding picks the nearest representable value.
double scale16_value(uint16_t pattern);
uint16_t scale16_nearest(double value);

// ---------------------------------------------------------------------------
// Weights.

struct dense_weight {
  int32_t rows = 0, cols = 0;
  std::vector<float> values;        // [output][input]
  std::optional<std::string> name;  // kind -666 when set
};

struct conv2d_weight {
  int32_t rows = 0, cols = 0, kernel_height = 1, kernel_width = 1;
  std::vector<float> values;
  std::string name = "conv";
};

// An embedding table of any kind. Quantised tables keep their codes unpacked.
struct embedding_table {
  enum class kind { float_table, named_float, quantized };
  kind type = kind::float_table;
  int32_t rows = 0, cols = 0;
  std::vector<float> values;  // float kinds: rows x cols
  std::string name = "table";
  // Quantised kind.
  int32_t block_rows = 1, block_cols = 1, bits = 8;
  std::vector<uint16_t> scales;  // per block: offset, scale
  std::vector<uint8_t> codes;    // per block, row-major inside the block
  int32_t trailer = 0;           // must be 0 in a valid file

  // The values a lookup returns, row-major (f32 arithmetic as the format fixes).
  std::vector<float> dequantized() const;
};

// A low-bit weight of 16 x 8 tiles. Groups are stored by ascending width.
struct lowbit_tile {
  uint8_t codes[128];  // row-major, 16 rows of 8 codes
  uint16_t offset, scale;
};

struct lowbit_record {
  int32_t rows = 0, cols = 0;
  bool mixed = false;                     // kind -664: column order and widths in the file
  std::vector<int32_t> group_bits;        // width of each stored group, ascending
  std::vector<int32_t> perm;              // stored column -> input column (identity unless mixed)
  std::vector<lowbit_tile> tiles;         // [row block][stored group]
  std::optional<embedding_table> offset;  // one row of `rows` floats
  std::string name = "lowbit";
  // Overrides for files that break the format.
  int32_t tile_rows = 16, tile_cols = 8;
  std::optional<std::vector<int32_t>> widths_override, starts_override;

  int32_t row_blocks() const { return rows / 16; }
  int32_t groups() const { return cols / 8; }
  // W[output][input], each element code x scale + offset in f32, plus nothing
  // for the offset row (see offset_row).
  std::vector<float> dequantized() const;
  std::vector<float> offset_row() const;  // zeros without an offset
};

using linear_weight = std::variant<dense_weight, lowbit_record, conv2d_weight>;

struct linear_record {
  linear_weight weight;
  std::vector<float> bias;
  int32_t rows() const;
  int32_t cols() const;
};

struct attention_record {
  int32_t dim = 0, heads = 1;
  linear_record key, value, query, output;
};

struct norm_record {
  std::vector<float> gamma, beta;
};

struct encoder_layer_record {
  attention_record attention;
  norm_record attention_norm;
  linear_record ffn_in, ffn_out;
  norm_record ffn_norm;
};

struct decoder_layer_record {
  attention_record self_attention;
  norm_record self_attention_norm;
  attention_record cross_attention;
  norm_record cross_attention_norm;
  linear_record ffn_in, ffn_out;
  norm_record ffn_norm;
};

struct model_record {
  std::string magic = "norvo", version = "1.1.0";
  int32_t max_source_tokens = 8, max_output_length = 8, beam_size = 2;
  int32_t reserved_4 = 0, start_id = 0, reserved_6 = 0, end_id = 1;
  linear_record output;
  embedding_table token, position;
  float encoder_scale = 1.0f, decoder_scale = 1.0f;
  std::vector<encoder_layer_record> encoder;
  std::vector<decoder_layer_record> decoder;
  std::string first_language = "en", second_language = "de";
  int32_t max_character_limit = 256, dropped_id = -1;
  std::vector<uint8_t> tokenizer;  // kind and payload, written as they are
};

// A kind-0 tokenizer section with `vocab` pieces: "<s>" (id 0), "</s>"
// (id 1), then single letters.
std::vector<uint8_t> small_tokenizer(int32_t vocab);

// ---------------------------------------------------------------------------
// Encoding, in file order.

void write_linear(model_bytes &out, const linear_record &linear);
void write_embedding(model_bytes &out, const embedding_table &table);  // with its kind
void write_attention(model_bytes &out, const attention_record &attention);
void write_norm(model_bytes &out, const norm_record &norm);
void write_encoder_layer(model_bytes &out, const encoder_layer_record &layer);
void write_decoder_layer(model_bytes &out, const decoder_layer_record &layer);
void write_encoder(model_bytes &out, const model_record &model);
void write_decoder(model_bytes &out, const model_record &model);
void write_header(model_bytes &out, const model_record &model);
void write_language_pair(model_bytes &out, const model_record &model);
// The whole file, with marks "header", "output", "token", "position",
// "encoder", "decoder", "language", "tokenizer" at the start of each section.
model_bytes write_model(const model_record &model);

// ---------------------------------------------------------------------------
// Random networks (with the tokenizer of small_tokenizer).

enum class weight_kind { dense, named_dense, lowbit, lowbit_mixed };

struct model_shape {
  int32_t dim = 16, heads = 2, hidden = 32, vocab = 16, positions = 12;
  int32_t encoder_layers = 1, decoder_layers = 1;
  // Linear weights take these kinds in turn; low-bit kinds need dim and
  // hidden to be multiples of 16.
  std::vector<weight_kind> linear_kinds = {weight_kind::dense};
  std::vector<embedding_table::kind> table_kinds = {embedding_table::kind::float_table};
};

dense_weight random_dense(std::mt19937 &rng, int32_t rows, int32_t cols, float range);
lowbit_record random_lowbit(std::mt19937 &rng, int32_t rows, int32_t cols, bool mixed,
                            bool with_offset);
embedding_table random_table(std::mt19937 &rng, embedding_table::kind kind, int32_t rows,
                             int32_t cols);
// A table of the quantised kind with the given block shape and bits.
embedding_table random_quantized_table(std::mt19937 &rng, int32_t rows, int32_t cols,
                                       int32_t block_rows, int32_t block_cols, int32_t bits);
linear_record random_linear(std::mt19937 &rng, weight_kind kind, int32_t rows, int32_t cols);
model_record random_model(std::mt19937 &rng, const model_shape &shape);
