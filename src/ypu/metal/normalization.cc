// Metal entries of the row and column normalisations, the column mean and
// the column sum of Q10 values.
#include <cstdint>
#include <limits>

#include "ypu/metal/kernel_op.h"
#include "ypu/params.h"

namespace {

using layer = qz_ypu_layer_norm_f32_params_t;
constexpr qz_ypu_metal_binding_t LAYER_NORM_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(layer, rows, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(layer, cols, 1),
    QZ_YPU_METAL_BYTES(layer, epsilon, 2),
    QZ_YPU_METAL_BUFFER(layer, out, out_offset, 3),
    QZ_YPU_METAL_BUFFER(layer, in, in_offset, 4),
    QZ_YPU_METAL_BUFFER(layer, gamma, gamma_offset, 5),
    QZ_YPU_METAL_BUFFER(layer, beta, beta_offset, 6),
};

using plain = qz_ypu_layer_norm_plain_f32_params_t;
constexpr qz_ypu_metal_binding_t LAYER_NORM_PLAIN_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(plain, rows, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(plain, cols, 1),
    QZ_YPU_METAL_BYTES(plain, epsilon, 2),
    QZ_YPU_METAL_BUFFER(plain, out, out_offset, 3),
    QZ_YPU_METAL_BUFFER(plain, in, in_offset, 4),
};

using columns = qz_ypu_layer_norm_columns_f32_params_t;
constexpr qz_ypu_metal_binding_t LAYER_NORM_COLUMNS_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(columns, batch, 0),  // not read
    QZ_YPU_METAL_BYTES(columns, length, 1),
    QZ_YPU_METAL_BYTES(columns, cols, 2),
    QZ_YPU_METAL_BYTES(columns, epsilon, 3),
    QZ_YPU_METAL_BUFFER(columns, out, out_offset, 4),
    QZ_YPU_METAL_BUFFER(columns, in, in_offset, 5),
    QZ_YPU_METAL_BUFFER(columns, gamma, gamma_offset, 6),
    QZ_YPU_METAL_BUFFER(columns, beta, beta_offset, 7),
};
constexpr qz_ypu_metal_call_t LAYER_NORM_COLUMNS{LAYER_NORM_COLUMNS_BINDINGS,
                                                 QZ_YPU_METAL_GRID_XY(columns, cols, batch)};

using group = qz_ypu_group_norm_f32_params_t;
constexpr qz_ypu_metal_binding_t GROUP_NORM_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(group, length, 0),
    QZ_YPU_METAL_BYTES(group, cols, 1),
    QZ_YPU_METAL_BYTES(group, epsilon, 2),
    QZ_YPU_METAL_BUFFER_AT_ZERO(group, out, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(group, in, 4),
};
constexpr qz_ypu_metal_call_t GROUP_NORM{GROUP_NORM_BINDINGS, QZ_YPU_METAL_GRID_X(group, cols)};

using rms = qz_ypu_rms_norm_f32_params_t;
constexpr qz_ypu_metal_binding_t RMS_NORM_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(rms, cols, 0),  // "dimension"
    QZ_YPU_METAL_BYTES(rms, epsilon, 1),
    QZ_YPU_METAL_BUFFER(rms, gamma, gamma_offset, 2),
    QZ_YPU_METAL_BYTES(rms, rows, 3),  // "n", not read
    QZ_YPU_METAL_BUFFER(rms, in, in_offset, 4),
    QZ_YPU_METAL_BUFFER(rms, out, out_offset, 5),
};
// One threadgroup of this many threads per row.
constexpr uint32_t RMS_NORM_THREADS = 512;

using matrix = qz_ypu_matrix_params_t;
constexpr qz_ypu_metal_binding_t COLUMN_REDUCTION_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(matrix, rows, 0),
    QZ_YPU_METAL_BYTES(matrix, cols, 1),
    QZ_YPU_METAL_BUFFER(matrix, out, out_offset, 2),
    QZ_YPU_METAL_BUFFER(matrix, in, in_offset, 3),
};
constexpr qz_ypu_metal_call_t COLUMN_REDUCTION{COLUMN_REDUCTION_BINDINGS,
                                               QZ_YPU_METAL_GRID_X(matrix, cols)};

constexpr const char *LAYER_NORM_F32_KERNELS[] = {"taabe175"};
constexpr const char *LAYER_NORM_PLAIN_F32_KERNELS[] = {"taabe88"};
constexpr const char *RMS_NORM_F32_KERNELS[] = {"taabe164"};

// One SIMD group per row: a grid of (execution width x rows) threads. Rows
// of no element have nothing to write; a grid wider than 32 bits is left to
// the host implementation.
qz_status_t encode_row_groups(qz_ypu_metal_device_t *device, void *state, const void *params,
                              std::span<const qz_ypu_metal_binding_t> bindings, int32_t rows,
                              int32_t cols) {
  if (rows <= 0 || cols <= 0) return QZ_STATUS_SUCCESS;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  const uint64_t width = uint64_t{qz_ypu_metal_thread_execution_width(device, pipeline)} *
                         static_cast<uint64_t>(rows);
  if (width > std::numeric_limits<uint32_t>::max()) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_metal_bind(device, pipeline, params, bindings);
  return qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(width), 1, 1);
}

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(layer_norm_f32, LAYER_NORM_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(layer_norm_plain_f32, LAYER_NORM_PLAIN_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(rms_norm_f32, RMS_NORM_F32_KERNELS)

qz_status_t qz_ypu_metal_layer_norm_f32(qz_ypu_metal_device_t *device, void *state,
                                        const void *params) {
  const auto &p = *static_cast<const layer *>(params);
  return encode_row_groups(device, state, params, LAYER_NORM_BINDINGS, p.rows, p.cols);
}

qz_status_t qz_ypu_metal_layer_norm_plain_f32(qz_ypu_metal_device_t *device, void *state,
                                              const void *params) {
  const auto &p = *static_cast<const plain *>(params);
  return encode_row_groups(device, state, params, LAYER_NORM_PLAIN_BINDINGS, p.rows, p.cols);
}

QZ_YPU_METAL_ONE_KERNEL_OP(layer_norm_columns_f32, "taabe268", LAYER_NORM_COLUMNS)
QZ_YPU_METAL_ONE_KERNEL_OP(group_norm_f32, "taabe211", GROUP_NORM)

// A refused threadgroup (a pipeline allowing fewer than 512 threads) is
// reported, not passed off as a result.
qz_status_t qz_ypu_metal_rms_norm_f32(qz_ypu_metal_device_t *device, void *state,
                                      const void *params) {
  const auto &p = *static_cast<const rms *>(params);
  if (p.rows <= 0 || p.cols <= 0) return QZ_STATUS_SUCCESS;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, RMS_NORM_BINDINGS);
  return qz_ypu_metal_dispatch_threadgroups(device, pipeline, RMS_NORM_THREADS, 1, 1,
                                            static_cast<uint32_t>(p.rows), 1, 1);
}

QZ_YPU_METAL_ONE_KERNEL_OP(mean_rows_f32, "taabe278", COLUMN_REDUCTION)
QZ_YPU_METAL_ONE_KERNEL_OP(sum_rows_i16, "taabe70", COLUMN_REDUCTION)
