// Gaussian window weighting: block f is output frame f, one thread per
// dimension (by the block's width beyond 1024 dimensions).
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(GAUSSIAN_WEIGHTS_F32)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(1024)
    taabe115(float *out, float *values, float *sigma, float *mu, int *centers,
             int frames, int sources, int dim, int left, int right) {
  const int f = blockIdx.x;
  if (f >= frames) return;
  const int k = centers[f];
  const int lo = k - left > 0 ? k - left : 0;
  const int hi = k + right < sources - 1 ? k + right : sources - 1;
  for (int d = threadIdx.x; d < dim; d += blockDim.x) {
    float weight = 0.0f, acc = 0.0f;
    for (int s = lo; s <= hi; ++s) {
      const float distance = static_cast<float>(f) - mu[s];
      const float w = expf(fminf(100.0f, distance * distance) / (sigma[s] * (sigma[s] * -2.0f)));
      weight = weight + w;
      acc = fmaf(w, values[s * dim + d], acc);
    }
    const double total = static_cast<double>(weight) > 1e-8 ? static_cast<double>(weight) : 1e-8;
    out[f * dim + d] = static_cast<float>(static_cast<double>(acc) / total);
  }
}

qz_status_t qz_ypu_cuda_gaussian_weights_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_gaussian_weights_f32_params_t *>(params);
  // A thread per dimension, up to the kernel's bound of 1024; wider frames
  // loop.
  const uint32_t threads = static_cast<uint32_t>(p.channels < 1024 ? p.channels : 1024);
  // The kernel takes the left reach before the right one.
  qz_cuda_launch(taabe115, {static_cast<uint32_t>(p.rows)}, {threads},
                 qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.values),
                 qz_ypu_cuda_operand<float>(p.widths), qz_ypu_cuda_operand<float>(p.centres),
                 qz_ypu_cuda_operand<int>(p.anchors), p.rows, p.positions, p.channels, p.before,
                 p.after);
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
