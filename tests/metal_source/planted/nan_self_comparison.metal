// expect: a NaN test by comparing 'v' with itself, which fast math folds away
// A NaN test that holds in the harness and vanishes under fast math.
kernel void planted_nan(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  const float v = output[i];
  output[i] = v != v ? 0.0f : v;
}
