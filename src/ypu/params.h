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

