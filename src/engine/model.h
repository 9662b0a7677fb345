// The network's records (weights, linear layers, attention blocks and their
// key/value caches, layer norms, embeddings, encoder and decoder stacks),
// the readers that build them from a model file, and their forward passes.
//
// Every record comes from the context backend's host allocator; device
// arrays from its buffer_create. A model file is untrusted input: the
// readers check every size and width the forward pass relies on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "common/error.h"
#include "common/file_reader.h"
#include "ypu/ypu.h"

// ---------------------------------------------------------------------------
// Error records of the model readers and the forward pass.

inline constexpr qz_error_record_t QZ_NORVO_ERROR_MODEL_FORMAT{
    0x69, "%s file has incorrect format or belongs to a different platform."};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_VERSION{
    0x6a,
    "%s file belongs to a different version of the library. File is `%s` while library is `%s`."};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_VALUE{0x6f, nullptr};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_KIND{0xd2, nullptr};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_OPERATOR{0x321, "Failed to %s operator"};
// Precedes 0x321 on a failed op: which op, on which device, and how.
inline constexpr qz_error_record_t QZ_NORVO_ERROR_OPERATION{
    0x327, "Operation `%s` on the %s device failed with status %s."};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_HOST_MEMORY{0x323,
                                                              "Failed to allocate, out of memory."};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_DEVICE_MEMORY{
    0x324, "Failed to allocate, out of memory."};

// The description of the file that the format messages quote.
inline constexpr const char *QZ_NORVO_MODEL_DESCRIPTION = "Norvo model (.qz)";
inline constexpr const char *QZ_NORVO_MODEL_MAGIC = "norvo";
inline constexpr const char *QZ_NORVO_MODEL_VERSION = "1.1.0";

// ---------------------------------------------------------------------------
// Reading helpers of the network's readers (the byte-level reads, shared
// with the tokenizer, are in common/file_reader.h).

// A name (int32 length, then that many bytes), read and dropped. A length
// below 0 or above QZ_NORVO_NAME_BYTES is refused with record 0x65.
qz_status_t qz_norvo_skip_name(FILE *file);
// Pushes 0x65 naming `name` and gives QZ_STATUS_INVALID_ARGUMENT.
qz_status_t qz_norvo_invalid(const char *name);
// count x element_size as a buffer size: refused (0x65 naming `name`) when
// the count is negative or the product does not fit an int32.
qz_status_t qz_norvo_byte_size(int64_t count, int64_t element_size, const char *name,
                               int32_t *bytes);
// Refuses (0x65 naming `name`) a value below 1.
qz_status_t qz_norvo_check_positive(int32_t value, const char *name);

// A zero-filled record from the backend's host allocator; pushes 0x323 and
// gives null when there is no memory.
void *qz_norvo_record_alloc(qz_ypu_context_t *context, int64_t size);
template <class T>
T *qz_norvo_record_new(qz_ypu_context_t *context) {
  return static_cast<T *>(qz_norvo_record_alloc(context, sizeof(T)));
}
void qz_norvo_record_delete(qz_ypu_context_t *context, void *record);
// A device buffer (flags 0); pushes 0x324 and gives null when there is none.
qz_ypu_buffer_t *qz_norvo_buffer_new(qz_ypu_context_t *context, int32_t bytes);
// Frees a buffer when there is one and clears the handle.
void qz_norvo_buffer_delete(qz_ypu_context_t *context, qz_ypu_buffer_t **buffer);
// Dispatches one operation; a failure pushes 0x321 "execute".
qz_status_t qz_norvo_execute(qz_ypu_context_t *context, uint32_t op, const void *params);

// Runs a cleanup when it goes out of scope, unless dismissed: the readers
// arm one per partly built record and dismiss it on success.
template <class F>
class qz_norvo_guard {
 public:
  explicit qz_norvo_guard(F cleanup) : cleanup_(cleanup) {}
  ~qz_norvo_guard() {
    if (armed_) cleanup_();
  }
  qz_norvo_guard(const qz_norvo_guard &) = delete;
  qz_norvo_guard &operator=(const qz_norvo_guard &) = delete;
  void dismiss() { armed_ = false; }

 private:
  F cleanup_;
  bool armed_ = true;
};

// ---------------------------------------------------------------------------
// Weights: a common head with the weight's own callbacks, then a body that
// depends on the storage.

struct qz_norvo_weight_t;

using qz_norvo_weight_free_fn = void (*)(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
using qz_norvo_lookup_row_fn = qz_status_t (*)(qz_ypu_context_t *context, qz_norvo_weight_t *weight,
                                               float *dst, int32_t row);
using qz_norvo_forward_fn = qz_status_t (*)(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                            qz_ypu_buffer_t *in, qz_norvo_weight_t *weight,
                                            int32_t n, int32_t out_offset, int32_t in_offset);
using qz_norvo_forward_conv2d_fn = qz_status_t (*)(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                                   qz_ypu_buffer_t *in, qz_norvo_weight_t *weight,
                                                   int32_t batch, int32_t height, int32_t width,
                                                   int32_t stride, int32_t padding);

inline constexpr int32_t QZ_NORVO_WEIGHT_TAG_EMBEDDING = 0;
inline constexpr int32_t QZ_NORVO_WEIGHT_TAG_LINEAR = 1;

// Linear formats.
inline constexpr int32_t QZ_NORVO_WEIGHT_DENSE = 0;
inline constexpr int32_t QZ_NORVO_WEIGHT_LOWBIT = 2;
inline constexpr int32_t QZ_NORVO_WEIGHT_CONV2D = 3;
// Embedding formats.
inline constexpr int32_t QZ_NORVO_TABLE_FLOAT = 0;
inline constexpr int32_t QZ_NORVO_TABLE_QUANTIZED = 1;

// Kind integers of the model file.
inline constexpr int32_t QZ_NORVO_KIND_DENSE = 0;
inline constexpr int32_t QZ_NORVO_KIND_NAMED = -666;
inline constexpr int32_t QZ_NORVO_KIND_LOWBIT = -665;
inline constexpr int32_t QZ_NORVO_KIND_LOWBIT_MIXED = -664;
inline constexpr int32_t QZ_NORVO_KIND_CONV2D = -656;
inline constexpr int32_t QZ_NORVO_KIND_QUANTIZED = -665;

// Names in the file are read into a buffer of this size and dropped.
inline constexpr int32_t QZ_NORVO_NAME_BYTES = 256;

struct qz_norvo_weight_t {
  int32_t tag;     // QZ_NORVO_WEIGHT_TAG_*
  int32_t format;  // QZ_NORVO_WEIGHT_* for linears, QZ_NORVO_TABLE_* for tables
  int32_t rows;    // linear: output size; conv2d: output channels; table: ids
  int32_t cols;    // linear: input size; conv2d: input channels; table: row width
  qz_norvo_weight_free_fn free;
  qz_norvo_lookup_row_fn lookup_row;
  qz_norvo_forward_fn forward;
  qz_norvo_forward_conv2d_fn forward_conv2d;
};

// Kinds 0 and -666: f32[rows x cols] in a device buffer, [output][input].
struct qz_norvo_dense_weight_t {
  qz_norvo_weight_t head;
  qz_ypu_buffer_t *data;
};

// Kind -656: f32[rows x cols x kernel_height x kernel_width] in a device buffer.
struct qz_norvo_conv2d_weight_t {
  qz_norvo_weight_t head;
  qz_ypu_buffer_t *data;
  int32_t kernel_height;
  int32_t kernel_width;
};

inline constexpr int32_t QZ_NORVO_LOWBIT_TILE_ROWS = 16;
inline constexpr int32_t QZ_NORVO_LOWBIT_TILE_COLS = 8;
inline constexpr int32_t QZ_NORVO_LOWBIT_WIDTHS = 8;

// Kinds -665 and -664: codes of 1 to 8 bits in 16 x 8 tiles.
struct qz_norvo_lowbit_weight_t {
  qz_norvo_weight_t head;
  int32_t tile_rows;
  int32_t tile_cols;
  uint32_t width_counts[QZ_NORVO_LOWBIT_WIDTHS];  // column groups per bit width
  qz_ypu_buffer_t *perm;                          // int32[cols], stored column -> input column
  qz_ypu_buffer_t *scales;                        // two 16-bit scale numbers per tile
  qz_ypu_buffer_t *tiles;                         // packed codes
  qz_ypu_buffer_t *offset;                        // f32[rows] added to every output row, or null
};

// Embedding kinds 0 and -666: f32[rows x cols] in host memory.
struct qz_norvo_embedding_table_t {
  qz_norvo_weight_t head;
  float *data;
};

// Embedding kind -665: block-quantised codes in host memory.
struct qz_norvo_quantized_embedding_t {
  qz_norvo_weight_t head;
  int32_t block_rows;
  int32_t block_cols;
  int32_t bits;
  uint16_t *scales;  // per block: offset then scale, as 16-bit scale numbers
  uint8_t *codes;    // per block: a little-endian bit stream of its codes
  uint8_t *scratch;  // one unpacked block
};

// Weight readers: the file is positioned just after the kind integer; each
// sets *out only on success and leaves nothing behind on failure.
qz_status_t qz_norvo_dense_weight_load(qz_ypu_context_t *context, FILE *file,
                                       qz_norvo_weight_t **out);
qz_status_t qz_norvo_named_dense_weight_load(qz_ypu_context_t *context, FILE *file,
                                             qz_norvo_weight_t **out);
qz_status_t qz_norvo_lowbit_weight_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_weight_t **out);
qz_status_t qz_norvo_lowbit_mixed_weight_load(qz_ypu_context_t *context, FILE *file,
                                              qz_norvo_weight_t **out);
qz_status_t qz_norvo_conv2d_weight_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_weight_t **out);
qz_status_t qz_norvo_embedding_table_load(qz_ypu_context_t *context, FILE *file,
                                          qz_norvo_weight_t **out);
qz_status_t qz_norvo_named_embedding_table_load(qz_ypu_context_t *context, FILE *file,
                                                qz_norvo_weight_t **out);
qz_status_t qz_norvo_quantized_embedding_load(qz_ypu_context_t *context, FILE *file,
                                              qz_norvo_weight_t **out);
// Reads an embedding kind integer and the table of that kind.
qz_status_t qz_norvo_embedding_weight_load(qz_ypu_context_t *context, FILE *file,
                                           qz_norvo_weight_t **out);

void qz_norvo_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
qz_status_t qz_norvo_lowbit_weight_repack(qz_ypu_context_t *context, qz_norvo_weight_t *weight);

// Callbacks.
void qz_norvo_dense_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
void qz_norvo_conv2d_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
void qz_norvo_lowbit_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
void qz_norvo_lowbit_weight_destroy(qz_ypu_context_t *context, qz_norvo_lowbit_weight_t *weight);
void qz_norvo_embedding_table_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
void qz_norvo_quantized_embedding_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight);
void qz_norvo_quantized_embedding_destroy(qz_ypu_context_t *context,
                                          qz_norvo_quantized_embedding_t *weight);
qz_status_t qz_norvo_dense_weight_forward(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                          qz_ypu_buffer_t *in, qz_norvo_weight_t *weight, int32_t n,
                                          int32_t out_offset, int32_t in_offset);
qz_status_t qz_norvo_lowbit_weight_forward(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                           qz_ypu_buffer_t *in, qz_norvo_weight_t *weight,
                                           int32_t n, int32_t out_offset, int32_t in_offset);
qz_status_t qz_norvo_conv2d_weight_forward(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                           qz_ypu_buffer_t *in, qz_norvo_weight_t *weight,
                                           int32_t batch, int32_t height, int32_t width,
                                           int32_t stride, int32_t padding);
qz_status_t qz_norvo_embedding_table_lookup_row(qz_ypu_context_t *context,
                                                qz_norvo_weight_t *weight, float *dst, int32_t row);
qz_status_t qz_norvo_quantized_embedding_lookup_row(qz_ypu_context_t *context,
                                                    qz_norvo_weight_t *weight, float *dst,
                                                    int32_t row);

// ---------------------------------------------------------------------------
// Layers.

struct qz_norvo_linear_t {
  qz_norvo_weight_t *weight;
  qz_ypu_buffer_t *bias;  // f32[weight rows]
};

struct qz_norvo_attention_t {
  int32_t dim;
  int32_t heads;
  int32_t head_dim;  // dim / heads
  qz_norvo_linear_t *key;
  qz_norvo_linear_t *value;
  qz_norvo_linear_t *query;
  qz_norvo_linear_t *output;
};

// Epsilon of every layer norm of the network (f32 bits 0x3727c5ac).
inline constexpr float QZ_NORVO_LAYER_NORM_EPSILON = 1e-5f;

struct qz_norvo_layer_norm_t {
  int32_t size;
  qz_ypu_buffer_t *gamma;  // f32[size]
  qz_ypu_buffer_t *beta;   // f32[size]
};

struct qz_norvo_embedding_t {
  qz_norvo_weight_t *table;
};

// A decoder attention's keys and values: one uint8 row per position with its
// {slope, intercept} pair. Sequence s owns rows s x S .. s x S + S - 1, where
// S is `capacity`, or `length` when `capacity` is below 1.
struct qz_norvo_attention_cache_t {
  int32_t capacity;
  int32_t sequences;
  int32_t length;
  int32_t width;
  qz_ypu_buffer_t *key_codes;
  qz_ypu_buffer_t *key_pairs;
  qz_ypu_buffer_t *value_codes;
  qz_ypu_buffer_t *value_pairs;
  // The other half of a double buffer, made on the first reorder and kept
  // until the cache is released: a reorder writes the parents' rows here and
  // swaps, so no step allocates (or page-faults) cache memory.
  qz_ypu_buffer_t *spare_key_codes;
  qz_ypu_buffer_t *spare_key_pairs;
  qz_ypu_buffer_t *spare_value_codes;
  qz_ypu_buffer_t *spare_value_pairs;
};

struct qz_norvo_encoder_layer_t {
  qz_norvo_attention_t *attention;
  qz_norvo_layer_norm_t *attention_norm;
  qz_norvo_linear_t *ffn_in;
  qz_norvo_linear_t *ffn_out;
  qz_norvo_layer_norm_t *ffn_norm;
};

struct qz_norvo_decoder_layer_t {
  qz_norvo_attention_t *self_attention;
  qz_norvo_layer_norm_t *self_attention_norm;
  qz_norvo_attention_t *cross_attention;
  qz_norvo_layer_norm_t *cross_attention_norm;
  qz_norvo_linear_t *ffn_in;
  qz_norvo_linear_t *ffn_out;
  qz_norvo_layer_norm_t *ffn_norm;
  qz_norvo_attention_cache_t *self_cache;
  qz_norvo_attention_cache_t *cross_cache;
};

// The encoder and the decoder share this head; `layers` holds encoder or
// decoder layer records.
struct qz_norvo_stack_t {
  int32_t layer_count;
  float embedding_scale;
  qz_norvo_embedding_t *token_embedding;     // not owned
  qz_norvo_embedding_t *position_embedding;  // not owned
  void **layers;
};

// ---------------------------------------------------------------------------
// Model-file readers.

// Maps the buffer without fetching it, reads count elements with one fread,
// unmaps with write-back; QZ_STATUS_IO_ERROR on a short read. No message.
qz_status_t qz_norvo_read_tensor(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer,
                                 int32_t element_size, int32_t count, FILE *file);

qz_status_t qz_norvo_linear_load(qz_ypu_context_t *context, FILE *file, qz_norvo_linear_t **out);
qz_status_t qz_norvo_embedding_load(qz_ypu_context_t *context, FILE *file,
                                    qz_norvo_embedding_t **out);
qz_status_t qz_norvo_attention_load(qz_ypu_context_t *context, FILE *file,
                                    qz_norvo_attention_t **out);
qz_status_t qz_norvo_layer_norm_load(qz_ypu_context_t *context, FILE *file,
                                     qz_norvo_layer_norm_t **out);
qz_status_t qz_norvo_encoder_layer_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_encoder_layer_t **out);
qz_status_t qz_norvo_encoder_load(qz_ypu_context_t *context, FILE *file,
                                  qz_norvo_embedding_t *token_embedding,
                                  qz_norvo_embedding_t *position_embedding, qz_norvo_stack_t **out);
qz_status_t qz_norvo_decoder_load(qz_ypu_context_t *context, FILE *file,
                                  qz_norvo_embedding_t *token_embedding,
                                  qz_norvo_embedding_t *position_embedding, qz_norvo_stack_t **out);

// The header and the language-pair section fill the engine record directly.
qz_status_t qz_norvo_read_header(qz_norvo_t *engine, FILE *file);
qz_status_t qz_norvo_read_language_pair(qz_norvo_t *engine, FILE *file);

// ---------------------------------------------------------------------------
// Forward pass. Activations are f32 rows in device buffers, the rows of one
// sequence contiguous, sequences one after the other.

qz_status_t qz_norvo_linear_forward(qz_ypu_context_t *context, qz_norvo_linear_t *linear,
                                    qz_ypu_buffer_t *out, qz_ypu_buffer_t *in, int32_t n);
qz_status_t qz_norvo_layer_norm_forward(qz_ypu_context_t *context, qz_norvo_layer_norm_t *norm,
                                        qz_ypu_buffer_t *out, qz_ypu_buffer_t *in, int32_t rows);
qz_status_t qz_norvo_attention_forward(qz_ypu_context_t *context, qz_norvo_attention_t *attention,
                                       qz_ypu_buffer_t *out, qz_ypu_buffer_t *query_input,
                                       qz_ypu_buffer_t *kv_input, qz_norvo_attention_cache_t *cache,
                                       int32_t batch, int32_t query_rows, int32_t kv_rows);
qz_status_t qz_norvo_cross_attention_forward(qz_ypu_context_t *context,
                                             qz_norvo_attention_t *attention, qz_ypu_buffer_t *out,
                                             qz_ypu_buffer_t *query_input,
                                             qz_ypu_buffer_t *kv_input,
                                             qz_norvo_attention_cache_t *cache, int32_t batch,
                                             int32_t query_rows, int32_t kv_rows);

qz_status_t qz_norvo_attention_cache_create(qz_ypu_context_t *context, int32_t capacity,
                                            qz_norvo_attention_cache_t **out);
qz_status_t qz_norvo_attention_cache_reserve(qz_ypu_context_t *context,
                                             qz_norvo_attention_cache_t *cache);
void qz_norvo_attention_cache_release(qz_ypu_context_t *context, qz_norvo_attention_cache_t *cache);
qz_status_t qz_norvo_attention_cache_append(qz_ypu_context_t *context,
                                            qz_norvo_attention_cache_t *cache, qz_ypu_buffer_t *key,
                                            qz_ypu_buffer_t *value, int32_t batch, int32_t rows,
                                            int32_t width, int32_t key_offset,
                                            int32_t value_offset);
qz_status_t qz_norvo_attention_cache_reorder(qz_ypu_context_t *context,
                                             qz_norvo_attention_cache_t *cache,
                                             qz_ypu_buffer_t *index, int32_t count);
// Projects kv_rows rows of each of `batch` sequences to keys and values and
// appends them to the cache, as an attention's first call with that cache
// does.
qz_status_t qz_norvo_attention_fill_cache(qz_ypu_context_t *context,
                                          qz_norvo_attention_t *attention,
                                          qz_norvo_attention_cache_t *cache,
                                          qz_ypu_buffer_t *kv_input, int32_t batch,
                                          int32_t kv_rows);
// Turns a cache filled for one sequence into `count` copies of that sequence
// (nothing to do for a cache not yet filled).
qz_status_t qz_norvo_attention_cache_widen(qz_ypu_context_t *context,
                                           qz_norvo_attention_cache_t *cache, int32_t count);

// Writes token row ids[j] x scale + position row (position_offset + i) into
// host row j = k x positions + i for every sequence k.
qz_status_t qz_norvo_embedding_lookup(qz_ypu_context_t *context,
                                      qz_norvo_embedding_t *token_embedding,
                                      qz_norvo_embedding_t *position_embedding, float *rows,
                                      const uint32_t *ids, int32_t position_offset, float scale,
                                      int32_t sequences, int32_t positions);

qz_status_t qz_norvo_encoder_forward(qz_ypu_context_t *context, qz_norvo_stack_t *encoder,
                                     qz_ypu_buffer_t *hidden, const uint32_t *ids, int32_t length);
qz_status_t qz_norvo_decoder_forward(qz_ypu_context_t *context, qz_norvo_stack_t *decoder,
                                     qz_ypu_buffer_t *hidden, const uint32_t *ids,
                                     qz_ypu_buffer_t *encoder_output, int32_t position,
                                     int32_t sequences, int32_t query_rows, int32_t encoder_length);
qz_status_t qz_norvo_encoder_layer_forward(qz_ypu_context_t *context,
                                           qz_norvo_encoder_layer_t *layer, qz_ypu_buffer_t *hidden,
                                           int32_t length);
qz_status_t qz_norvo_decoder_layer_forward(qz_ypu_context_t *context,
                                           qz_norvo_decoder_layer_t *layer, qz_ypu_buffer_t *hidden,
                                           qz_ypu_buffer_t *encoder_output, int32_t sequences,
                                           int32_t query_rows, int32_t encoder_length);
// Empties both caches of every decoder layer; capacities are kept.
void qz_norvo_decoder_reset_caches(qz_ypu_context_t *context, qz_norvo_stack_t *decoder);

// ---------------------------------------------------------------------------
// Freeing: each accepts null and frees everything its record owns.

void qz_norvo_linear_free(qz_ypu_context_t *context, qz_norvo_linear_t *linear);
void qz_norvo_layer_norm_free(qz_ypu_context_t *context, qz_norvo_layer_norm_t *norm);
void qz_norvo_attention_free(qz_ypu_context_t *context, qz_norvo_attention_t *attention);
void qz_norvo_attention_cache_free(qz_ypu_context_t *context, qz_norvo_attention_cache_t *cache);
void qz_norvo_embedding_free(qz_ypu_context_t *context, qz_norvo_embedding_t *embedding);
void qz_norvo_encoder_layer_free(qz_ypu_context_t *context, qz_norvo_encoder_layer_t *layer);
void qz_norvo_decoder_layer_free(qz_ypu_context_t *context, qz_norvo_decoder_layer_t *layer);
// Stacks: layers last first, then the pointer array, then the record.
void qz_norvo_encoder_free(qz_ypu_context_t *context, qz_norvo_stack_t *encoder);
void qz_norvo_decoder_free(qz_ypu_context_t *context, qz_norvo_stack_t *decoder);
