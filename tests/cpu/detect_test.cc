// The CPU device's flags on the processor running the tests.
#include <gtest/gtest.h>

#include "support/isa_sets.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/frame.h"

namespace {

// Every flag the device reports is one this build has kernels for, and the
// processor really has each set: a kernel chosen by these flags never
// meets an instruction it lacks.
TEST(CpuIsaDetect, ReportsOnlySetsThisProcessorHas) {
  const uint32_t flags = qz_ypu_cpu_detect_isa();
  EXPECT_EQ(flags & ~QZ_YPU_CPU_ISA_BUILT, 0u);
  for (uint32_t bit = 1; bit != 0x100; bit <<= 1) {
    if (flags & bit) {
      EXPECT_EQ(qz_test_missing_sets(bit), "") << "bit " << bit;
    }
  }
#if defined(__aarch64__)
  // Every aarch64 processor has NEON; the other two come as a pair.
  EXPECT_TRUE(flags & QZ_YPU_CPU_ISA_NEON);
  EXPECT_EQ(!!(flags & QZ_YPU_CPU_ISA_NEON_DOTPROD), !!(flags & QZ_YPU_CPU_ISA_NEON_FP16));
  EXPECT_EQ(!!(flags & QZ_YPU_CPU_ISA_NEON_DOTPROD),
            qz_test_missing_sets(QZ_YPU_CPU_ISA_NEON_DOTPROD | QZ_YPU_CPU_ISA_NEON_FP16).empty());
#endif
}

}  // namespace
