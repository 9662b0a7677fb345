// Rotary positions: applying a rotary table to head rows (op 7), building
// the three-axis and the scaled rotary tables (ops 32, 53), and the rotary
// embeddings that compute their angles (ops 60, 92). Angles and exponents
// are float computations (2w / d is a float division).
#include <cmath>

#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

#if QZ_CUDA_BUILDS(ROPE_APPLY_TABLE_F32) || QZ_CUDA_BUILDS(ROPE_EXPFREQ_F32) || \
    QZ_CUDA_BUILDS(ROPE2D_F32)
// (x0, x1) rotated by the angle with cosine cs and sine sn: the first value
// as two products and a subtraction, the second with one fused step.
static __device__ __forceinline__ void qz_cuda_rotate(float x0, float x1, float cs, float sn,
                                                      float *first, float *second) {
  *first = x0 * cs - x1 * sn;
  *second = fmaf(x0, sn, x1 * cs);
}
#endif

// Op 7: blocks over (batch, position, head), each looping by the grid;
// threads over the pairs. Without `adjacent` the pairs are (x[t], x[t + h2])
// for t < h2 = table_stride / 2, so a table narrower than the head rotates
// its first table_stride values and leaves the rest (and reads no table
// entry past its row).
#if QZ_CUDA_BUILDS(ROPE_APPLY_TABLE_F32)
static __device__ __forceinline__ void qz_cuda_rope_table(float *x, const float *table, int batch,
                                                          int positions, int heads, int d,
                                                          int table_stride, int pos_offset,
                                                          bool adjacent) {
  const int pairs = adjacent ? d / 2 : table_stride / 2;
  const int distance = adjacent ? 1 : pairs;
  for (int b = blockIdx.x; b < batch; b += gridDim.x)
    for (int p = blockIdx.y; p < positions; p += gridDim.y) {
      const float *row = table + (static_cast<long long>(p) + pos_offset) * table_stride;
      for (int h = blockIdx.z; h < heads; h += gridDim.z) {
        float *xr = x + ((static_cast<long long>(b) * positions + p) * heads + h) * d;
        for (int t = threadIdx.x; t < pairs; t += blockDim.x) {
          float *first = adjacent ? xr + 2 * t : xr + t;
          qz_cuda_rotate(first[0], first[distance], row[2 * t], row[2 * t + 1], first,
                         first + distance);
        }
      }
    }
}

QZ_CUDA_KERNEL void taabe203(float *x, const float *table, int batch, int positions, int heads,
                             int d, int table_stride, int pos_offset) {
  qz_cuda_rope_table(x, table, batch, positions, heads, d, table_stride, pos_offset, true);
}

QZ_CUDA_KERNEL void taabe34(float *x, const float *table, int batch, int positions, int heads,
                            int d, int table_stride, int pos_offset) {
  qz_cuda_rope_table(x, table, batch, positions, heads, d, table_stride, pos_offset, false);
}

qz_status_t qz_ypu_cuda_rope_apply_table_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_apply_table_f32_params_t *>(params);
  // The calls the host implementation refuses (negative stride or offset,
  // half-split pairs reaching into the next head) are left for it to refuse.
  if (p.table_stride < 0 || p.position_offset < 0 || (!p.adjacent && p.table_stride > p.head_dim))
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_cuda_launch(p.adjacent ? taabe203 : taabe34,
                 {qz_cuda_clamp_grid(p.batch), qz_cuda_grid_y(device, p.positions),
                  qz_cuda_grid_z(device, p.heads)},
                 {256}, qz_ypu_cuda_operand<float>(p.data),
                 qz_ypu_cuda_operand<const float>(p.table), p.batch, p.positions, p.heads,
                 p.head_dim, p.table_stride, p.position_offset);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 32: token t (step gridDim.x), pair w (step blockDim.x).
#if QZ_CUDA_BUILDS(ROPE_TABLE_3AXIS_F32)
QZ_CUDA_KERNEL void taabe321(int limit1, int limit2, float base, int tokens, int d, float *out,
                             int *pos) {
  for (int t = blockIdx.x; t < tokens; t += gridDim.x)
    for (int w = threadIdx.x; w < d / 2; w += blockDim.x) {
      int axis = w % 3;
      if ((axis == 1 && w >= limit1) || (axis == 2 && w >= limit2)) axis = 0;
      const float angle = static_cast<float>(pos[static_cast<long long>(t) * 3 + axis]) /
                          powf(base, static_cast<float>(2 * w) / static_cast<float>(d));
      float sn, cs;
      sincosf(angle, &sn, &cs);
      out[static_cast<long long>(t) * d + 2 * w] = cs;
      out[static_cast<long long>(t) * d + 2 * w + 1] = sn;
    }
}

qz_status_t qz_ypu_cuda_rope_table_3axis_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_table_3axis_f32_params_t *>(params);
  qz_cuda_launch(taabe321, {qz_cuda_clamp_grid(p.tokens)}, {256}, p.limit1, p.limit2, p.base,
                 p.tokens, p.width, qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<int>(p.positions));
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 53: position p (step gridDim.x), pair w; base^e as 2^(e log2(base))
// with the fast logarithm.
#if QZ_CUDA_BUILDS(ROPE_TABLE_SCALED_F32)
QZ_CUDA_KERNEL void taabe65(float *out, int d, int positions, float base, const float *factors,
                            float magnitude) {
  for (int p = blockIdx.x; p < positions; p += gridDim.x)
    for (int w = threadIdx.x; w < d / 2; w += blockDim.x) {
      const float e = static_cast<float>(2 * w) / static_cast<float>(d);
      const float r = exp2f(e * __log2f(base));
      const float angle = static_cast<float>(p) / (factors[w] * r);
      float sn, cs;
      sincosf(angle, &sn, &cs);
      out[static_cast<long long>(p) * d + 2 * w] = cs * magnitude;
      out[static_cast<long long>(p) * d + 2 * w + 1] = sn * magnitude;
    }
}

qz_status_t qz_ypu_cuda_rope_table_scaled_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_table_scaled_f32_params_t *>(params);
  qz_cuda_launch(taabe65, {qz_cuda_clamp_grid(p.tokens)}, {256},
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset), p.width, p.tokens, p.base,
                 qz_ypu_cuda_operand<const float>(p.factors, p.factors_offset), p.magnitude);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 60: block (b, p, j) for pair j, positions and pairs looping by the
// grid; threads over the heads. The batch parameter is not read (the grid
// carries it).
#if QZ_CUDA_BUILDS(ROPE_EXPFREQ_F32)
QZ_CUDA_KERNEL void taabe283(float *out, float *in, int, int positions, int heads, int d,
                             int pos_offset, float freq_scale) {
  const int b = blockIdx.x, half = d / 2;
  for (int p = blockIdx.y; p < positions; p += gridDim.y)
    for (int j = blockIdx.z; j < half; j += gridDim.z) {
      const float angle =
          static_cast<float>(p + pos_offset) * expf(static_cast<float>(j) * freq_scale);
      float sn, cs;
      sincosf(angle, &sn, &cs);
      for (int h = threadIdx.x; h < heads; h += 256) {
        const long long r = ((static_cast<long long>(b) * positions + p) * heads + h) * d;
        qz_cuda_rotate(in[r + j], in[r + j + half], cs, sn, &out[r + j], &out[r + j + half]);
      }
    }
}

qz_status_t qz_ypu_cuda_rope_expfreq_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_expfreq_f32_params_t *>(params);
  // Rows without a pair are left alone, as the host implementation does.
  if (p.head_dim < 2) return QZ_STATUS_INVALID_ARGUMENT;
  qz_cuda_launch(taabe283,
                 {static_cast<uint32_t>(p.batch), qz_cuda_grid_y(device, p.positions),
                  qz_cuda_grid_z(device, p.head_dim / 2)},
                 {256}, qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.in),
                 p.batch, p.positions, p.heads, p.head_dim, p.start, p.log_step);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 92: block (token x, head h), both looping by the grid; threads over the
// pairs, the first quarter rotated by the row position and the second by the
// column position.
#if QZ_CUDA_BUILDS(ROPE2D_F32)
QZ_CUDA_KERNEL void taabe160(int tokens, int heads, int d, float base, int side, int p5, int p6,
                             float *out, float *in) {
  const int half = d / 2, quarter = d / 4;
  for (int x = blockIdx.x; x < tokens; x += gridDim.x) {
    const int pr = ((x / (side * side * p6)) % p5) * side + (x / side) % side;
    const int pc = ((x / (side * side)) % p6) * side + x % side;
    for (int h = blockIdx.y; h < heads; h += gridDim.y)
      for (int t = threadIdx.x; t < half; t += 256) {
        const int k = t < quarter ? t : t - quarter;
        const float position = static_cast<float>(t < quarter ? pr : pc);
        const float angle =
            position * (1.0f / powf(base, static_cast<float>(2 * k) / static_cast<float>(half)));
        float sn, cs;
        sincosf(angle, &sn, &cs);
        const long long r = (static_cast<long long>(x) * heads + h) * d;
        qz_cuda_rotate(in[r + t], in[r + t + half], cs, sn, &out[r + t], &out[r + t + half]);
      }
  }
}

qz_status_t qz_ypu_cuda_rope2d_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope2d_f32_params_t *>(params);
  // The window sizes divide token numbers, and side * side * p6 must not
  // wrap in the kernel's 32-bit arithmetic: other windows, and rows without
  // a pair, are the host implementation's.
  if (p.window < 1 || p.window_rows < 1 || p.window_cols < 1 || p.head_dim < 2 ||
      int64_t{p.window} * p.window * p.window_cols > INT32_MAX)
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_cuda_launch(taabe160, {qz_cuda_clamp_grid(p.tokens), qz_cuda_clamp_grid(p.heads)}, {256},
                 p.tokens, p.heads, p.head_dim, p.base, p.window, p.window_rows, p.window_cols,
                 qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<float>(p.in));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
