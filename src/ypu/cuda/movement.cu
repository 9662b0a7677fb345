// Data movement with kernels: embedding lookup, row reversal, row gathers and
// block transposes, all in blocks of 256 threads.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

// Op 22: block (i, j) is token j of batch entry i, then tokens j +
// gridDim.y, ...; `outer` is not read.
#if QZ_CUDA_BUILDS(EMBEDDING_SCALE_ADD_F32)
QZ_CUDA_KERNEL void taabe4(float *out, int *ids, float *table, float *add, int outer, int inner,
                           int d, float scale, int start) {
  (void)outer;
  const int i = blockIdx.x;
  for (int j = blockIdx.y; j < inner; j += gridDim.y) {
    const int id = ids[i * inner + j];
    for (int k = threadIdx.x; k < d; k += 256)
      out[(i * inner + j) * d + k] = fmaf(table[id * d + k], scale, add[(j + start) * d + k]);
  }
}

qz_status_t qz_ypu_cuda_embedding_scale_add_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_embedding_scale_add_f32_params_t *>(params);
  qz_cuda_launch(taabe4, {static_cast<uint32_t>(p.batch), qz_cuda_grid_y(device, p.tokens)},
                 {256},
                 qz_ypu_cuda_operand<float>(p.out), qz_ypu_cuda_operand<int>(p.ids),
                 qz_ypu_cuda_operand<float>(p.table), qz_ypu_cuda_operand<float>(p.add), p.batch,
                 p.tokens, p.width, p.scale, p.start);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 24: block r reverses row r in place.
#if QZ_CUDA_BUILDS(REVERSE_ROWS)
QZ_CUDA_KERNEL void taabe100(int n, float *data) {
  float *row = data + blockIdx.x * n;
  for (int u = threadIdx.x; u < n / 2; u += blockDim.x) {
    const float t = row[u];
    row[u] = row[n - 1 - u];
    row[n - 1 - u] = t;
  }
}

qz_status_t qz_ypu_cuda_reverse_rows(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_reverse_rows_params_t *>(params);
  qz_cuda_launch(taabe100, {static_cast<uint32_t>(p.rows)}, {256}, p.row_length,
                 qz_ypu_cuda_operand<float>(p.data, p.offset));
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 31: block i copies source row idx[i]; `count` is not read.
#if QZ_CUDA_BUILDS(GATHER_ROWS)
QZ_CUDA_KERNEL void taabe278(unsigned char *out, const unsigned char *src, const int *idx,
                             int count, int row_bytes) {
  (void)count;
  const int i = blockIdx.x;
  const unsigned char *from = src + idx[i] * row_bytes;
  unsigned char *to = out + i * row_bytes;
  for (int t = threadIdx.x; t < row_bytes; t += 256) to[t] = from[t];
}

qz_status_t qz_ypu_cuda_gather_rows(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_gather_rows_params_t *>(params);
  qz_cuda_launch(taabe278, {static_cast<uint32_t>(p.m)}, {256},
                 qz_ypu_cuda_operand<unsigned char>(p.output),
                 qz_ypu_cuda_operand<const unsigned char>(p.input),
                 qz_ypu_cuda_operand<const int>(p.index), p.m, p.n);
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 57: blocks of n rows gathered backwards in time, source rows clamped.
#if QZ_CUDA_BUILDS(GATHER_CLAMPED)
QZ_CUDA_KERNEL void taabe141(int count, int n, int row_words, int src_rows, float *out,
                             float *src) {
  const int s1 = count / n > 1 ? count / n : 1;
  const int s2 = n / count > 1 ? n / count : 1;
  for (int i = blockIdx.x; i < count; i += 65535)
    for (int j = blockIdx.y; j < n; j += 65535) {
      int row = s2 * i + s1 * (n - 1 - j);
      row = row < 0 ? 0 : row > src_rows - 1 ? src_rows - 1 : row;
      for (int t = threadIdx.x; t < row_words; t += 256)
        out[(i * n + j) * row_words + t] = src[row * row_words + t];
    }
}

qz_status_t qz_ypu_cuda_gather_clamped(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_gather_clamped_params_t *>(params);
  qz_cuda_launch(taabe141, {qz_cuda_clamp_grid(p.block_count), qz_cuda_clamp_grid(p.block_rows)},
                 {256}, p.block_count, p.block_rows, p.row_words, p.source_rows,
                 qz_ypu_cuda_operand<float>(p.output), qz_ypu_cuda_operand<float>(p.input));
  return qz_ypu_cuda_launch_status();
}
#endif

// Op 88: block (b, y, z) moves elements (i, j) for i = y + k gridDim.y and
// j = z + k gridDim.z; `count` is not read.
#if QZ_CUDA_BUILDS(TRANSPOSE)
QZ_CUDA_KERNEL void taabe202(int count, int cols, int rows, int elem_bytes, unsigned char *out,
                             unsigned char *in) {
  (void)count;
  const int b = blockIdx.x;
  for (int i = blockIdx.y; i < cols; i += gridDim.y)
    for (int j = blockIdx.z; j < rows; j += gridDim.z) {
      const unsigned char *from = in + ((b * rows + j) * cols + i) * elem_bytes;
      unsigned char *to = out + ((b * cols + i) * rows + j) * elem_bytes;
      for (int t = threadIdx.x; t < elem_bytes; t += 256) to[t] = from[t];
    }
}

qz_status_t qz_ypu_cuda_transpose(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_transpose_params_t *>(params);
  qz_cuda_launch(taabe202,
                 {static_cast<uint32_t>(p.batch), qz_cuda_clamp_grid(p.cols),
                  qz_cuda_clamp_grid(p.rows)},
                 {256}, p.batch, p.cols, p.rows, p.element_bytes,
                 qz_ypu_cuda_operand<unsigned char>(p.out),
                 qz_ypu_cuda_operand<unsigned char>(p.in));
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
