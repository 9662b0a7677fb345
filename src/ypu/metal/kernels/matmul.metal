// Matrix products: the int8 x int16 linear layers (ops 19, 20) and the float
// products with a transposed right operand (ops 21, 40).

// Ops 19 and 20: output o = 16 gx + ty of row gy is one SIMD-group's dot
// product, wrapping in 32 bits; v = (dot + 64 + bias*1024) >> 7.
static inline int matmul_fixed_dot(int o, int r, int input_length, device const short* input,
                                   device const char* weight, uint lane, uint lanes) {
  uint p = 0;
  for (int q = int(lane); q < input_length; q += int(lanes))
    p += uint(int(weight[o * input_length + q]) * int(input[r * input_length + q]));
  return int(simd_sum(p));
}

static inline int matmul_fixed_round(int dot, device const char* bias, int o) {
  return int(uint(dot) + 64u + uint(int(bias[o]) * 1024)) >> 7;
}

kernel void taabe10(constant int& output_length QZ_BYTES(0), constant int& input_length QZ_BYTES(1),
                    device short* output QZ_BUFFER(2), device const short* input QZ_BUFFER(3),
                    device const char* weight QZ_BUFFER(4), device const char* bias QZ_BUFFER(5),
                    uint2 tid QZ_THREAD_POSITION_IN_THREADGROUP,
                    uint2 size QZ_THREADS_PER_THREADGROUP,
                    uint2 group QZ_THREADGROUP_POSITION_IN_GRID) {
  const int o = int(group.x) * 16 + int(tid.y), r = int(group.y);
  if (o >= output_length) return;
  const int dot = matmul_fixed_dot(o, r, input_length, input, weight, tid.x, size.x);
  if (tid.x != 0) return;
  device short* cell = output + r * output_length + o;
  *cell = short(clamp(int(*cell) + matmul_fixed_round(dot, bias, o), -32768, 32767));
}
QZ_REGISTER(taabe10)

kernel void taabe36(constant int& output_length QZ_BYTES(0), constant int& input_length QZ_BYTES(1),
                    device short* output QZ_BUFFER(2), device const short* input QZ_BUFFER(3),
                    device const char* weight QZ_BUFFER(4), device const char* bias QZ_BUFFER(5),
                    uint2 tid QZ_THREAD_POSITION_IN_THREADGROUP,
                    uint2 size QZ_THREADS_PER_THREADGROUP,
                    uint2 group QZ_THREADGROUP_POSITION_IN_GRID) {
  const int o = int(group.x) * 16 + int(tid.y), r = int(group.y);
  if (o >= output_length) return;
  const int dot = matmul_fixed_dot(o, r, input_length, input, weight, tid.x, size.x);
  if (tid.x != 0) return;
  output[r * output_length + o] = short(clamp(matmul_fixed_round(dot, bias, o), -32768, 32767));
}
QZ_REGISTER(taabe36)

// Op 21: threadgroup (0, b, p) computes row (height*b + p / width)*width +
// p % width of the output, one SIMD-group dot product per key; the key block
// is chosen by the position's row (is_height) or column.
kernel void taabe116(constant int& is_height QZ_BYTES(0), constant int& height QZ_BYTES(1),
                     constant int& width QZ_BYTES(2), constant int& key_dim QZ_BYTES(3),
                     constant int& head_dimension QZ_BYTES(4), device float* oo QZ_BUFFER(5),
                     device const float* iq QZ_BUFFER(6), device const float* ir QZ_BUFFER(7),
                     uint lane QZ_THREAD_INDEX_IN_THREADGROUP,
                     uint lanes QZ_THREADS_PER_THREADGROUP,
                     uint3 group QZ_THREADGROUP_POSITION_IN_GRID) {
  const uint h = group.z / uint(width), c = group.z % uint(width);
  const int row = (height * int(group.y) + int(h)) * width + int(c);
  const int sel = is_height != 0 ? int(h) : int(c);
  const int d = head_dimension;
  for (int j = 0; j < key_dim; ++j) {
    float p = 0.0f;
    for (int l = int(lane); l < d; l += int(lanes))
      p += iq[row * d + l] * ir[(sel * key_dim + j) * d + l];
    const float s = simd_sum(p);
    if (lane == 0) oo[row * key_dim + j] = s;
  }
}
QZ_REGISTER(taabe116)

// Op 40: thread (0, i, j) sums a row of a times a row of b in index order.
kernel void taabe145(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     constant int& k QZ_BYTES(2), device float* output QZ_BUFFER(3),
                     device const float* input QZ_BUFFER(4), device const float* weight QZ_BUFFER(5),
                     uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int i = int(gid.y), j = int(gid.z);
  device const float* a = input + i * k;
  device const float* b = weight + j * k;
  float acc = 0.0f;
  for (int l = 0; l < k; ++l) acc += a[l] * b[l];
  output[i * n + j] = acc;
}
QZ_REGISTER(taabe145)
