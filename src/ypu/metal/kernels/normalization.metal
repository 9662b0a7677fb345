// Row and column normalisations, the column mean and the column sum of Q10
// values. Sums run in float (int32 for the Q10 sum) in index order unless a
// kernel says otherwise.

// Mean and 1 / sqrt(variance + eps) of n values `stride` apart, two passes
// from the first value upwards; every caller's lane computes them itself.
struct normalization_moments {
  float mean;
  float variance;
};

static inline normalization_moments normalization_two_pass(device const float* x, int n,
                                                           int stride) {
  float sum = 0.0f;
  for (int j = 0; j < n; ++j) sum += x[long(j) * stride];
  const float mean = sum / float(n);
  float squares = 0.0f;
  for (int j = 0; j < n; ++j) {
    const float d = x[long(j) * stride] - mean;
    squares += d * d;
  }
  normalization_moments m;
  m.mean = mean;
  m.variance = squares / float(n);
  return m;
}

// Layer normalisation: one SIMD group per row, every lane computing the
// row's statistics on its own, the lanes sharing the writes.
kernel void taabe175(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     constant float& eps QZ_BYTES(2), device float* output QZ_BUFFER(3),
                     device const float* input QZ_BUFFER(4), device const float* weight QZ_BUFFER(5),
                     device const float* bias QZ_BUFFER(6),
                     uint row QZ_THREADGROUP_POSITION_IN_GRID,
                     uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                     uint width QZ_THREADS_PER_SIMDGROUP) {
  device const float* x = input + long(row) * n;
  device float* y = output + long(row) * n;
  const normalization_moments s = normalization_two_pass(x, n, 1);
  const float inv = 1.0f / fast::sqrt(s.variance + eps);
  for (int j = int(lane); j < n; j += int(width)) y[j] = ((x[j] - s.mean) * inv) * weight[j] + bias[j];
}
QZ_REGISTER(taabe175)

kernel void taabe88(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                    constant float& eps QZ_BYTES(2), device float* output QZ_BUFFER(3),
                    device const float* input QZ_BUFFER(4),
                    uint row QZ_THREADGROUP_POSITION_IN_GRID,
                    uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                    uint width QZ_THREADS_PER_SIMDGROUP) {
  device const float* x = input + long(row) * n;
  device float* y = output + long(row) * n;
  const normalization_moments s = normalization_two_pass(x, n, 1);
  const float inv = 1.0f / fast::sqrt(s.variance + eps);
  for (int j = int(lane); j < n; j += int(width)) y[j] = (x[j] - s.mean) * inv;
}
QZ_REGISTER(taabe88)

// Normalisation down each column of every batch's [m][n] block; scale and
// shift are indexed by the position along the column.
kernel void taabe268(constant int& batch_size QZ_BYTES(0), constant int& m QZ_BYTES(1),
                     constant int& n QZ_BYTES(2), constant float& eps QZ_BYTES(3),
                     device float* output QZ_BUFFER(4), device const float* input QZ_BUFFER(5),
                     device const float* weight QZ_BUFFER(6), device const float* bias QZ_BUFFER(7),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const long base = long(gid.y) * m * n + gid.x;
  const normalization_moments s = normalization_two_pass(input + base, m, n);
  const float inv = 1.0f / fast::sqrt(s.variance + eps);
  for (int i = 0; i < m; ++i) {
    const long e = base + long(i) * n;
    output[e] = ((input[e] - s.mean) * inv) * weight[i] + bias[i];
  }
}
QZ_REGISTER(taabe268)

// Column normalisation to int16 Q10, truncated toward zero and saturated.
// With no spread at all (a constant column with eps 0) the host's scale is
// infinite: a deviation saturates by its sign and none (0 x infinity, NaN)
// becomes 0. That is chosen here without the infinity, which fast math
// leaves undefined.
kernel void taabe211(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     constant float& eps QZ_BYTES(2), device short* output QZ_BUFFER(3),
                     device const float* input QZ_BUFFER(4), uint j QZ_THREAD_POSITION_IN_GRID) {
  const normalization_moments s = normalization_two_pass(input + j, m, n);
  const float spread = s.variance + eps;
  const bool none = spread == 0.0f;
  const float q = none ? 0.0f : 1024.0f / precise::sqrt(spread);
  for (int i = 0; i < m; ++i) {
    const long e = long(i) * n + j;
    const float d = input[e] - s.mean;
    const float v = q * d;
    short r = 0;
    if (none) r = d > 0.0f ? 32767 : d < 0.0f ? -32768 : 0;
    else if (v >= 32767.0f) r = 32767;
    else if (v <= -32768.0f) r = -32768;
    else if (!qz_metal_is_nan(v)) r = short(int(v));
    output[e] = r;
  }
}
QZ_REGISTER(taabe211)

// RMS normalisation: one threadgroup of 512 threads per row, the squares
// summed per SIMD group and then across the groups. The partial sums are
// gathered for SIMD groups as narrow as 8 lanes (64 groups), and every
// group's partial is added whatever the SIMD width.
kernel void taabe164(constant int& dimension QZ_BYTES(0), constant float& eps QZ_BYTES(1),
                     device const float* weight QZ_BUFFER(2), constant int& rows QZ_BYTES(3),
                     device const float* x_all QZ_BUFFER(4), device float* y_all QZ_BUFFER(5),
                     uint t QZ_THREAD_INDEX_IN_THREADGROUP, uint size QZ_THREADS_PER_THREADGROUP,
                     uint row QZ_THREADGROUP_POSITION_IN_GRID,
                     uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                     uint group QZ_SIMDGROUP_INDEX_IN_THREADGROUP,
                     uint width QZ_THREADS_PER_SIMDGROUP,
                     uint groups QZ_SIMDGROUPS_PER_THREADGROUP) {
  qz_threadgroup float sdata[64];
  const int n = dimension;
  device const float* x = x_all + long(row) * n;
  device float* y = y_all + long(row) * n;
  float p = 0.0f;
  for (int j = int(t); j < n; j += int(size)) p += x[j] * x[j];
  float s = simd_sum(p);
  if (groups > 1) {
    if (lane == 0) sdata[group] = s;
    threadgroup_barrier(mem_flags::mem_threadgroup);
    float q = 0.0f;
    for (uint i = lane; i < groups; i += width) q += sdata[i];
    s = simd_sum(q);
  }
  const float inv = rsqrt(s / float(n) + eps);
  for (int j = int(t); j < n; j += int(size)) y[j] = (x[j] * inv) * weight[j];
}
QZ_REGISTER(taabe164)

// Column mean over m rows.
kernel void taabe278(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                     device float* output QZ_BUFFER(2), device const float* input QZ_BUFFER(3),
                     uint j QZ_THREAD_POSITION_IN_GRID) {
  float sum = 0.0f;
  for (int i = 0; i < m; ++i) sum += input[long(i) * n + j];
  output[j] = sum / float(m);
}
QZ_REGISTER(taabe278)

// Column sum of Q10 int16 values, taken in int32, as float.
kernel void taabe70(constant int& m QZ_BYTES(0), constant int& n QZ_BYTES(1),
                    device float* output QZ_BUFFER(2), device const short* input QZ_BUFFER(3),
                    uint j QZ_THREAD_POSITION_IN_GRID) {
  int sum = 0;
  for (int i = 0; i < m; ++i) sum += int(input[long(i) * n + j]);
  output[j] = float(sum) * 0.0009765625f;
}
QZ_REGISTER(taabe70)
