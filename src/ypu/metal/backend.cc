// The Metal backend: column 4 of the dispatch tables (the tests install the
// same column, over the stand-in runtime, as their test column).
#include <array>

#include "ypu/metal/device.h"
#include "ypu/metal/ops.h"

namespace {

qz_ypu_metal_device_t *metal(void *device) { return static_cast<qz_ypu_metal_device_t *>(device); }

// The entries take the Metal device; the tables hold the layer's forms.
template <qz_status_t (*entry)(qz_ypu_metal_device_t *, void *, const void *)>
qz_status_t execute(void *device, void *state, const void *params) {
  return entry(metal(device), state, params);
}
template <qz_status_t (*entry)(qz_ypu_metal_device_t *, void **)>
qz_status_t init(void *device, void **state) {
  return entry(metal(device), state);
}
template <void (*entry)(qz_ypu_metal_device_t *, void *)>
void release(void *device, void *state) {
  entry(metal(device), state);
}

using execute_table = std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT>;
using init_table = std::array<qz_ypu_state_init_fn, QZ_YPU_OP_COUNT>;
using release_table = std::array<qz_ypu_state_release_fn, QZ_YPU_OP_COUNT>;

constexpr execute_table make_execute() {
  execute_table table{};
#define QZ_YPU_METAL_BLIT(NAME, name) table[QZ_YPU_OP_##NAME] = execute<qz_ypu_metal_##name>;
#define QZ_YPU_METAL_OP(NAME, name) QZ_YPU_METAL_BLIT(NAME, name)
#include "ypu/metal/entries.inc"
#undef QZ_YPU_METAL_OP
#undef QZ_YPU_METAL_BLIT
  return table;
}

constexpr init_table make_init() {
  init_table table{};
#define QZ_YPU_METAL_BLIT(NAME, name)
#define QZ_YPU_METAL_OP(NAME, name) table[QZ_YPU_OP_##NAME] = init<qz_ypu_metal_##name##_init>;
#include "ypu/metal/entries.inc"
#undef QZ_YPU_METAL_OP
#undef QZ_YPU_METAL_BLIT
  return table;
}

constexpr release_table make_release() {
  release_table table{};
#define QZ_YPU_METAL_BLIT(NAME, name)
#define QZ_YPU_METAL_OP(NAME, name) \
  table[QZ_YPU_OP_##NAME] = release<qz_ypu_metal_##name##_release>;
#include "ypu/metal/entries.inc"
#undef QZ_YPU_METAL_OP
#undef QZ_YPU_METAL_BLIT
  return table;
}

constexpr execute_table QZ_YPU_METAL_EXECUTE = make_execute();
constexpr init_table QZ_YPU_METAL_INIT = make_init();
constexpr release_table QZ_YPU_METAL_RELEASE = make_release();

}  // namespace

extern const qz_ypu_backend_t QZ_YPU_METAL_BACKEND = {
    .device =
        {
            .device_close = qz_ypu_metal_device_close,
            .buffer_upload = qz_ypu_metal_buffer_upload,
            .buffer_download = qz_ypu_metal_buffer_download,
            // The device listing calls the Metal list itself.
            .device_list_free = nullptr,
            .device_list = nullptr,
            .buffer_create = qz_ypu_metal_buffer_create,
            .buffer_map = qz_ypu_metal_buffer_map,
            .buffer_unmap = qz_ypu_metal_buffer_unmap,
            .buffer_free = qz_ypu_metal_buffer_free,
            .host_alloc = qz_ypu_metal_host_alloc,
            .host_free = qz_ypu_metal_host_free,
            .buffer_size = qz_ypu_metal_buffer_size,
        },
    .execute = QZ_YPU_METAL_EXECUTE.data(),
    .state_init = QZ_YPU_METAL_INIT.data(),
    .state_release = QZ_YPU_METAL_RELEASE.data(),
};
