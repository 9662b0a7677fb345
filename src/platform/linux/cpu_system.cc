// What the CPU device asks of Linux: the configured processors, and the
// processor's own report of its instruction sets.
#include <sys/sysinfo.h>

#include "ypu/cpu/device.h"

namespace {
int32_t qz_ypu_linux_processor_count() { return get_nprocs_conf(); }
}  // namespace

extern const qz_ypu_cpu_system_t QZ_YPU_CPU_SYSTEM{qz_ypu_linux_processor_count,
                                                   qz_ypu_cpu_detect_isa, false};
