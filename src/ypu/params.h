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


// ---------------------------------------------------------------------------
// Attention primitives and key/value caches.


// ---------------------------------------------------------------------------
// Composite attention.


// ---------------------------------------------------------------------------
// Fixed-point convolution, linear, LSTM and quantisation.


// ---------------------------------------------------------------------------
// Resizes, 2-D convolution, matrix products and spectrum.

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

// ---------------------------------------------------------------------------
// Low-bit linear and repack.


// ---------------------------------------------------------------------------
// Rotary position tables, rotary embedding and embedding lookup.


// ---------------------------------------------------------------------------
// Top-k, sorting, copies, fills and transposes.

