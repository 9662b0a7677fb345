// The two-stage block reductions of the row kernels: a butterfly of lane
// shuffles inside each warp, one shared entry per warp, and a second
// butterfly in the first warp over `groups` lanes (the number of warps);
// the warp dot product of the float products and attention kernels.
#pragma once

#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

// The float operations the reductions combine with.
struct qz_cuda_add_f32 {
  __device__ float operator()(float a, float b) const { return a + b; }
};
struct qz_cuda_max_f32 {
  __device__ float operator()(float a, float b) const { return fmaxf(a, b); }
};

template <class T, class Op>
__device__ __forceinline__ T qz_cuda_butterfly(T v, Op op, int widest) {
  for (int d = widest; d >= 1; d >>= 1) v = op(v, __shfl_xor_sync(0xFFFFFFFFu, v, d));
  return v;
}

// The calling warp's dot product of two rows of k floats, in a block 32
// threads wide (a warp is one row of it): lane threadIdx.x chains fused
// multiply-adds over elements lane, lane + 32, ... from 0, then a butterfly
// gives every lane the total.
__device__ __forceinline__ float qz_cuda_warp_dot(const float *a, const float *b, int k) {
  float acc = 0.0f;
  for (int p = threadIdx.x; p < k; p += 32) acc = fmaf(a[p], b[p], acc);
  return qz_cuda_butterfly(acc, qz_cuda_add_f32{}, 16);
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
