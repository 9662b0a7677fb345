// What the CPU device asks of Linux: the configured processors, and the
// processor's instruction sets (CPUID on x86-64, the kernel's hardware
// capability bits on ARM64).
#include <sys/sysinfo.h>

#include "ypu/cpu/device.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {
int32_t qz_ypu_linux_processor_count() { return get_nprocs_conf(); }

#if defined(__aarch64__)
uint32_t qz_ypu_linux_isa_flags() {
  const unsigned long hwcap = getauxval(AT_HWCAP);
  return qz_ypu_cpu_isa_from_arm_features(hwcap & HWCAP_ASIMD, hwcap & HWCAP_ASIMDDP);
}
#else
uint32_t qz_ypu_linux_isa_flags() { return qz_ypu_cpu_x86_isa_flags(); }
#endif
}  // namespace

extern const qz_ypu_cpu_system_t QZ_YPU_CPU_SYSTEM{qz_ypu_linux_processor_count,
                                                   qz_ypu_linux_isa_flags, false};
