// Small model files for the engine's tests and for the sample run: a piece
// tokenizer over sixteen ids, and either a network without layers whose next
// token is fixed by the previous one (so its translations are known by hand)
// or a random network with layers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/model_writer.h"
#include "support/tokenizer_writer.h"

namespace test_models {

inline constexpr int32_t kVocabulary = 16;
// Decoder ids of the header.
inline constexpr int32_t kStart = 0;
inline constexpr int32_t kEnd = 1;
// Piece ids.
inline constexpr int32_t kA = 2, kB = 3, kC = 4, kD = 5, kPartial = 6;

// The tokenizer: unknown text and the source's appended end id are both id 0,
// which the engine drops; its start id 0 makes decoding trim the first
// piece's leading spaces.
inline std::vector<uint8_t> tokenizer() {
  piece_model pieces;
  pieces.pieces = {{"<unk>", 0.0f}, {"</s>", 0.0f}, {" a", -1.0f}, {" b", -1.0f},
                   {" c", -1.0f},   {" d", -1.0f},  {"\xE2\x82", -1.0f}, {" k", -1.0f},
                   {"a", -2.0f},    {"b", -2.0f},   {" e", -1.0f}, {" f", -1.0f},
                   {" g", -1.0f},   {" h", -1.0f},  {" i", -1.0f}, {" j", -1.0f}};
  pieces.start_id = 0;
  pieces.end_id = 0;
  pieces.flags = 1;  // leading space
  pieces.mode = 0;   // best-score segmentation
  return tokenizer_section(pieces);
}

inline void set_limits(model_record &m, int32_t positions) {
  m.max_source_tokens = positions;
  m.max_output_length = positions;
  m.start_id = kStart;
  m.end_id = kEnd;
  m.dropped_id = 0;
  m.max_character_limit = 256;
  m.tokenizer = tokenizer();
}

// No layers: the decoder's output is the one-hot embedding of the last
// token, and the output projection scores `next[token]` 10 above the rest,
// so beam search follows `links` (pairs token -> next) from the start id.
inline model_record chain_model(const std::vector<std::pair<int32_t, int32_t>> &links,
                                int32_t beams = 2, int32_t positions = 12) {
  model_record m;
  set_limits(m, positions);
  m.beam_size = beams;
  const int32_t V = kVocabulary, D = kVocabulary;
  dense_weight output{V, D, std::vector<float>(size_t(V) * D, 0.0f), std::nullopt};
  for (const auto &[from, to] : links) output.values[size_t(to) * D + size_t(from)] = 10.0f;
  m.output = linear_record{output, std::vector<float>(size_t(V), 0.0f)};
  m.token.rows = V;
  m.token.cols = D;
  m.token.values.assign(size_t(V) * D, 0.0f);
  for (int32_t i = 0; i < V; ++i) m.token.values[size_t(i) * D + size_t(i)] = 1.0f;
  m.position.rows = positions;
  m.position.cols = D;
  m.position.values.assign(size_t(positions) * D, 0.0f);
  return m;
}

// "a b c": start -> a -> b -> c -> end.
inline model_record abc_model(int32_t beams = 2) {
  return chain_model({{kStart, kA}, {kA, kB}, {kB, kC}, {kC, kEnd}}, beams);
}

// A random network with one layer in each stack, the given width.
inline model_record random_network(uint32_t seed, int32_t dim = 16, int32_t hidden = 32,
                                   int32_t positions = 12, int32_t beams = 2) {
  std::mt19937 rng(seed);
  model_shape shape;
  shape.dim = dim;
  shape.heads = 2;
  shape.hidden = hidden;
  shape.vocab = kVocabulary;
  shape.positions = positions;
  model_record m = random_model(rng, shape);
  set_limits(m, positions);
  m.beam_size = beams;
  return m;
}

// Writes the bytes to `path`; false when the file cannot be written.
inline bool save(const std::vector<uint8_t> &bytes, const std::string &path) {
  FILE *file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace test_models
