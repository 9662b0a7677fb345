// The two-stage block reductions of the row kernels: a butterfly of lane
// shuffles inside each warp, one shared entry per warp, and a second
// butterfly in the first warp over `groups` lanes (the number of warps).
#pragma once

#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

template <class T, class Op>
__device__ __forceinline__ T qz_cuda_butterfly(T v, Op op, int widest) {
  for (int d = widest; d >= 1; d >>= 1) v = op(v, __shfl_xor_sync(0xFFFFFFFFu, v, d));
  return v;
}

// Every thread passes its partial value; the block total comes back to every
// thread. `shared` holds 32 entries; `broadcast` is the entry the first
// warp's result goes through. The trailing barrier keeps the next reduction
// from overwriting `shared` before every thread has read its result.
template <class T, class Op>
__device__ __forceinline__ T qz_cuda_block_reduce(T v, Op op, T *shared, T *broadcast,
                                                  int groups) {
  const int lane = threadIdx.x & 31, warp = threadIdx.x >> 5;
  v = qz_cuda_butterfly(v, op, 16);
  if (lane == 0) shared[warp] = v;
  __syncthreads();
  if (warp == 0) {
    v = qz_cuda_butterfly(shared[lane], op, groups / 2);
    if (lane == 0) *broadcast = v;
  }
  __syncthreads();
  const T total = *broadcast;
  __syncthreads();
  return total;
}

QZ_CUDA_END
