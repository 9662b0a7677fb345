#include "support/isa_sets.h"

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#elif defined(__aarch64__) && defined(_WIN32)
#include <windows.h>
#endif

std::string qz_test_missing_sets(uint32_t mask) {
  std::string missing;
#if defined(__x86_64__)
  if (mask & 0xF0) missing += " (ARM64 sets)";
  __builtin_cpu_init();
  if ((mask & QZ_YPU_CPU_ISA_SSE41) && !__builtin_cpu_supports("sse4.1")) missing += " SSE4.1";
  if ((mask & QZ_YPU_CPU_ISA_AVX) && !__builtin_cpu_supports("avx")) missing += " AVX";
  if ((mask & QZ_YPU_CPU_ISA_AVX2) &&
      !(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")))
    missing += " AVX2";
  if ((mask & QZ_YPU_CPU_ISA_AVX512F) && !__builtin_cpu_supports("avx512f")) missing += " AVX-512F";
#elif defined(__aarch64__) && defined(__linux__)
  if (mask & 0x0F) missing += " (x86-64 sets)";
  // Read straight from the kernel's word, not through the library's mapping.
  const unsigned long hwcap = getauxval(AT_HWCAP);
  constexpr unsigned long asimd = 1ul << 1, asimdhp = 1ul << 10, asimddp = 1ul << 20;
  if ((mask & QZ_YPU_CPU_ISA_NEON) && !(hwcap & asimd)) missing += " NEON";
  if ((mask & QZ_YPU_CPU_ISA_NEON_DOTPROD) && !(hwcap & asimddp)) missing += " dot-product";
  if ((mask & QZ_YPU_CPU_ISA_NEON_FP16) && !(hwcap & asimdhp)) missing += " half-precision";
#elif defined(__aarch64__) && defined(_WIN32)
  if (mask & 0x0F) missing += " (x86-64 sets)";
  // Windows has one query for the ARMv8.2 dot-product instructions; the
  // processors that have them have half-precision arithmetic too. 43 is its
  // number where older headers lack the name.
  const bool dot_product = IsProcessorFeaturePresent(43);
  if ((mask & QZ_YPU_CPU_ISA_NEON) && !IsProcessorFeaturePresent(PF_ARM_V8_INSTRUCTIONS_AVAILABLE))
    missing += " NEON";
  if ((mask & QZ_YPU_CPU_ISA_NEON_DOTPROD) && !dot_product) missing += " dot-product";
  if ((mask & QZ_YPU_CPU_ISA_NEON_FP16) && !dot_product) missing += " half-precision";
#else
  if (mask) missing += " (no kernels for this processor)";
#endif
  return missing;
}
