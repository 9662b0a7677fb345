// Element-wise int16 and table operations: saturating sums, fixed-point
// scaling and the table sigmoid and tanh (grid (n + 255) >> 8 of 256 threads
// unless stated).
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

// Op 1, one int16 per thread (odd counts).
#if QZ_CUDA_BUILDS(ADD_SAT_I16)
QZ_CUDA_KERNEL void taabe73(int n, short *out, short *a, short *b) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  out[i] = static_cast<short>(qz_cuda_clamp_i16(a[i] + b[i]));
}

// Op 1, two int16 per 32-bit word (even counts), each half saturated alone.
QZ_CUDA_KERNEL void taabe265(int n, unsigned *out, unsigned *a, unsigned *b) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  const unsigned x = a[i], y = b[i];
  const int32_t lo = qz_cuda_clamp_i16(static_cast<short>(x & 0xFFFF) + static_cast<short>(y & 0xFFFF));
  const int32_t hi = qz_cuda_clamp_i16(static_cast<short>(x >> 16) + static_cast<short>(y >> 16));
  out[i] = (static_cast<unsigned>(hi) << 16) | (static_cast<unsigned>(lo) & 0xFFFF);
}

qz_status_t qz_ypu_cuda_add_sat_i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_add_sat_i16_params_t *>(params);
  // The paired path moves 32-bit words; operands off a 4-byte boundary take
  // the per-value path, which gives the same sums.
  const bool aligned = ((p.out_offset | p.a_offset | p.b_offset) & 3) == 0;
  if ((p.count & 1) || !aligned) {
    qz_cuda_launch(taabe73, {qz_cuda_blocks_256(p.count)}, {256}, p.count,
                   qz_ypu_cuda_operand<short>(p.out, p.out_offset),
                   qz_ypu_cuda_operand<short>(p.a, p.a_offset),
                   qz_ypu_cuda_operand<short>(p.b, p.b_offset));
  } else {
    const int32_t words = p.count / 2;
    qz_cuda_launch(taabe265, {qz_cuda_blocks_256(words)}, {256}, words,
                   qz_ypu_cuda_operand<unsigned>(p.out, p.out_offset),
                   qz_ypu_cuda_operand<unsigned>(p.a, p.a_offset),
                   qz_ypu_cuda_operand<unsigned>(p.b, p.b_offset));
  }
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(RELU_I16)
QZ_CUDA_KERNEL void taabe25(int n, short *out, short *in) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  out[i] = in[i] > 0 ? in[i] : 0;
}

qz_status_t qz_ypu_cuda_relu_i16(void *, void *, const void *params) {
  return qz_cuda_launch_unary(taabe25, params);
}
#endif

#if QZ_CUDA_BUILDS(SCALE_BIAS_I16)
QZ_CUDA_KERNEL void taabe337(int n, int bias, short *out, short scale, short *in) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  out[i] = static_cast<short>(qz_cuda_clamp_i16((in[i] * scale + bias) >> 10));
}

qz_status_t qz_ypu_cuda_scale_bias_i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_scale_bias_i16_params_t *>(params);
  qz_cuda_launch(taabe337, {qz_cuda_blocks_256(p.count)}, {256}, p.count,
                 p.truncate == 0 ? 512 : 0, qz_ypu_cuda_operand<short>(p.out, p.out_offset),
                 p.scale, qz_ypu_cuda_operand<short>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(SIGMOID_I16)
QZ_CUDA_KERNEL void taabe78(int n, short *out, short *in) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  out[i] = static_cast<short>(qz_cuda_sigmoid(in[i]));
}

qz_status_t qz_ypu_cuda_sigmoid_i16(void *, void *, const void *params) {
  return qz_cuda_launch_unary(taabe78, params);
}
#endif

#if QZ_CUDA_BUILDS(SIGMOID_Q10_I16)
QZ_CUDA_KERNEL void taabe55(int n, short *out, short *in) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  out[i] = static_cast<short>(qz_cuda_sigmoid(in[i]) >> 5);
}

qz_status_t qz_ypu_cuda_sigmoid_q10_i16(void *, void *, const void *params) {
  return qz_cuda_launch_unary(taabe55, params);
}
#endif

#if QZ_CUDA_BUILDS(SIGMOID_TABLE_F32)
QZ_CUDA_KERNEL void taabe50(int n, float *out, float *in) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  const float y = in[i] * 1024.0f;
  const int32_t q = y >= 32767.0f ? 32767 : y <= -32768.0f ? -32768 : qz_cuda_truncate(y);
  out[i] = static_cast<float>(qz_cuda_sigmoid(q)) / 32767.0f;
}

qz_status_t qz_ypu_cuda_sigmoid_table_f32(void *, void *, const void *params) {
  return qz_cuda_launch_unary(taabe50, params);
}
#endif

#if QZ_CUDA_BUILDS(TANH_TABLE_F32)
QZ_CUDA_KERNEL void taabe317(int n, float *out, float *in) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  const float y = in[i] * 1024.0f;
  const int32_t q2 = y >= 32767.0f ? 65534 : y <= -32768.0f ? -65536 : 2 * qz_cuda_truncate(y);
  out[i] = static_cast<float>(qz_cuda_tanh(qz_cuda_clamp_i16(q2))) / 32767.0f;
}

qz_status_t qz_ypu_cuda_tanh_table_f32(void *, void *, const void *params) {
  return qz_cuda_launch_unary(taabe317, params);
}
#endif

// Op 81: blocks of 16 x 16, x the column and y the row; the rows beyond the
// grid's height are looped over.
#if QZ_CUDA_BUILDS(AFFINE_COLUMNS_I16)
QZ_CUDA_KERNEL void taabe161(int cols, int rows, short *out, short *in, short *offset,
                             short *scale) {
  const int x = blockIdx.x * blockDim.x + threadIdx.x;
  if (x >= cols) return;
  for (int y = blockIdx.y * blockDim.y + threadIdx.y; y < rows; y += blockDim.y * gridDim.y) {
    const int i = y * cols + x;
    out[i] = static_cast<short>(qz_cuda_clamp_i16(((in[i] - offset[x]) * scale[x]) >> 10));
  }
}

qz_status_t qz_ypu_cuda_affine_columns_i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_affine_columns_i16_params_t *>(params);
  qz_cuda_launch(taabe161,
                 {static_cast<uint32_t>((p.cols + 15) / 16),
                  qz_cuda_grid_y(device, (int64_t{p.rows} + 15) / 16)},
                 {16, 16}, p.cols, p.rows, qz_ypu_cuda_operand<short>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<short>(p.in, p.in_offset),
                 qz_ypu_cuda_operand<short>(p.offsets), qz_ypu_cuda_operand<short>(p.scales));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
