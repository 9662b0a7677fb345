// ARM64 instruction-set flags from the Linux kernel's hardware capability
// word. The bits follow the Windows build: NEON, then dot product and half
// precision as one pair, since the kernels behind those bits use both.
#include "ypu/cpu/device.h"

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace {
// The kernel's HWCAP bits (asm/hwcap.h of arm64).
constexpr uint64_t QZ_HWCAP_ASIMD = 1u << 1;
constexpr uint64_t QZ_HWCAP_ASIMDHP = 1u << 10;
constexpr uint64_t QZ_HWCAP_ASIMDDP = 1u << 20;
}  // namespace

uint32_t qz_ypu_cpu_isa_from_hwcap(uint64_t hwcap) {
  if (!(hwcap & QZ_HWCAP_ASIMD)) return 0;
  uint32_t flags = QZ_YPU_CPU_ISA_NEON;
  const uint64_t pair = QZ_HWCAP_ASIMDDP | QZ_HWCAP_ASIMDHP;
  if ((hwcap & pair) == pair) flags |= QZ_YPU_CPU_ISA_NEON_DOTPROD | QZ_YPU_CPU_ISA_NEON_FP16;
  return flags;
}

#if defined(__aarch64__) && defined(__linux__)
uint32_t qz_ypu_cpu_detect_isa() { return qz_ypu_cpu_isa_from_hwcap(getauxval(AT_HWCAP)); }
#elif !(defined(__x86_64__) || defined(__i386__) || defined(_WIN32))
// x86-64 reads CPUID (cpuid.cc) and Windows asks the system (its platform
// file); nothing else is known here.
uint32_t qz_ypu_cpu_detect_isa() { return 0; }
#endif
