// Gaussian-weighted average of value rows around each output row's bucket.

kernel void taabe331(constant int& m_arg QZ_BYTES(0), constant int& n_arg QZ_BYTES(1),
                     constant int& k_arg QZ_BYTES(2), constant int& lookaheads_arg QZ_BYTES(3),
                     constant int& lookbacks_arg QZ_BYTES(4), device float* output QZ_BUFFER(5),
                     device const float* v QZ_BUFFER(6), device const float* std QZ_BUFFER(7),
                     device const float* gaussian_center QZ_BUFFER(8),
                     device const int* bucket QZ_BUFFER(9), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int n = n_arg, k = k_arg, lookaheads = lookaheads_arg, lookbacks = lookbacks_arg;
  const int i = int(gid.x), j = int(gid.y);
  const int b = bucket[i];
  // In 64 bits: the bucket plus or minus a reach may pass int32.
  const long lo = max(long(0), long(b) - lookbacks);
  const long hi = min(long(n) - 1, long(b) + lookaheads);
  float weights = 0.0f, sum = 0.0f;
  for (long t = lo; t <= hi; ++t) {
    const float d = float(i) - gaussian_center[t];
    const float e = fast::exp(-min(100.0f, d * d) / (std[t] * std[t] * 2.0f));
    weights += e;
    sum += v[t * k + j] * e;
  }
  output[long(i) * k + j] = sum / max(1e-8f, weights);
}
QZ_REGISTER(taabe331)
