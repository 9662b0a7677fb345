// The instruction-set masks the kernel tests force on CPU devices, for the
// processor family of this build, and whether the processor running the
// tests has them (a missing set is skipped, never passed).
#pragma once

#include <cstdint>
#include <string>

#include "ypu/cpu/device.h"

struct qz_test_isa_set {
  const char *name;
  uint32_t mask;
};

// Plain first, then each kernel set of this build's family on its own and
// the widest combination.
#if defined(__aarch64__)
inline constexpr qz_test_isa_set QZ_TEST_ISA_SETS[] = {
    {"plain", 0},
    {"neon", QZ_YPU_CPU_ISA_NEON},
    {"neon_dotprod_fp16",
     QZ_YPU_CPU_ISA_NEON | QZ_YPU_CPU_ISA_NEON_DOTPROD | QZ_YPU_CPU_ISA_NEON_FP16},
};
#else
inline constexpr qz_test_isa_set QZ_TEST_ISA_SETS[] = {
    {"plain", 0},
    {"sse41", QZ_YPU_CPU_ISA_SSE41},
    {"avx2", QZ_YPU_CPU_ISA_AVX2},
    {"avx2_sse41", QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41},
};
#endif

// The sets of `mask` this processor lacks, as " SSE4.1 AVX2", or an empty
// string. AVX2 counts only with fused multiply-add, which its kernels use.
std::string qz_test_missing_sets(uint32_t mask);

inline bool qz_test_processor_has(uint32_t mask) { return qz_test_missing_sets(mask).empty(); }
