// Parameter records of operations whose host implementations have not been
// merged into this branch yet. Each block goes away when its family lands in
// ypu/params.h.
#pragma once

#include <cstdint>

#include "ypu/params.h"

using qz_ypu_add_row_f32_params_t = qz_ypu_broadcast_params_t;
using qz_ypu_silu_f32_params_t = qz_ypu_unary_params_t;

struct qz_ypu_layer_norm_f32_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  qz_ypu_buffer_t *gamma;
  qz_ypu_buffer_t *beta;
  float epsilon;
  int32_t rows;
  int32_t cols;
  int32_t out_offset;
  int32_t in_offset;
  int32_t gamma_offset;
  int32_t beta_offset;
};

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

struct qz_ypu_linear_lowbit_params_t {
  qz_ypu_buffer_t *out;
  qz_ypu_buffer_t *in;
  qz_ypu_buffer_t *perm;
  qz_ypu_buffer_t *scales;
  qz_ypu_buffer_t *tiles;
  int32_t n;
  int32_t row_blocks;
  int32_t width_counts[8];
  int32_t out_offset;
  int32_t in_offset;
};

struct qz_ypu_repack_lowbit_params_t {
  qz_ypu_buffer_t *tiles;
  int32_t row_blocks;
  int32_t width_counts[8];
};

struct qz_ypu_gather_rows_params_t {
  qz_ypu_buffer_t *output;
  qz_ypu_buffer_t *input;
  qz_ypu_buffer_t *index;
  int32_t m;
  int32_t n;
};

struct qz_ypu_shift_rows_left_params_t {
  qz_ypu_buffer_t *data;
  int32_t rows;
  int32_t row_bytes;
  int32_t shift_bytes;
};

struct qz_ypu_quantize_rows_u8_params_t {
  qz_ypu_buffer_t *xq;
  qz_ypu_buffer_t *xm;
  qz_ypu_buffer_t *xf;
  int32_t max_length;
  int32_t position;
  int32_t m;
  int32_t n;
  int32_t k;
  int32_t xf_offset;
};

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
  int32_t quantize;
};

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
