// Convolutions: the int8 x int16 depthwise, full and transposed 1-D
// convolutions into int32 (ops 10, 11, 12) and the float 2-D convolution
// (op 13). Integer sums wrap in 32 bits, as the host's do, so every kernel
// gives the host's values whatever order it adds in.
#include <algorithm>

#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN


// Op 10: output row t = blockIdx.x * 2 + threadIdx.y, channels threadIdx.x,
// + 32, ...; the taps summed two at a time with the two-way dot product.
// The sum is added to out, as the operation (and every other
// implementation of it) accumulates.
#if QZ_CUDA_BUILDS(DWCONV1D_ACC_I8I16)
static __device__ __forceinline__ int qz_cuda_dwconv_tap_sum(int t, int ch, int j, int taps,
                                                             const signed char *w,
                                                             const short *x) {
  int sum = 0;
  int k = 0;
  for (; k + 1 < taps; k += 2) {
    const long long row = static_cast<long long>(t + k) * ch + j;
    sum = __dp2a_lo(qz_cuda_pack16(x[row], x[row + ch]),
                    qz_cuda_pack8(w[static_cast<long long>(k) * ch + j],
                                  w[static_cast<long long>(k + 1) * ch + j]),
                    sum);
  }
  if (k < taps)
    sum = qz_cuda_wrap_add(sum, x[static_cast<long long>(t + k) * ch + j] *
                                    w[static_cast<long long>(k) * ch + j]);
  return sum;
}

// The thread's output row: taps known when compiled (the common sizes) or
// passed at run time.
static __device__ __forceinline__ void qz_cuda_dwconv_row(int rows, int ch, int taps, int *out,
                                                          const signed char *w, const short *x) {
  const int t = blockIdx.x * 2 + threadIdx.y;
  if (t >= rows) return;
  for (int j = threadIdx.x; j < ch; j += 32) {
    const long long i = static_cast<long long>(t) * ch + j;
    out[i] = qz_cuda_wrap_add(out[i], qz_cuda_dwconv_tap_sum(t, ch, j, taps, w, x));
  }
}

template <int K>
QZ_CUDA_TEMPLATE_KERNEL void taabe213(int rows, int ch, int *out, signed char *w, short *x) {
  qz_cuda_dwconv_row(rows, ch, K, out, w, x);
}

QZ_CUDA_KERNEL void taabe249(int rows, int ch, int K, int *out, signed char *w, short *x) {
  qz_cuda_dwconv_row(rows, ch, K, out, w, x);
}

qz_status_t qz_ypu_cuda_dwconv1d_acc_i8i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_dwconv1d_acc_i8i16_params_t *>(params);
  const qz_cuda_dim3_t grid{static_cast<uint32_t>((p.rows + 1) >> 1)}, block{32, 2};
  int *out = qz_ypu_cuda_operand<int>(p.out, p.out_offset);
  signed char *w = qz_ypu_cuda_operand<signed char>(p.weights, p.weights_offset);
  short *x = qz_ypu_cuda_operand<short>(p.in, p.in_offset);
  switch (p.taps) {
    case 1: qz_cuda_launch(taabe213<1>, grid, block, p.rows, p.channels, out, w, x); break;
    case 3: qz_cuda_launch(taabe213<3>, grid, block, p.rows, p.channels, out, w, x); break;
    case 5: qz_cuda_launch(taabe213<5>, grid, block, p.rows, p.channels, out, w, x); break;
    case 7: qz_cuda_launch(taabe213<7>, grid, block, p.rows, p.channels, out, w, x); break;
    case 9: qz_cuda_launch(taabe213<9>, grid, block, p.rows, p.channels, out, w, x); break;
    default: qz_cuda_launch(taabe249, grid, block, p.rows, p.channels, p.taps, out, w, x);
  }
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 11: out[i][j] = sum over q < taps * in_ch of x[i * in_ch + q] *
// w[j * taps * in_ch + q].
#if QZ_CUDA_BUILDS(CONV1D_I8I16)
// Four lanes per output (row blockIdx.x * 2 + threadIdx.y, channel
// c0 + threadIdx.z for c0 = blockIdx.y * 4, then by 4 gridDim.y), lane l
// summing q = l, l + 4, ...; every lane of the warp takes part in the
// shuffles, so lanes past the matrix add 0.
QZ_CUDA_KERNEL void taabe189(int rows, int in_ch, int out_ch, int taps, int *out, signed char *w,
                             short *x) {
  const int i = blockIdx.x * 2 + threadIdx.y;
  const long long length = static_cast<long long>(taps) * in_ch;
  for (long long c0 = blockIdx.y * 4ll; c0 < out_ch; c0 += 4ll * gridDim.y) {
    const long long j = c0 + threadIdx.z;
    const bool inside = i < rows && j < out_ch;
    int sum = 0;
    if (inside) {
      const short *xr = x + static_cast<long long>(i) * in_ch;
      const signed char *wr = w + j * length;
      for (long long q = threadIdx.x; q < length; q += 4)
        sum = qz_cuda_wrap_add(sum, xr[q] * wr[q]);
    }
    sum = qz_cuda_wrap_add(sum, __shfl_xor_sync(0xFFFFFFFFu, sum, 2));
    sum = qz_cuda_wrap_add(sum, __shfl_xor_sync(0xFFFFFFFFu, sum, 1));
    if (inside && threadIdx.x == 0) out[static_cast<long long>(i) * out_ch + j] = sum;
  }
}


// A 16 x 16 output tile per block of 16 threads (tile rows blockIdx.x * 16,
// channels ch0 = blockIdx.y * 16, then by 16 gridDim.y), thread t owning the
// 4 x 4 sub-tile at tile rows 4 (t / 4) and channels 4 (t % 4); the inner
// dimension walks in 4-value steps staged in shared memory. The channel
// loop is the whole block's, so every thread meets the same barriers.
QZ_CUDA_KERNEL void taabe183(int rows, int out_ch, int length4, int row4, int *out, short4 *x,
                             char4 *w) {
  __shared__ short4 xs[16];
  __shared__ char4 ws[16];
  const int t = threadIdx.x;
  const int row0 = blockIdx.x * 16;
  const int sub_row = 4 * (t / 4), sub_ch = 4 * (t % 4);
  for (long long ch0 = blockIdx.y * 16ll; ch0 < out_ch; ch0 += 16ll * gridDim.y) {
    int acc[4][4] = {};
    for (int s = 0; s < length4; ++s) {
      const int r = row0 + t;
      const long long c = ch0 + t;
      xs[t] = r < rows ? x[static_cast<long long>(r) * row4 + s] : short4{0, 0, 0, 0};
      ws[t] = c < out_ch ? w[c * length4 + s] : char4{0, 0, 0, 0};
      __syncthreads();
      for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b)
          acc[a][b] = qz_cuda_dot4(xs[sub_row + a], ws[sub_ch + b], acc[a][b]);
      __syncthreads();
    }
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) {
        const int r = row0 + sub_row + a;
        const long long c = ch0 + sub_ch + b;
        if (r < rows && c < out_ch) out[static_cast<long long>(r) * out_ch + c] = acc[a][b];
      }
  }
}

qz_status_t qz_ypu_cuda_conv1d_i8i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_conv1d_i8i16_params_t *>(params);
  int *out = qz_ypu_cuda_operand<int>(p.out, p.out_offset);
  signed char *w = qz_ypu_cuda_operand<signed char>(p.weights, p.weights_offset);
  short *x = qz_ypu_cuda_operand<short>(p.in, p.in_offset);
  // The vector kernel loads 8-byte int16 and 4-byte int8 vectors: operands
  // off those boundaries take the per-value kernel (same sums).
  const bool aligned = (reinterpret_cast<uintptr_t>(x) & 7) == 0 &&
                       (reinterpret_cast<uintptr_t>(w) & 3) == 0;
  if (p.in_channels % 4 != 0 || !aligned) {
    qz_cuda_launch(taabe189,
                   {static_cast<uint32_t>((p.rows + 1) >> 1),
                    qz_cuda_grid_y(device, (int64_t{p.out_channels} + 3) >> 2)},
                   {4, 2, 4}, p.rows, p.in_channels, p.out_channels, p.taps, out, w, x);
  } else {
    qz_cuda_launch(taabe183,
                   {static_cast<uint32_t>((p.rows + 15) / 16),
                    qz_cuda_grid_y(device, (int64_t{p.out_channels} + 15) / 16)},
                   {16}, p.rows, p.out_channels, p.taps * p.in_channels / 4, p.in_channels / 4,
                   out, reinterpret_cast<short4 *>(x), reinterpret_cast<char4 *>(w));
  }
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 12 with P = taps / stride taps per phase: output row u * stride + s
// (u = blockIdx.x * 2 + threadIdx.y < rows + P - 1, every phase s < stride,
// channels threadIdx.x, + 16, ...) is written with the complete sum of its
// phase's taps, without reading the old output, as the CPU kernels write
// it; each output element has exactly one writer. (The host implementation
// adds into the output; on a zeroed output all three agree.)
#if QZ_CUDA_BUILDS(DWCONV1D_TRANSPOSED_I8I16)
QZ_CUDA_KERNEL void taabe5(int rows, int ch, int P, int stride, int *out, signed char *w,
                           short *x) {
  const int u = blockIdx.x * 2 + threadIdx.y;
  if (u >= rows + P - 1) return;
  for (int s = 0; s < stride; ++s)
    for (int j = threadIdx.x; j < ch; j += 16) {
      int sum = 0;
      for (int k = 0; k < P; ++k) {
        if (u - k < 0 || u - k >= rows) continue;
        sum = qz_cuda_wrap_add(sum, x[static_cast<long long>(u - k) * ch + j] *
                                        w[(static_cast<long long>(k) * stride + s) * ch + j]);
      }
      out[(static_cast<long long>(u) * stride + s) * ch + j] = sum;
    }
}

qz_status_t qz_ypu_cuda_dwconv1d_transposed_i8i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_dwconv1d_transposed_i8i16_params_t *>(params);
  // Taps that are not a whole number of phases, and the shapes the kernel
  // has no form for (a stride below 1 would divide by zero; empty or
  // negative sizes), go to the host implementation.
  if (p.stride < 1 || p.taps < 1 || p.rows < 1 || p.channels < 1 || p.taps % p.stride != 0)
    return QZ_STATUS_INVALID_ARGUMENT;
  const int32_t P = p.taps / p.stride;
  qz_cuda_launch(taabe5, {static_cast<uint32_t>((P + p.rows) >> 1)}, {16, 2}, p.rows, p.channels,
                 P, p.stride, qz_ypu_cuda_operand<int>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<signed char>(p.weights, p.weights_offset),
                 qz_ypu_cuda_operand<short>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 13: one block per output element (b, oc, oy, ox), the three block
// indices looping by the grid; the block's threads split the in_ch * kh * kw
// products, a warp butterfly and a second one over the (at most 8) warp sums
// give the total.
#if QZ_CUDA_BUILDS(CONV2D_F32)
QZ_CUDA_KERNEL void taabe142(int out_h, int out_w, int stride, int pad, int batch, int out_ch,
                             int in_ch, int in_h, int in_w, int kh, int kw, float *out, float *in,
                             float *w) {
  __shared__ float partial[32];
  const int lane = threadIdx.x & 31, warp = threadIdx.x >> 5;
  const int taps = kh * kw, terms = in_ch * taps;
  const long long planes = static_cast<long long>(batch) * out_ch;
  for (long long bo = blockIdx.x; bo < planes; bo += gridDim.x)
    for (int oy = blockIdx.y; oy < out_h; oy += gridDim.y)
      for (int ox = blockIdx.z; ox < out_w; ox += gridDim.z) {
        const long long b = bo / out_ch;
        const int oc = static_cast<int>(bo % out_ch);
        if (threadIdx.x < 32) partial[threadIdx.x] = 0.0f;
        // The zeroing lands before any warp stores its sum.
        __syncthreads();
        float acc = 0.0f;
        for (int q = threadIdx.x; q < terms; q += blockDim.x) {
          const int ic = q / taps, ky = (q % taps) / kw, kx = q % kw;
          const int iy = oy * stride - pad + ky, ix = ox * stride - pad + kx;
          if (iy < 0 || iy >= in_h || ix < 0 || ix >= in_w) continue;
          acc = fmaf(w[static_cast<long long>(oc) * terms + q],
                     in[((b * in_ch + ic) * in_h + iy) * in_w + ix], acc);
        }
        for (int d = 16; d >= 1; d >>= 1) acc += __shfl_xor_sync(0xFFFFFFFFu, acc, d);
        if (lane == 0) partial[warp] = acc;
        __syncthreads();
        if (threadIdx.x < 8) {
          float v = partial[threadIdx.x];
          for (int d = 4; d >= 1; d >>= 1) v += __shfl_xor_sync(0xFFu, v, d);
          if (threadIdx.x == 0) partial[0] = v;
        }
        __syncthreads();
        out[((b * out_ch + oc) * out_h + oy) * out_w + ox] = partial[0];
        // Every thread has read the total before the next element zeroes it.
        __syncthreads();
      }
}

qz_status_t qz_ypu_cuda_conv2d_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_conv2d_f32_params_t *>(params);
  // The output size divides by the stride; the host implementation reports
  // a stride below 1. Empty outputs are left to it too (nothing to write).
  if (p.stride < 1) return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t out_h = (int64_t{p.in_height} + 2 * int64_t{p.pad} - p.kernel_height) / p.stride + 1;
  const int64_t out_w = (int64_t{p.in_width} + 2 * int64_t{p.pad} - p.kernel_width) / p.stride + 1;
  if (out_h < 1 || out_w < 1 || out_h > INT32_MAX || out_w > INT32_MAX)
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t terms = int64_t{p.kernel_height} * p.kernel_width * p.in_channels;
  const int64_t planes = int64_t{p.batch} * p.out_channels;
  if (terms < 1 || terms > INT32_MAX || planes < 1) return QZ_STATUS_INVALID_ARGUMENT;
  const uint32_t threads = static_cast<uint32_t>(std::min<int64_t>(((terms - 1) / 32) * 32 + 32, 256));
  qz_cuda_launch(taabe142,
                 {static_cast<uint32_t>(std::min<int64_t>(planes, 65535)),
                  static_cast<uint32_t>(std::min<int64_t>(out_h, 65535)),
                  static_cast<uint32_t>(std::min<int64_t>(out_w, 65535))},
                 {threads}, static_cast<int32_t>(out_h), static_cast<int32_t>(out_w), p.stride,
                 p.pad, p.batch, p.out_channels, p.in_channels, p.in_height, p.in_width,
                 p.kernel_height, p.kernel_width, qz_ypu_cuda_operand<float>(p.out),
                 qz_ypu_cuda_operand<float>(p.in), qz_ypu_cuda_operand<float>(p.weights));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
