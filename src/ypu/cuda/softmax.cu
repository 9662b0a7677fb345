// Row softmax in float (block 512) and in fixed point (block 256).
#include "ypu/cuda/block_reduce.h"

QZ_CUDA_BEGIN

namespace {

#if QZ_CUDA_BUILDS(SOFTMAX_FIXED_I16)
struct max_i32 {
  __device__ int operator()(int a, int b) const { return a > b ? a : b; }
};
struct add_i64 {
  __device__ long long operator()(long long a, long long b) const { return a + b; }
};

__device__ __forceinline__ int32_t clamp_i32(long long v) {
  return static_cast<int32_t>(v < -2147483648LL ? -2147483648LL : v > 2147483647LL ? 2147483647LL : v);
}
#endif

}  // namespace

#if QZ_CUDA_BUILDS(SOFTMAX_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512) taabe119(int n, float *out, float *in) {
  __shared__ float shared[32];
  const float *x = in + blockIdx.x * n;
  float *y = out + blockIdx.x * n;
  float m = -INFINITY;
  for (int i = threadIdx.x; i < n; i += blockDim.x) m = fmaxf(m, x[i]);
  m = qz_cuda_block_reduce(m, qz_cuda_max_f32{}, shared, &shared[0], 16);
  float sum = 0.0f;
  for (int i = threadIdx.x; i < n; i += blockDim.x) {
    const float e = expf(x[i] - m);
    y[i] = e;
    sum = sum + e;
  }
  sum = qz_cuda_block_reduce(sum, qz_cuda_add_f32{}, shared, &shared[0], 16);
  const float inv = 1.0f / sum;
  for (int i = threadIdx.x; i < n; i += blockDim.x) y[i] = y[i] * inv;
}

qz_status_t qz_ypu_cuda_softmax_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_softmax_f32_params_t *>(params);
  qz_cuda_launch(taabe119, {static_cast<uint32_t>(p.rows)}, {512}, p.cols,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(SOFTMAX_FIXED_I16)
QZ_CUDA_KERNEL void taabe269(int n, int *out, short *in) {
  __shared__ short maxima[32];
  __shared__ long long sums[32];
  __shared__ int maximum;
  const short *x = in + blockIdx.x * n;
  int *y = out + blockIdx.x * n;
  int m = -32768;
  for (int i = threadIdx.x; i < n; i += blockDim.x) m = x[i] > m ? x[i] : m;
  // The warp totals go through int16 entries, the values being int16.
  {
    const int lane = threadIdx.x & 31, warp = threadIdx.x >> 5;
    m = qz_cuda_butterfly(m, max_i32{}, 16);
    if (lane == 0) maxima[warp] = static_cast<short>(m);
    __syncthreads();
    if (warp == 0) {
      m = qz_cuda_butterfly(static_cast<int>(maxima[lane]), max_i32{}, 4);
      if (lane == 0) maximum = m;
    }
    __syncthreads();
    m = maximum;
  }
  long long sum = 0;
  for (int i = threadIdx.x; i < n; i += blockDim.x) {
    const int d = qz_cuda_clamp_i16(x[i] - m);
    int a = d == -32768 ? 32767 : -d;
    a = a < 16383 ? a : 16383;
    const int e = clamp_i32((static_cast<long long>(QZ_EXP_MSB_TABLE[a >> 7]) *
                             QZ_EXP_LSB_TABLE[a & 127]) >> 31);
    y[i] = e;
    sum += e;
  }
  const long long total = qz_cuda_block_reduce(sum, add_i64{}, sums, &sums[0], 8);
  // An empty row has nothing to scale (and a zero total to divide by).
  const long long inv = total > 0 ? clamp_i32((1LL << 62) / total) : 0;
  for (int i = threadIdx.x; i < n; i += blockDim.x) y[i] = clamp_i32((inv * y[i]) >> 31);
}

qz_status_t qz_ypu_cuda_softmax_fixed_i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_softmax_fixed_i16_params_t *>(params);
  qz_cuda_launch(taabe269, {static_cast<uint32_t>(p.rows)}, {256}, p.cols,
                 qz_ypu_cuda_operand<int>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<short>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
