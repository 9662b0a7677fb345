// Metal entries of the data-movement operations: row reversal, the row
// gathers, the batched transpose and the scaled embedding lookup.
#include "ypu/metal/kernel_op.h"
#include "ypu/params.h"

namespace {

using reverse = qz_ypu_reverse_rows_params_t;
constexpr qz_ypu_metal_binding_t REVERSE_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(reverse, rows, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(reverse, row_length, 1),
    QZ_YPU_METAL_BUFFER(reverse, data, offset, 2),
};

using gather = qz_ypu_gather_rows_params_t;
constexpr qz_ypu_metal_binding_t GATHER_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(gather, m, 0),  // not read
    QZ_YPU_METAL_BYTES(gather, n, 1),
    QZ_YPU_METAL_BUFFER_AT_ZERO(gather, output, 2),
    QZ_YPU_METAL_BUFFER_AT_ZERO(gather, input, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(gather, index, 4),
};
constexpr qz_ypu_metal_call_t GATHER{GATHER_BINDINGS, QZ_YPU_METAL_GRID_X(gather, m)};

using clamped = qz_ypu_gather_clamped_params_t;
constexpr qz_ypu_metal_binding_t CLAMPED_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(clamped, block_count, 0),  // "query_size"
    QZ_YPU_METAL_BYTES(clamped, block_rows, 1),   // "key_size"
    QZ_YPU_METAL_BYTES(clamped, row_words, 2),    // "head_dim"
    QZ_YPU_METAL_BYTES(clamped, source_rows, 3),  // "max_rel_dist"
    QZ_YPU_METAL_BUFFER_AT_ZERO(clamped, output, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(clamped, input, 5),
};
constexpr qz_ypu_metal_call_t CLAMPED{
    CLAMPED_BINDINGS, QZ_YPU_METAL_GRID_XYZ(clamped, row_words, block_rows, block_count)};

// The record carries no byte offsets: both buffers are bound at 0.
using transpose = qz_ypu_transpose_params_t;
constexpr qz_ypu_metal_binding_t TRANSPOSE_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(transpose, batch, 0),  // "b", not read
    QZ_YPU_METAL_BYTES(transpose, cols, 1),
    QZ_YPU_METAL_BYTES(transpose, rows, 2),
    QZ_YPU_METAL_BYTES(transpose, element_bytes, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(transpose, out, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(transpose, in, 5),
};
constexpr qz_ypu_metal_call_t TRANSPOSE{TRANSPOSE_BINDINGS,
                                        QZ_YPU_METAL_GRID_XYZ(transpose, batch, cols, rows)};

using embedding = qz_ypu_embedding_scale_add_f32_params_t;
constexpr qz_ypu_metal_binding_t EMBEDDING_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(embedding, batch, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(embedding, tokens, 1),
    QZ_YPU_METAL_BYTES(embedding, width, 2),
    QZ_YPU_METAL_BYTES(embedding, scale, 3),
    QZ_YPU_METAL_BYTES(embedding, start, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(embedding, out, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(embedding, ids, 6),
    QZ_YPU_METAL_BUFFER_AT_ZERO(embedding, table, 7),
    QZ_YPU_METAL_BUFFER_AT_ZERO(embedding, add, 8),
};
constexpr qz_ypu_metal_call_t EMBEDDING{EMBEDDING_BINDINGS,
                                        QZ_YPU_METAL_GRID_XY(embedding, batch, tokens)};

constexpr const char *REVERSE_ROWS_KERNELS[] = {"taabe154"};
constexpr const char *GATHER_CLAMPED_KERNELS[] = {"taabe19"};

}  // namespace

QZ_YPU_METAL_ONE_KERNEL_OP(gather_rows, "taabe202", GATHER)
QZ_YPU_METAL_ONE_KERNEL_OP(transpose, "taabe27", TRANSPOSE)
QZ_YPU_METAL_ONE_KERNEL_OP(embedding_scale_add_f32, "taabe316", EMBEDDING)

// The grid is (rows, row_length / 2): a row of one element needs no thread.
QZ_YPU_METAL_STATE_ENTRIES(reverse_rows, REVERSE_ROWS_KERNELS)
qz_status_t qz_ypu_metal_reverse_rows(qz_ypu_metal_device_t *device, void *state,
                                      const void *params) {
  const auto &p = *static_cast<const reverse *>(params);
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, REVERSE_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, p.rows < 0 ? 0 : uint32_t(p.rows),
                                       p.row_length / 2, 1);
}

// Without a source row there is nothing to clamp to: the kernel would read
// before the source, so no pass is made (the host writes nothing either).
QZ_YPU_METAL_STATE_ENTRIES(gather_clamped, GATHER_CLAMPED_KERNELS)
qz_status_t qz_ypu_metal_gather_clamped(qz_ypu_metal_device_t *device, void *state,
                                        const void *params) {
  if (static_cast<const clamped *>(params)->source_rows < 1) return QZ_STATUS_SUCCESS;
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, CLAMPED);
}
