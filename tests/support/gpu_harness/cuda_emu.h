// CUDA's device language for kernel modules compiled as plain C++ by the GPU
// harness: the qualifiers become nothing (or thread-local statics for
// per-block shared arrays, since blocks run one at a time per CPU thread),
// the built-in indices read the running fiber, and barriers, shuffles and
// atomics go to the block scheduler (grid.h).
//
// Supported in kernels: __global__/__device__/__host__/__forceinline__,
// __constant__ data, fixed-size __shared__ arrays, dynamic shared memory
// through QZ_CUDA_DYNAMIC_SHARED, threadIdx, blockIdx,
// blockDim, gridDim, warpSize, __syncthreads, __syncwarp, __shfl_sync,
// __shfl_xor_sync, __shfl_down_sync, __shfl_up_sync, __ballot_sync,
// __any_sync, __all_sync, atomicAdd/atomicMax/atomicMin/atomicExch/atomicCAS,
// the vector types char4, short4 and float4 (aligned as on the GPU, so the
// sanitizer build catches a misaligned vector load), the two-way dot products
// __dp2a_lo/__dp2a_hi, rsqrtf, __log2f and the <cmath> single-precision
// functions (expf, exp2f, logf, powf, sinf, cosf, sincosf, tanhf, erff with
// the GPU's documented errors; see the end of this file).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "gpu_harness/grid.h"
#include "gpu_harness/cuda_radix_sort.h"

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __constant__
#define __shared__ static thread_local
// Dynamic shared memory: QZ_CUDA_DYNAMIC_SHARED(float, cache) in a kernel
// names the launch's shared_bytes as `float *cache`.
#define QZ_CUDA_DYNAMIC_SHARED(type, name) \
  type *name = static_cast<type *>(::qz_gpu_harness::dynamic_shared())

#define threadIdx (::qz_gpu_harness::current().thread_idx)
#define blockIdx (::qz_gpu_harness::current().block_idx)
#define blockDim (::qz_gpu_harness::current().block_dim)
#define gridDim (::qz_gpu_harness::current().grid_dim)
#define warpSize 32

inline void __syncthreads() { ::qz_gpu_harness::barrier_block(); }
inline void __syncwarp(unsigned mask = 0xFFFFFFFFu) { ::qz_gpu_harness::barrier_warp(mask); }

namespace qz_gpu_harness {

// Every lane of `mask` publishes `value`; each then reads lane source(lane).
template <class T, class Source>
T exchange(unsigned mask, T value, Source source) {
  static_assert(sizeof(T) <= sizeof(uint64_t), "shuffled values are at most 8 bytes");
  uint64_t *slots = warp_slots();
  const int lane = current().lane;
  std::memcpy(&slots[lane], &value, sizeof(T));
  barrier_warp(mask);
  T result;
  std::memcpy(&result, &slots[source(lane)], sizeof(T));
  barrier_warp(mask);
  return result;
}

}  // namespace qz_gpu_harness

template <class T>
T __shfl_sync(unsigned mask, T value, int src_lane, int width = 32) {
  return ::qz_gpu_harness::exchange(mask, value, [&](int lane) {
    return (lane & ~(width - 1)) + (src_lane & (width - 1));
  });
}
template <class T>
T __shfl_xor_sync(unsigned mask, T value, int lane_mask, int width = 32) {
  return ::qz_gpu_harness::exchange(mask, value, [&](int lane) {
    const int source = lane ^ lane_mask;
    return (source & ~(width - 1)) == (lane & ~(width - 1)) ? source : lane;
  });
}
template <class T>
T __shfl_down_sync(unsigned mask, T value, unsigned delta, int width = 32) {
  return ::qz_gpu_harness::exchange(mask, value, [&](int lane) {
    const int source = lane + static_cast<int>(delta);
    return (source & ~(width - 1)) == (lane & ~(width - 1)) ? source : lane;
  });
}
template <class T>
T __shfl_up_sync(unsigned mask, T value, unsigned delta, int width = 32) {
  return ::qz_gpu_harness::exchange(mask, value, [&](int lane) {
    const int source = lane - static_cast<int>(delta);
    return source >= (lane & ~(width - 1)) ? source : lane;
  });
}

inline unsigned __ballot_sync(unsigned mask, int predicate) {
  uint64_t *slots = ::qz_gpu_harness::warp_slots();
  const int lane = ::qz_gpu_harness::current().lane;
  slots[lane] = predicate != 0;
  ::qz_gpu_harness::barrier_warp(mask);
  unsigned bits = 0;
  for (int i = 0; i < 32; ++i)
    if ((mask >> i & 1) && slots[i]) bits |= 1u << i;
  ::qz_gpu_harness::barrier_warp(mask);
  return bits & mask;
}
inline int __any_sync(unsigned mask, int predicate) { return __ballot_sync(mask, predicate) != 0; }
inline int __all_sync(unsigned mask, int predicate) {
  return __ballot_sync(mask, predicate) == (mask & __ballot_sync(mask, 1));
}

namespace qz_gpu_harness {
// Under schedule::shuffled the CUDA harness holds a float atomic addition
// back (true) and lands it later, in a permuted order among the others
// pending: those of one launch before the stream's next work, those of
// concurrent streams interleaved, all before the next work on the default
// stream or a copy reads memory. So a sum of float atomics shows that its
// order is not fixed. Kernels that read an address they add to atomically,
// or use the value the addition returns, do not suit that schedule.
bool defer_float_add(float *address, float value);
}  // namespace qz_gpu_harness

// Blocks run on one CPU thread, so atomics are plain read-modify-writes
// (float additions perhaps deferred, above).
template <class T>
T atomicAdd(T *address, T value) {
  const T old = *address;
  if constexpr (std::is_same_v<T, float>)
    if (::qz_gpu_harness::defer_float_add(address, value)) return old;
  *address = old + value;
  return old;
}
template <class T>
T atomicMax(T *address, T value) {
  const T old = *address;
  if (value > old) *address = value;
  return old;
}
template <class T>
T atomicMin(T *address, T value) {
  const T old = *address;
  if (value < old) *address = value;
  return old;
}
template <class T>
T atomicExch(T *address, T value) {
  const T old = *address;
  *address = value;
  return old;
}
template <class T>
T atomicCAS(T *address, T compare, T value) {
  const T old = *address;
  if (old == compare) *address = value;
  return old;
}


// The GPU's vector types, with the GPU's alignment.
struct alignas(4) char4 {
  signed char x, y, z, w;
};
struct alignas(8) short4 {
  short x, y, z, w;
};
struct alignas(16) float4 {
  float x, y, z, w;
};

namespace qz_gpu_harness {
// c + the two int16 halves of `a` times the int8 bytes `first`, `first` + 1
// of `b`, wrapping in 32 bits as the instruction does.
inline int dp2a(int a, int b, int c, int first) {
  const uint32_t lo = static_cast<uint32_t>(static_cast<int16_t>(a & 0xFFFF) *
                                            static_cast<int8_t>(b >> (8 * first)));
  const uint32_t hi = static_cast<uint32_t>(static_cast<int16_t>(static_cast<uint32_t>(a) >> 16) *
                                            static_cast<int8_t>(b >> (8 * first + 8)));
  return static_cast<int>(static_cast<uint32_t>(c) + lo + hi);
}
}  // namespace qz_gpu_harness

// Two-way int16 x int8 dot products: the low or the high two bytes of b.
inline int __dp2a_lo(int a, int b, int c) { return ::qz_gpu_harness::dp2a(a, b, c, 0); }
inline int __dp2a_hi(int a, int b, int c) { return ::qz_gpu_harness::dp2a(a, b, c, 2); }

// The device maths the kernels call, in the kernels' namespace so that they
// stand in for <cmath>'s: each is the correctly rounded result moved by the
// documented error bound of the CUDA maths library (device_maths.h), up or
// down as a hash of the arguments says, so that tests show they tolerate
// the GPU's results. The documented exact cases stay exact (expf(0) = 1,
// powf(x, 0) = 1, sinf(0) = 0, ...), and no result leaves its function's
// range. sqrtf, division, fmaf and the like are exact on the GPU as
// built (-prec-div, -prec-sqrt) and are not replaced.
namespace qz_cuda_emu {
float expf(float x);
float exp2f(float x);
float logf(float x);
float powf(float x, float y);
float sinf(float x);
float cosf(float x);
void sincosf(float x, float *sine, float *cosine);
float tanhf(float x);
float erff(float x);
float rsqrtf(float x);
float __log2f(float x);  // the fast logarithm
}  // namespace qz_cuda_emu
