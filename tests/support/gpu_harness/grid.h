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
  shuffled,  // blocks in a permuted order, and each round the runnable
             // threads of a block in a permuted order; the CUDA harness
             // also lands float atomic additions in a permuted order, across
             // blocks and across streams (cuda_emu.h). Results that depend
             // on any of these orders are not fixed on a GPU either.
};

// Every order, for tests that must give the same results under each (or,
// with float atomics, results within the bound of their reordering).
inline constexpr schedule kAllSchedules[] = {schedule::forward, schedule::reverse,
                                             schedule::warp_ahead, schedule::last_warp_ahead,
                                             schedule::shuffled};

// Deterministic pseudo-random numbers for the shuffled orders: the next
// value of a splitmix64 sequence whose state is `state`.
inline uint64_t shuffle_next(uint64_t &state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Puts items[0 .. n) in a permuted order drawn from `state`.
template <class T>
void shuffle_items(T *items, size_t n, uint64_t &state) {
  for (size_t i = n; i > 1; --i) {
    const size_t j = static_cast<size_t>(shuffle_next(state) % i);
    const T t = items[i - 1];
    items[i - 1] = items[j];
    items[j] = t;
  }
}

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
