// Rotary position operations: rotation of head rows by a cos/sin table
// (op 7), the table builders (ops 32, 53) and the rotary embeddings with
// exponential frequencies (op 60) and over two patch axes (op 92).

// Op 7: threadgroup (gb, gp, gh) rotates head gh of the rows of batches gb,
// gb + (groups in x), ... and positions gp, gp + (groups in y), ...; its
// threads share the pairs of a row. Pairs (2i, 2i + 1) over the whole head.
kernel void taabe50(device float* x QZ_BUFFER(0), constant int& batch_size QZ_BYTES(1),
                    constant int& n QZ_BYTES(2), constant int& num_heads QZ_BYTES(3),
                    constant int& head_dimension QZ_BYTES(4), constant int& rope_dimension QZ_BYTES(5),
                    constant int& position QZ_BYTES(6), device const float* new_encoding QZ_BUFFER(7),
                    uint t QZ_THREAD_INDEX_IN_THREADGROUP, uint threads QZ_THREADS_PER_THREADGROUP,
                    uint3 group QZ_THREADGROUP_POSITION_IN_GRID,
                    uint3 groups QZ_THREADGROUPS_PER_GRID) {
  const int d = head_dimension;
  for (int b = int(group.x); b < batch_size; b += int(groups.x))
    for (int p = int(group.y); p < n; p += int(groups.y)) {
      device float* xr = x + ((b * n + p) * num_heads + int(group.z)) * d;
      device const float* tr = new_encoding + (p + position) * rope_dimension;
      for (int i = int(t); i < d / 2; i += int(threads)) {
        const float x0 = xr[2 * i], x1 = xr[2 * i + 1], co = tr[2 * i], si = tr[2 * i + 1];
        xr[2 * i] = co * x0 - si * x1;
        xr[2 * i + 1] = co * x1 + si * x0;
      }
    }
}
QZ_REGISTER(taabe50)

// Op 7, split halves: pairs (i, i + R/2) over the first R = rope_dimension
// values of the head; the rest of the head stays.
kernel void taabe275(device float* x QZ_BUFFER(0), constant int& batch_size QZ_BYTES(1),
                     constant int& n QZ_BYTES(2), constant int& num_heads QZ_BYTES(3),
                     constant int& head_dimension QZ_BYTES(4),
                     constant int& rope_dimension QZ_BYTES(5), constant int& position QZ_BYTES(6),
                     device const float* new_encoding QZ_BUFFER(7),
                     uint t QZ_THREAD_INDEX_IN_THREADGROUP, uint threads QZ_THREADS_PER_THREADGROUP,
                     uint3 group QZ_THREADGROUP_POSITION_IN_GRID,
                     uint3 groups QZ_THREADGROUPS_PER_GRID) {
  const int d = head_dimension, half_rope = rope_dimension / 2;
  for (int b = int(group.x); b < batch_size; b += int(groups.x))
    for (int p = int(group.y); p < n; p += int(groups.y)) {
      device float* xr = x + ((b * n + p) * num_heads + int(group.z)) * d;
      device const float* tr = new_encoding + (p + position) * rope_dimension;
      for (int i = int(t); i < half_rope; i += int(threads)) {
        const float x0 = xr[i], x1 = xr[i + half_rope], co = tr[2 * i], si = tr[2 * i + 1];
        xr[i] = co * x0 - si * x1;
        xr[i + half_rope] = co * x1 + si * x0;
      }
    }
}
QZ_REGISTER(taabe275)

// Op 32: thread (k, t) writes pair k of token t's table row; pair k takes
// position axis k % 3, axes 1 and 2 only below their limits.
kernel void taabe101(constant int& limit_h QZ_BYTES(0), constant int& limit_w QZ_BYTES(1),
                     constant float& theta QZ_BYTES(2), constant int& num_tokens QZ_BYTES(3),
                     constant int& dimension QZ_BYTES(4), device float* encoding QZ_BUFFER(5),
                     device const int* position_ids QZ_BUFFER(6),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int k = int(gid.x), t = int(gid.y);
  if (k >= dimension / 2) return;
  int axis = k % 3;
  if ((axis == 1 && k >= limit_h) || (axis == 2 && k >= limit_w)) axis = 0;
  const float pos = float(position_ids[t * 3 + axis]);
  const float angle = pos / fast::pow(theta, float(2 * k) / float(dimension));
  encoding[t * dimension + 2 * k] = fast::cos(angle);
  encoding[t * dimension + 2 * k + 1] = fast::sin(angle);
}
QZ_REGISTER(taabe101)

// Op 53: one single-thread threadgroup per position p (stepping by the grid
// while p < steps) writes the row's pairs scaled by rope_scale.
kernel void taabe212(device float* encoding QZ_BUFFER(0), device const float* rope_scales QZ_BUFFER(1),
                     constant int& dimension QZ_BYTES(2), constant int& steps QZ_BYTES(3),
                     constant float& theta QZ_BYTES(4), constant float& rope_scale QZ_BYTES(5),
                     uint group QZ_THREADGROUP_POSITION_IN_GRID,
                     uint groups QZ_THREADGROUPS_PER_GRID) {
  const float inverse_dimension = 1.0f / float(dimension);
  for (int p = int(group); p < steps; p += int(groups))
    for (int i = 0; i < dimension / 2; ++i) {
      const float angle =
          float(p) / (pow(theta, float(2 * i) * inverse_dimension) * rope_scales[i]);
      encoding[p * dimension + 2 * i] = cos(angle) * rope_scale;
      encoding[p * dimension + 2 * i + 1] = sin(angle) * rope_scale;
    }
}
QZ_REGISTER(taabe212)

// Op 60: thread (b, p, i) rotates pair (i, i + k/2) of every head of row
// (b, p) by (position + p)*exp(c*i).
kernel void taabe284(constant int& b QZ_BYTES(0), constant int& m QZ_BYTES(1),
                     constant int& n QZ_BYTES(2), constant int& k QZ_BYTES(3),
                     constant int& position QZ_BYTES(4), constant float& rope_constant QZ_BYTES(5),
                     device float* output QZ_BUFFER(6), device const float* input QZ_BUFFER(7),
                     uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int bb = int(gid.x), p = int(gid.y), i = int(gid.z), half_k = k / 2;
  if (i >= half_k) return;
  const float angle = float(position + p) * fast::exp(rope_constant * float(i));
  const float co = fast::cos(angle), si = fast::sin(angle);
  for (int h = 0; h < n; ++h) {
    const int e = n * k * (m * bb + p) + h * k + i;
    const float x0 = input[e], x1 = input[e + half_k];
    output[e] = x0 * co - x1 * si;
    output[e + half_k] = x0 * si + x1 * co;
  }
}
QZ_REGISTER(taabe284)

// Op 92: thread (i, h, t) rotates pair (i, i + D/2) of head h of token t;
// the first D/4 pairs by the token's row, the others by its column, tokens
// ordered [merged_h][merged_w][merge_size][merge_size].
kernel void taabe263(constant int& total_tokens QZ_BYTES(0), constant int& num_heads QZ_BYTES(1),
                     constant int& head_dim QZ_BYTES(2), constant float& theta QZ_BYTES(3),
                     constant int& merge_size QZ_BYTES(4), constant int& merged_h QZ_BYTES(5),
                     constant int& merged_w QZ_BYTES(6), device float* output QZ_BUFFER(7),
                     device const float* input QZ_BUFFER(8), uint3 gid QZ_THREAD_POSITION_IN_GRID) {
  const int i = int(gid.x), h = int(gid.y);
  const uint t = gid.z, mg = uint(merge_size);
  const int half_dim = head_dim / 2, quarter = head_dim / 4;
  if (i >= half_dim) return;
  const uint row = ((t / (uint(merged_w) * mg * mg)) % uint(merged_h)) * mg + (t / mg) % mg;
  const uint col = ((t / (mg * mg)) % uint(merged_w)) * mg + t % mg;
  const bool by_row = i < quarter;
  const int j = by_row ? i : i - quarter;
  const float inv = 1.0f / fast::pow(theta, float(2 * j) / float(half_dim));
  const float angle = float(by_row ? row : col) * inv;
  const float co = fast::cos(angle), si = fast::sin(angle);
  const int e = (int(t) * num_heads + h) * head_dim;
  const float x0 = input[e + i], x1 = input[e + i + half_dim];
  output[e + i] = x0 * co - x1 * si;
  output[e + i + half_dim] = x0 * si + x1 * co;
}
QZ_REGISTER(taabe263)
