// Row and column normalisations and the row mean.
#include "ypu/cuda/block_reduce.h"

QZ_CUDA_BEGIN

// Each helper is kept only in the modules of the ops that use it.
namespace {

#if QZ_CUDA_BUILDS(LAYER_NORM_F32) || QZ_CUDA_BUILDS(LAYER_NORM_PLAIN_F32) || \
    QZ_CUDA_BUILDS(RMS_NORM_F32)
// Sum and sum of squares (fused multiply-add) of a row, block of 512.
struct moments {
  float sum, sq;
};

__device__ moments row_moments(const float *x, int n, bool with_sum) {
  __shared__ float sums[32];
  __shared__ float squares[32];
  __shared__ float totals[2];
  if (threadIdx.x < 32) {
    sums[threadIdx.x] = 0.0f;
    squares[threadIdx.x] = 0.0f;
  }
  // The zeroing above and the per-warp stores below touch the same entries.
  __syncthreads();
  float sum = 0.0f, sq = 0.0f;
  for (int i = threadIdx.x; i < n; i += blockDim.x) {
    sum = sum + x[i];
    sq = fmaf(x[i], x[i], sq);
  }
  moments m;
  m.sum = with_sum ? qz_cuda_block_reduce(sum, qz_cuda_add_f32{}, sums, &totals[0], 32) : 0.0f;
  m.sq = qz_cuda_block_reduce(sq, qz_cuda_add_f32{}, squares, &totals[1], 32);
  return m;
}
#endif

#if QZ_CUDA_BUILDS(LAYER_NORM_F32) || QZ_CUDA_BUILDS(LAYER_NORM_PLAIN_F32)
// 1 / sqrt of the row variance plus eps; a variance that rounding made
// negative counts as 0.
__device__ float row_scale(moments m, int n, float eps, float *mean) {
  const float count = static_cast<float>(n);
  *mean = m.sum / count;
  const float variance = m.sq / count - *mean * *mean;
  return rsqrtf((variance > 0.0f ? variance : 0.0f) + eps);
}
#endif

#if QZ_CUDA_BUILDS(LAYER_NORM_COLUMNS_F32) || QZ_CUDA_BUILDS(GROUP_NORM_F32)
// Mean and 1 / sqrt(variance + eps) of column j of an [r][cols] block, in
// two passes in row order.
__device__ float column_scale(const float *x, int r, int cols, int j, float eps, float *mean) {
  float sum = 0.0f;
  for (int k = 0; k < r; ++k) sum = sum + x[k * cols + j];
  *mean = sum / static_cast<float>(r);
  float sq = 0.0f;
  for (int k = 0; k < r; ++k) {
    const float d = x[k * cols + j] - *mean;
    sq = fmaf(d, d, sq);
  }
  return 1.0f / sqrtf(sq / static_cast<float>(r) + eps);
}
#endif

}  // namespace

#if QZ_CUDA_BUILDS(LAYER_NORM_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe177(int n, float eps, float *out, float *in, float *gamma, float *beta) {
  if (n < 1) return;
  const float *x = in + blockIdx.x * n;
  float *y = out + blockIdx.x * n;
  float mean;
  const float inv = row_scale(row_moments(x, n, true), n, eps, &mean);
  for (int i = threadIdx.x; i < n; i += blockDim.x) y[i] = fmaf(gamma[i], inv * (x[i] - mean), beta[i]);
}

qz_status_t qz_ypu_cuda_layer_norm_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_layer_norm_f32_params_t *>(params);
  qz_cuda_launch(taabe177, {static_cast<uint32_t>(p.rows)}, {512}, p.cols, p.epsilon,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset),
                 qz_ypu_cuda_operand<float>(p.gamma, p.gamma_offset),
                 qz_ypu_cuda_operand<float>(p.beta, p.beta_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(LAYER_NORM_PLAIN_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512) taabe254(int n, float eps, float *out, float *in) {
  if (n < 1) return;
  const float *x = in + blockIdx.x * n;
  float *y = out + blockIdx.x * n;
  float mean;
  const float inv = row_scale(row_moments(x, n, true), n, eps, &mean);
  for (int i = threadIdx.x; i < n; i += blockDim.x) y[i] = inv * (x[i] - mean);
}

qz_status_t qz_ypu_cuda_layer_norm_plain_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_layer_norm_plain_f32_params_t *>(params);
  qz_cuda_launch(taabe254, {static_cast<uint32_t>(p.rows)}, {512}, p.cols, p.epsilon,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(RMS_NORM_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe32(int n, float eps, float *out, float *in, float *weight) {
  if (n < 1) return;
  const float *x = in + blockIdx.x * n;
  float *y = out + blockIdx.x * n;
  const float inv = rsqrtf(row_moments(x, n, false).sq / static_cast<float>(n) + eps);
  for (int i = threadIdx.x; i < n; i += blockDim.x) y[i] = (inv * x[i]) * weight[i];
}

qz_status_t qz_ypu_cuda_rms_norm_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rms_norm_f32_params_t *>(params);
  qz_cuda_launch(taabe32, {static_cast<uint32_t>(p.rows)}, {512}, p.cols, p.epsilon,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset),
                 qz_ypu_cuda_operand<float>(p.gamma, p.gamma_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(LAYER_NORM_COLUMNS_F32)
QZ_CUDA_KERNEL void taabe10(int batches, int r, int cols, float eps, float *out, float *in,
                            float *gamma, float *beta) {
  for (int p = blockIdx.x; p < batches; p += 65535) {
    const float *x = in + p * r * cols;
    float *y = out + p * r * cols;
    for (int j = threadIdx.x; j < cols; j += 256) {
      float mean;
      const float inv = column_scale(x, r, cols, j, eps, &mean);
      for (int k = 0; k < r; ++k)
        y[k * cols + j] = fmaf(gamma[k], inv * (x[k * cols + j] - mean), beta[k]);
    }
  }
}

qz_status_t qz_ypu_cuda_layer_norm_columns_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_layer_norm_columns_f32_params_t *>(params);
  qz_cuda_launch(taabe10, {qz_cuda_clamp_grid(p.batch)}, {256}, p.batch, p.length, p.cols,
                 p.epsilon, qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset),
                 qz_ypu_cuda_operand<float>(p.gamma, p.gamma_offset),
                 qz_ypu_cuda_operand<float>(p.beta, p.beta_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(GROUP_NORM_F32)
QZ_CUDA_KERNEL void taabe273(int r, int cols, short *out, float *in, float eps) {
  const int j = blockIdx.x * blockDim.x + threadIdx.x;
  if (j >= cols) return;
  float mean;
  const float inv = column_scale(in, r, cols, j, eps, &mean);
  for (int k = 0; k < r; ++k) {
    const float v = inv * (in[k * cols + j] - mean) * 1024.0f;
    out[k * cols + j] = static_cast<short>(v >= 32767.0f    ? 32767
                                           : v <= -32768.0f ? -32768
                                                            : qz_cuda_truncate(v));
  }
}

qz_status_t qz_ypu_cuda_group_norm_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_group_norm_f32_params_t *>(params);
  qz_cuda_launch(taabe273, {qz_cuda_blocks_256(p.cols)}, {256}, p.length, p.cols,
                 qz_ypu_cuda_operand<short>(p.out), qz_ypu_cuda_operand<float>(p.in), p.epsilon);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 41: the running sum lives in the output element.
#if QZ_CUDA_BUILDS(MEAN_ROWS_F32)
QZ_CUDA_KERNEL void taabe310(float *out, const float *in, int n, int cols) {
  const int j = blockIdx.x * blockDim.x + threadIdx.x;
  if (j >= cols) return;
  out[j] = 0.0f;
  for (int i = 0; i < n; ++i) out[j] = out[j] + in[i * cols + j];
  out[j] = out[j] / static_cast<float>(n);
}

qz_status_t qz_ypu_cuda_mean_rows_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_mean_rows_f32_params_t *>(params);
  qz_cuda_launch(taabe310, {static_cast<uint32_t>((p.cols + 63) / 64)}, {64},
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<const float>(p.in, p.in_offset), p.rows, p.cols);
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
