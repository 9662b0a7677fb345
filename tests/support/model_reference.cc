#include "support/model_reference.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace reference {

namespace {

// The weight as a row-major [output][input] matrix, and the row added to
// every output besides the bias.
void weight_matrix(const linear_record &linear, dvec &w, dvec &extra) {
  const int32_t rows = linear.rows();
  extra.assign(rows, 0.0);
  if (auto *dense = std::get_if<dense_weight>(&linear.weight)) {
    w.assign(dense->values.begin(), dense->values.end());
  } else if (auto *lowbit = std::get_if<lowbit_record>(&linear.weight)) {
    const std::vector<float> matrix = lowbit->dequantized(), offset = lowbit->offset_row();
    w.assign(matrix.begin(), matrix.end());
    extra.assign(offset.begin(), offset.end());
  } else {
    throw std::invalid_argument("a convolution kernel is no linear weight");
  }
}

dvec rows_of(const dvec &x, int64_t first, int64_t count, int64_t width) {
  return dvec(x.begin() + first * width, x.begin() + (first + count) * width);
}

void add_to(dvec &x, const dvec &y) {
  for (size_t i = 0; i < x.size(); ++i) x[i] += y[i];
}

}  // namespace

dvec linear(const linear_record &linear, const dvec &x, int64_t n) {
  dvec w, extra;
  weight_matrix(linear, w, extra);
  const int64_t rows = linear.rows(), cols = linear.cols();
  dvec y(n * rows);
  for (int64_t t = 0; t < n; ++t) {
    for (int64_t o = 0; o < rows; ++o) {
      double sum = 0.0;
      for (int64_t k = 0; k < cols; ++k) sum += x[t * cols + k] * w[o * cols + k];
      y[t * rows + o] = sum + extra[o] + linear.bias[o];
    }
  }
  return y;
}

dvec layer_norm(const norm_record &norm, const dvec &x, int64_t rows) {
  const int64_t cols = int64_t(norm.gamma.size());
  dvec y(x.size());
  for (int64_t r = 0; r < rows; ++r) {
    double mean = 0.0, variance = 0.0;
    for (int64_t c = 0; c < cols; ++c) mean += x[r * cols + c];
    mean /= double(cols);
    for (int64_t c = 0; c < cols; ++c)
      variance += (x[r * cols + c] - mean) * (x[r * cols + c] - mean);
    variance /= double(cols);
    const double k = 1.0 / std::sqrt(variance + 1e-5);
    for (int64_t c = 0; c < cols; ++c)
      y[r * cols + c] = (x[r * cols + c] - mean) * k * norm.gamma[c] + norm.beta[c];
  }
  return y;
}

dvec silu(dvec x) {
  for (double &v : x) v = v / (1.0 + std::exp(-v));
  return x;
}

dvec attend(const dvec &q, const dvec &k, const dvec &v, int64_t batch, int64_t query_rows,
            int64_t kv_rows, int32_t heads, int32_t dim) {
  const int64_t head_dim = dim / heads;
  const double scale = 1.0 / std::sqrt(double(head_dim));
  dvec out(batch * query_rows * dim, 0.0);
  dvec weights(kv_rows);
  for (int64_t b = 0; b < batch; ++b) {
    for (int64_t h = 0; h < heads; ++h) {
      for (int64_t i = 0; i < query_rows; ++i) {
        const double *query = &q[((b * query_rows + i) * dim) + h * head_dim];
        double top = -INFINITY;
        for (int64_t j = 0; j < kv_rows; ++j) {
          const double *key = &k[((b * kv_rows + j) * dim) + h * head_dim];
          double dot = 0.0;
          for (int64_t d = 0; d < head_dim; ++d) dot += query[d] * key[d];
          weights[j] = dot * scale;
          top = std::max(top, weights[j]);
        }
        double sum = 0.0;
        for (double &w : weights) sum += (w = std::exp(w - top));
        double *row = &out[((b * query_rows + i) * dim) + h * head_dim];
        for (int64_t j = 0; j < kv_rows; ++j) {
          const double *value = &v[((b * kv_rows + j) * dim) + h * head_dim];
          for (int64_t d = 0; d < head_dim; ++d) row[d] += weights[j] / sum * value[d];
        }
      }
    }
  }
  return out;
}

dvec quantize_row(const dvec &row) {
  const auto [lo, hi] = std::minmax_element(row.begin(), row.end());
  const double slope = (*hi - *lo) / 255.0;
  dvec out(row.size(), *lo);
  if (slope == 0.0) return out;
  for (size_t i = 0; i < row.size(); ++i) out[i] = std::round((row[i] - *lo) / slope) * slope + *lo;
  return out;
}

// ---------------------------------------------------------------------------

network::network(const model_record &model)
    : model_(model), self_(model.decoder.size()), cross_(model.decoder.size()) {
  const std::vector<float> token = model.token.dequantized(),
                           position = model.position.dequantized();
  token_.assign(token.begin(), token.end());
  position_.assign(position.begin(), position.end());
}

dvec network::embed(const std::vector<uint32_t> &ids, int32_t position_offset, float scale,
                    int32_t sequences, int32_t positions) const {
  const int64_t width = model_.token.cols;
  dvec x(int64_t(sequences) * positions * width);
  for (int64_t s = 0; s < sequences; ++s) {
    for (int64_t i = 0; i < positions; ++i) {
      const int64_t j = s * positions + i, id = ids.at(j), place = position_offset + i;
      for (int64_t c = 0; c < width; ++c)
        x[j * width + c] =
            token_.at(id * width + c) * double(scale) + position_.at(place * width + c);
    }
  }
  return x;
}

dvec network::encoder_layer(const encoder_layer_record &layer, dvec x, int64_t length) const {
  const attention_record &a = layer.attention;
  const dvec q = linear(a.query, x, length), k = linear(a.key, x, length),
             v = linear(a.value, x, length);
  dvec t = linear(a.output, attend(q, k, v, 1, length, length, a.heads, a.dim), length);
  add_to(t, x);
  x = layer_norm(layer.attention_norm, t, length);
  t = linear(layer.ffn_out, silu(linear(layer.ffn_in, x, length)), length);
  add_to(t, x);
  return layer_norm(layer.ffn_norm, t, length);
}

dvec network::encode(const std::vector<uint32_t> &ids) const {
  const int64_t length = int64_t(ids.size());
  dvec x = embed(ids, 0, model_.encoder_scale, 1, int32_t(length));
  for (const encoder_layer_record &layer : model_.encoder)
    x = encoder_layer(layer, std::move(x), length);
  return x;
}

dvec network::decoder_layer(size_t index, dvec x, const dvec &encoder_output, int64_t sequences,
                            int64_t encoder_length) {
  const decoder_layer_record &layer = model_.decoder[index];
  const int64_t width = model_.token.cols;
  const size_t capacity = size_t(model_.position.rows);
  std::vector<cache_rows> &self = self_[index], &cross = cross_[index];
  self.resize(sequences);
  cross.resize(sequences);

  // Self-attention over the cached rows, the new one included.
  const attention_record &sa = layer.self_attention;
  const dvec q = linear(sa.query, x, sequences), k = linear(sa.key, x, sequences),
             v = linear(sa.value, x, sequences);
  dvec attended;
  for (int64_t s = 0; s < sequences; ++s) {
    cache_rows &rows = self[s];
    rows.keys.push_back(quantize_row(rows_of(k, s, 1, width)));
    rows.values.push_back(quantize_row(rows_of(v, s, 1, width)));
    if (rows.keys.size() > capacity) {
      rows.keys.pop_front();
      rows.values.pop_front();
    }
    dvec keys, values;
    for (size_t j = 0; j < rows.keys.size(); ++j) {
      keys.insert(keys.end(), rows.keys[j].begin(), rows.keys[j].end());
      values.insert(values.end(), rows.values[j].begin(), rows.values[j].end());
    }
    const dvec out = attend(rows_of(q, s, 1, width), keys, values, 1, 1, int64_t(rows.keys.size()),
                            sa.heads, sa.dim);
    attended.insert(attended.end(), out.begin(), out.end());
  }
  dvec t = linear(sa.output, attended, sequences);
  add_to(t, x);
  x = layer_norm(layer.self_attention_norm, t, sequences);

  // Cross-attention: the encoder's rows are projected and cached once.
  const attention_record &ca = layer.cross_attention;
  const dvec cq = linear(ca.query, x, sequences);
  attended.clear();
  for (int64_t s = 0; s < sequences; ++s) {
    cache_rows &rows = cross[s];
    if (rows.keys.empty()) {
      const dvec source = rows_of(encoder_output, s * encoder_length, encoder_length, width);
      const dvec ck = linear(ca.key, source, encoder_length),
                 cv = linear(ca.value, source, encoder_length);
      for (int64_t j = 0; j < encoder_length; ++j) {
        rows.keys.push_back(quantize_row(rows_of(ck, j, 1, width)));
        rows.values.push_back(quantize_row(rows_of(cv, j, 1, width)));
      }
    }
    dvec keys, values;
    for (size_t j = 0; j < rows.keys.size(); ++j) {
      keys.insert(keys.end(), rows.keys[j].begin(), rows.keys[j].end());
      values.insert(values.end(), rows.values[j].begin(), rows.values[j].end());
    }
    const dvec out = attend(rows_of(cq, s, 1, width), keys, values, 1, 1, int64_t(rows.keys.size()),
                            ca.heads, ca.dim);
    attended.insert(attended.end(), out.begin(), out.end());
  }
  t = linear(ca.output, attended, sequences);
  add_to(t, x);
  x = layer_norm(layer.cross_attention_norm, t, sequences);

  t = linear(layer.ffn_out, silu(linear(layer.ffn_in, x, sequences)), sequences);
  add_to(t, x);
  return layer_norm(layer.ffn_norm, t, sequences);
}

dvec network::decode_step(const std::vector<uint32_t> &ids, const dvec &encoder_output,
                          int64_t encoder_length, int32_t position) {
  const int32_t sequences = int32_t(ids.size());
  dvec x = embed(ids, position, model_.decoder_scale, sequences, 1);
  for (size_t i = 0; i < model_.decoder.size(); ++i)
    x = decoder_layer(i, std::move(x), encoder_output, sequences, encoder_length);
  return x;
}

void network::reorder(const std::vector<int32_t> &parents) {
  for (auto *caches : {&self_, &cross_}) {
    for (std::vector<cache_rows> &layer : *caches) {
      std::vector<cache_rows> reordered;
      for (int32_t p : parents) reordered.push_back(layer.at(p));
      layer = std::move(reordered);
    }
  }
}

void network::reset() {
  for (auto *caches : {&self_, &cross_})
    for (std::vector<cache_rows> &layer : *caches) layer.clear();
}

size_t network::self_cache_length(size_t layer) const {
  return self_.at(layer).empty() ? 0 : self_[layer][0].keys.size();
}

}  // namespace reference
