// Complex spectrum from log-magnitudes and phases.

kernel void taabe317(constant int& m QZ_BYTES(0), constant int& n_arg QZ_BYTES(1),
                     device float* output QZ_BUFFER(2), device const float* input QZ_BUFFER(3),
                     uint f QZ_THREAD_POSITION_IN_GRID) {
  const int n = n_arg;
  const int half_n = n / 2;
  device const float* logmag = input + long(f) * (n + 2);
  device const float* phase = logmag + half_n + 1;
  device float* out = output + long(f) * (n + 2);
  for (int k = 0; k <= half_n; ++k) {
    // e^5 is past the cap, so holding the exponent there changes no
    // magnitude and keeps exp from overflowing (undefined under fast math).
    const float mag = min(fast::exp(min(logmag[k], 5.0f)), 100.0f);
    const float w = k > 0 && k < half_n ? 2.0f : 1.0f;
    const float a = (w * (1.0f / float(n))) * mag;
    out[2 * k] = a * fast::cos(phase[k]);
    out[2 * k + 1] = a * fast::sin(phase[k]);
  }
  out[1] = 0.0f;
  out[n + 1] = 0.0f;
}
QZ_REGISTER(taabe317)
