// Data movement: row reversal, row gathers, the batched transpose and the
// scaled embedding lookup. Exact grids; indices are int32 products.

// reverse_rows: thread (i, j) of the grid (rows, n / 2) swaps the 32-bit
// elements j and n - 1 - j of row i (an odd row's middle stays).
kernel void taabe154(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     device uint* output QZ_BUFFER(2), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  device uint* row = output + int(gid.x) * n;
  const int j = int(gid.y);
  const uint t = row[j];
  row[j] = row[n - 1 - j];
  row[n - 1 - j] = t;
}
QZ_REGISTER(taabe154)

// gather_rows: thread i copies the n bytes of input row index[i] to output
// row i, a byte at a time.
kernel void taabe202(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     device uchar* output QZ_BUFFER(2), device const uchar* input QZ_BUFFER(3),
                     device const int* index QZ_BUFFER(4), uint i QZ_THREAD_POSITION_IN_GRID) {
  device uchar* to = output + int(i) * n;
  device const uchar* from = input + index[i] * n;
  for (int t = 0; t < n; ++t) to[t] = from[t];
}
QZ_REGISTER(taabe202)

// gather_clamped: thread (d, j, i) of the grid (D, K, Q) writes word d of
// row j of block i from source row a * i + (K - 1 - j) * b clamped to the
// source's rows, a = max(K / Q, 1), b = max(Q / K, 1).
kernel void taabe19(constant int& query_size QZ_BYTES(0), constant int& key_size QZ_BYTES(1),
                    constant int& head_dim QZ_BYTES(2), constant int& max_rel_dist QZ_BYTES(3),
                    device uint* oo QZ_BUFFER(4), device const uint* ii QZ_BUFFER(5),
                    uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int d = int(gid.x);
  const int j = int(gid.y);
  const int i = int(gid.z);
  const int a = max(key_size / query_size, 1);
  const int b = max(query_size / key_size, 1);
  const int r = clamp(a * i + (key_size - 1 - j) * b, 0, max_rel_dist - 1);
  oo[(i * key_size + j) * head_dim + d] = ii[r * head_dim + d];
}
QZ_REGISTER(taabe19)

// transpose: thread (b, y, z) of the grid (count, m, n) moves the k-byte
// element (z, y) of block b's [n][m] input to (y, z) of its [m][n] output.
kernel void taabe27(constant int& b QZ_BYTES(0), constant int& m QZ_BYTES(1),
                    constant int& n QZ_BYTES(2), constant int& k QZ_BYTES(3),
                    device uchar* output QZ_BUFFER(4), device const uchar* input QZ_BUFFER(5),
                    uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int block = int(gid.x) * m * n * k;
  const int y = int(gid.y);
  const int z = int(gid.z);
  device const uchar* from = input + block + (z * m + y) * k;
  device uchar* to = output + block + (y * n + z) * k;
  for (int t = 0; t < k; ++t) to[t] = from[t];
}
QZ_REGISTER(taabe27)

// embedding_scale_add_f32: thread (i, j) of the grid (outer, inner) writes
// row i * inner + j: table row ids[i * inner + j] times scale plus
// positional row start + j, k floats.
kernel void taabe316(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     constant int& k QZ_BYTES(2), constant float& scale QZ_BYTES(3),
                     constant int& start_position QZ_BYTES(4), device float* output QZ_BUFFER(5),
                     device const int* input QZ_BUFFER(6),
                     device const float* tokens_weight QZ_BUFFER(7),
                     device const float* positions_weight QZ_BUFFER(8),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int j = int(gid.y);
  const int row = int(gid.x) * n + j;
  device float* to = output + row * k;
  device const float* token = tokens_weight + input[row] * k;
  device const float* position = positions_weight + (start_position + j) * k;
  for (int c = 0; c < k; ++c) to[c] = token[c] * scale + position[c];
}
QZ_REGISTER(taabe316)
