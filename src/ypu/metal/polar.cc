// Metal entries of the polar-to-complex spectrum.
#include "ypu/metal/kernel_op.h"
#include "ypu/params.h"

namespace {

using matrix = qz_ypu_matrix_params_t;
constexpr qz_ypu_metal_binding_t POLAR_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(matrix, rows, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(matrix, cols, 1),
    QZ_YPU_METAL_BUFFER(matrix, out, out_offset, 2),
    QZ_YPU_METAL_BUFFER(matrix, in, in_offset, 3),
};
constexpr qz_ypu_metal_call_t POLAR{POLAR_BINDINGS, QZ_YPU_METAL_GRID_X(matrix, rows)};

}  // namespace

QZ_YPU_METAL_ONE_KERNEL_OP(polar_spectrum_f32, "taabe317", POLAR)
