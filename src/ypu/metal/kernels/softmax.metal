// Row softmax in float and in fixed point (int16 Q10 in, int32 Q31 out).

// Float softmax, one SIMD group per row: the lanes stride over the row for
// the maximum and the sum of exponentials, combined across the group.
// Entries of minus infinity are the window mask's: they take
// no part in the maximum, and their probability is exactly 0, as e^-inf is
// on the host. A row masked whole has no probabilities: the host's
// -inf - -inf makes it NaN throughout, and so does this kernel.
kernel void taabe67(constant int& length QZ_BYTES(0), device float* output QZ_BUFFER(1),
                    device const float* input QZ_BUFFER(2), uint2 gid QZ_THREAD_POSITION_IN_GRID,
                    uint width QZ_THREADS_PER_SIMDGROUP) {
  const int n = length;
  device const float* x = input + long(gid.y) * n;
  device float* o = output + long(gid.y) * n;
  // The lowest float: no greater than any visible entry, so the maximum of
  // a row with one is that entry's. Whether a row has one is counted apart,
  // so a row of lowest floats is not taken for a masked one.
  float mx = -3.4028235e38f;
  bool visible = false;
  for (int j = int(gid.x); j < n; j += int(width)) {
    if (qz_metal_is_minus_infinity(x[j])) continue;
    mx = max(x[j], mx);
    visible = true;
  }
  if (!simd_any(visible)) {
    for (int j = int(gid.x); j < n; j += int(width)) o[j] = qz_metal_default_nan();
    return;
  }
  const float row_max = simd_max(mx);
  float local_sum = 0.0f;
  for (int j = int(gid.x); j < n; j += int(width)) {
    const float e = qz_metal_is_minus_infinity(x[j]) ? 0.0f : fast::exp(x[j] - row_max);
    o[j] = e;
    local_sum += e;
  }
  const float inv = 1.0f / simd_sum(local_sum);
  for (int j = int(gid.x); j < n; j += int(width)) o[j] = o[j] * inv;
}
QZ_REGISTER(taabe67)

// e^(d/1024) in Q31 for a non-positive Q10 difference d, from the program's
// exponential tables.
static inline int softmax_fixed_exp(int d) {
  const int a = min(-d, 16383);
  const long p = long(QZ_EXP_MSB_TABLE[a >> 7]) * long(QZ_EXP_LSB_TABLE[a & 127]);
  return int(clamp((p + (long(1) << 30)) >> 31, long(-2147483647 - 1), long(2147483647)));
}

// Fixed-point softmax, one threadgroup per row of at most 1024 threads. The
// maximum loop runs the same number of rounds on every thread (a thread past
// the row adds the smallest int16), so each SIMD-group maximum has all its
// lanes.
kernel void taabe160(constant int& length QZ_BYTES(0), device int* output QZ_BUFFER(1),
                     device const short* input QZ_BUFFER(2),
                     uint t QZ_THREAD_INDEX_IN_THREADGROUP, uint size QZ_THREADS_PER_THREADGROUP,
                     uint row QZ_THREADGROUP_POSITION_IN_GRID,
                     uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                     uint group QZ_SIMDGROUP_INDEX_IN_THREADGROUP,
                     uint width QZ_THREADS_PER_SIMDGROUP,
                     uint groups QZ_SIMDGROUPS_PER_THREADGROUP) {
  qz_threadgroup long cache[1024];
  qz_threadgroup int max_cache[1024];
  const int n = length;
  const int step = int(size);
  device const short* x = input + long(row) * n;
  device int* o = output + long(row) * n;

  int v = -32768;
  for (int base = 0; base < n; base += step) {
    const int j = base + int(t);
    v = max(v, simd_max(j < n ? int(x[j]) : -32768));
  }
  if (lane == 0) max_cache[group] = v;
  threadgroup_barrier(mem_flags::mem_threadgroup);
  if (t == 0) {
    const uint used = min(groups, uint(n));
    for (uint g = 1; g < used; ++g) max_cache[0] = max(max_cache[0], max_cache[g]);
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);
  const int row_max = max_cache[0];

  long acc = 0;
  for (int j = int(t); j < n; j += step) {
    const int e = softmax_fixed_exp(clamp(int(x[j]) - row_max, -32768, 32767));
    o[j] = e;
    acc += long(e);
  }
  cache[t] = acc;
  threadgroup_barrier(mem_flags::mem_threadgroup);

  if (group == 0) {
    long s = 0;
    for (uint i = lane; i < size; i += width) s += cache[i];
    cache[lane] = s;
    simdgroup_barrier(mem_flags::mem_threadgroup);
    if (lane == 0) {
      const uint used = min(width, size);
      for (uint i = 1; i < used; ++i) s += cache[i];
      cache[0] = s;
    }
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);

  const long total = cache[0];
  const long inv = clamp((long(1) << 62) / total, long(-2147483647 - 1), long(2147483647));
  for (int j = int(t); j < n; j += step) o[j] = int((inv * long(o[j]) + (long(1) << 30)) >> 31);
}
QZ_REGISTER(taabe160)
