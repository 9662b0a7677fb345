// Resizes of channel-last images and sequences: bicubic with half-pixel
// centres (op 8), bilinear with aligned corners (op 9) and 1-D linear with
// half-pixel centres (op 37). One block per output position, the threads
// over its channels (step 256), the block indices looping by the grid.
#include <cmath>

#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(RESIZE_BICUBIC_F32) || QZ_CUDA_BUILDS(RESIZE_BILINEAR_F32) || \
    QZ_CUDA_BUILDS(RESIZE_LINEAR_F32)
static __device__ __forceinline__ int qz_cuda_clamp_index(int i, int size) {
  return i < 0 ? 0 : i > size - 1 ? size - 1 : i;
}
#endif

#if QZ_CUDA_BUILDS(RESIZE_BICUBIC_F32)
// The cubic convolution weight (a = -0.75) at distance t, by nested fused
// multiply-adds; the weights are not renormalised.
static __device__ __forceinline__ float qz_cuda_cubic_weight(float t) {
  if (t <= 1.0f) return fmaf(fmaf(fmaf(1.25f, t, -2.25f), t, 0.0f), t, 1.0f);
  if (t < 2.0f) return fmaf(fmaf(fmaf(-0.75f, t, 3.75f), t, -6.0f), t, 3.0f);
  return 0.0f;
}

QZ_CUDA_KERNEL void taabe71(float sy, float sx, int out_h, int out_w, int in_h, int in_w, int ch,
                            float *out, float *in) {
  for (int oy = blockIdx.x; oy < out_h; oy += gridDim.x)
    for (int ox = blockIdx.y; ox < out_w; ox += gridDim.y) {
      const float py = fmaf(static_cast<float>(oy) + 0.5f, sy, -0.5f);
      const float px = fmaf(static_cast<float>(ox) + 0.5f, sx, -0.5f);
      const float fy = floorf(py), fx = floorf(px);
      int ry[4], rx[4];
      float wy[4], wx[4];
      for (int q = 0; q < 4; ++q) {
        const float ty = fy + static_cast<float>(q - 1), tx = fx + static_cast<float>(q - 1);
        ry[q] = qz_cuda_clamp_index(static_cast<int>(ty), in_h);
        rx[q] = qz_cuda_clamp_index(static_cast<int>(tx), in_w);
        wy[q] = qz_cuda_cubic_weight(fabsf(py - ty));
        wx[q] = qz_cuda_cubic_weight(fabsf(px - tx));
      }
      float *pixel = out + (static_cast<long long>(oy) * out_w + ox) * ch;
      for (int c = threadIdx.x; c < ch; c += 256) {
        float sum = 0.0f;
        for (int a = 0; a < 4; ++a)
          for (int b = 0; b < 4; ++b)
            sum = fmaf(in[(static_cast<long long>(ry[a]) * in_w + rx[b]) * ch + c], wy[a] * wx[b],
                       sum);
        pixel[c] = sum;
      }
    }
}

qz_status_t qz_ypu_cuda_resize_bicubic_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_resize_bicubic_f32_params_t *>(params);
  // Every tap reads the input: an empty input is the host's to report.
  if (p.in_height < 1 || p.in_width < 1) return QZ_STATUS_INVALID_ARGUMENT;
  const float sy = static_cast<float>(p.in_height) / static_cast<float>(p.out_height);
  const float sx = static_cast<float>(p.in_width) / static_cast<float>(p.out_width);
  qz_cuda_launch(taabe71, {qz_cuda_clamp_grid(p.out_height), qz_cuda_clamp_grid(p.out_width)},
                 {256}, sy, sx, p.out_height, p.out_width, p.in_height, p.in_width, p.channels,
                 qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.in));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(RESIZE_BILINEAR_F32)
// The lower source index, the next one clamped and the fraction between
// them of output coordinate o (corners aligned: src = (in - 1) o / (out - 1)).
static __device__ __forceinline__ void qz_cuda_aligned_tap(int o, int out_n, int in_n, int *i0,
                                                           int *i1, float *f) {
  const float src = out_n > 1 ? static_cast<float>(in_n - 1) * static_cast<float>(o) /
                                    static_cast<float>(out_n - 1)
                              : 0.0f;
  const float base = floorf(src);
  *i0 = qz_cuda_clamp_index(static_cast<int>(base), in_n);
  *i1 = qz_cuda_clamp_index(*i0 + 1, in_n);
  *f = src - base;
}

QZ_CUDA_KERNEL void taabe223(int out_h, int out_w, int in_h, int in_w, int ch, float *out,
                             float *in) {
  for (int oy = blockIdx.x; oy < out_h; oy += gridDim.x)
    for (int ox = blockIdx.y; ox < out_w; ox += gridDim.y) {
      int y0, y1, x0, x1;
      float fy, fx;
      qz_cuda_aligned_tap(oy, out_h, in_h, &y0, &y1, &fy);
      qz_cuda_aligned_tap(ox, out_w, in_w, &x0, &x1, &fx);
      const float w00 = (1.0f - fy) * (1.0f - fx), w01 = (1.0f - fy) * fx;
      const float w10 = fy * (1.0f - fx), w11 = fy * fx;
      const float *r0 = in + static_cast<long long>(y0) * in_w * ch;
      const float *r1 = in + static_cast<long long>(y1) * in_w * ch;
      float *pixel = out + (static_cast<long long>(oy) * out_w + ox) * ch;
      for (int c = threadIdx.x; c < ch; c += 256) {
        const float q00 = r0[static_cast<long long>(x0) * ch + c];
        const float q01 = r0[static_cast<long long>(x1) * ch + c];
        const float q10 = r1[static_cast<long long>(x0) * ch + c];
        const float q11 = r1[static_cast<long long>(x1) * ch + c];
        pixel[c] = fmaf(w11, q11, fmaf(w10, q10, fmaf(w00, q00, w01 * q01)));
      }
    }
}

qz_status_t qz_ypu_cuda_resize_bilinear_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_resize_bilinear_f32_params_t *>(params);
  if (p.in_height < 1 || p.in_width < 1) return QZ_STATUS_INVALID_ARGUMENT;
  qz_cuda_launch(taabe223, {qz_cuda_clamp_grid(p.out_height), qz_cuda_clamp_grid(p.out_width)},
                 {256}, p.out_height, p.out_width, p.in_height, p.in_width, p.channels,
                 qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.in));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(RESIZE_LINEAR_F32)
QZ_CUDA_KERNEL void taabe52(int out_n, int in_n, int ch, float *out, float *in) {
  const float s = static_cast<float>(in_n) / static_cast<float>(out_n);
  for (int o = blockIdx.x; o < out_n; o += gridDim.x) {
    const float src = fmaf(s, static_cast<float>(o) + 0.5f, -0.5f);
    const float base = floorf(src), f = src - base;
    const int i0 = static_cast<int>(base);
    const float *v0 = in + static_cast<long long>(qz_cuda_clamp_index(i0, in_n)) * ch;
    const float *v1 = in + static_cast<long long>(qz_cuda_clamp_index(i0 + 1, in_n)) * ch;
    for (int c = threadIdx.x; c < ch; c += 256)
      out[static_cast<long long>(o) * ch + c] = fmaf(1.0f - f, v0[c], f * v1[c]);
  }
}

qz_status_t qz_ypu_cuda_resize_linear_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_resize_linear_f32_params_t *>(params);
  if (p.in_length < 1) return QZ_STATUS_INVALID_ARGUMENT;
  qz_cuda_launch(taabe52, {qz_cuda_clamp_grid(p.out_length)}, {256}, p.out_length, p.in_length,
                 p.channels, qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.in));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
