// Row and column broadcasts over a [rows][cols] float matrix, and the 2-D
// bias addition. Thread (i, j) of the exact grid (rows, cols) handles
// element i * cols + j; a row operation reads rhs[j], a column one rhs[i].
// `m` (the row count) is bound but not read.

#define QZ_METAL_BROADCAST(name, expr)                                                       \
  kernel void name(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),                 \
                   device float* output QZ_BUFFER(2), device const float* lhs QZ_BUFFER(3), \
                   device const float* rhs QZ_BUFFER(4), uint2 gid QZ_THREAD_POSITION_IN_GRID) { \
    const int i = int(gid.x);                                                                \
    const int j = int(gid.y);                                                                \
    const int e = i * n + j;                                                                 \
    output[e] = expr;                                                                        \
  }                                                                                          \
  QZ_REGISTER(name)

QZ_METAL_BROADCAST(taabe122, lhs[e] + rhs[j])  // add_row_f32
QZ_METAL_BROADCAST(taabe151, lhs[e] + rhs[i])  // add_col_f32
QZ_METAL_BROADCAST(taabe264, lhs[e] / rhs[j])  // div_row_f32
QZ_METAL_BROADCAST(taabe230, lhs[e] * rhs[j])  // mul_row_f32
QZ_METAL_BROADCAST(taabe195, lhs[e] * rhs[i])  // mul_col_f32
QZ_METAL_BROADCAST(taabe93, lhs[e] - rhs[j])   // sub_row_f32
QZ_METAL_BROADCAST(taabe103, lhs[e] - rhs[i])  // sub_col_f32
// fma_row_f32: output is the accumulator; the product is rounded before
// the addition.
QZ_METAL_BROADCAST(taabe63, output[e] + lhs[e] * rhs[j])

#undef QZ_METAL_BROADCAST

// add_bias_2d_f32: thread (c, r, b) of the grid (cols, rows, batches) adds
// the row bias and the column bias, summed first, to x[b][r][c] in place.
kernel void taabe137(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     constant int& k QZ_BYTES(2), device float* oo QZ_BUFFER(3),
                     device const float* lhs QZ_BUFFER(4), device const float* rhs QZ_BUFFER(5),
                     uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int c = int(gid.x);
  const int r = int(gid.y);
  const int b = int(gid.z);
  const int e = (b * n + r) * k + c;
  oo[e] = (lhs[b * n + r] + rhs[b * k + c]) + oo[e];
}
QZ_REGISTER(taabe137)
