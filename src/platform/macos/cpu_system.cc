// What the CPU device asks of macOS: "hw.ncpu" and CPUID. A system that
// does not answer "hw.ncpu" leaves the count at 0, which fails the open.
#include <sys/sysctl.h>
#include <sys/types.h>

#include "ypu/cpu/device.h"

namespace {
int32_t qz_ypu_macos_processor_count() {
  int32_t count = 0;
  size_t size = sizeof count;
  sysctlbyname("hw.ncpu", &count, &size, nullptr, 0);
  return count;
}
}  // namespace

extern const qz_ypu_cpu_system_t QZ_YPU_CPU_SYSTEM{qz_ypu_macos_processor_count,
                                                   qz_ypu_cpu_detect_isa, true, nullptr};
