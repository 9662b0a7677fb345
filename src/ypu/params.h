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


// ---------------------------------------------------------------------------
// Attention primitives and key/value caches.


// ---------------------------------------------------------------------------
// Composite attention.


// ---------------------------------------------------------------------------
// Fixed-point convolution, linear, LSTM and quantisation.


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


// ---------------------------------------------------------------------------
// Rotary position tables, rotary embedding and embedding lookup.


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
