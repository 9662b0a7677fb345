// Helpers shared by the tokenizer tests: loading sections from bytes,
// encoding and decoding into standard containers.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tokenizer/tokenizer.h"
#include "support/error_stack.h"
#include "support/tokenizer_writer.h"

struct tokenizer_deleter {
  void operator()(qz_norvo_tokenizer_t *t) const { qz_norvo_tokenizer_free(t); }
};
using tokenizer_ptr = std::unique_ptr<qz_norvo_tokenizer_t, tokenizer_deleter>;

struct load_result {
  qz_status_t status;
  tokenizer_ptr tokenizer;
  std::vector<std::string> errors;  // the error stack after the load
};

inline load_result load_section(const std::vector<uint8_t> &bytes, size_t length = SIZE_MAX) {
  memory_file file(bytes, length);
  qz_norvo_tokenizer_t *t = nullptr;
  const qz_status_t status = qz_norvo_tokenizer_load(file.get(), &t);
  return {status, tokenizer_ptr(t), take_error_stack()};
}

template <class Model>
tokenizer_ptr load_model(const Model &model) {
  load_result r = load_section(tokenizer_section(model));
  EXPECT_EQ(r.status, QZ_STATUS_SUCCESS) << ::testing::PrintToString(r.errors);
  return std::move(r.tokenizer);
}

struct encode_result {
  qz_status_t status;
  std::vector<uint32_t> ids;
  bool null_array;
};

inline encode_result encode_text(const qz_norvo_tokenizer_t *t, const std::string &text,
                                 bool add_start = false, bool add_end = false) {
  int32_t count = -1;
  uint32_t *ids = reinterpret_cast<uint32_t *>(1);
  const qz_status_t status =
      qz_norvo_tokenizer_encode(t, text.c_str(), add_start, add_end, &count, &ids);
  encode_result r{status, {}, ids == nullptr};
  if (status == QZ_STATUS_SUCCESS && ids) r.ids.assign(ids, ids + count);
  if (status == QZ_STATUS_SUCCESS) {
    EXPECT_EQ(count == 0, ids == nullptr);
  }
  std::free(ids);
  return r;
}

inline std::vector<uint32_t> encode(const qz_norvo_tokenizer_t *t, const std::string &text,
                                    bool add_start = false, bool add_end = false) {
  encode_result r = encode_text(t, text, add_start, add_end);
  EXPECT_EQ(r.status, QZ_STATUS_SUCCESS)
      << text << ": " << ::testing::PrintToString(take_error_stack());
  return r.ids;
}

struct decode_result {
  std::string text;
  int cut;
};

inline decode_result decode(const qz_norvo_tokenizer_t *t, const std::vector<uint32_t> &ids,
                            int32_t previous = -1) {
  int cut = -1;
  char *text = nullptr;
  const qz_status_t status = qz_norvo_tokenizer_decode(
      t, ids.data(), static_cast<int32_t>(ids.size()), previous, &cut, &text);
  EXPECT_EQ(status, QZ_STATUS_SUCCESS);
  if (!text) return {"<null>", cut};
  decode_result r{text, cut};
  std::free(text);
  return r;
}

inline std::string record_message(unsigned code) { return caller_message(code); }

constexpr uint32_t kNoId = 0xFFFFFFFFu;  // -1 as an encoded id
