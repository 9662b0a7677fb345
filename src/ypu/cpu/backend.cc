// The CPU backend: column 0 of the dispatch tables.
#include "ypu/cpu/device.h"
#include "ypu/cpu/ops.h"

namespace {

#define QZ_YPU_CPU_ENTRY_0(name) nullptr
#define QZ_YPU_CPU_ENTRY_1(name) qz_ypu_cpu_##name
constexpr qz_ypu_execute_fn QZ_YPU_CPU_EXECUTE[QZ_YPU_OP_COUNT] = {
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) QZ_YPU_CPU_ENTRY_##cpu(name),
#include "ypu/ops.inc"
#undef QZ_YPU_OP
};

}  // namespace

extern const qz_ypu_backend_t QZ_YPU_CPU_BACKEND = {
    .device =
        {
            .device_close = qz_ypu_cpu_device_close,
            .buffer_upload = qz_ypu_cpu_buffer_upload,
            .buffer_download = qz_ypu_cpu_buffer_download,
            .device_list_free = qz_ypu_cpu_device_list_free,
            .device_list = qz_ypu_cpu_device_list,
            .buffer_create = qz_ypu_cpu_buffer_create,
            .buffer_map = qz_ypu_cpu_buffer_map,
            .buffer_unmap = qz_ypu_cpu_buffer_unmap,
            .buffer_free = qz_ypu_cpu_buffer_free,
            .host_alloc = qz_ypu_cpu_host_alloc,
            .host_free = qz_ypu_cpu_host_free,
            .buffer_size = qz_ypu_cpu_buffer_size,
        },
    .execute = QZ_YPU_CPU_EXECUTE,
    .state_init = nullptr,
    .state_release = nullptr,
};
