// Attention arithmetic shared by the host implementations and the CPU
// kernels: plain functions on raw pointers, so that both run the very same
// loops where they must agree (the blocked step, the row quantisers, the
// per-head score and value products).
//
// Layouts (slowest dimension first): float queries and outputs are
// B x Q x H x D, float keys and values B x K x G x D, uint8 linear caches
// B x M x G x D with one {slope, intercept} per (entry, position), score
// matrices B x H x Q x K. Query head h reads key/value head h / (H / G).
#pragma once

#include <cstdint>

#include "common/error.h"

// Tile edge of the blocked attention: a step covers up to this many queries
// and keys, its score tile is this many floats square.
inline constexpr int32_t QZ_ATTENTION_BLOCK = 256;
// ln 8: the running maximum is kept this far above every score seen, so each
// weight stays at most 1/8 before the final division.
inline constexpr float QZ_ATTENTION_MAX_HEADROOM = 2.0794415f;
// Weights of scores this far below the running maximum are dropped.
inline constexpr float QZ_ATTENTION_CUTOFF = -20.0f;

// A device buffer for the operation's temporaries could not be created.
inline constexpr qz_error_record_t QZ_ATTENTION_ERROR_MEMORY{0x324,
                                                             "Failed to allocate, out of memory."};

struct qz_ypu_attention_shape_t {
  int32_t batch_size;          // B
  int32_t query_size;          // Q
  int32_t key_value_size;      // K: positions that take part
  int32_t max_key_value_size;  // M: positions a cache holds per entry (K for float keys)
  int32_t num_heads;           // H
  int32_t num_kv_heads;        // G
  int32_t head_dim;            // D
};

// 1 / sqrtf(head_dim), the factor every score is multiplied by.
float qz_ypu_attention_scale(int32_t head_dim);

// True when num_kv_heads is at least 1 and divides num_heads, which the head
// grouping needs (a violation would divide by zero or read past the keys).
bool qz_ypu_attention_heads_valid(int32_t num_heads, int32_t num_kv_heads);

// Max-subtracted softmax of `rows` rows of `length` floats; `out` may be `in`.
void qz_ypu_host_softmax_rows(float *out, const float *in, int32_t rows, int32_t length);

// Affine row quantisers: codes = lroundf((x - lo) / slope) with
// slope = (hi - lo) / 255 (or / 65535), value = code x slope + lo. A row of
// equal values gets slope 0 and codes 0; a quotient that is NaN gets code 0.
// A row of k < 1 elements is not read and yields {0, 0}.
struct qz_ypu_row_affine_t {
  float slope;
  float intercept;
};
qz_ypu_row_affine_t qz_ypu_quantize_row_u8(uint8_t *codes, const float *x, int32_t k);
qz_ypu_row_affine_t qz_ypu_quantize_row_u16(uint16_t *codes, const float *x, int32_t k);

// One (batch entry b, head h) of the products, written as the host
// implementations define them; `scale` is qz_ypu_attention_scale(D). The
// operands are the whole buffers.
void qz_ypu_attention_scores_f32_head(float *scores, const float *query, const float *key,
                                      const qz_ypu_attention_shape_t &shape, int32_t b,
                                      int32_t h, float scale);
void qz_ypu_attention_values_f32_head(float *output, const float *weights, const float *value,
                                      const qz_ypu_attention_shape_t &shape, int32_t b,
                                      int32_t h);
void qz_ypu_attention_scores_cache_u8_head(float *scores, const float *query, const uint8_t *key,
                                           const float *key_metas,
                                           const qz_ypu_attention_shape_t &shape, int32_t b,
                                           int32_t h, float scale);
void qz_ypu_attention_values_cache_u8_head(float *output, const float *weights,
                                           const uint8_t *value, const float *value_metas,
                                           const qz_ypu_attention_shape_t &shape, int32_t b,
                                           int32_t h);

// Ring caches: one new row's view of key/value head g, positions first..last
// (position p lives in ring row g x window_length + p mod window_length).
// Scores: scores[p - first] = scale x sum_d dequant(keys)[d] x query_row[d].
// Values: out_row[d] = sum_p dequant(values)[d] x weights[p - first].
void qz_ypu_attention_ring_scores(float *scores, const float *query_row, const uint8_t *keys,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension, float scale);
void qz_ypu_attention_ring_scores(float *scores, const float *query_row, const uint16_t *keys,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension, float scale);
void qz_ypu_attention_ring_values(float *out_row, const float *weights, const uint8_t *values,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension);
void qz_ypu_attention_ring_values(float *out_row, const float *weights, const uint16_t *values,
                                  const float *intercepts, const float *slopes, int32_t g,
                                  int64_t first, int64_t last, int32_t window_length,
                                  int32_t head_dimension);

// One step of the blocked online-softmax attention: folds the keys
// t0 .. t0 + min(256, K - t0) - 1 into the running state of the queries
// q0 .. q0 + min(256, Q - q0) - 1 of batch entry b, head h (kv head g).
// `tile` holds 256 x 256 floats; `maxima` and `sums` hold the running maximum
// and sum of each query of the block (index 0 is query q0); the output rows
// accumulate unnormalised and are divided by their sums after the last step.
void qz_ypu_attention_blocked_step(float *output, const float *query, const float *key,
                                   const float *value, float *tile, float *maxima, float *sums,
                                   float scale, int32_t b, int32_t q0, int32_t t0, int32_t h,
                                   int32_t g, const qz_ypu_attention_shape_t &shape);
