#include "ypu/cpu/device.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {
constexpr uint32_t QZ_CPUID1_ECX_FMA = 1u << 12;
constexpr uint32_t QZ_CPUID1_ECX_SSE41 = 1u << 19;
constexpr uint32_t QZ_CPUID1_ECX_OSXSAVE = 1u << 27;
constexpr uint32_t QZ_CPUID1_ECX_AVX = 1u << 28;
constexpr uint32_t QZ_CPUID7_EBX_AVX2 = 1u << 5;
constexpr uint32_t QZ_CPUID7_EBX_AVX512F = 1u << 16;
constexpr uint64_t QZ_XCR0_YMM = 0x6;    // SSE and AVX state
constexpr uint64_t QZ_XCR0_ZMM = 0xE6;   // plus opmask and the upper ZMM halves
}  // namespace

uint32_t qz_ypu_cpu_isa_from_cpuid(const qz_ypu_cpuid_t &cpuid) {
  uint32_t flags = 0;
  if (cpuid.max_leaf == 0) return 0;
  const uint64_t xcr0 = (cpuid.leaf1_ecx & QZ_CPUID1_ECX_OSXSAVE) ? cpuid.xcr0 : 0;
  const bool ymm = (xcr0 & QZ_XCR0_YMM) == QZ_XCR0_YMM;
  const bool zmm = (xcr0 & QZ_XCR0_ZMM) == QZ_XCR0_ZMM;
  if (cpuid.leaf1_ecx & QZ_CPUID1_ECX_SSE41) flags |= QZ_YPU_CPU_ISA_SSE41;
  if ((cpuid.leaf1_ecx & QZ_CPUID1_ECX_AVX) && ymm) flags |= QZ_YPU_CPU_ISA_AVX;
  if (cpuid.max_leaf > 6) {
    // The AVX2 kernels use fused multiply-add: without it they would fault.
    const bool fma = cpuid.leaf1_ecx & QZ_CPUID1_ECX_FMA;
    if ((cpuid.leaf7_ebx & QZ_CPUID7_EBX_AVX2) && ymm && fma) flags |= QZ_YPU_CPU_ISA_AVX2;
    if ((cpuid.leaf7_ebx & QZ_CPUID7_EBX_AVX512F) && zmm) flags |= QZ_YPU_CPU_ISA_AVX512F;
  }
  return flags;
}

#if defined(__x86_64__) || defined(__i386__)
qz_ypu_cpuid_t qz_ypu_cpu_read_cpuid() {
  qz_ypu_cpuid_t cpuid{};
  unsigned a, b, c, d;
  if (!__get_cpuid(0, &a, &b, &c, &d)) return cpuid;
  cpuid.max_leaf = a;
  if (a == 0) return cpuid;
  __cpuid(1, a, b, c, d);
  cpuid.leaf1_ecx = c;
  if (cpuid.max_leaf > 6) {
    __cpuid_count(7, 0, a, b, c, d);
    cpuid.leaf7_ebx = b;
  }
  if (cpuid.leaf1_ecx & QZ_CPUID1_ECX_OSXSAVE) {
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    cpuid.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
  }
  return cpuid;
}

uint32_t qz_ypu_cpu_detect_isa() { return qz_ypu_cpu_isa_from_cpuid(qz_ypu_cpu_read_cpuid()); }
#else
qz_ypu_cpuid_t qz_ypu_cpu_read_cpuid() { return {}; }
#endif

uint32_t qz_ypu_cpu_isa_from_arm_features(bool neon, bool dot_product) {
  uint32_t flags = 0;
  if (neon) flags |= QZ_YPU_CPU_ISA_NEON;
  if (dot_product) flags |= QZ_YPU_CPU_ISA_NEON_DOTPROD | QZ_YPU_CPU_ISA_NEON_FP16;
  return flags;
}
