// Metal entries of the Gaussian-weighted average.
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using gaussian = qz_ypu_gaussian_weights_f32_params_t;
constexpr qz_ypu_metal_binding_t GAUSSIAN_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(gaussian, rows, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(gaussian, positions, 1),
    QZ_YPU_METAL_BYTES(gaussian, channels, 2),
    QZ_YPU_METAL_BYTES(gaussian, after, 3),   // "num_lookaheads"
    QZ_YPU_METAL_BYTES(gaussian, before, 4),  // "num_lookbacks"
    QZ_YPU_METAL_BUFFER_AT_ZERO(gaussian, out, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(gaussian, values, 6),
    QZ_YPU_METAL_BUFFER_AT_ZERO(gaussian, widths, 7),   // "std"
    QZ_YPU_METAL_BUFFER_AT_ZERO(gaussian, centres, 8),  // "gaussian_center"
    QZ_YPU_METAL_BUFFER_AT_ZERO(gaussian, anchors, 9),  // "bucket"
};
constexpr qz_ypu_metal_call_t GAUSSIAN{GAUSSIAN_BINDINGS,
                                       QZ_YPU_METAL_GRID_XY(gaussian, rows, channels)};

constexpr const char *GAUSSIAN_WEIGHTS_F32_KERNELS[] = {"taabe331"};

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(gaussian_weights_f32, GAUSSIAN_WEIGHTS_F32_KERNELS)

qz_status_t qz_ypu_metal_gaussian_weights_f32(qz_ypu_metal_device_t *device, void *state,
                                              const void *params) {
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, GAUSSIAN);
}
