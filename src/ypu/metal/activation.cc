// Metal entries of the activations: the GELU forms, SiLU, and the float and
// fixed-point sigmoid and tanh. One kernel each over an exact grid.
#include "ypu/metal/kernel_op.h"
#include "ypu/params.h"

namespace {

// SiLU's kernel tests its position against the count it reads, and takes
// its operands in the other order: the input at 1, the output at 2.
using unary = qz_ypu_unary_params_t;
constexpr qz_ypu_metal_binding_t SILU_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(unary, count, 0),
    QZ_YPU_METAL_BUFFER(unary, in, in_offset, 1),
    QZ_YPU_METAL_BUFFER(unary, out, out_offset, 2),
};
constexpr qz_ypu_metal_call_t SILU{SILU_BINDINGS, QZ_YPU_METAL_GRID_X(unary, count)};

}  // namespace

QZ_YPU_METAL_ONE_KERNEL_OP(gelu_tanh_f32, "taabe17", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(gelu_sigmoid_f32, "taabe119", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(gelu_erf_f32, "taabe342", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(sigmoid_table_f32, "taabe325", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(sigmoid_i16, "taabe29", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(sigmoid_q10_i16, "taabe231", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(tanh_table_f32, "taabe190", QZ_YPU_METAL_UNARY_CALL)
// The dispatch's status is returned: a refused pass computed nothing.
QZ_YPU_METAL_ONE_KERNEL_OP(silu_f32, "taabe47", SILU)

