// Metal entries of the resizes of channel-last data: bicubic (op 8),
// bilinear with aligned corners (op 9) and 1-D linear (op 37). A call with
// an empty output or input goes back to the host implementation, which
// skips the first and reports the second (the kernels would read outside an
// empty input).
#include <cstdint>

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

// Ops 8 and 9 share one record layout and one binding list.
using image = qz_ypu_resize_bicubic_f32_params_t;
static_assert(sizeof(image) == sizeof(qz_ypu_resize_bilinear_f32_params_t));
constexpr qz_ypu_metal_binding_t IMAGE_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(image, out_height, 0),  QZ_YPU_METAL_BYTES(image, out_width, 1),
    QZ_YPU_METAL_BYTES(image, in_height, 2),   QZ_YPU_METAL_BYTES(image, in_width, 3),
    QZ_YPU_METAL_BYTES(image, channels, 4),    QZ_YPU_METAL_BUFFER_AT_ZERO(image, out, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(image, in, 6),
};
constexpr qz_ypu_metal_call_t IMAGE{IMAGE_BINDINGS,
                                    QZ_YPU_METAL_GRID_XYZ(image, channels, out_width, out_height)};

using line = qz_ypu_resize_linear_f32_params_t;
constexpr qz_ypu_metal_binding_t LINE_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(line, out_length, 0),  QZ_YPU_METAL_BYTES(line, in_length, 1),
    QZ_YPU_METAL_BYTES(line, channels, 2),    QZ_YPU_METAL_BUFFER_AT_ZERO(line, out, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(line, in, 4),
};
constexpr qz_ypu_metal_call_t LINE{LINE_BINDINGS, QZ_YPU_METAL_GRID_XY(line, channels, out_length)};

constexpr const char *BICUBIC_KERNELS[] = {"taabe242"};
constexpr const char *BILINEAR_KERNELS[] = {"taabe223"};
constexpr const char *LINEAR_KERNELS[] = {"taabe269"};

qz_status_t resize_image(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const image *>(params);
  if (p.out_height <= 0 || p.out_width <= 0 || p.channels <= 0 || p.in_height <= 0 ||
      p.in_width <= 0)
    return QZ_STATUS_INVALID_ARGUMENT;
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, IMAGE);
}

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(resize_bicubic_f32, BICUBIC_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(resize_bilinear_f32, BILINEAR_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(resize_linear_f32, LINEAR_KERNELS)

qz_status_t qz_ypu_metal_resize_bicubic_f32(qz_ypu_metal_device_t *device, void *state,
                                            const void *params) {
  return resize_image(device, state, params);
}

qz_status_t qz_ypu_metal_resize_bilinear_f32(qz_ypu_metal_device_t *device, void *state,
                                             const void *params) {
  return resize_image(device, state, params);
}

qz_status_t qz_ypu_metal_resize_linear_f32(qz_ypu_metal_device_t *device, void *state,
                                           const void *params) {
  const auto &p = *static_cast<const line *>(params);
  if (p.out_length <= 0 || p.channels <= 0 || p.in_length <= 0) return QZ_STATUS_INVALID_ARGUMENT;
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, LINE);
}
