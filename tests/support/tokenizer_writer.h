// Writes tokenizer sections of model files, byte for byte in the file's
// layout, for tests (and for the test-side writer of whole model files).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Appends little-endian values to a byte vector.
struct byte_writer {
  std::vector<uint8_t> bytes;

  byte_writer &i32(int32_t value);
  byte_writer &f32(float value);
  byte_writer &raw(std::string_view data);
  byte_writer &raw(const std::vector<uint8_t> &data);
  // Strings back to back, each followed by a NUL.
  byte_writer &blob(const std::vector<std::string> &strings);
  size_t size() const { return bytes.size(); }
};

// Kind 0 payload (also the piece model inside kind 2).
struct piece_model {
  std::vector<std::pair<std::string, float>> pieces;  // index = id
  std::vector<int32_t> specials;                      // piece ids
  int32_t start_id = 0;
  int32_t end_id = 0;
  int32_t flags = 0;  // bit 0: leading space
  int32_t mode = 0;   // 2: merge encoding
};
void write_piece_payload(byte_writer &out, const piece_model &model);

// Kind 1 payload. Vocabulary and special strings are written as given (the
// vocabulary in byte-alphabet form: see alphabet_form).
struct bpe_model {
  int32_t vocab_limit = 0;
  std::vector<std::pair<std::string, int32_t>> specials;  // {string, id}
  std::vector<std::pair<std::string, int32_t>> vocab;     // {string, id}
  struct merge {
    int32_t left, right, rank;
  };
  std::vector<merge> merges;
  std::string pattern;
  std::vector<uint8_t> icu_package;
};
void write_bpe_payload(byte_writer &out, const bpe_model &model);

// Kind 2 payload.
struct vocab_model {
  int32_t start_id = 0;
  int32_t end_id = 0;
  int32_t reserved_id = 0;
  int32_t unknown_id = 0;
  piece_model pieces;
  std::vector<std::string> strings;  // index = id
  std::vector<int32_t> id_values{0};
  std::optional<std::vector<std::string>> output_strings;
  bool write_output_flag = true;  // false: the payload ends after the id values
};
// Returns the offset of the output flag within the payload.
size_t write_vocab_payload(byte_writer &out, const vocab_model &model);

// A whole tokenizer section: the kind, then the payload.
std::vector<uint8_t> tokenizer_section(const piece_model &model);
std::vector<uint8_t> tokenizer_section(const bpe_model &model);
std::vector<uint8_t> tokenizer_section(const vocab_model &model);

// The byte-alphabet spelling of raw bytes, computed from the rule (printable
// bytes stand for themselves, the 68 others for U+0100 on, in order).
std::string alphabet_form(std::string_view bytes);

// An ICU common-data package (offset table of contents) holding the given
// items; item names get this ICU's data-package prefix ("icudt72l/...").
// With no items it is the smallest package ICU accepts.
std::vector<uint8_t> icu_package(
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> &items = {});
// An ICU data item: a data header (format "QzTs") followed by the payload.
std::vector<uint8_t> icu_item(std::string_view payload);

// A read-only file holding the bytes; closes on destruction.
class memory_file {
 public:
  explicit memory_file(const std::vector<uint8_t> &bytes, size_t length = SIZE_MAX);
  ~memory_file();
  memory_file(const memory_file &) = delete;
  memory_file &operator=(const memory_file &) = delete;
  FILE *get() const { return file_; }
  // Bytes still unread.
  long remaining() const;

 private:
  FILE *file_;
  long size_;
};
