// Metal entries of the convolutions: the int8 x int16 depthwise, full and
// transposed 1-D convolutions (ops 10, 11, 12) and the float 2-D
// convolution (op 13).
//
// Calls the kernels cannot do correctly go back to the host implementation
// (QZ_STATUS_INVALID_ARGUMENT): empty shapes (which the host checks and
// skips), a stride below 1 (the entries divide by it) and, for op 12, taps
// that are not a whole number of strides (the phase kernel would drop the
// last taps). Op 10 adds into its output as the host does; op 12 writes
// every output row with its whole sum, as the CPU backend does (the host,
// which adds, agrees on a zeroed output).
#include <cstdint>

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

// Operands start inside their buffers (the host implementation reports the
// records that do not).
template <class Record>
bool offsets_valid(const Record &p) {
  return p.out_offset >= 0 && p.weights_offset >= 0 && p.in_offset >= 0;
}

using dwconv = qz_ypu_dwconv1d_acc_i8i16_params_t;
constexpr qz_ypu_metal_binding_t DWCONV_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(dwconv, rows, 0),
    QZ_YPU_METAL_BYTES(dwconv, channels, 1),
    QZ_YPU_METAL_BYTES(dwconv, taps, 2),
    QZ_YPU_METAL_BUFFER(dwconv, out, out_offset, 3),
    QZ_YPU_METAL_BUFFER(dwconv, weights, weights_offset, 4),
    QZ_YPU_METAL_BUFFER(dwconv, in, in_offset, 5),
};

using conv1d = qz_ypu_conv1d_i8i16_params_t;
constexpr qz_ypu_metal_binding_t CONV1D_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(conv1d, rows, 0),
    QZ_YPU_METAL_BYTES(conv1d, out_channels, 1),
    QZ_YPU_METAL_BYTES(conv1d, in_channels, 2),
    QZ_YPU_METAL_BYTES(conv1d, taps, 3),
    QZ_YPU_METAL_BUFFER(conv1d, out, out_offset, 4),
    QZ_YPU_METAL_BUFFER(conv1d, weights, weights_offset, 5),
    QZ_YPU_METAL_BUFFER(conv1d, in, in_offset, 6),
};

using transposed = qz_ypu_dwconv1d_transposed_i8i16_params_t;
constexpr qz_ypu_metal_binding_t TRANSPOSED_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(transposed, rows, 0),
    QZ_YPU_METAL_BYTES(transposed, channels, 1),
    // 2: taps per phase, computed
    QZ_YPU_METAL_BYTES(transposed, stride, 3),
    QZ_YPU_METAL_BUFFER(transposed, out, out_offset, 4),
    QZ_YPU_METAL_BUFFER(transposed, weights, weights_offset, 5),
    QZ_YPU_METAL_BUFFER(transposed, in, in_offset, 6),
};

using conv2d = qz_ypu_conv2d_f32_params_t;
constexpr qz_ypu_metal_binding_t CONV2D_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(conv2d, stride, 0),
    QZ_YPU_METAL_BYTES(conv2d, pad, 1),
    QZ_YPU_METAL_BYTES(conv2d, batch, 2),  // "batch_size", not read
    QZ_YPU_METAL_BYTES(conv2d, out_channels, 3),
    QZ_YPU_METAL_BYTES(conv2d, in_channels, 4),
    QZ_YPU_METAL_BYTES(conv2d, in_height, 5),
    QZ_YPU_METAL_BYTES(conv2d, in_width, 6),
    QZ_YPU_METAL_BYTES(conv2d, kernel_height, 7),
    QZ_YPU_METAL_BYTES(conv2d, kernel_width, 8),
    QZ_YPU_METAL_BUFFER_AT_ZERO(conv2d, out, 9),
    QZ_YPU_METAL_BUFFER_AT_ZERO(conv2d, in, 10),
    QZ_YPU_METAL_BUFFER_AT_ZERO(conv2d, weights, 11),
};

constexpr const char *DWCONV1D_ACC_KERNELS[] = {"taabe258"};
constexpr const char *CONV1D_KERNELS[] = {"taabe259"};
constexpr const char *DWCONV1D_TRANSPOSED_KERNELS[] = {"taabe16"};
constexpr const char *CONV2D_KERNELS[] = {"taabe328"};

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(dwconv1d_acc_i8i16, DWCONV1D_ACC_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(conv1d_i8i16, CONV1D_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(dwconv1d_transposed_i8i16, DWCONV1D_TRANSPOSED_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(conv2d_f32, CONV2D_KERNELS)

qz_status_t qz_ypu_metal_dwconv1d_acc_i8i16(qz_ypu_metal_device_t *device, void *state,
                                            const void *params) {
  const auto &p = *static_cast<const dwconv *>(params);
  if (p.rows <= 0 || p.channels <= 0 || p.taps <= 0 || !offsets_valid(p))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, DWCONV_BINDINGS);
  return qz_ypu_metal_dispatch_rows16(device, pipeline, p.rows, 1);
}

qz_status_t qz_ypu_metal_conv1d_i8i16(qz_ypu_metal_device_t *device, void *state,
                                      const void *params) {
  const auto &p = *static_cast<const conv1d *>(params);
  if (p.rows <= 0 || p.out_channels <= 0 || p.in_channels < 0 || p.taps < 0 || !offsets_valid(p))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, CONV1D_BINDINGS);
  return qz_ypu_metal_dispatch_rows16(device, pipeline, p.rows,
                                      static_cast<uint32_t>(p.out_channels));
}

qz_status_t qz_ypu_metal_dwconv1d_transposed_i8i16(qz_ypu_metal_device_t *device, void *state,
                                                   const void *params) {
  const auto &p = *static_cast<const transposed *>(params);
  if (p.rows <= 0 || p.channels <= 0 || p.taps <= 0 || p.stride < 1 || p.taps % p.stride != 0 ||
      !offsets_valid(p))
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, TRANSPOSED_BINDINGS);
  qz_ypu_metal_set_int(device, p.taps / p.stride, 2);
  // Output rows are produced per phase: rows + taps/stride - 1 of them.
  const int64_t phase_rows = int64_t{p.rows} + p.taps / p.stride - 1;
  return qz_ypu_metal_dispatch_rows16(device, pipeline, phase_rows, 1);
}

qz_status_t qz_ypu_metal_conv2d_f32(qz_ypu_metal_device_t *device, void *state,
                                    const void *params) {
  const auto &p = *static_cast<const conv2d *>(params);
  if (p.stride < 1 || p.pad < 0) return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t out_h =
      (int64_t{p.in_height} - p.kernel_height + 2 * int64_t{p.pad}) / p.stride + 1;
  const int64_t out_w = (int64_t{p.in_width} + 2 * int64_t{p.pad} - p.kernel_width) / p.stride + 1;
  const int64_t length = int64_t{p.in_channels} * p.kernel_height * p.kernel_width;
  const int64_t planes = int64_t{p.batch} * p.out_channels;
  if (out_h <= 0 || out_w <= 0 || length <= 0 || planes <= 0 || p.in_height <= 0 ||
      p.in_width <= 0 || out_h * out_w > UINT32_MAX || planes > UINT32_MAX)
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  const uint64_t w = qz_ypu_metal_thread_execution_width(device, pipeline);
  const uint64_t m = qz_ypu_metal_max_threads_per_threadgroup(device, pipeline);
  uint64_t width = 8 * w < m ? 8 * w : m;
  if (static_cast<uint64_t>(length) < width) width = static_cast<uint64_t>(length);
  qz_ypu_metal_bind(device, pipeline, params, CONV2D_BINDINGS);
  return qz_ypu_metal_dispatch_threadgroups(device, pipeline, static_cast<uint32_t>(width), 1, 1, 1,
                                            static_cast<uint32_t>(planes),
                                            static_cast<uint32_t>(out_h * out_w));
}
