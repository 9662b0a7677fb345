// CPU attention: task contexts and kernel variants shared between the
// entries (attention.cc, attention_ring.cc) and their per-instruction-set
// kernels. Every variant here has plain C linkage-free signatures on raw
// pointers; the instruction-set files keep their helpers internal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ypu/host/attention.h"

// ---------------------------------------------------------------------------
// Score and value products over float keys and uint8 linear caches.

struct qz_ypu_cpu_attention_context_t {
  float *out;          // scores (score products) or output rows (value products)
  const float *in;     // queries (score products) or weights (value products)
  const void *kv;      // float keys / values, or uint8 cache codes
  const float *metas;  // {slope, intercept} per cache position, caches only
  qz_ypu_attention_shape_t shape;
  float scale;
  int64_t batch_groups;  // cache products: items along the batch entries
  int64_t head_groups;   // cache products: items along the heads
  uint32_t isa_flags;
};

// Float products: item a is batch entry a / H, head a mod H.
void qz_ypu_cpu_attention_scores_f32_task(void *context, size_t a);
void qz_ypu_cpu_attention_scores_f32_sse41(void *context, size_t a);
void qz_ypu_cpu_attention_scores_f32_avx2(void *context, size_t a);
void qz_ypu_cpu_attention_values_f32_task(void *context, size_t a);
void qz_ypu_cpu_attention_values_f32_sse41(void *context, size_t a);
void qz_ypu_cpu_attention_values_f32_avx2(void *context, size_t a);

// Cache products: item (i, j) is batch group i, head group j.
void qz_ypu_cpu_attention_scores_cache_u8_task(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_scores_cache_u8_sse41(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_scores_cache_u8_avx2(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_values_cache_u8_task(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_values_cache_u8_sse41(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_values_cache_u8_avx2(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_scores_f32_neon(void *context, size_t a);
void qz_ypu_cpu_attention_values_f32_neon(void *context, size_t a);
void qz_ypu_cpu_attention_scores_cache_u8_neon(void *context, size_t i, size_t j);
void qz_ypu_cpu_attention_values_cache_u8_neon(void *context, size_t i, size_t j);

// ---------------------------------------------------------------------------
// Blocked online-softmax attention.

struct qz_ypu_cpu_attention_blocked_context_t {
  float *output;
  const float *query;
  const float *key;
  const float *value;
  float *tiles;  // one 256 x 256 tile per item
  qz_ypu_attention_shape_t shape;
  float scale;
  int64_t batch_groups;
  int64_t head_groups;
  uint32_t isa_flags;
};

void qz_ypu_cpu_attention_blocked_f32_task(void *context, size_t i, size_t j);

// Full 256 x 256 tiles only, with the arguments of qz_ypu_attention_blocked_step.
using qz_ypu_cpu_attention_tile_fn = void (*)(float *output, const float *query, const float *key,
                                              const float *value, float *tile, float *maxima,
                                              float *sums, float scale, int32_t b, int32_t q0,
                                              int32_t t0, int32_t h, int32_t g,
                                              const qz_ypu_attention_shape_t &shape);
void qz_ypu_cpu_attention_blocked_f32_sse41(float *output, const float *query, const float *key,
                                            const float *value, float *tile, float *maxima,
                                            float *sums, float scale, int32_t b, int32_t q0,
                                            int32_t t0, int32_t h, int32_t g,
                                            const qz_ypu_attention_shape_t &shape);
void qz_ypu_cpu_attention_blocked_f32_avx2(float *output, const float *query, const float *key,
                                           const float *value, float *tile, float *maxima,
                                           float *sums, float scale, int32_t b, int32_t q0,
                                           int32_t t0, int32_t h, int32_t g,
                                           const qz_ypu_attention_shape_t &shape);

void qz_ypu_cpu_attention_blocked_f32_neon(float *output, const float *query, const float *key,
                                           const float *value, float *tile, float *maxima,
                                           float *sums, float scale, int32_t b, int32_t q0,
                                           int32_t t0, int32_t h, int32_t g,
                                           const qz_ypu_attention_shape_t &shape);

// The middle of a full-tile step, the same for every variant: turns the
// tile's scaled scores into weights against the raised running maxima and
// rescales what the output rows and sums hold so far. `rows` points at the
// output row of the block's first query; consecutive queries are
// `row_stride` floats apart.
void qz_ypu_cpu_attention_blocked_weights(float *tile, float *rows, int64_t row_stride,
                                          int32_t dim, float *maxima, float *sums);

// ---------------------------------------------------------------------------
// Attention over quantised ring caches.

struct qz_ypu_cpu_attention_kv_context_t {
  float *output;
  const float *query;
  const void *keys;
  const float *key_intercepts;
  const float *key_slopes;
  const void *values;
  const float *value_intercepts;
  const float *value_slopes;
  int32_t num_queries;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dimension;
  int32_t position;
  int32_t window_length;
  float scale;
  int64_t head_groups;  // nh
  int64_t row_groups;   // nr
  uint32_t isa_flags;
  float *rows;  // long windows: two rows of window_length floats per thread
};

// Score kernel: for `rows` consecutive ring rows, out[r] += dequantised key
// row . query, then every out[r] *= scale.
using qz_ypu_cpu_ring_scores_u8_fn = void (*)(const float *query, int32_t head_dimension,
                                              const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
using qz_ypu_cpu_ring_scores_u16_fn = void (*)(const float *query, int32_t head_dimension,
                                               const uint16_t *codes, const float *intercepts,
                                               const float *slopes, int32_t rows, float scale,
                                               float *out);
// Value kernel: for `rows` consecutive ring rows in order,
// output[d] += dequantised value[r][d] x weights[r].
using qz_ypu_cpu_ring_values_u8_fn = void (*)(const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);
using qz_ypu_cpu_ring_values_u16_fn = void (*)(const uint16_t *codes, const float *intercepts,
                                               const float *slopes, int32_t rows,
                                               int32_t head_dimension, const float *weights,
                                               float *output);

void qz_ypu_cpu_attention_kv_u8_scores_generic(const float *query, int32_t head_dimension,
                                              const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
void qz_ypu_cpu_attention_kv_u8_values_generic(const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);
void qz_ypu_cpu_attention_kv_u8_scores_avx(const float *query, int32_t head_dimension,
                                              const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
void qz_ypu_cpu_attention_kv_u8_values_avx(const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);
void qz_ypu_cpu_attention_kv_u8_scores_avx2(const float *query, int32_t head_dimension,
                                              const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
void qz_ypu_cpu_attention_kv_u8_values_avx2(const uint8_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);
void qz_ypu_cpu_attention_kv_u16_scores_generic(const float *query, int32_t head_dimension,
                                              const uint16_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
void qz_ypu_cpu_attention_kv_u16_values_generic(const uint16_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);
void qz_ypu_cpu_attention_kv_u16_scores_avx(const float *query, int32_t head_dimension,
                                              const uint16_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
void qz_ypu_cpu_attention_kv_u16_values_avx(const uint16_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);
void qz_ypu_cpu_attention_kv_u16_scores_avx2(const float *query, int32_t head_dimension,
                                              const uint16_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows, float scale,
                                              float *out);
void qz_ypu_cpu_attention_kv_u16_values_avx2(const uint16_t *codes, const float *intercepts,
                                              const float *slopes, int32_t rows,
                                              int32_t head_dimension, const float *weights,
                                              float *output);

void qz_ypu_cpu_attention_kv_u8_scores_neon(const float *query, int32_t head_dimension,
                                            const uint8_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows, float scale,
                                            float *out);
void qz_ypu_cpu_attention_kv_u8_values_neon(const uint8_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows,
                                            int32_t head_dimension, const float *weights,
                                            float *output);
void qz_ypu_cpu_attention_kv_u16_scores_neon(const float *query, int32_t head_dimension,
                                            const uint16_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows, float scale,
                                            float *out);
void qz_ypu_cpu_attention_kv_u16_values_neon(const uint16_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows,
                                            int32_t head_dimension, const float *weights,
                                            float *output);

// Max-subtracted softmax of one row: strict comparison for the maximum,
// the build's exponential (the table form on the ARM64 builds), sum in
// order, each exponential divided by the sum.
void qz_ypu_cpu_softmax_row(const float *in, int32_t count, float *out);
