// Metal entries of the row and column broadcasts and the 2-D bias addition.
#include "ypu/metal/kernel_op.h"
#include "ypu/params.h"

namespace {

// Thread (i, j) of the grid (rows, cols) handles element i * cols + j.
using broadcast = qz_ypu_broadcast_params_t;
constexpr qz_ypu_metal_binding_t BROADCAST_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(broadcast, rows, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(broadcast, cols, 1),
    QZ_YPU_METAL_BUFFER(broadcast, out, out_offset, 2),
    QZ_YPU_METAL_BUFFER(broadcast, a, a_offset, 3),
    QZ_YPU_METAL_BUFFER(broadcast, v, v_offset, 4),
};
constexpr qz_ypu_metal_call_t BROADCAST{BROADCAST_BINDINGS,
                                        QZ_YPU_METAL_GRID_XY(broadcast, rows, cols)};

// Thread (c, r, b) of the grid (cols, rows, batches); no byte offsets.
using bias_2d = qz_ypu_add_bias_2d_f32_params_t;
constexpr qz_ypu_metal_binding_t BIAS_2D_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(bias_2d, outer, 0),  // "m", not read
    QZ_YPU_METAL_BYTES(bias_2d, rows, 1),
    QZ_YPU_METAL_BYTES(bias_2d, cols, 2),
    QZ_YPU_METAL_BUFFER_AT_ZERO(bias_2d, x, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(bias_2d, row_bias, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(bias_2d, col_bias, 5),
};
constexpr qz_ypu_metal_call_t BIAS_2D{BIAS_2D_BINDINGS,
                                      QZ_YPU_METAL_GRID_XYZ(bias_2d, cols, rows, outer)};

}  // namespace

QZ_YPU_METAL_ONE_KERNEL_OP(add_row_f32, "taabe122", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(add_col_f32, "taabe151", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(div_row_f32, "taabe264", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(mul_row_f32, "taabe230", BROADCAST)
// The record's first buffer is the accumulator, read and written.
QZ_YPU_METAL_ONE_KERNEL_OP(fma_row_f32, "taabe63", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(mul_col_f32, "taabe195", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(sub_row_f32, "taabe93", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(sub_col_f32, "taabe103", BROADCAST)
QZ_YPU_METAL_ONE_KERNEL_OP(add_bias_2d_f32, "taabe137", BIAS_2D)
