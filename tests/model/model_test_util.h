// Helpers shared by the model tests: expected messages, running a reader on
// bytes, and reading device buffers back.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/model.h"
#include "support/error_stack.h"
#include "support/model_writer.h"
#include "support/ypu_harness.h"

namespace model_test {

inline std::string message(unsigned code, const std::string &text) {
  char head[32];
  std::snprintf(head, sizeof head, "0633a7d %08X: ", code);
  return head + text;
}
inline std::string read_failed() { return message(0xca, "Failed to read parameter from file."); }
inline std::string invalid(const std::string &name) {
  return message(0x65, "Argument `" + name + "` is invalid.");
}
inline std::string host_memory() { return message(0x323, "Failed to allocate, out of memory."); }
inline std::string device_memory() { return message(0x324, "Failed to allocate, out of memory."); }
inline std::string execute_failed() { return message(0x321, "Failed to execute operator"); }
// The message before execute_failed(): which op failed, on the fake backend.
inline std::string operation_failed(const std::string &op) {
  return message(0x327, "Operation `" + op + "` on the test device failed with status RUNTIME_ERROR.");
}
inline std::string site(const std::string &code) { return site_message(code); }
inline std::string no_text(unsigned code) { return caller_message(code); }

using strings = std::vector<std::string>;

// Runs a reader over `bytes` (cut to `length` when given).
template <class T>
qz_status_t load(qz_status_t (*reader)(qz_ypu_context_t *, FILE *, T **), qz_ypu_context_t *context,
                 const std::vector<uint8_t> &bytes, T **out, size_t length = SIZE_MAX) {
  file_ptr file = open_bytes(bytes, length == SIZE_MAX ? bytes.size() : length);
  return reader(context, file.get(), out);
}

// Reads `count` values of T from a device buffer of the context's backend.
template <class T>
std::vector<T> download(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer, size_t count) {
  std::vector<T> values(count);
  EXPECT_EQ(qz_ypu_ops(context).buffer_download(context->device, buffer, values.data(), 0,
                                                static_cast<int32_t>(count * sizeof(T))),
            QZ_STATUS_SUCCESS);
  return values;
}

inline std::vector<uint8_t> bytes_of(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline void append(std::vector<uint8_t> &to, const std::vector<uint8_t> &more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Backends on which readers are exercised: the CPU one (zero-copy mapping)
// and the copy-on-map fake one (catches wrong map modes).
inline constexpr ypu_backend kReaderBackends[] = {ypu_backend::cpu, ypu_backend::fake};

// Reads the sections of a model file that the readers of this library
// cover, in file order, adding each section's site code on failure as the
// engine's creation does. The tokenizer section is not read.
inline qz_status_t read_sections(qz_ypu_context_t *context, FILE *file, qz_norvo_t *engine) {
  struct section {
    const char *site;
    std::function<qz_status_t()> read;
  };
  const section sections[] = {
      {"9a0af96", [&] { return qz_norvo_read_header(engine, file); }},
      {"611a66d", [&] { return qz_norvo_linear_load(context, file, &engine->output_linear); }},
      {"35f2ccf",
       [&] {
         qz_status_t status = qz_norvo_embedding_load(context, file, &engine->token_embedding);
         if (status == QZ_STATUS_SUCCESS)
           status = qz_norvo_embedding_load(context, file, &engine->position_embedding);
         return status;
       }},
      {"f4e18c0",
       [&] {
         return qz_norvo_encoder_load(context, file, engine->token_embedding,
                                      engine->position_embedding, &engine->encoder);
       }},
      {"de72bca",
       [&] {
         return qz_norvo_decoder_load(context, file, engine->token_embedding,
                                      engine->position_embedding, &engine->decoder);
       }},
      {"8404cd1", [&] { return qz_norvo_read_language_pair(engine, file); }},
  };
  for (const section &s : sections) {
    const qz_status_t status = s.read();
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site(s.site);
      return status;
    }
  }
  return QZ_STATUS_SUCCESS;
}

// Frees what read_sections built, in the engine's order.
inline void free_sections(qz_ypu_context_t *context, qz_norvo_t *engine) {
  qz_norvo_decoder_free(context, engine->decoder);
  qz_norvo_encoder_free(context, engine->encoder);
  qz_norvo_embedding_free(context, engine->position_embedding);
  qz_norvo_embedding_free(context, engine->token_embedding);
  qz_norvo_linear_free(context, engine->output_linear);
  *engine = qz_norvo_t{};
}

}  // namespace model_test
