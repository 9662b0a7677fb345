// Metal entries of the polar-to-complex spectrum.
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
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

constexpr const char *POLAR_SPECTRUM_F32_KERNELS[] = {"taabe317"};

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(polar_spectrum_f32, POLAR_SPECTRUM_F32_KERNELS)

qz_status_t qz_ypu_metal_polar_spectrum_f32(qz_ypu_metal_device_t *device, void *state,
                                            const void *params) {
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, POLAR);
}
