// A plain double-precision rebuild of the translation network from a
// model_record: post-norm encoder and decoder layers, SiLU feed-forward,
// multi-head attention, scaled token rows plus position rows, and decoder
// key/value caches that hold rows as uint8 codes with one {slope, intercept}
// per row, dropping the oldest row once full.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "support/model_writer.h"

using dvec = std::vector<double>;

namespace reference {

// y = x W^T + b for n rows of x; low-bit weights use their dequantised
// matrix and add their offset row.
dvec linear(const linear_record &linear, const dvec &x, int64_t n);
dvec layer_norm(const norm_record &norm, const dvec &x, int64_t rows);
dvec silu(dvec x);
// Softmax attention of B sequences: Q query rows and K key/value rows each,
// heads interleaved inside a row ([row][head][head_dim]).
dvec attend(const dvec &q, const dvec &k, const dvec &v, int64_t batch, int64_t query_rows,
            int64_t kv_rows, int32_t heads, int32_t dim);
// A row as the uint8 cache gives it back: min/max affine codes, rounded half
// away from zero.
dvec quantize_row(const dvec &row);

// One sequence's cached rows of one attention.
struct cache_rows {
  std::deque<dvec> keys, values;
};

class network {
 public:
  explicit network(const model_record &model);

  // Token row x scale + position row (position_offset + i), rows per sequence.
  dvec embed(const std::vector<uint32_t> &ids, int32_t position_offset, float scale,
             int32_t sequences, int32_t positions) const;

  dvec encoder_layer(const encoder_layer_record &layer, dvec x, int64_t length) const;
  dvec encode(const std::vector<uint32_t> &ids) const;

  // One decoder step for every sequence (one id each) at `position`;
  // `encoder_output` holds `encoder_length` rows per sequence.
  dvec decode_step(const std::vector<uint32_t> &ids, const dvec &encoder_output,
                   int64_t encoder_length, int32_t position);
  // Sequence i continues old sequence parents[i], in every cache.
  void reorder(const std::vector<int32_t> &parents);
  void reset();

  // Decoder layer `index` alone, one new row per sequence, through its caches.
  dvec decoder_layer(size_t index, dvec x, const dvec &encoder_output, int64_t sequences,
                     int64_t encoder_length);

  // Rows kept per sequence by layer `layer`'s self cache.
  size_t self_cache_length(size_t layer) const;

 private:
  const model_record &model_;
  dvec token_, position_;
  // [layer][sequence]
  std::vector<std::vector<cache_rows>> self_, cross_;
};

}  // namespace reference
