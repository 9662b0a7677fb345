// Metal entries of the key/value cache writers, the int16 row quantiser and
// the left shift of cache rows.
#include "ypu/metal/kernel_op.h"
#include "ypu/params.h"

namespace {

using ring = qz_ypu_quantize_rows_ring_params_t;
constexpr qz_ypu_metal_binding_t RING_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(ring, m, 0),
    QZ_YPU_METAL_BYTES(ring, n, 1),
    QZ_YPU_METAL_BYTES(ring, k, 2),
    QZ_YPU_METAL_BUFFER_AT_ZERO(ring, xf, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(ring, xq, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(ring, intercept, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(ring, slope, 6),
    QZ_YPU_METAL_BYTES(ring, window, 7),
    QZ_YPU_METAL_BYTES(ring, position, 8),
};
constexpr qz_ypu_metal_call_t RING{RING_BINDINGS, QZ_YPU_METAL_GRID_XY(ring, m, n)};

using linear = qz_ypu_quantize_rows_u8_params_t;
constexpr qz_ypu_metal_binding_t LINEAR_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(linear, m, 0),
    QZ_YPU_METAL_BYTES(linear, n, 1),
    QZ_YPU_METAL_BYTES(linear, k, 2),
    QZ_YPU_METAL_BYTES(linear, max_length, 3),
    QZ_YPU_METAL_BYTES(linear, position, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(linear, xq, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(linear, xm, 6),
    QZ_YPU_METAL_BUFFER(linear, xf, xf_offset, 7),
};
constexpr qz_ypu_metal_call_t LINEAR{LINEAR_BINDINGS, QZ_YPU_METAL_GRID_XY(linear, m, n)};

using rows_i16 = qz_ypu_quantize_rows_i16_params_t;
constexpr qz_ypu_metal_binding_t ROWS_I16_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(rows_i16, rows, 0),
    QZ_YPU_METAL_BYTES(rows_i16, cols, 1),
    QZ_YPU_METAL_BUFFER(rows_i16, out, out_offset, 2),
    QZ_YPU_METAL_BUFFER(rows_i16, factors, factors_offset, 3),  // "inverse_scale"
    QZ_YPU_METAL_BUFFER(rows_i16, in, in_offset, 4),
};
constexpr qz_ypu_metal_call_t ROWS_I16{ROWS_I16_BINDINGS, QZ_YPU_METAL_GRID_X(rows_i16, rows)};

using shift = qz_ypu_shift_rows_left_params_t;
constexpr qz_ypu_metal_binding_t SHIFT_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(shift, row_bytes, 0),    // "size_bytes"
    QZ_YPU_METAL_BYTES(shift, shift_bytes, 1),  // "input_offset"
    QZ_YPU_METAL_BUFFER_AT_ZERO(shift, data, 2),
};
constexpr qz_ypu_metal_call_t SHIFT{SHIFT_BINDINGS, QZ_YPU_METAL_GRID_X(shift, rows)};

constexpr const char *QUANTIZE_ROWS_RING_U8_KERNELS[] = {"taabe82"};
constexpr const char *QUANTIZE_ROWS_RING_U16_KERNELS[] = {"taabe150"};
constexpr const char *QUANTIZE_ROWS_U8_KERNELS[] = {"taabe20"};
constexpr const char *SHIFT_ROWS_LEFT_KERNELS[] = {"taabe323"};

// A ring needs a row, and a position before the start would index before
// it: such calls go to the host implementation, which reports them.
qz_status_t encode_ring(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const ring *>(params);
  if (p.m <= 0 || p.n <= 0 || p.k <= 0) return QZ_STATUS_SUCCESS;
  if (p.window < 1 || p.position < 0) return QZ_STATUS_INVALID_ARGUMENT;
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, RING);
}

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(quantize_rows_ring_u8, QUANTIZE_ROWS_RING_U8_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(quantize_rows_ring_u16, QUANTIZE_ROWS_RING_U16_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(quantize_rows_u8, QUANTIZE_ROWS_U8_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(shift_rows_left, SHIFT_ROWS_LEFT_KERNELS)

qz_status_t qz_ypu_metal_quantize_rows_ring_u8(qz_ypu_metal_device_t *device, void *state,
                                               const void *params) {
  return encode_ring(device, state, params);
}

qz_status_t qz_ypu_metal_quantize_rows_ring_u16(qz_ypu_metal_device_t *device, void *state,
                                                const void *params) {
  return encode_ring(device, state, params);
}

// A row of no element has no minimum to start from.
qz_status_t qz_ypu_metal_quantize_rows_u8(qz_ypu_metal_device_t *device, void *state,
                                          const void *params) {
  const auto &p = *static_cast<const linear *>(params);
  if (p.k < 1) return QZ_STATUS_SUCCESS;
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, LINEAR);
}

QZ_YPU_METAL_ONE_KERNEL_OP(quantize_rows_i16, "taabe100", ROWS_I16)

// A shift outside the row would move a negative byte count (or read before
// the row): the host implementation reports it.
qz_status_t qz_ypu_metal_shift_rows_left(qz_ypu_metal_device_t *device, void *state,
                                         const void *params) {
  const auto &p = *static_cast<const shift *>(params);
  if (p.rows > 0 && (p.shift_bytes < 0 || p.shift_bytes > p.row_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, SHIFT);
}
