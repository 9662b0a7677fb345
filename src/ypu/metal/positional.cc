// Metal entries of the rotary position operations: rotation by a cos/sin
// table (op 7), the table builders (ops 32, 53) and the rotary embeddings
// with exponential frequencies (op 60) and over two patch axes (op 92).
//
// The calls the host implementation refuses (a negative table stride or
// position, half-split pairs reaching past the head, window sizes below 1)
// and the empty ones go back to it with QZ_STATUS_INVALID_ARGUMENT, so the
// kernels never index with them. Every entry returns its dispatch's status:
// a refused dispatch computed nothing.
#include <cstdint>

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using rope_table = qz_ypu_rope_apply_table_f32_params_t;
constexpr qz_ypu_metal_binding_t ROPE_TABLE_BINDINGS[] = {
    QZ_YPU_METAL_BUFFER_AT_ZERO(rope_table, data, 0),
    QZ_YPU_METAL_BYTES(rope_table, batch, 1),
    QZ_YPU_METAL_BYTES(rope_table, positions, 2),
    QZ_YPU_METAL_BYTES(rope_table, heads, 3),
    QZ_YPU_METAL_BYTES(rope_table, head_dim, 4),
    QZ_YPU_METAL_BYTES(rope_table, table_stride, 5),
    QZ_YPU_METAL_BYTES(rope_table, position_offset, 6),
    QZ_YPU_METAL_BUFFER_AT_ZERO(rope_table, table, 7),
};

using axes3 = qz_ypu_rope_table_3axis_f32_params_t;
constexpr qz_ypu_metal_binding_t AXES3_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(axes3, limit1, 0),
    QZ_YPU_METAL_BYTES(axes3, limit2, 1),
    QZ_YPU_METAL_BYTES(axes3, base, 2),
    QZ_YPU_METAL_BYTES(axes3, tokens, 3),  // "num_tokens", not read
    QZ_YPU_METAL_BYTES(axes3, width, 4),
    QZ_YPU_METAL_BUFFER(axes3, out, out_offset, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(axes3, positions, 6),
};

using scaled = qz_ypu_rope_table_scaled_f32_params_t;
constexpr qz_ypu_metal_binding_t SCALED_BINDINGS[] = {
    QZ_YPU_METAL_BUFFER(scaled, out, out_offset, 0),
    QZ_YPU_METAL_BUFFER(scaled, factors, factors_offset, 1),
    QZ_YPU_METAL_BYTES(scaled, width, 2),
    QZ_YPU_METAL_BYTES(scaled, tokens, 3),
    QZ_YPU_METAL_BYTES(scaled, base, 4),
    QZ_YPU_METAL_BYTES(scaled, magnitude, 5),
};

using expfreq = qz_ypu_rope_expfreq_f32_params_t;
constexpr qz_ypu_metal_binding_t EXPFREQ_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(expfreq, batch, 0),  // "b", not read
    QZ_YPU_METAL_BYTES(expfreq, positions, 1),   QZ_YPU_METAL_BYTES(expfreq, heads, 2),
    QZ_YPU_METAL_BYTES(expfreq, head_dim, 3),    QZ_YPU_METAL_BYTES(expfreq, start, 4),
    QZ_YPU_METAL_BYTES(expfreq, log_step, 5),    QZ_YPU_METAL_BUFFER_AT_ZERO(expfreq, out, 6),
    QZ_YPU_METAL_BUFFER_AT_ZERO(expfreq, in, 7),
};

using rope2d = qz_ypu_rope2d_f32_params_t;
constexpr qz_ypu_metal_binding_t ROPE2D_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(rope2d, tokens, 0),  // "total_tokens", not read
    QZ_YPU_METAL_BYTES(rope2d, heads, 1),        QZ_YPU_METAL_BYTES(rope2d, head_dim, 2),
    QZ_YPU_METAL_BYTES(rope2d, base, 3),         QZ_YPU_METAL_BYTES(rope2d, window, 4),
    QZ_YPU_METAL_BYTES(rope2d, window_rows, 5),  QZ_YPU_METAL_BYTES(rope2d, window_cols, 6),
    QZ_YPU_METAL_BUFFER_AT_ZERO(rope2d, out, 7), QZ_YPU_METAL_BUFFER_AT_ZERO(rope2d, in, 8),
};

// Slot 0 rotates split halves, slot 1 adjacent pairs; slot 1 is made first.
constexpr const char *ROPE_TABLE_KERNELS[] = {"taabe275", "taabe50"};
constexpr int32_t ROPE_TABLE_ORDER[] = {1, 0};
constexpr int32_t ROPE_TABLE_SPLIT = 0, ROPE_TABLE_ADJACENT = 1;
constexpr const char *AXES3_KERNELS[] = {"taabe101"};
constexpr const char *SCALED_KERNELS[] = {"taabe212"};
constexpr const char *EXPFREQ_KERNELS[] = {"taabe284"};
constexpr const char *ROPE2D_KERNELS[] = {"taabe263"};

}  // namespace

qz_status_t qz_ypu_metal_rope_apply_table_f32_init(qz_ypu_metal_device_t *device, void **state) {
  return qz_ypu_metal_state_init_ordered(device, state, ROPE_TABLE_KERNELS, ROPE_TABLE_ORDER, 2);
}

void qz_ypu_metal_rope_apply_table_f32_release(qz_ypu_metal_device_t *device, void *state) {
  qz_ypu_metal_state_release(device, state, 2);
}
QZ_YPU_METAL_STATE_ENTRIES(rope_table_3axis_f32, AXES3_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(rope_table_scaled_f32, SCALED_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(rope_expfreq_f32, EXPFREQ_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(rope2d_f32, ROPE2D_KERNELS)

qz_status_t qz_ypu_metal_rope_apply_table_f32(qz_ypu_metal_device_t *device, void *state,
                                              const void *params) {
  const auto &p = *static_cast<const rope_table *>(params);
  if (p.batch <= 0 || p.positions <= 0 || p.heads <= 0 || p.head_dim <= 0 || p.table_stride < 0 ||
      p.position_offset < 0 || (!p.adjacent && p.table_stride > p.head_dim))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline =
      qz_ypu_metal_pipeline(state, p.adjacent ? ROPE_TABLE_ADJACENT : ROPE_TABLE_SPLIT);
  qz_ypu_metal_bind(device, pipeline, params, ROPE_TABLE_BINDINGS);
  return qz_ypu_metal_dispatch_simd_rows(device, pipeline, 1, static_cast<uint32_t>(p.batch),
                                         static_cast<uint32_t>(p.positions),
                                         static_cast<uint32_t>(p.heads));
}

qz_status_t qz_ypu_metal_rope_table_3axis_f32(qz_ypu_metal_device_t *device, void *state,
                                              const void *params) {
  const auto &p = *static_cast<const axes3 *>(params);
  if (p.tokens <= 0 || p.width < 2 || p.out_offset < 0) return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, AXES3_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(p.width / 2),
                                       p.tokens, 1);
}

qz_status_t qz_ypu_metal_rope_table_scaled_f32(qz_ypu_metal_device_t *device, void *state,
                                               const void *params) {
  const auto &p = *static_cast<const scaled *>(params);
  if (p.tokens <= 0 || p.width < 2 || p.out_offset < 0 || p.factors_offset < 0)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, SCALED_BINDINGS);
  return qz_ypu_metal_dispatch_threadgroups(device, pipeline, 1, 1, 1,
                                            static_cast<uint32_t>(p.tokens), 1, 1);
}

qz_status_t qz_ypu_metal_rope_expfreq_f32(qz_ypu_metal_device_t *device, void *state,
                                          const void *params) {
  const auto &p = *static_cast<const expfreq *>(params);
  if (p.batch <= 0 || p.positions <= 0 || p.heads <= 0 || p.head_dim < 2)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, EXPFREQ_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(p.batch),
                                       p.positions, static_cast<uint32_t>(p.head_dim / 2));
}

qz_status_t qz_ypu_metal_rope2d_f32(qz_ypu_metal_device_t *device, void *state,
                                    const void *params) {
  const auto &p = *static_cast<const rope2d *>(params);
  // The kernel divides token numbers by window² · window_cols in 32 bits.
  if (p.window <= 0 || p.window_rows <= 0 || p.window_cols <= 0 ||
      int64_t{p.window} * p.window * p.window_cols > INT32_MAX || p.tokens <= 0 || p.heads <= 0 ||
      p.head_dim < 2)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, ROPE2D_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(p.head_dim / 2),
                                       p.heads, static_cast<uint32_t>(p.tokens));
}
