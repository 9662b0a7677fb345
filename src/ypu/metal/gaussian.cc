// Metal entries of the Gaussian-weighted average.
#include "ypu/metal/kernel_op.h"
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

}  // namespace

QZ_YPU_METAL_ONE_KERNEL_OP(gaussian_weights_f32, "taabe331", GAUSSIAN)
