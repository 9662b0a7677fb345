// The interface of the harness's Metal kernel layer, until that layer is in
// the tree (tests/metal/stub_kernels_test.cc then provides it).
#pragma once

#include <cstdint>

#include "gpu_harness/grid.h"

namespace qz_metal_emu {
inline constexpr int kArgumentSlots = 31;
struct bindings {
  void *buffer[kArgumentSlots] = {};
  const void *bytes[kArgumentSlots] = {};
  uint32_t threadgroup_length[kArgumentSlots] = {};
};
struct kernel_entry {
  const char *name;
  void (*body)();
};
const kernel_entry *find_kernel(const char *name);
void run_threadgroups(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t groups,
                      qz_gpu_harness::dim3_t threads_per_group);
void run_threads(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t threads,
                 qz_gpu_harness::dim3_t threads_per_group);
void set_schedule(qz_gpu_harness::schedule order);
}  // namespace qz_metal_emu
