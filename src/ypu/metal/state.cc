// Operation states and the table-driven binding of parameter records.
#include "ypu/metal/state.h"

#include <cstdlib>
#include <cstring>

qz_status_t qz_ypu_metal_state_init(qz_ypu_metal_device_t *device, void **state,
                                    const char *const *names, int32_t count, bool quiet) {
  return qz_ypu_metal_state_init_ordered(device, state, names, nullptr, count, quiet);
}

qz_status_t qz_ypu_metal_state_init_ordered(qz_ypu_metal_device_t *device, void **state,
                                            const char *const *names, const int32_t *order,
                                            int32_t count, bool quiet) {
  *state = nullptr;
  auto **pipelines =
      static_cast<qz_ypu_metal_pipeline_t **>(std::calloc(count, sizeof(qz_ypu_metal_pipeline_t *)));
  if (!pipelines) {
    if (!quiet) qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  for (int32_t step = 0; step < count; ++step) {
    const int32_t slot = order ? order[step] : step;
    if (!names[slot]) continue;
    const qz_status_t status = qz_ypu_metal_pipeline_create(device, names[slot], &pipelines[slot]);
    if (status != QZ_STATUS_SUCCESS) {
      if (!quiet) qz_error_push("", 0, &QZ_YPU_METAL_ERROR_CHAIN);
      qz_ypu_metal_state_release(device, pipelines, count);
      return status;
    }
  }
  *state = pipelines;
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_metal_state_release(qz_ypu_metal_device_t *device, void *state, int32_t count) {
  if (!state) return;
  auto **pipelines = static_cast<qz_ypu_metal_pipeline_t **>(state);
  for (int32_t slot = 0; slot < count; ++slot) qz_ypu_metal_pipeline_release(device, pipelines[slot]);
  std::free(pipelines);
}

namespace {

template <class T>
T field_of(const void *params, uint16_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char *>(params) + offset, sizeof value);
  return value;
}

int32_t grid_dimension(const void *params, uint16_t field) {
  return field == QZ_YPU_METAL_ONE ? 1 : field_of<int32_t>(params, field);
}

}  // namespace

void qz_ypu_metal_bind(qz_ypu_metal_device_t *device, const qz_ypu_metal_pipeline_t *pipeline,
                       const void *params, std::span<const qz_ypu_metal_binding_t> bindings) {
  qz_ypu_metal_begin_compute(device, pipeline);
  for (const qz_ypu_metal_binding_t &b : bindings) {
    switch (b.kind) {
      case QZ_YPU_METAL_BIND_BYTES:
        qz_ypu_metal_set_bytes(device, static_cast<const char *>(params) + b.field, 4, b.index);
        break;
      case QZ_YPU_METAL_BIND_BUFFER:
        qz_ypu_metal_set_buffer(device, field_of<const qz_ypu_buffer_t *>(params, b.field),
                                field_of<int32_t>(params, b.offset_field), b.index);
        break;
      case QZ_YPU_METAL_BIND_BUFFER_ZERO:
        qz_ypu_metal_set_buffer(device, field_of<const qz_ypu_buffer_t *>(params, b.field), 0,
                                b.index);
        break;
    }
  }
}

qz_status_t qz_ypu_metal_encode(qz_ypu_metal_device_t *device,
                                const qz_ypu_metal_pipeline_t *pipeline, const void *params,
                                const qz_ypu_metal_call_t &call) {
  qz_ypu_metal_bind(device, pipeline, params, call.bindings);
  const int32_t width = grid_dimension(params, call.grid.width);
  const int32_t height = grid_dimension(params, call.grid.height);
  const int32_t depth = grid_dimension(params, call.grid.depth);
  // A negative size is an empty grid, as 0 is.
  return qz_ypu_metal_dispatch_threads(device, pipeline, width < 0 ? 0 : static_cast<uint32_t>(width),
                                       height, depth < 0 ? 0 : static_cast<uint32_t>(depth));
}
