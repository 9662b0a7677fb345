// Metal entries of the element-wise arithmetic and conversions: one kernel
// each, one thread per element over an exact grid.
#include "ypu/metal/kernel_op.h"

#include "ypu/params.h"

namespace {

using unary = qz_ypu_unary_params_t;
constexpr qz_ypu_metal_binding_t UNARY_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(unary, count, 0),  // "length", not read
    QZ_YPU_METAL_BUFFER(unary, out, out_offset, 1),
    QZ_YPU_METAL_BUFFER(unary, in, in_offset, 2),
};

using two_input = qz_ypu_two_input_params_t;
constexpr qz_ypu_metal_binding_t TWO_INPUT_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(two_input, count, 0),  // "length", not read
    QZ_YPU_METAL_BUFFER(two_input, out, out_offset, 1),
    QZ_YPU_METAL_BUFFER(two_input, a, a_offset, 2),
    QZ_YPU_METAL_BUFFER(two_input, b, b_offset, 3),
};
constexpr qz_ypu_metal_call_t TWO_INPUT{TWO_INPUT_BINDINGS, QZ_YPU_METAL_GRID_X(two_input, count)};

using scalar = qz_ypu_scalar_params_t;
constexpr qz_ypu_metal_binding_t SCALAR_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(scalar, count, 0),  // "length", not read
    QZ_YPU_METAL_BYTES(scalar, scalar, 1),
    QZ_YPU_METAL_BUFFER(scalar, out, out_offset, 2),
    QZ_YPU_METAL_BUFFER(scalar, in, in_offset, 3),
};
constexpr qz_ypu_metal_call_t SCALAR{SCALAR_BINDINGS, QZ_YPU_METAL_GRID_X(scalar, count)};

using affine = qz_ypu_affine_columns_i16_params_t;
constexpr qz_ypu_metal_binding_t AFFINE_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(affine, rows, 0),
    QZ_YPU_METAL_BYTES(affine, cols, 1),
    QZ_YPU_METAL_BUFFER(affine, out, out_offset, 2),
    QZ_YPU_METAL_BUFFER(affine, in, in_offset, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(affine, offsets, 4),
    QZ_YPU_METAL_BUFFER_AT_ZERO(affine, scales, 5),
};
constexpr qz_ypu_metal_call_t AFFINE{AFFINE_BINDINGS, QZ_YPU_METAL_GRID_XY(affine, cols, rows)};

using scale_bias = qz_ypu_scale_bias_i16_params_t;
constexpr qz_ypu_metal_binding_t SCALE_BIAS_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(scale_bias, count, 0),  // "length", not read
    QZ_YPU_METAL_BUFFER(scale_bias, out, out_offset, 3),
    QZ_YPU_METAL_BUFFER(scale_bias, in, in_offset, 4),
};

}  // namespace

const qz_ypu_metal_call_t QZ_YPU_METAL_UNARY_CALL{UNARY_BINDINGS, QZ_YPU_METAL_GRID_X(unary, count)};

QZ_YPU_METAL_ONE_KERNEL_OP(add_f32, "taabe69", TWO_INPUT)
QZ_YPU_METAL_ONE_KERNEL_OP(add_sat_i16, "taabe15", TWO_INPUT)
QZ_YPU_METAL_ONE_KERNEL_OP(div_f32, "taabe135", TWO_INPUT)
QZ_YPU_METAL_ONE_KERNEL_OP(mul_f32, "taabe307", TWO_INPUT)
QZ_YPU_METAL_ONE_KERNEL_OP(sub_f32, "taabe98", TWO_INPUT)

QZ_YPU_METAL_ONE_KERNEL_OP(add_scalar_f32, "taabe7", SCALAR)
QZ_YPU_METAL_ONE_KERNEL_OP(scalar_div_f32, "taabe75", SCALAR)
QZ_YPU_METAL_ONE_KERNEL_OP(mul_scalar_f32, "taabe143", SCALAR)
QZ_YPU_METAL_ONE_KERNEL_OP(rsub_scalar_f32, "taabe213", SCALAR)

QZ_YPU_METAL_ONE_KERNEL_OP(convert_i32_f32, "taabe133", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(convert_i16_f32, "taabe65", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(exp_f32, "taabe238", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(log_f32, "taabe187", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(relu_f32, "taabe229", QZ_YPU_METAL_UNARY_CALL)
QZ_YPU_METAL_ONE_KERNEL_OP(relu_i16, "taabe138", QZ_YPU_METAL_UNARY_CALL)

namespace {
constexpr const char *SCALE_BIAS_I16_KERNELS[] = {"taabe182"};
}  // namespace

// The rounding term is computed from the flag; the scale goes in a 4-byte
// binding whose first two bytes the kernel reads as the int16.
QZ_YPU_METAL_STATE_ENTRIES(scale_bias_i16, SCALE_BIAS_I16_KERNELS)
qz_status_t qz_ypu_metal_scale_bias_i16(qz_ypu_metal_device_t *device, void *state,
                                        const void *params) {
  const auto &p = *static_cast<const scale_bias *>(params);
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, SCALE_BIAS_BINDINGS);
  qz_ypu_metal_set_int(device, p.truncate == 0 ? 512 : 0, 1);
  qz_ypu_metal_set_int(device, p.scale, 2);
  return qz_ypu_metal_dispatch_threads(device, pipeline, p.count < 0 ? 0 : uint32_t(p.count), 1, 1);
}

// Its init reports no messages of its own beyond the pipeline's. The
// dispatch's status is returned: a refused pass computed nothing.
QZ_YPU_METAL_QUIET_ONE_KERNEL_OP(affine_columns_i16, "taabe127", AFFINE)
