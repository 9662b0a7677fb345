// Row and column broadcasts over a [rows][cols] float matrix, in blocks of
// 8 x 8 threads with x the row and y the column, and the two-sided bias.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

// The launcher is kept only in the modules of the ops that use it.
namespace {

#if QZ_CUDA_BUILDS(ADD_ROW_F32) || QZ_CUDA_BUILDS(ADD_COL_F32) || QZ_CUDA_BUILDS(FMA_ROW_F32) || \
    QZ_CUDA_BUILDS(DIV_ROW_F32) || QZ_CUDA_BUILDS(MUL_ROW_F32) || QZ_CUDA_BUILDS(MUL_COL_F32) || \
    QZ_CUDA_BUILDS(SUB_ROW_F32) || QZ_CUDA_BUILDS(SUB_COL_F32)
using broadcast_kernel = void (*)(int, int, float *, float *, float *);

// The column blocks stop at the device's grid limit; the kernels loop over
// the columns beyond them.
qz_status_t launch_broadcast(broadcast_kernel kernel, const void *device, const void *params) {
  const auto &p = *static_cast<const qz_ypu_broadcast_params_t *>(params);
  const qz_cuda_dim3_t grid{static_cast<uint32_t>((p.rows + 7) >> 3),
                            qz_cuda_grid_y(device, (int64_t{p.cols} + 7) >> 3)};
  qz_cuda_launch(kernel, grid, {8, 8}, p.rows, p.cols,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.a, p.a_offset),
                 qz_ypu_cuda_operand<float>(p.v, p.v_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

}  // namespace

#define QZ_CUDA_ENTRY(name, kernel)                                          \
  qz_status_t qz_ypu_cuda_##name(void *device, void *, const void *params) { \
    return launch_broadcast(kernel, device, params);                         \
  }

// Row i = the thread's x, columns j from the thread's y by the grid's
// height in columns.
#define QZ_CUDA_FOR_EACH_ELEMENT                      \
  const int i = blockIdx.x * blockDim.x + threadIdx.x; \
  if (i >= rows) return;                               \
  for (int j = blockIdx.y * blockDim.y + threadIdx.y; j < cols; j += blockDim.y * gridDim.y)

#if QZ_CUDA_BUILDS(ADD_ROW_F32)
QZ_CUDA_KERNEL void taabe316(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] + v[j];
}
QZ_CUDA_ENTRY(add_row_f32, taabe316)
#endif

#if QZ_CUDA_BUILDS(ADD_COL_F32)
QZ_CUDA_KERNEL void taabe127(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] + v[i];
}
QZ_CUDA_ENTRY(add_col_f32, taabe127)
#endif

#if QZ_CUDA_BUILDS(FMA_ROW_F32)
QZ_CUDA_KERNEL void taabe256(int rows, int cols, float *y, float *x, float *w) {
  QZ_CUDA_FOR_EACH_ELEMENT
    y[i * cols + j] = fmaf(x[i * cols + j], w[j], y[i * cols + j]);
}
QZ_CUDA_ENTRY(fma_row_f32, taabe256)
#endif

#if QZ_CUDA_BUILDS(DIV_ROW_F32)
QZ_CUDA_KERNEL void taabe245(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] / v[j];
}
QZ_CUDA_ENTRY(div_row_f32, taabe245)
#endif
#if QZ_CUDA_BUILDS(MUL_ROW_F32)
QZ_CUDA_KERNEL void taabe103(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] * v[j];
}
QZ_CUDA_ENTRY(mul_row_f32, taabe103)
#endif
#if QZ_CUDA_BUILDS(MUL_COL_F32)
QZ_CUDA_KERNEL void taabe247(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] * v[i];
}
QZ_CUDA_ENTRY(mul_col_f32, taabe247)
#endif
#if QZ_CUDA_BUILDS(SUB_ROW_F32)
QZ_CUDA_KERNEL void taabe335(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] - v[j];
}
QZ_CUDA_ENTRY(sub_row_f32, taabe335)
#endif
#if QZ_CUDA_BUILDS(SUB_COL_F32)
QZ_CUDA_KERNEL void taabe259(int rows, int cols, float *out, float *a, float *v) {
  QZ_CUDA_FOR_EACH_ELEMENT
    out[i * cols + j] = a[i * cols + j] - v[i];
}
QZ_CUDA_ENTRY(sub_col_f32, taabe259)
#endif
#undef QZ_CUDA_FOR_EACH_ELEMENT

// Op 62: block (bx, by) covers batches bx, bx + 65535, ... and rows by,
// by + 65535, ...; thread t columns t, t + 256, ...
#if QZ_CUDA_BUILDS(ADD_BIAS_2D_F32)
QZ_CUDA_KERNEL void taabe282(int batches, int rows, int cols, float *x, float *a, float *b) {
  for (int p = blockIdx.x; p < batches; p += 65535)
    for (int r = blockIdx.y; r < rows; r += 65535)
      for (int k = threadIdx.x; k < cols; k += 256) {
        const int i = (p * rows + r) * cols + k;
        x[i] = x[i] + (a[p * rows + r] + b[p * cols + k]);
      }
}

qz_status_t qz_ypu_cuda_add_bias_2d_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_add_bias_2d_f32_params_t *>(params);
  qz_cuda_launch(taabe282, {qz_cuda_clamp_grid(p.outer), qz_cuda_clamp_grid(p.rows)}, {256},
                 p.outer, p.rows, p.cols, qz_ypu_cuda_operand<float>(p.x),
                 qz_ypu_cuda_operand<float>(p.row_bias), qz_ypu_cuda_operand<float>(p.col_bias));
  return qz_ypu_cuda_launch_status();
}
#endif

#undef QZ_CUDA_ENTRY

QZ_CUDA_END
