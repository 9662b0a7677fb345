// Polar spectrum: rows of n + 2 floats (log magnitudes, then phases) become
// rows of n / 2 + 1 complex bins; block r is row r, 128 threads.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(POLAR_SPECTRUM_F32)
QZ_CUDA_KERNEL void taabe27(int n, float *out, float *in) {
  const float *row = in + blockIdx.x * (n + 2);
  float *bins = out + blockIdx.x * (n + 2);
  for (int k = threadIdx.x; k <= n / 2; k += 128) {
    const float magnitude = fminf(expf(row[k]), 100.0f);
    const float phase = row[n / 2 + 1 + k];
    const float w = k > 0 && k < n / 2 ? 2.0f / static_cast<float>(n) : 1.0f / static_cast<float>(n);
    bins[2 * k] = w * (magnitude * cosf(phase));
    bins[2 * k + 1] = w * (magnitude * sinf(phase));
  }
  bins[1] = 0.0f;
  bins[n + 1] = 0.0f;
}

qz_status_t qz_ypu_cuda_polar_spectrum_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_polar_spectrum_f32_params_t *>(params);
  qz_cuda_launch(taabe27, {static_cast<uint32_t>(p.rows)}, {128}, p.cols,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
