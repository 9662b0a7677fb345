// Matrix products: the int8 x int16 fixed-point linear layers (ops 19, 20)
// and the float products with a transposed right operand (ops 21, 40). One
// warp per dot product: lane l takes elements l, l + 32, ..., a butterfly of
// shuffles sums the lanes and lane 0 writes.
#include "ypu/cuda/block_reduce.h"

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(LINEAR_ACC_I8I16) || QZ_CUDA_BUILDS(LINEAR_I8I16)
// Lane 0's share of the fixed-point epilogue: v = (s + bias * 1024 + 64) >> 7
// (the sum wrapping in 32 bits), added to the old output when `accumulate`,
// then saturated.
static __device__ __forceinline__ void qz_cuda_linear_store(short *out, int s, int bias,
                                                            bool accumulate) {
  for (int d = 16; d >= 1; d >>= 1) s = qz_cuda_wrap_add(s, __shfl_xor_sync(0xFFFFFFFFu, s, d));
  if (threadIdx.x != 0) return;
  const int v = qz_cuda_wrap_add(qz_cuda_wrap_add(s, bias * 1024), 64) >> 7;
  *out = static_cast<short>(qz_cuda_clamp_i16(accumulate ? *out + v : v));
}

// Block (output features blockIdx.x * 16 + threadIdx.y, tokens blockIdx.y,
// then by gridDim.y); a warp is one feature, so a feature past the end
// retires its whole warp.
template <bool Accumulate>
static __device__ __forceinline__ void qz_cuda_linear_scalar(short *out, short *x, signed char *w,
                                                             signed char *bias, int rows,
                                                             int out_n, int in_n) {
  const int j = blockIdx.x * 16 + threadIdx.y;
  if (j >= out_n) return;
  const signed char *wr = w + static_cast<long long>(j) * in_n;
  for (int token = blockIdx.y; token < rows; token += gridDim.y) {
    const short *xr = x + static_cast<long long>(token) * in_n;
    int s = 0;
    for (int k = threadIdx.x; k < in_n; k += 32) s = qz_cuda_wrap_add(s, xr[k] * wr[k]);
    qz_cuda_linear_store(out + static_cast<long long>(token) * out_n + j, s, bias[j], Accumulate);
  }
}

// The same over four-value vectors (in_n / 4 of them per row).
template <bool Accumulate>
static __device__ __forceinline__ void qz_cuda_linear_vector(short *out, short4 *x, char4 *w,
                                                             signed char *bias, int rows,
                                                             int out_n, int in_n4) {
  const int j = blockIdx.x * 16 + threadIdx.y;
  if (j >= out_n) return;
  const char4 *wr = w + static_cast<long long>(j) * in_n4;
  for (int token = blockIdx.y; token < rows; token += gridDim.y) {
    const short4 *xr = x + static_cast<long long>(token) * in_n4;
    int s = 0;
    for (int k = threadIdx.x; k < in_n4; k += 32) s = qz_cuda_dot4(xr[k], wr[k], s);
    qz_cuda_linear_store(out + static_cast<long long>(token) * out_n + j, s, bias[j], Accumulate);
  }
}

// Both entries: the vector kernel when `vector` holds, the rows are whole
// vectors and the input rows sit on 8-byte boundaries (the weights start
// their buffer); otherwise the per-value kernel, which gives the same sums.
static qz_status_t qz_cuda_linear_i8i16(const void *device, void (*scalar)(short *, short *, signed char *,
                                                       signed char *, int, int, int),
                                        void (*vector)(short *, short4 *, char4 *, signed char *,
                                                       int, int, int),
                                        bool vector_shape, const void *params) {
  const auto &p = *static_cast<const qz_ypu_linear_i8i16_params_t *>(params);
  short *out = qz_ypu_cuda_operand<short>(p.out, p.out_offset);
  short *x = qz_ypu_cuda_operand<short>(p.in, p.in_offset);
  signed char *w = qz_ypu_cuda_operand<signed char>(p.weights);
  signed char *bias = qz_ypu_cuda_operand<signed char>(p.bias);
  const qz_cuda_dim3_t grid{static_cast<uint32_t>((p.out_features + 15) >> 4),
                            qz_cuda_grid_y(device, p.rows)};
  const bool aligned = (reinterpret_cast<uintptr_t>(x) & 7) == 0 &&
                       (reinterpret_cast<uintptr_t>(w) & 3) == 0;
  if (vector_shape && p.in_features % 4 == 0 && aligned)
    qz_cuda_launch(vector, grid, {32, 16}, out, reinterpret_cast<short4 *>(x),
                   reinterpret_cast<char4 *>(w), bias, p.rows, p.out_features,
                   p.in_features / 4);
  else
    qz_cuda_launch(scalar, grid, {32, 16}, out, x, w, bias, p.rows, p.out_features,
                   p.in_features);
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(LINEAR_ACC_I8I16)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe68(short *out, short *x, signed char *w, signed char *bias, int rows,
            int out_n, int in_n) {
  qz_cuda_linear_scalar<true>(out, x, w, bias, rows, out_n, in_n);
}
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe168(short *out, short4 *x, char4 *w, signed char *bias, int rows, int out_n,
             int in_n4) {
  qz_cuda_linear_vector<true>(out, x, w, bias, rows, out_n, in_n4);
}

qz_status_t qz_ypu_cuda_linear_acc_i8i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_linear_i8i16_params_t *>(params);
  return qz_cuda_linear_i8i16(device, taabe68, taabe168, p.out_features >= 1024, params);
}
#endif

#if QZ_CUDA_BUILDS(LINEAR_I8I16)
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe30(short *out, short *x, signed char *w, signed char *bias, int rows,
            int out_n, int in_n) {
  qz_cuda_linear_scalar<false>(out, x, w, bias, rows, out_n, in_n);
}
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(512)
    taabe292(short *out, short4 *x, char4 *w, signed char *bias, int rows, int out_n,
             int in_n4) {
  qz_cuda_linear_vector<false>(out, x, w, bias, rows, out_n, in_n4);
}

qz_status_t qz_ypu_cuda_linear_i8i16(void *device, void *, const void *params) {
  return qz_cuda_linear_i8i16(device, taabe30, taabe292, true, params);
}
#endif

// Op 40: row i = blockIdx.x, columns j = blockIdx.y * 8 + threadIdx.y, then
// j + 8 * gridDim.y, ...
#if QZ_CUDA_BUILDS(MATMUL_NT_F32)
QZ_CUDA_KERNEL void taabe210(float *out, const float *a, const float *b, int m, int n, int k) {
  const int i = blockIdx.x;
  if (i >= m) return;
  for (long long j = blockIdx.y * 8 + threadIdx.y; j < n; j += 8ll * gridDim.y) {
    const float s = qz_cuda_warp_dot(a + static_cast<long long>(i) * k, b + j * k, k);
    if (threadIdx.x == 0) out[static_cast<long long>(i) * n + j] = s;
  }
}

qz_status_t qz_ypu_cuda_matmul_nt_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_f32_params_t *>(params);
  qz_cuda_launch(taabe210, {static_cast<uint32_t>(p.m), qz_cuda_clamp_grid((p.n + 7) >> 3)},
                 {32, 8}, qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<const float>(p.a, p.a_offset),
                 qz_ypu_cuda_operand<const float>(p.b, p.b_offset), p.m, p.n, p.k);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 21: one warp per row (i0, i1, i2) of a, the block indices looping by
// the grid; b's block is i1 when shared_by_middle is set, else i2.
#if QZ_CUDA_BUILDS(MATMUL_NT_BATCHED_F32)
QZ_CUDA_KERNEL void taabe138(int shared_by_middle, int d0, int d1, int d2, int n, int k,
                             float *out, float *a, float *b) {
  for (long long i0 = blockIdx.x; i0 < d0; i0 += gridDim.x)
    for (long long i1 = blockIdx.y; i1 < d1; i1 += gridDim.y)
      for (long long i2 = blockIdx.z; i2 < d2; i2 += gridDim.z) {
        const long long row = (i0 * d1 + i1) * d2 + i2;
        const float *b_block = b + (shared_by_middle ? i1 : i2) * n * k;
        for (long long l = 0; l < n; ++l) {
          const float s = qz_cuda_warp_dot(a + row * k, b_block + l * k, k);
          if (threadIdx.x == 0) out[row * n + l] = s;
        }
      }
}

qz_status_t qz_ypu_cuda_matmul_nt_batched_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_batched_f32_params_t *>(params);
  qz_cuda_launch(taabe138,
                 {qz_cuda_clamp_grid(p.batch), qz_cuda_clamp_grid(p.heads),
                  qz_cuda_clamp_grid(p.rows)},
                 {32}, p.b_per_head != 0, p.batch, p.heads, p.rows, p.cols, p.depth,
                 qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.a),
                 qz_ypu_cuda_operand<float>(p.b));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
