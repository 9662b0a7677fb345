// What the CPU device asks of Linux: the configured processors, those in
// this process's affinity mask, and the processor's own report of its
// instruction sets.
#include <sched.h>
#include <sys/sysinfo.h>

#include "ypu/cpu/device.h"

namespace {
int32_t qz_ypu_linux_processor_count() { return get_nprocs_conf(); }

// The configured count when the mask cannot be read.
int32_t qz_ypu_linux_usable_processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count >= 1) return count;
  }
  return qz_ypu_linux_processor_count();
}
}  // namespace

extern const qz_ypu_cpu_system_t QZ_YPU_CPU_SYSTEM{qz_ypu_linux_processor_count,
                                                   qz_ypu_cpu_detect_isa, false,
                                                   qz_ypu_linux_usable_processor_count};
