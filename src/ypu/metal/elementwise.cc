// Metal entries of the element-wise operations.
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using two_input = qz_ypu_two_input_params_t;
constexpr qz_ypu_metal_binding_t TWO_INPUT_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(two_input, count, 0),  // "length", not read
    QZ_YPU_METAL_BUFFER(two_input, out, out_offset, 1),
    QZ_YPU_METAL_BUFFER(two_input, a, a_offset, 2),
    QZ_YPU_METAL_BUFFER(two_input, b, b_offset, 3),
};
constexpr qz_ypu_metal_call_t TWO_INPUT{TWO_INPUT_BINDINGS, QZ_YPU_METAL_GRID_X(two_input, count)};

constexpr const char *ADD_F32_KERNELS[] = {"taabe69"};

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(add_f32, ADD_F32_KERNELS)

qz_status_t qz_ypu_metal_add_f32(qz_ypu_metal_device_t *device, void *state, const void *params) {
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, TWO_INPUT);
}
