// Parameter records of every operation: the single definition that the host
// implementations and every backend's entries read. A record holds buffer
// handles (outputs first), then sizes and scalars, then one byte offset per
// buffer operand. Records never own their buffers.
#pragma once

#include <cstdint>

#include "ypu/ypu.h"

// ---------------------------------------------------------------------------
// Element-wise layouts shared by many operations.

struct qz_ypu_two_input_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *a;
  qz_ypu_buffer_t *b;
  int32_t count;
  int32_t out_offset;
  int32_t a_offset;
  int32_t b_offset;
};

struct qz_ypu_unary_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t count;
  int32_t out_offset;
  int32_t in_offset;
};

struct qz_ypu_scalar_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  float scalar;
  int32_t count;
  int32_t out_offset;
  int32_t in_offset;
};

struct qz_ypu_broadcast_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *a;  // rows x cols
  qz_ypu_buffer_t *v;  // the broadcast row or column
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t a_offset;
  int32_t v_offset;
};

struct qz_ypu_matrix_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;  // rows x cols
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
};


// ---------------------------------------------------------------------------
// Element-wise arithmetic, conversions and reductions.

using qz_ypu_add_f32_params_t = qz_ypu_two_input_params_t;
using qz_ypu_add_sat_i16_params_t = qz_ypu_two_input_params_t;
using qz_ypu_add_row_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_add_col_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_add_scalar_f32_params_t = qz_ypu_scalar_params_t;
using qz_ypu_convert_i32_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_convert_i16_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_div_f32_params_t = qz_ypu_two_input_params_t;
using qz_ypu_div_row_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_scalar_div_f32_params_t = qz_ypu_scalar_params_t;
using qz_ypu_exp_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_log_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_mean_rows_f32_params_t = qz_ypu_matrix_params_t;
using qz_ypu_mul_f32_params_t = qz_ypu_two_input_params_t;
using qz_ypu_mul_row_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_fma_row_f32_params_t = qz_ypu_broadcast_params_t;  // out is read and written
using qz_ypu_mul_col_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_mul_scalar_f32_params_t = qz_ypu_scalar_params_t;
using qz_ypu_relu_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_relu_i16_params_t = qz_ypu_unary_params_t;
using qz_ypu_sub_f32_params_t = qz_ypu_two_input_params_t;
using qz_ypu_sub_row_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_sub_col_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_rsub_scalar_f32_params_t = qz_ypu_scalar_params_t;
using qz_ypu_sum_rows_i16_params_t = qz_ypu_matrix_params_t;  // int16 in, float out

// Every row of `row_length` 32-bit elements reversed in place.
struct qz_ypu_reverse_rows_params_t {
  qz_ypu_buffer_t *data;
  int32_t rows;
  int32_t row_length;  // elements
  int32_t offset;      // bytes
};

// out = sat16((in x scale + (truncate ? 0 : 512)) >> 10), all int16.
struct qz_ypu_scale_bias_i16_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int16_t scale;
  uint32_t truncate;  // 0: round to nearest; non-zero: plain shift
  int32_t count;
  int32_t out_offset;
  int32_t in_offset;
};

// ---------------------------------------------------------------------------
// Normalisation, activations and softmax.

// Float activations: float in, float out.
using qz_ypu_gelu_tanh_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_gelu_sigmoid_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_gelu_erf_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_silu_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_sigmoid_table_f32_params_t = qz_ypu_unary_params_t;
using qz_ypu_tanh_table_f32_params_t = qz_ypu_unary_params_t;
// Fixed-point activations: int16 Q10 in, int16 out (Q15, or Q10 for op 76).
using qz_ypu_sigmoid_i16_params_t = qz_ypu_unary_params_t;
using qz_ypu_sigmoid_q10_i16_params_t = qz_ypu_unary_params_t;

// Row softmax; `cols` is the row length. Op 79 reads int16 Q10 and writes
// int32 Q31 probabilities.
using qz_ypu_softmax_f32_params_t = qz_ypu_matrix_params_t;
using qz_ypu_softmax_fixed_i16_params_t = qz_ypu_matrix_params_t;

// Layer normalisation of rows, with per-column scale and shift.
struct qz_ypu_layer_norm_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;     // rows x cols
  qz_ypu_buffer_t *gamma;  // cols
  qz_ypu_buffer_t *beta;   // cols
  float epsilon;
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
  int32_t gamma_offset;
  int32_t beta_offset;
};

// Layer normalisation of rows without scale and shift (one-pass variance).
struct qz_ypu_layer_norm_plain_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;  // rows x cols
  float epsilon;
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
};

// Layer normalisation down the columns of `batch` blocks of length x cols;
// scale and shift are indexed by the position along the normalised axis.
struct qz_ypu_layer_norm_columns_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  qz_ypu_buffer_t *gamma;  // length
  qz_ypu_buffer_t *beta;   // length
  float epsilon;
  int32_t batch;
  int32_t length;  // the normalised axis
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
  int32_t gamma_offset;
  int32_t beta_offset;
};

// Column normalisation of one length x cols float block to int16 Q10.
struct qz_ypu_group_norm_f32_params_t {
  qz_ypu_buffer_t *out;  // int16, length x cols
  qz_ypu_buffer_t *in;   // float, length x cols
  float epsilon;
  int32_t length;  // rows, the normalised axis
  int32_t cols;
};

// Root-mean-square normalisation of rows with a per-column scale.
struct qz_ypu_rms_norm_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;     // rows x cols
  qz_ypu_buffer_t *gamma;  // cols
  float epsilon;
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
  int32_t gamma_offset;
};

// Gaussian-weighted average of `values` rows over a window around each
// output row's anchor.
struct qz_ypu_gaussian_weights_f32_params_t {
  qz_ypu_buffer_t *out;      // float, rows x channels
  qz_ypu_buffer_t *values;   // float, positions x channels
  qz_ypu_buffer_t *widths;   // float per position
  qz_ypu_buffer_t *centres;  // float per position
  qz_ypu_buffer_t *anchors;  // int32 per output row
  int32_t rows;
  int32_t positions;
  int32_t channels;
  int32_t after;   // positions taken after the anchor
  int32_t before;  // positions taken before the anchor
};


// ---------------------------------------------------------------------------
// Attention primitives and key/value caches.
//
// Shapes are listed slowest dimension first. Grouped heads: query head h reads
// key/value head h / (num_heads / num_kv_heads). These records carry no byte
// offsets, except op 56's xf_offset.

// Ops 5 (uint8 codes) and 6 (uint16 codes): new rows attending over a ring cache.
struct qz_ypu_attention_kv_params_t {
  qz_ypu_buffer_t *output;            // float, num_queries x num_heads x head_dimension
  qz_ypu_buffer_t *query;             // float, num_heads x num_queries x head_dimension
  qz_ypu_buffer_t *keys;              // codes, num_kv_heads x window_length x head_dimension
  qz_ypu_buffer_t *key_intercepts;    // float, num_kv_heads x window_length
  qz_ypu_buffer_t *key_slopes;        // float, num_kv_heads x window_length
  qz_ypu_buffer_t *values;            // codes, like keys
  qz_ypu_buffer_t *value_intercepts;  // float, like key_intercepts
  qz_ypu_buffer_t *value_slopes;      // float, like key_slopes
  int32_t num_queries;
  int32_t window_length;
  int32_t position;  // sequence position of the first new row
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dimension;
};
using qz_ypu_attention_kv_u8_params_t = qz_ypu_attention_kv_params_t;
using qz_ypu_attention_kv_u16_params_t = qz_ypu_attention_kv_params_t;

// Ops 90 (uint8 codes) and 91 (uint16 codes): rows quantised into ring caches.
struct qz_ypu_quantize_rows_ring_params_t {
  qz_ypu_buffer_t *xq;         // codes, m x window x k
  qz_ypu_buffer_t *slope;      // float, m x window
  qz_ypu_buffer_t *intercept;  // float, m x window
  qz_ypu_buffer_t *xf;         // float input, n x m x k
  int32_t m;                   // rings (key/value heads)
  int32_t n;                   // new rows
  int32_t k;                   // row length
  int32_t position;            // sequence position of the first new row
  int32_t window;
};
using qz_ypu_quantize_rows_ring_u8_params_t = qz_ypu_quantize_rows_ring_params_t;
using qz_ypu_quantize_rows_ring_u16_params_t = qz_ypu_quantize_rows_ring_params_t;

// Op 56: rows quantised into a linear cache, one {slope, intercept} per row.
struct qz_ypu_quantize_rows_u8_params_t {
  qz_ypu_buffer_t *xq;  // uint8 codes, m x max_length x k
  qz_ypu_buffer_t *xm;  // float pairs {slope, intercept}, m x max_length
  qz_ypu_buffer_t *xf;  // float input, m x n x k (from xf_offset)
  int32_t max_length;
  int32_t position;
  int32_t m;
  int32_t n;
  int32_t k;
  int32_t xf_offset;  // bytes
};

// Op 31: output row i = input row index[i], rows of n bytes.
struct qz_ypu_gather_rows_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *input;
  qz_ypu_buffer_t *index;  // int32, m entries
  int32_t m;
  int32_t n;  // bytes per row
};

// Op 43: every row's bytes move shift_bytes to the left, in place.
struct qz_ypu_shift_rows_left_params_t {
  qz_ypu_buffer_t *data;
  int32_t rows;
  int32_t row_bytes;
  int32_t shift_bytes;
};

// Op 57: blocks of rows gathered backwards in time, source rows clamped.
struct qz_ypu_gather_clamped_params_t {
  qz_ypu_buffer_t *output;  // 32-bit words, block_count x block_rows x row_words
  qz_ypu_buffer_t *input;   // 32-bit words, source_rows x row_words
  int32_t block_count;
  int32_t block_rows;
  int32_t row_words;
  int32_t source_rows;
};

// Op 62: x[o][r][c] = (row_bias[o][r] + col_bias[o][c]) + x[o][r][c].
struct qz_ypu_add_bias_2d_f32_params_t {
  qz_ypu_buffer_t *x;         // float, outer x rows x cols, in place
  qz_ypu_buffer_t *row_bias;  // float, outer x rows
  qz_ypu_buffer_t *col_bias;  // float, outer x cols
  int32_t outer;
  int32_t rows;
  int32_t cols;
};

// Op 66: entries outside each row's window {start, end} become -infinity.
struct qz_ypu_mask_window_f32_params_t {
  qz_ypu_buffer_t *scores;        // float, batches x n x k, in place
  qz_ypu_buffer_t *mask_indices;  // int32 pairs {start, end}, n pairs
  int32_t batches;
  int32_t n;
  int32_t k;
};

// Op 65: blocked online-softmax attention.
struct qz_ypu_attention_blocked_f32_params_t {
  qz_ypu_buffer_t *output;  // float, batch_size x query_size x num_heads x head_dim
  qz_ypu_buffer_t *query;   // same shape as output
  qz_ypu_buffer_t *key;     // float, batch_size x key_value_size x num_kv_heads x head_dim
  qz_ypu_buffer_t *value;   // same shape as key
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// Op 71: scores = query . key^T / sqrt(head_dim).
struct qz_ypu_attention_scores_f32_params_t {
  qz_ypu_buffer_t *scores;  // float, batch_size x num_heads x query_size x key_value_size
  qz_ypu_buffer_t *query;   // float, batch_size x query_size x num_heads x head_dim
  qz_ypu_buffer_t *key;     // float, batch_size x key_value_size x num_kv_heads x head_dim
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// Op 69: output = weights . value.
struct qz_ypu_attention_values_f32_params_t {
  qz_ypu_buffer_t *output;  // float, batch_size x query_size x num_heads x head_dim
  qz_ypu_buffer_t *scores;  // weights, float, batch_size x num_heads x query_size x key_value_size
  qz_ypu_buffer_t *value;   // float, batch_size x key_value_size x num_kv_heads x head_dim
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// Op 72: scores over a uint8 linear key cache.
struct qz_ypu_attention_scores_cache_u8_params_t {
  qz_ypu_buffer_t *scores;     // as op 71
  qz_ypu_buffer_t *query;      // as op 71
  qz_ypu_buffer_t *key;        // uint8, batch_size x max_key_value_size x num_kv_heads x head_dim
  qz_ypu_buffer_t *key_metas;  // float pairs {slope, intercept}, batch_size x max_key_value_size
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t max_key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// Op 70: weighted sum over a uint8 linear value cache.
struct qz_ypu_attention_values_cache_u8_params_t {
  qz_ypu_buffer_t *output;       // as op 69
  qz_ypu_buffer_t *scores;       // weights, as op 69
  qz_ypu_buffer_t *value;        // uint8, like op 72's key
  qz_ypu_buffer_t *value_metas;  // like op 72's key_metas
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t max_key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// ---------------------------------------------------------------------------
// Composite attention.
//
// B x Q x H x D float queries and outputs, B x K x G x D float keys and values,
// uint8 caches B x M x G x D with one {slope, intercept} per (entry, position).

// Op 61. Its first ten fields are those of op 65's record.
struct qz_ypu_attention_f32_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *query;
  qz_ypu_buffer_t *key;
  qz_ypu_buffer_t *value;
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
  int32_t quantize;  // non-zero: keys and values go through uint8 caches first
};

// Op 63: each score row is a key_rows x key_cols grid (key_rows x key_cols
// must equal key_value_size) that gets row_bias[r] + col_bias[c].
struct qz_ypu_attention_bias_f32_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *query;
  qz_ypu_buffer_t *key;
  qz_ypu_buffer_t *value;
  qz_ypu_buffer_t *row_bias;  // float, B x H x Q rows of key_rows values
  qz_ypu_buffer_t *col_bias;  // float, B x H x Q rows of key_cols values
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
  int32_t key_rows;
  int32_t key_cols;
  int32_t quantize;
};

// Op 67: one key window {start, end} per query position.
struct qz_ypu_attention_window_f32_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *query;
  qz_ypu_buffer_t *key;
  qz_ypu_buffer_t *value;
  qz_ypu_buffer_t *mask_indices;  // int32 pairs, query_size of them
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
  int32_t quantize;
};

// Op 73: attention over uint8 linear caches.
struct qz_ypu_attention_cache_u8_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *query;
  qz_ypu_buffer_t *key;
  qz_ypu_buffer_t *key_metas;
  qz_ypu_buffer_t *value;
  qz_ypu_buffer_t *value_metas;
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t max_key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// Op 64: op 73 with op 63's two-way bias.
struct qz_ypu_attention_bias_cache_u8_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *query;
  qz_ypu_buffer_t *key;
  qz_ypu_buffer_t *key_metas;
  qz_ypu_buffer_t *value;
  qz_ypu_buffer_t *value_metas;
  qz_ypu_buffer_t *row_bias;
  qz_ypu_buffer_t *col_bias;
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t max_key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
  int32_t key_rows;
  int32_t key_cols;
};

// Op 68: op 73 with op 67's key windows.
struct qz_ypu_attention_window_cache_u8_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *query;
  qz_ypu_buffer_t *key;
  qz_ypu_buffer_t *key_metas;
  qz_ypu_buffer_t *value;
  qz_ypu_buffer_t *value_metas;
  qz_ypu_buffer_t *mask_indices;
  int32_t batch_size;
  int32_t query_size;
  int32_t key_value_size;
  int32_t max_key_value_size;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
};

// ---------------------------------------------------------------------------
// Fixed-point convolution, linear, LSTM and quantisation.

// Depthwise 1-D convolution added into int32 (op 10).
struct qz_ypu_dwconv1d_acc_i8i16_params_t {
  qz_ypu_buffer_t *out;      // int32, rows x channels, read and written
  qz_ypu_buffer_t *weights;  // int8, taps x channels
  qz_ypu_buffer_t *in;       // int16, (rows + taps - 1) x channels
  int32_t rows;
  int32_t channels;
  int32_t taps;
  int32_t out_offset;
  int32_t weights_offset;
  int32_t in_offset;
};

// 1-D convolution into int32 (op 11).
struct qz_ypu_conv1d_i8i16_params_t {
  qz_ypu_buffer_t *out;      // int32, rows x out_channels
  qz_ypu_buffer_t *weights;  // int8, out_channels x taps x in_channels
  qz_ypu_buffer_t *in;       // int16, (rows + taps - 1) x in_channels
  int32_t rows;
  int32_t out_channels;
  int32_t in_channels;
  int32_t taps;
  int32_t out_offset;
  int32_t weights_offset;
  int32_t in_offset;
};

// Depthwise transposed 1-D convolution added into int32 (op 12).
struct qz_ypu_dwconv1d_transposed_i8i16_params_t {
  qz_ypu_buffer_t *out;      // int32, ((rows - 1) x stride + taps) x channels
  qz_ypu_buffer_t *weights;  // int8, taps x channels
  qz_ypu_buffer_t *in;       // int16, rows x channels
  int32_t rows;              // input rows
  int32_t channels;
  int32_t taps;
  int32_t stride;
  int32_t out_offset;
  int32_t weights_offset;
  int32_t in_offset;
};

// int8 x int16 linear layer (ops 19 and 20). The weights and the bias start
// at the beginning of their buffers.
struct qz_ypu_linear_i8i16_params_t {
  qz_ypu_buffer_t *out;      // int16, rows x out_features
  qz_ypu_buffer_t *in;       // int16, rows x in_features
  qz_ypu_buffer_t *weights;  // int8, out_features x in_features
  qz_ypu_buffer_t *bias;     // int8, out_features
  int32_t rows;
  int32_t out_features;
  int32_t in_features;
  int32_t out_offset;
  int32_t in_offset;
};
using qz_ypu_linear_acc_i8i16_params_t = qz_ypu_linear_i8i16_params_t;

// LSTM cell with coupled input and forget gates (op 39).
struct qz_ypu_lstm_cell_i16_params_t {
  qz_ypu_buffer_t *out;    // int16 Q10, hidden values
  qz_ypu_buffer_t *state;  // int16 Q10 cell state, hidden values, read and written
  qz_ypu_buffer_t *gates;  // int16 Q10 input gate, candidate, output gate; used as scratch
  int32_t hidden;
  int32_t out_offset;
  int32_t state_offset;
  int32_t gates_offset;
};

// Per-row quantisation of floats into int16 (op 55).
struct qz_ypu_quantize_rows_i16_params_t {
  qz_ypu_buffer_t *out;      // int16, rows x cols
  qz_ypu_buffer_t *factors;  // float, one per row
  qz_ypu_buffer_t *in;       // float, rows x cols
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t factors_offset;
  int32_t in_offset;
};

// Per-column affine map of int16 values (op 81). The offsets and scales
// start at the beginning of their buffers.
struct qz_ypu_affine_columns_i16_params_t {
  qz_ypu_buffer_t *out;      // int16, rows x cols
  qz_ypu_buffer_t *in;       // int16, rows x cols
  qz_ypu_buffer_t *offsets;  // int16, one per column
  qz_ypu_buffer_t *scales;   // int16 Q10, one per column
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
};


// ---------------------------------------------------------------------------
// Resizes, 2-D convolution, matrix products and spectrum.

// Channel-last images, [height][width][channels], one image per call; the
// bicubic resize uses half-pixel centres, the bilinear one aligned corners.
struct qz_ypu_resize_bicubic_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t out_height;
  int32_t out_width;
  int32_t in_height;
  int32_t in_width;
  int32_t channels;
};

struct qz_ypu_resize_bilinear_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t out_height;
  int32_t out_width;
  int32_t in_height;
  int32_t in_width;
  int32_t channels;
};

// [length][channels], half-pixel centres.
struct qz_ypu_resize_linear_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t out_length;
  int32_t in_length;
  int32_t channels;
};

// in [batch][in_channels][in_height][in_width], weights
// [out_channels][in_channels][kernel_height][kernel_width], out
// [batch][out_channels][out_height][out_width]; zero padding, no bias.
struct qz_ypu_conv2d_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  qz_ypu_buffer_t *weights;
  int32_t stride;
  int32_t pad;
  int32_t batch;
  int32_t out_channels;
  int32_t in_channels;
  int32_t in_height;
  int32_t in_width;
  int32_t kernel_height;
  int32_t kernel_width;
};

// out[batch][heads][rows][cols] = a[batch][heads][rows][depth] . b[s][cols][depth],
// with s the head when b_per_head is non-zero and the row otherwise.
struct qz_ypu_matmul_nt_batched_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *a;
  qz_ypu_buffer_t *b;
  uint32_t b_per_head;
  int32_t batch;
  int32_t heads;
  int32_t rows;
  int32_t cols;
  int32_t depth;
};

// out[m][n] = a[m][k] . b[n][k] (the right operand is stored transposed).
struct qz_ypu_matmul_nt_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *a;
  qz_ypu_buffer_t *b;
  int32_t m;
  int32_t n;
  int32_t k;
  int32_t out_offset;
  int32_t a_offset;
  int32_t b_offset;
};

// Frames of n + 2 floats: n/2 + 1 log-magnitudes then n/2 + 1 phases in,
// n/2 + 1 interleaved complex values out (rows = frames, cols = n).
using qz_ypu_polar_spectrum_f32_params_t = qz_ypu_matrix_params_t;

// ---------------------------------------------------------------------------
// Low-bit linear and repack.

// Op 93: out[i][m] = Σ_k W[m][k] · in[i][k] for a low-bit weight W of 16·R
// rows and 8·G columns (see ypu/lowbit.h). perm, scales and tiles are read
// from their buffers' starts.
struct qz_ypu_linear_lowbit_params_t {
  qz_ypu_buffer_t *out;     // float, n rows of 16·R
  qz_ypu_buffer_t *in;      // float, n rows of 8·G, input order
  qz_ypu_buffer_t *perm;    // int32 × 8·G: stored column → input element
  qz_ypu_buffer_t *scales;  // R·G {offset, scale} pairs of qz_scale16_t
  qz_ypu_buffer_t *tiles;   // canonical, or re-laid by op 94 on the same backend
  int32_t n;
  int32_t row_blocks;
  int32_t width_counts[8];  // groups of width 1 .. 8
  int32_t out_offset;
  int32_t in_offset;
};

// Op 94: re-lays every tile in place for the backend's kernels.
struct qz_ypu_repack_lowbit_params_t {
  qz_ypu_buffer_t *tiles;
  int32_t row_blocks;
  int32_t width_counts[8];
};


// ---------------------------------------------------------------------------
// Rotary position tables, rotary embedding and embedding lookup.
// A rotary table row holds interleaved (cos, sin) pairs.

// Op 7: rotates the head rows of data [batch][positions][heads][head_dim] in
// place by table row position_offset + p. adjacent: pairs (2q, 2q+1);
// otherwise pairs (l, l + table_stride/2) for l < table_stride/2.
struct qz_ypu_rope_apply_table_f32_params_t {
  qz_ypu_buffer_t *data;
  qz_ypu_buffer_t *table;
  int32_t batch;
  int32_t positions;
  int32_t heads;
  int32_t head_dim;
  int32_t table_stride;  // floats per table row
  int32_t position_offset;
  int32_t adjacent;
};

// Op 22: out[b][t] = scale · table[ids[b][t]] + add[start + t], rows of width.
struct qz_ypu_embedding_scale_add_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *ids;  // int32 [batch][tokens]
  qz_ypu_buffer_t *table;
  qz_ypu_buffer_t *add;
  float scale;
  int32_t start;
  int32_t batch;
  int32_t tokens;
  int32_t width;
};

// Op 32: one table row per token from three position values per token.
struct qz_ypu_rope_table_3axis_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *positions;  // int32, three per token
  int32_t limit1;
  int32_t limit2;
  float base;
  int32_t tokens;
  int32_t width;  // floats per table row
  int32_t out_offset;
};

// Op 53: one table row per token, angles divided by a factor per pair.
struct qz_ypu_rope_table_scaled_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *factors;  // float, one per pair
  float base;
  float magnitude;
  int32_t tokens;
  int32_t width;  // floats per table row
  int32_t out_offset;
  int32_t factors_offset;
};

// Op 60: half-split rotary embedding with exponentially spaced frequencies
// over [batch][positions][heads][head_dim].
struct qz_ypu_rope_expfreq_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t batch;
  int32_t positions;
  int32_t heads;
  int32_t head_dim;
  int32_t start;
  float log_step;
};

// Op 92: half-split rotary embedding over [tokens][heads][head_dim] with a
// row and a column position from the token's place in its windows.
struct qz_ypu_rope2d_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t tokens;
  int32_t heads;
  int32_t head_dim;
  float base;
  int32_t window;
  int32_t window_rows;
  int32_t window_cols;
};


// ---------------------------------------------------------------------------
// Top-k, sorting, copies, fills and transposes.

// The k largest values of every row of `in` (rows x cols), in descending
// order, with their column indices; op 25 also replaces the kept values by
// their softmax. Requires k <= cols.
struct qz_ypu_topk_sort_softmax_f32_params_t {
  qz_ypu_buffer_t *indices;  // int32, rows x k
  qz_ypu_buffer_t *values;   // float, rows x k
  qz_ypu_buffer_t *in;       // float, rows x cols
  int32_t rows;
  int32_t k;
  int32_t cols;
};
using qz_ypu_topk_sort_f32_params_t = qz_ypu_topk_sort_softmax_f32_params_t;

// The k largest of one row of n values by insertion (the input comes first).
struct qz_ypu_topk_f32_params_t {
  qz_ypu_buffer_t *in;       // float, n
  qz_ypu_buffer_t *values;   // float, k
  qz_ypu_buffer_t *indices;  // int32, k
  int32_t n;
  int32_t k;
  int32_t in_offset;
  int32_t values_offset;
  int32_t indices_offset;
};

// `count` bytes copied; the ranges must not overlap.
using qz_ypu_copy_bytes_params_t = qz_ypu_unary_params_t;

// `count` bytes at data + offset set to 0.
struct qz_ypu_fill_zero_params_t {
  qz_ypu_buffer_t *data;
  int32_t count;  // bytes
  int32_t offset;
};

// 32-bit elements from [batch][in_rows][in_cols][depth] into
// [batch][out_rows][out_cols][depth]; what lies outside the input becomes 0.
struct qz_ypu_zero_pad_2d_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t batch;
  int32_t out_rows;
  int32_t out_cols;
  int32_t in_rows;
  int32_t in_cols;
  int32_t depth;
};

// Every [rows][cols] block of `element_bytes`-byte elements becomes [cols][rows].
struct qz_ypu_transpose_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t batch;
  int32_t cols;
  int32_t rows;
  int32_t element_bytes;
};

// out[batch][rows][sub_rows][width] = the leading part of
// in[batch][in_rows][in_sub_rows][width] (floats).
struct qz_ypu_copy_block_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  int32_t batch;
  int32_t rows;
  int32_t sub_rows;
  int32_t in_rows;
  int32_t in_sub_rows;
  int32_t width;
};
