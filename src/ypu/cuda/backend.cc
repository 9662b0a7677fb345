// The CUDA backend: column 1 of the dispatch tables.
#include <array>

#include "ypu/cuda/device.h"
#include "ypu/cuda/ops.h"

QZ_CUDA_BEGIN

namespace {

constexpr std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> qz_ypu_cuda_execute_table() {
  std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> table{};
#define QZ_YPU_CUDA_ENTRY(NAME, name, family) table[QZ_YPU_OP_##NAME] = qz_ypu_cuda_##name;
#include "ypu/cuda/entries.inc"
#undef QZ_YPU_CUDA_ENTRY
  return table;
}

constexpr std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> QZ_YPU_CUDA_EXECUTE =
    qz_ypu_cuda_execute_table();

}  // namespace

extern const qz_ypu_backend_t QZ_YPU_CUDA_BACKEND = {
    .device =
        {
            .device_close = qz_ypu_cuda_device_release,
            .buffer_upload = qz_ypu_cuda_buffer_upload,
            .buffer_download = qz_ypu_cuda_buffer_download,
            .device_list_free = qz_ypu_cuda_device_list_free,
            .device_list = qz_ypu_cuda_device_list,
            .buffer_create = qz_ypu_cuda_buffer_create,
            .buffer_map = qz_ypu_cuda_buffer_map,
            .buffer_unmap = qz_ypu_cuda_buffer_unmap,
            .buffer_free = qz_ypu_cuda_buffer_free,
            .host_alloc = qz_ypu_cuda_host_alloc,
            .host_free = qz_ypu_cuda_host_free,
            .buffer_size = qz_ypu_cuda_buffer_size,
        },
    .execute = QZ_YPU_CUDA_EXECUTE.data(),
    .state_init = nullptr,
    .state_release = nullptr,
};

QZ_CUDA_END
