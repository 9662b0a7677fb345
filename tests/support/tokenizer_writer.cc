#include "support/tokenizer_writer.h"

#include <unicode/utypes.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

byte_writer &byte_writer::i32(int32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i)));
  return *this;
}

byte_writer &byte_writer::f32(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return i32(static_cast<int32_t>(bits));
}

byte_writer &byte_writer::raw(std::string_view data) {
  bytes.insert(bytes.end(), data.begin(), data.end());
  return *this;
}

byte_writer &byte_writer::raw(const std::vector<uint8_t> &data) {
  bytes.insert(bytes.end(), data.begin(), data.end());
  return *this;
}

byte_writer &byte_writer::blob(const std::vector<std::string> &strings) {
  for (const std::string &s : strings) {
    raw(s);
    bytes.push_back(0);
  }
  return *this;
}

namespace {

int32_t blob_size(const std::vector<std::string> &strings) {
  size_t size = 0;
  for (const std::string &s : strings) size += s.size() + 1;
  return static_cast<int32_t>(size);
}

template <class T>
std::vector<std::string> firsts(const std::vector<std::pair<std::string, T>> &pairs) {
  std::vector<std::string> out;
  for (const auto &p : pairs) out.push_back(p.first);
  return out;
}

// A blob of no strings is a single NUL (a blob is never empty).
void write_strings(byte_writer &out, const std::vector<std::string> &strings) {
  if (strings.empty()) {
    out.i32(1).blob({""});
    return;
  }
  out.i32(blob_size(strings)).blob(strings);
}

}  // namespace

void write_piece_payload(byte_writer &out, const piece_model &model) {
  const std::vector<std::string> pieces = firsts(model.pieces);
  out.i32(static_cast<int32_t>(model.pieces.size()))
      .i32(static_cast<int32_t>(model.specials.size()))
      .i32(model.start_id)
      .i32(model.end_id)
      .i32(model.flags)
      .i32(model.mode)
      .i32(blob_size(pieces))
      .blob(pieces);
  for (const auto &p : model.pieces) out.f32(p.second);
  for (int32_t id : model.specials) out.i32(id);
}

void write_bpe_payload(byte_writer &out, const bpe_model &model) {
  out.i32(model.vocab_limit).i32(static_cast<int32_t>(model.specials.size()));
  write_strings(out, firsts(model.specials));
  for (const auto &s : model.specials) out.i32(s.second);
  out.i32(static_cast<int32_t>(model.vocab.size()));
  write_strings(out, firsts(model.vocab));
  for (const auto &v : model.vocab) out.i32(v.second);
  out.i32(static_cast<int32_t>(model.merges.size()));
  for (const auto &m : model.merges) out.i32(m.left).i32(m.right);
  for (const auto &m : model.merges) out.i32(m.rank);
  out.i32(static_cast<int32_t>(model.pattern.size())).raw(model.pattern);
  out.i32(static_cast<int32_t>(model.icu_package.size())).raw(model.icu_package);
}

size_t write_vocab_payload(byte_writer &out, const vocab_model &model) {
  out.i32(model.start_id).i32(model.end_id).i32(model.reserved_id).i32(model.unknown_id);
  write_piece_payload(out, model.pieces);
  out.i32(static_cast<int32_t>(model.strings.size()))
      .i32(blob_size(model.strings))
      .blob(model.strings)
      .i32(static_cast<int32_t>(model.id_values.size()));
  for (int32_t v : model.id_values) out.i32(v);
  const size_t flag_at = out.size();
  if (!model.write_output_flag) return flag_at;
  if (!model.output_strings) {
    out.i32(0);
    return flag_at;
  }
  const std::vector<std::string> &output = *model.output_strings;
  out.i32(1).i32(static_cast<int32_t>(output.size())).i32(blob_size(output)).blob(output);
  return flag_at;
}

std::vector<uint8_t> tokenizer_section(const piece_model &model) {
  byte_writer out;
  out.i32(0);
  write_piece_payload(out, model);
  return out.bytes;
}

std::vector<uint8_t> tokenizer_section(const bpe_model &model) {
  byte_writer out;
  out.i32(1);
  write_bpe_payload(out, model);
  return out.bytes;
}

std::vector<uint8_t> tokenizer_section(const vocab_model &model) {
  byte_writer out;
  out.i32(2);
  write_vocab_payload(out, model);
  return out.bytes;
}

std::string alphabet_form(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    const bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
    unsigned code_point = b;
    if (!printable) {
      code_point = 0x100;
      for (unsigned i = 0; i < b; ++i)
        if (!((i >= 0x21 && i <= 0x7E) || (i >= 0xA1 && i <= 0xAC) || i >= 0xAE)) ++code_point;
    }
    if (code_point < 0x80) {
      out += static_cast<char>(code_point);
    } else {
      out += static_cast<char>(0xC0 | (code_point >> 6));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
  }
  return out;
}

namespace {

// A data header: size 32, magic, then the info block (little-endian, ASCII,
// two-byte UChar), the format and versions, zero-padded.
std::vector<uint8_t> data_header(const char format[4], uint8_t format_major, uint8_t data_major) {
  std::vector<uint8_t> h(32, 0);
  h[0] = 32;
  h[2] = 0xda;
  h[3] = 0x27;
  h[4] = 20;  // info size
  h[8] = 0;   // little-endian
  h[9] = 0;   // ASCII family
  h[10] = 2;  // sizeof(UChar)
  std::memcpy(&h[12], format, 4);
  h[16] = format_major;
  h[20] = data_major;
  return h;
}

void put_u32(std::vector<uint8_t> &out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void pad16(std::vector<uint8_t> &out) {
  while (out.size() % 16) out.push_back(0xaa);
}

}  // namespace

std::vector<uint8_t> icu_item(std::string_view payload) {
  std::vector<uint8_t> item = data_header("QzTs", 1, 1);
  item.insert(item.end(), payload.begin(), payload.end());
  item.push_back(0);
  return item;
}

std::vector<uint8_t> icu_package(
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> &items) {
  // ICU looks names up by binary search, so the table is sorted.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> sorted = items;
  for (auto &item : sorted) item.first = std::string(U_ICUDATA_NAME) + "/" + item.first;
  std::sort(sorted.begin(), sorted.end());

  std::vector<uint8_t> out = data_header("CmnD", 1, 3);
  const size_t toc = out.size();
  out.resize(toc + 4 + 8 * sorted.size(), 0);
  put_u32(out, toc, static_cast<uint32_t>(sorted.size()));
  for (size_t i = 0; i < sorted.size(); ++i) {
    put_u32(out, toc + 4 + 8 * i, static_cast<uint32_t>(out.size() - toc));
    out.insert(out.end(), sorted[i].first.begin(), sorted[i].first.end());
    out.push_back(0);
  }
  pad16(out);
  for (size_t i = 0; i < sorted.size(); ++i) {
    put_u32(out, toc + 8 + 8 * i, static_cast<uint32_t>(out.size() - toc));
    out.insert(out.end(), sorted[i].second.begin(), sorted[i].second.end());
    pad16(out);
  }
  return out;
}

memory_file::memory_file(const std::vector<uint8_t> &bytes, size_t length) {
  const size_t size = std::min(length, bytes.size());
  file_ = std::tmpfile();
  if (!file_) throw std::runtime_error("tmpfile failed");
  if (size && std::fwrite(bytes.data(), 1, size, file_) != size)
    throw std::runtime_error("write failed");
  std::rewind(file_);
  size_ = static_cast<long>(size);
}

memory_file::~memory_file() { std::fclose(file_); }

long memory_file::remaining() const { return size_ - std::ftell(file_); }
