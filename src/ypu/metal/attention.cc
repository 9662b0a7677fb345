// Metal entries of attention: over the quantised ring caches (three passes
// per new query row), the pieces of the composite attentions and the fused
// blocked attention.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "ypu/host/attention.h"
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

constexpr const char *ATTENTION_KV_U8_KERNELS[] = {"taabe13", "taabe56", "taabe280"};
constexpr const char *ATTENTION_KV_U16_KERNELS[] = {"taabe189", "taabe146", "taabe72"};
constexpr const char *ATTENTION_BLOCKED_F32_KERNELS[] = {"taabe300"};
constexpr const char *MASK_WINDOW_F32_KERNELS[] = {"taabe344"};
constexpr const char *ATTENTION_VALUES_F32_KERNELS[] = {"taabe62"};
constexpr const char *ATTENTION_VALUES_CACHE_U8_KERNELS[] = {"taabe334"};
constexpr const char *ATTENTION_SCORES_F32_KERNELS[] = {"taabe233"};
constexpr const char *ATTENTION_SCORES_CACHE_U8_KERNELS[] = {"taabe163"};

enum : int32_t { SCORES, SOFTMAX, VALUES };

// Query rows per threadgroup of the blocked attention, and its largest
// number of SIMD groups.
constexpr int64_t BLOCKED_ROWS = 32;
constexpr uintptr_t BLOCKED_MAX_GROUPS = 8;

// Argument 6, the SIMD groups per threadgroup, is computed.
using blocked = qz_ypu_attention_blocked_f32_params_t;
constexpr qz_ypu_metal_binding_t BLOCKED_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(blocked, batch_size, 0),
    QZ_YPU_METAL_BYTES(blocked, query_size, 1),
    QZ_YPU_METAL_BYTES(blocked, key_value_size, 2),
    QZ_YPU_METAL_BYTES(blocked, num_heads, 3),
    QZ_YPU_METAL_BYTES(blocked, num_kv_heads, 4),
    QZ_YPU_METAL_BYTES(blocked, head_dim, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(blocked, output, 7),
    QZ_YPU_METAL_BUFFER_AT_ZERO(blocked, query, 8),
    QZ_YPU_METAL_BUFFER_AT_ZERO(blocked, key, 9),
    QZ_YPU_METAL_BUFFER_AT_ZERO(blocked, value, 10),
};

using mask = qz_ypu_mask_window_f32_params_t;
constexpr qz_ypu_metal_binding_t MASK_WINDOW_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(mask, n, 0),
    QZ_YPU_METAL_BYTES(mask, k, 1),
    QZ_YPU_METAL_BUFFER_AT_ZERO(mask, scores, 2),
    QZ_YPU_METAL_BUFFER_AT_ZERO(mask, mask_indices, 3),
};

void set_float(qz_ypu_metal_device_t *device, float value, int32_t index) {
  qz_ypu_metal_set_bytes(device, &value, 4, index);
}

float attention_norm(int32_t head_dim) { return 1.0f / std::sqrt(static_cast<float>(head_dim)); }

bool fits_int32(int64_t value) { return value <= std::numeric_limits<int32_t>::max(); }

// The visible window of a query row at absolute position p: cnt keys, the
// oldest in ring slot `first`, length1 slots from there to the ring's end
// and length2 more from slot 0.
struct ring_window {
  int32_t cnt, first, last, length1, length2;
};

ring_window window_of(int64_t p, int32_t window_length) {
  ring_window w;
  w.cnt = static_cast<int32_t>(std::min<int64_t>(p, window_length - 1) + 1);
  w.first = static_cast<int32_t>(std::max<int64_t>(0, p - (window_length - 1)) % window_length);
  w.last = static_cast<int32_t>(p % window_length);
  if (w.last >= w.first) {
    w.length1 = w.last - w.first + 1;
    w.length2 = 0;
  } else {
    w.length1 = window_length - w.first;
    w.length2 = w.last + 1;
  }
  return w;
}

// Arguments 5 to 11 of the scores and values passes: the query row, the
// head dimension, the heads, the key/value heads, the ring's length and the
// window's first and last slots.
void bind_row_and_window(qz_ypu_metal_device_t *device, const qz_ypu_attention_kv_params_t &p,
                         int32_t j, const ring_window &w) {
  qz_ypu_metal_set_int(device, j, 5);
  qz_ypu_metal_set_int(device, p.head_dimension, 6);
  qz_ypu_metal_set_int(device, p.num_heads, 7);
  qz_ypu_metal_set_int(device, p.num_kv_heads, 8);
  qz_ypu_metal_set_int(device, p.window_length, 9);
  qz_ypu_metal_set_int(device, w.first, 10);
  qz_ypu_metal_set_int(device, w.last, 11);
}

// Ops 5 and 6: for every new query row, the scores of each (head, key), the
// softmax of each head's row and the weighted values, through one score
// temporary of H x W floats. A refused dispatch stops the encoding and is
// reported.
qz_status_t attention_kv(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_kv_params_t *>(params);
  if (p.num_queries <= 0 || p.num_heads <= 0) return QZ_STATUS_SUCCESS;
  // What the host rejects, it reports itself.
  if (p.window_length < 1 || p.position < 0 || p.head_dimension < 1 ||
      !qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads))
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t bytes = int64_t{p.num_heads} * p.window_length * 4;
  if (!fits_int32(bytes)) return QZ_STATUS_INVALID_ARGUMENT;
  const auto *score_pipeline = qz_ypu_metal_pipeline(state, SCORES);
  const auto *softmax_pipeline = qz_ypu_metal_pipeline(state, SOFTMAX);
  const auto *value_pipeline = qz_ypu_metal_pipeline(state, VALUES);
  const auto width = static_cast<uint32_t>(qz_ypu_metal_thread_execution_width(device, score_pipeline));
  // The softmax keeps a float per thread in threadgroup memory: its
  // threadgroups grow while the pipeline and that memory allow.
  const auto softmax_fits = [&](uintptr_t threads) {
    return threads <= qz_ypu_metal_max_threads_per_threadgroup(device, softmax_pipeline) &&
           qz_ypu_metal_threadgroup_memory_fits(device, softmax_pipeline, uint64_t{threads} * 4);
  };
  if (!softmax_fits(width)) return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_temporary temporary(device, bytes);
  qz_ypu_buffer_t *scores = temporary.get();
  if (!scores) return qz_ypu_metal_out_of_memory();
  // One thread per element of the head dimension, striding when the
  // pipeline allows fewer.
  const auto value_threads = static_cast<uint32_t>(std::min<uintptr_t>(
      static_cast<uintptr_t>(p.head_dimension),
      qz_ypu_metal_max_threads_per_threadgroup(device, value_pipeline)));
  const float norm = attention_norm(p.head_dimension);

  qz_status_t status = QZ_STATUS_SUCCESS;
  for (int32_t j = 0; j < p.num_queries && status == QZ_STATUS_SUCCESS; ++j) {
    const ring_window w = window_of(int64_t{p.position} + j, p.window_length);

    qz_ypu_metal_begin_compute(device, score_pipeline);
    qz_ypu_metal_set_buffer(device, p.query, 0, 0);
    qz_ypu_metal_set_buffer(device, p.keys, 0, 1);
    qz_ypu_metal_set_buffer(device, p.key_intercepts, 0, 2);
    qz_ypu_metal_set_buffer(device, p.key_slopes, 0, 3);
    qz_ypu_metal_set_int(device, p.num_queries, 4);
    bind_row_and_window(device, p, j, w);
    set_float(device, norm, 12);
    qz_ypu_metal_set_int(device, w.length1, 13);
    qz_ypu_metal_set_int(device, w.length2, 14);
    qz_ypu_metal_set_int(device, w.cnt, 15);
    qz_ypu_metal_set_buffer(device, scores, 0, 16);
    status = qz_ypu_metal_dispatch_threadgroups(device, score_pipeline, width, 1, 1,
                                                static_cast<uint32_t>(p.num_heads),
                                                static_cast<uint32_t>(w.cnt), 1);
    if (status != QZ_STATUS_SUCCESS) break;

    // A power-of-two multiple of the SIMD width, the first to cover the
    // row, within what the pipeline and the device allow.
    uintptr_t threads = width;
    while (threads < static_cast<uintptr_t>(w.cnt) && softmax_fits(2 * threads)) threads *= 2;
    qz_ypu_metal_begin_compute(device, softmax_pipeline);
    qz_ypu_metal_set_buffer(device, scores, 0, 0);
    set_float(device, norm, 1);
    qz_ypu_metal_set_int(device, w.cnt, 2);
    qz_ypu_metal_set_threadgroup_memory(device, static_cast<int32_t>(threads * 4), 0);
    status = qz_ypu_metal_dispatch_threadgroups(device, softmax_pipeline,
                                                static_cast<uint32_t>(threads), 1, 1,
                                                static_cast<uint32_t>(p.num_heads), 1, 1);
    if (status != QZ_STATUS_SUCCESS) break;

    qz_ypu_metal_begin_compute(device, value_pipeline);
    qz_ypu_metal_set_buffer(device, p.values, 0, 0);
    qz_ypu_metal_set_buffer(device, p.value_intercepts, 0, 1);
    qz_ypu_metal_set_buffer(device, p.value_slopes, 0, 2);
    qz_ypu_metal_set_int(device, w.length1, 3);
    qz_ypu_metal_set_int(device, w.length2, 4);
    bind_row_and_window(device, p, j, w);
    qz_ypu_metal_set_buffer(device, scores, 0, 12);
    qz_ypu_metal_set_buffer(device, p.output, 0, 13);
    status = qz_ypu_metal_dispatch_threadgroups(device, value_pipeline, value_threads, 1, 1,
                                                static_cast<uint32_t>(p.num_heads), 1, 1);
  }
  return status;
}

// The shape of the composite attentions' pieces, checked as the host checks
// it: what the host rejects goes to the host, which reports it. `capacity`
// is the rows per batch entry of a uint8 cache, or -1 for float operands.
struct piece_shape {
  int32_t batch, queries, keys, capacity, heads, kv_heads, dim;
};

// The arguments every piece's kernel starts with: batch entries, query
// rows, keys (none counting as 0), the cache capacity where there is one,
// heads, key/value heads, query heads per key/value head and the head
// dimension. Returns the next argument index.
int32_t bind_piece_shape(qz_ypu_metal_device_t *device, const piece_shape &s) {
  int32_t index = 0;
  qz_ypu_metal_set_int(device, s.batch, index++);
  qz_ypu_metal_set_int(device, s.queries, index++);
  qz_ypu_metal_set_int(device, std::max(s.keys, 0), index++);
  if (s.capacity >= 0) qz_ypu_metal_set_int(device, s.capacity, index++);
  qz_ypu_metal_set_int(device, s.heads, index++);
  qz_ypu_metal_set_int(device, s.kv_heads, index++);
  qz_ypu_metal_set_int(device, s.heads / s.kv_heads, index++);
  qz_ypu_metal_set_int(device, s.dim, index++);
  return index;
}

// The scores of every (batch entry, head, query row, key), one thread each
// along a one-dimensional grid: the shape, the scale 1 / sqrt(D), then the
// buffers in argument order.
qz_status_t encode_scores(qz_ypu_metal_device_t *device, void *state, const piece_shape &s,
                          const qz_ypu_buffer_t *const *buffers, int32_t buffer_count) {
  if (s.batch <= 0 || s.heads <= 0 || s.queries <= 0 || s.keys <= 0) return QZ_STATUS_SUCCESS;
  const int64_t threads = int64_t{s.batch} * s.heads * s.queries * s.keys;
  if (!qz_ypu_attention_heads_valid(s.heads, s.kv_heads) || s.dim < 0 || !fits_int32(threads))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_begin_compute(device, pipeline);
  int32_t index = bind_piece_shape(device, s);
  set_float(device, attention_norm(s.dim), index++);
  for (int32_t i = 0; i < buffer_count; ++i) qz_ypu_metal_set_buffer(device, buffers[i], 0, index++);
  return qz_ypu_metal_dispatch_threads(device, pipeline, 1, static_cast<int32_t>(threads), 1);
}

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(attention_kv_u8, ATTENTION_KV_U8_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(attention_kv_u16, ATTENTION_KV_U16_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(attention_blocked_f32, ATTENTION_BLOCKED_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(mask_window_f32, MASK_WINDOW_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(attention_values_f32, ATTENTION_VALUES_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(attention_values_cache_u8, ATTENTION_VALUES_CACHE_U8_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(attention_scores_f32, ATTENTION_SCORES_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(attention_scores_cache_u8, ATTENTION_SCORES_CACHE_U8_KERNELS)

qz_status_t qz_ypu_metal_attention_kv_u8(qz_ypu_metal_device_t *device, void *state,
                                         const void *params) {
  return attention_kv(device, state, params);
}

qz_status_t qz_ypu_metal_attention_kv_u16(qz_ypu_metal_device_t *device, void *state,
                                          const void *params) {
  return attention_kv(device, state, params);
}

qz_status_t qz_ypu_metal_attention_blocked_f32(qz_ypu_metal_device_t *device, void *state,
                                               const void *params) {
  const auto &p = *static_cast<const blocked *>(params);
  if (p.batch_size <= 0 || p.num_heads <= 0 || p.query_size <= 0) return QZ_STATUS_SUCCESS;
  const int64_t groups_z = int64_t{p.batch_size} * p.num_heads;
  const int64_t local_bytes = BLOCKED_ROWS * 4 * int64_t{p.head_dim};
  if (!qz_ypu_attention_heads_valid(p.num_heads, p.num_kv_heads) || p.head_dim < 1 ||
      p.key_value_size < 0 || !fits_int32(groups_z) || !fits_int32(local_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  // The accumulators of 32 query rows live in threadgroup memory: a head
  // dimension too wide for the device is left to the host.
  if (!qz_ypu_metal_threadgroup_memory_fits(device, pipeline, static_cast<uint64_t>(local_bytes)))
    return QZ_STATUS_INVALID_ARGUMENT;
  const uintptr_t width = qz_ypu_metal_thread_execution_width(device, pipeline);
  const uintptr_t groups = std::max<uintptr_t>(
      1, std::min(qz_ypu_metal_max_threads_per_threadgroup(device, pipeline) / width,
                  BLOCKED_MAX_GROUPS));
  qz_ypu_metal_bind(device, pipeline, params, BLOCKED_BINDINGS);
  qz_ypu_metal_set_int(device, static_cast<int32_t>(groups), 6);
  qz_ypu_metal_set_threadgroup_memory(device, static_cast<int32_t>(local_bytes), 0);
  const auto row_blocks = static_cast<uint32_t>((int64_t{p.query_size} + BLOCKED_ROWS - 1) /
                                                BLOCKED_ROWS);
  return qz_ypu_metal_dispatch_threadgroups(device, pipeline, static_cast<uint32_t>(width * groups),
                                            1, 1, 1, row_blocks, static_cast<uint32_t>(groups_z));
}

qz_status_t qz_ypu_metal_mask_window_f32(qz_ypu_metal_device_t *device, void *state,
                                         const void *params) {
  const auto &p = *static_cast<const mask *>(params);
  if (p.batches <= 0 || p.n <= 0 || p.k <= 0) return QZ_STATUS_SUCCESS;
  const int64_t rows = int64_t{p.batches} * p.n;
  if (!fits_int32(rows)) return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, MASK_WINDOW_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, 256, static_cast<int32_t>(rows), 1);
}

qz_status_t qz_ypu_metal_attention_values_f32(qz_ypu_metal_device_t *device, void *state,
                                              const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_f32_params_t *>(params);
  const piece_shape s{p.batch_size, p.query_size, p.key_value_size, -1,
                      p.num_heads,  p.num_kv_heads, p.head_dim};
  if (s.batch <= 0 || s.heads <= 0 || s.queries <= 0 || s.dim <= 0) return QZ_STATUS_SUCCESS;
  const int64_t threads = int64_t{s.batch} * s.heads * s.queries * s.dim;
  if (!qz_ypu_attention_heads_valid(s.heads, s.kv_heads) || !fits_int32(threads))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_begin_compute(device, pipeline);
  const int32_t index = bind_piece_shape(device, s);
  qz_ypu_metal_set_buffer(device, p.scores, 0, index);
  qz_ypu_metal_set_buffer(device, p.output, 0, index + 1);
  qz_ypu_metal_set_buffer(device, p.value, 0, index + 2);
  return qz_ypu_metal_dispatch_threads(device, pipeline, 1, static_cast<int32_t>(threads), 1);
}

// A row of one execution width along the head dimension per (batch entry,
// head, query row).
qz_status_t qz_ypu_metal_attention_values_cache_u8(qz_ypu_metal_device_t *device, void *state,
                                                   const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_values_cache_u8_params_t *>(params);
  const piece_shape s{p.batch_size, p.query_size, p.key_value_size, p.max_key_value_size,
                      p.num_heads,  p.num_kv_heads, p.head_dim};
  if (s.batch <= 0 || s.heads <= 0 || s.queries <= 0 || s.dim <= 0) return QZ_STATUS_SUCCESS;
  const int64_t depth = int64_t{s.batch} * s.heads * s.queries;
  if (!qz_ypu_attention_heads_valid(s.heads, s.kv_heads) || !fits_int32(depth))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  const auto width = static_cast<uint32_t>(qz_ypu_metal_thread_execution_width(device, pipeline));
  qz_ypu_metal_begin_compute(device, pipeline);
  const int32_t index = bind_piece_shape(device, s);
  qz_ypu_metal_set_buffer(device, p.scores, 0, index);
  qz_ypu_metal_set_buffer(device, p.output, 0, index + 1);
  qz_ypu_metal_set_buffer(device, p.value, 0, index + 2);
  qz_ypu_metal_set_buffer(device, p.value_metas, 0, index + 3);
  const auto rows = static_cast<int32_t>((s.dim + width - 1) / width);
  return qz_ypu_metal_dispatch_threads(device, pipeline, width, rows, static_cast<uint32_t>(depth));
}

qz_status_t qz_ypu_metal_attention_scores_f32(qz_ypu_metal_device_t *device, void *state,
                                              const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_f32_params_t *>(params);
  const qz_ypu_buffer_t *const buffers[] = {p.scores, p.query, p.key};
  return encode_scores(device, state,
                       {p.batch_size, p.query_size, p.key_value_size, -1, p.num_heads,
                        p.num_kv_heads, p.head_dim},
                       buffers, 3);
}

qz_status_t qz_ypu_metal_attention_scores_cache_u8(qz_ypu_metal_device_t *device, void *state,
                                                   const void *params) {
  const auto &p = *static_cast<const qz_ypu_attention_scores_cache_u8_params_t *>(params);
  const qz_ypu_buffer_t *const buffers[] = {p.scores, p.query, p.key, p.key_metas};
  return encode_scores(device, state,
                       {p.batch_size, p.query_size, p.key_value_size, p.max_key_value_size,
                        p.num_heads, p.num_kv_heads, p.head_dim},
                       buffers, 4);
}
