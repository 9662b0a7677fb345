// What the CPU device asks of Windows on ARM64: the processor count and the
// processor features, and the CRT's aligned blocks.
#include <malloc.h>
#include <windows.h>

#include "common/alloc.h"
#include "ypu/cpu/device.h"

// Older SDK headers lack the dot-product feature number.
#ifndef PF_ARM_V82_DP_INSTRUCTIONS_AVAILABLE
#define PF_ARM_V82_DP_INSTRUCTIONS_AVAILABLE 43
#endif

namespace {
int32_t qz_ypu_windows_processor_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<int32_t>(info.dwNumberOfProcessors);
}

}  // namespace

// The processor's own report on this build is the system's answer to the two
// feature queries.
uint32_t qz_ypu_cpu_detect_isa() {
  return qz_ypu_cpu_isa_from_arm_features(
      IsProcessorFeaturePresent(PF_ARM_V8_INSTRUCTIONS_AVAILABLE),
      IsProcessorFeaturePresent(PF_ARM_V82_DP_INSTRUCTIONS_AVAILABLE));
}

extern const qz_ypu_cpu_system_t QZ_YPU_CPU_SYSTEM{qz_ypu_windows_processor_count,
                                                   qz_ypu_cpu_detect_isa, false, nullptr};

void *qz_ypu_cpu_aligned_alloc(size_t alignment, size_t size, void **out) {
  *out = _aligned_malloc(size, alignment);
  return *out;
}

void qz_ypu_cpu_aligned_free(void *pointer) { _aligned_free(pointer); }
