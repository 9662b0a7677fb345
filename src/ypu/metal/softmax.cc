// Metal entries of the float and fixed-point row softmax.
#include <algorithm>
#include <cstdint>

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using matrix = qz_ypu_matrix_params_t;
constexpr qz_ypu_metal_binding_t SOFTMAX_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(matrix, cols, 0),  // "length"
    QZ_YPU_METAL_BUFFER(matrix, out, out_offset, 1),
    QZ_YPU_METAL_BUFFER(matrix, in, in_offset, 2),
};

constexpr const char *SOFTMAX_F32_KERNELS[] = {"taabe67"};
constexpr const char *SOFTMAX_FIXED_I16_KERNELS[] = {"taabe160"};

// The fixed-point kernel keeps one partial sum per thread in arrays of this
// many entries.
constexpr uintptr_t SOFTMAX_FIXED_MAX_THREADS = 1024;

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(softmax_f32, SOFTMAX_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(softmax_fixed_i16, SOFTMAX_FIXED_I16_KERNELS)

// One SIMD group per row: a grid of (execution width, rows). An empty row
// has nothing to write (and no first element to start the maximum from).
qz_status_t qz_ypu_metal_softmax_f32(qz_ypu_metal_device_t *device, void *state,
                                     const void *params) {
  const auto &p = *static_cast<const matrix *>(params);
  if (p.rows <= 0 || p.cols <= 0) return QZ_STATUS_SUCCESS;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  const auto width = static_cast<uint32_t>(qz_ypu_metal_thread_execution_width(device, pipeline));
  qz_ypu_metal_bind(device, pipeline, params, SOFTMAX_BINDINGS);
  return qz_ypu_metal_dispatch_threads(device, pipeline, width, p.rows, 1);
}

// One threadgroup per row, as wide as the row up to what the pipeline and
// the kernel's per-thread arrays allow.
qz_status_t qz_ypu_metal_softmax_fixed_i16(qz_ypu_metal_device_t *device, void *state,
                                           const void *params) {
  const auto &p = *static_cast<const matrix *>(params);
  // An empty row has no maximum and a zero sum: the host implementation
  // reports it.
  if (p.rows > 0 && p.cols <= 0) return QZ_STATUS_INVALID_ARGUMENT;
  if (p.rows <= 0) return QZ_STATUS_SUCCESS;
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  const uintptr_t width = std::min({static_cast<uintptr_t>(p.cols),
                                    qz_ypu_metal_max_threads_per_threadgroup(device, pipeline),
                                    SOFTMAX_FIXED_MAX_THREADS});
  qz_ypu_metal_bind(device, pipeline, params, SOFTMAX_BINDINGS);
  return qz_ypu_metal_dispatch_threadgroups(device, pipeline, static_cast<uint32_t>(width), 1, 1,
                                            static_cast<uint32_t>(p.rows), 1, 1);
}
