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


// ---------------------------------------------------------------------------
// Composite attention.


// ---------------------------------------------------------------------------
// Fixed-point convolution, linear, LSTM and quantisation.


// ---------------------------------------------------------------------------
// Resizes, 2-D convolution, matrix products and spectrum.


// ---------------------------------------------------------------------------
// Low-bit linear and repack.


// ---------------------------------------------------------------------------
// Rotary position tables, rotary embedding and embedding lookup.


// ---------------------------------------------------------------------------
// Top-k, sorting, copies, fills and transposes.

