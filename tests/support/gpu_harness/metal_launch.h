// Runs Metal kernels that were compiled as C++ (metal_emu.h) on the GPU
// harness: a kernel is found by its function name, its arguments come from
// what an encoder bound by argument-table index, and a dispatch runs
// threadgroups as harness blocks and SIMD-groups as warps of the pipeline's
// execution width.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu_harness/grid.h"

namespace qz_metal_emu {

inline constexpr int kArgumentSlots = 31;

// What an encoder has bound, by argument-table index.
struct bindings {
  void *buffer[kArgumentSlots] = {};       // [buffer contents] + offset
  const void *bytes[kArgumentSlots] = {};  // set_bytes copies, alive during the run
  uint32_t threadgroup_length[kArgumentSlots] = {};  // setThreadgroupMemoryLength
};

// One kernel: `body` calls the kernel function, whose every parameter takes
// its value from the running dispatch (see metal_emu.h).
struct kernel_entry {
  const char *name;
  void (*body)();
};

// Null when no kernel of that name was built into the test program.
const kernel_entry *find_kernel(const char *name);

// dispatchThreadgroups: groups x threads_per_group threads, in SIMD-groups
// of simd_width lanes (the pipeline's threadExecutionWidth, 1 to 64).
void run_threadgroups(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t groups,
                      qz_gpu_harness::dim3_t threads_per_group,
                      uint32_t simd_width = qz_gpu_harness::kWarpSize);
// dispatchThreads: exactly `threads` threads in groups of threads_per_group;
// the groups at the upper edges are partial, as Metal's non-uniform
// threadgroups are (their threads_per_threadgroup is their own size).
void run_threads(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t threads,
                 qz_gpu_harness::dim3_t threads_per_group,
                 uint32_t simd_width = qz_gpu_harness::kWarpSize);

// The order in which runnable threads resume and threadgroups run
// (reductions and atomics are tested under every order); forward until
// changed.
void set_schedule(qz_gpu_harness::schedule order);

// --- used by metal_emu.h inside kernels -------------------------------------

// The dispatch being run on this CPU thread.
struct dispatch_state {
  const char *kernel;                      // the kernel function's name
  const bindings *args;
  qz_gpu_harness::dim3_t group;            // threadgroup_position_in_grid
  qz_gpu_harness::dim3_t groups;           // threadgroups_per_grid
  qz_gpu_harness::dim3_t nominal;          // the dispatch's threadgroup size
  qz_gpu_harness::dim3_t grid_threads;     // threads_per_grid
  uint32_t threadgroup_offset[kArgumentSlots];  // into the block's dynamic memory
};
const dispatch_state &running();

// Stops the test program: a maths function of the running kernel was given
// (or gave) `value`, an infinity or a NaN, which fast math leaves undefined.
[[noreturn]] void fast_math_fault(const char *function, float value);

// Adds a kernel to the table that find_kernel searches (static objects of
// the kernel programs do this before main).
struct registrar {
  registrar(const char *name, void (*body)());
};

}  // namespace qz_metal_emu
