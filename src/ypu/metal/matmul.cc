// Metal entries of the matrix products: the int8 x int16 linear layers
// (ops 19, 20) and the float products with a transposed right operand
// (ops 21, 40). Empty shapes go back to the host implementation, which
// checks and skips them.
#include <cstdint>

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using linear = qz_ypu_linear_i8i16_params_t;
constexpr qz_ypu_metal_binding_t LINEAR_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(linear, out_features, 0),     QZ_YPU_METAL_BYTES(linear, in_features, 1),
    QZ_YPU_METAL_BUFFER(linear, out, out_offset, 2), QZ_YPU_METAL_BUFFER(linear, in, in_offset, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(linear, weights, 4), QZ_YPU_METAL_BUFFER_AT_ZERO(linear, bias, 5),
};

using batched = qz_ypu_matmul_nt_batched_f32_params_t;
constexpr qz_ypu_metal_binding_t BATCHED_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(batched, b_per_head, 0),  // "is_height"
    QZ_YPU_METAL_BYTES(batched, heads, 1),       // "height"
    QZ_YPU_METAL_BYTES(batched, rows, 2),        // "width"
    QZ_YPU_METAL_BYTES(batched, cols, 3),        // "key_dim"
    QZ_YPU_METAL_BYTES(batched, depth, 4),       // "head_dimension"
    QZ_YPU_METAL_BUFFER_AT_ZERO(batched, out, 5), QZ_YPU_METAL_BUFFER_AT_ZERO(batched, a, 6),
    QZ_YPU_METAL_BUFFER_AT_ZERO(batched, b, 7),
};

using matmul = qz_ypu_matmul_nt_f32_params_t;
constexpr qz_ypu_metal_binding_t MATMUL_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(matmul, m, 0),  // not read
    QZ_YPU_METAL_BYTES(matmul, n, 1),
    QZ_YPU_METAL_BYTES(matmul, k, 2),
    QZ_YPU_METAL_BUFFER(matmul, out, out_offset, 3),
    QZ_YPU_METAL_BUFFER(matmul, a, a_offset, 4),
    QZ_YPU_METAL_BUFFER(matmul, b, b_offset, 5),
};

constexpr const char *LINEAR_ACC_KERNELS[] = {"taabe10"};
constexpr const char *LINEAR_KERNELS[] = {"taabe36"};
constexpr const char *BATCHED_KERNELS[] = {"taabe116"};
constexpr const char *MATMUL_KERNELS[] = {"taabe145"};

// Ops 19 and 20: threadgroups of one SIMD-group row by 16 outputs, one
// threadgroup row per input row.
qz_status_t linear_i8i16(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const linear *>(params);
  if (p.rows <= 0 || p.out_features <= 0 || p.in_features < 0 || p.out_offset < 0 ||
      p.in_offset < 0)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, LINEAR_BINDINGS);
  return qz_ypu_metal_dispatch_rows16(device, pipeline, p.out_features,
                                      static_cast<uint32_t>(p.rows));
}

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(linear_acc_i8i16, LINEAR_ACC_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(linear_i8i16, LINEAR_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(matmul_nt_batched_f32, BATCHED_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(matmul_nt_f32, MATMUL_KERNELS)

qz_status_t qz_ypu_metal_linear_acc_i8i16(qz_ypu_metal_device_t *device, void *state,
                                          const void *params) {
  return linear_i8i16(device, state, params);
}

qz_status_t qz_ypu_metal_linear_i8i16(qz_ypu_metal_device_t *device, void *state,
                                      const void *params) {
  return linear_i8i16(device, state, params);
}

qz_status_t qz_ypu_metal_matmul_nt_batched_f32(qz_ypu_metal_device_t *device, void *state,
                                               const void *params) {
  const auto &p = *static_cast<const batched *>(params);
  const int64_t positions = int64_t{p.heads} * p.rows;
  if (p.batch <= 0 || p.heads <= 0 || p.rows <= 0 || p.cols < 0 || p.depth < 0 ||
      positions > UINT32_MAX)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, BATCHED_BINDINGS);
  return qz_ypu_metal_dispatch_simd_rows(device, pipeline, 1, 1, static_cast<uint32_t>(p.batch),
                                         static_cast<uint32_t>(positions));
}

qz_status_t qz_ypu_metal_matmul_nt_f32(qz_ypu_metal_device_t *device, void *state,
                                       const void *params) {
  const auto &p = *static_cast<const matmul *>(params);
  if (p.m <= 0 || p.n <= 0 || p.k < 0 || p.out_offset < 0 || p.a_offset < 0 || p.b_offset < 0)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, MATMUL_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, 1, p.m, static_cast<uint32_t>(p.n));
}
