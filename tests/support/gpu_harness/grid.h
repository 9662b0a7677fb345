// Runs GPU-style grids on the CPU: every block's threads are fibers on the
// calling thread, so block barriers, warp (SIMD-group) barriers and lane
// exchanges work as on a GPU, and blocks run one after another (which lets
// kernels keep per-block shared arrays in thread-local statics).
//
// This layer knows nothing of CUDA or Metal: cuda_emu.h maps CUDA's device
// language onto it with warps of 32 lanes, and metal_emu.h maps threadgroups
// and SIMD-groups the same way (threadgroup = block, SIMD-group = warp of
// the pipeline's execution width: GPUs of the Metal build run 8 to 64).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qz_gpu_harness {

struct dim3_t {
  uint32_t x = 1, y = 1, z = 1;
};

inline constexpr int kWarpSize = 32;     // CUDA's, and a launch's default
inline constexpr int kMaxWarpSize = 64;  // lane masks are 64 bits

// The order in which runnable threads of a block are resumed. Results that
// differ between orders point at a missing barrier.
enum class schedule {
  forward,     // thread 0 first, each running until it waits
  reverse,     // the last thread first
  warp_ahead,  // as forward, but a warp whose lanes all reached a warp
               // barrier goes on at once, running ahead of the other warps
  last_warp_ahead,  // warp_ahead with the warps taken last to first
};

// Every order, for tests that must give the same results under each.
inline constexpr schedule kAllSchedules[] = {schedule::forward, schedule::reverse,
                                             schedule::warp_ahead, schedule::last_warp_ahead};

// What the running thread sees of its launch.
struct thread_info {
  dim3_t thread_idx, block_idx, block_dim, grid_dim;
  int linear;  // x + y * block_dim.x + z * block_dim.x * block_dim.y
  int lane;    // linear % warp_size
  int warp;    // linear / warp_size
  int warp_size;
};

// The thread currently running (only valid inside a kernel).
const thread_info &current();

// Waits until every live thread of the block arrives (threads that have
// returned count as arrived).
void barrier_block();
// Waits until every live lane of `mask` in the caller's warp arrives.
void barrier_warp(uint64_t mask);
// The lanes of the caller's warp that have not returned (bit i = lane i).
uint64_t live_lanes();
// warp_size eight-byte slots shared by the caller's warp, for shuffles and
// votes.
uint64_t *warp_slots();
// The block's dynamic shared memory (the launch's shared_bytes; every byte
// 0xFF at the start of each block).
void *dynamic_shared();

// Runs body(context) once per thread of every block of `grid`, the block's
// threads (in linear order) making warps of `warp_size` lanes (1 to
// kMaxWarpSize).
void run_grid(dim3_t grid, dim3_t block, schedule order, void (*body)(void *context),
              void *context, size_t shared_bytes = 0, int warp_size = kWarpSize);

}  // namespace qz_gpu_harness
