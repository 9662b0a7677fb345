// expect: pointer or reference without an address space \('values': __generic float \*__private\)
// A pointer without an address space, which Metal refuses wherever it is.
static inline float planted_sum(float* values, int n) {
  float s = 0.0f;
  for (int j = 0; j < n; ++j) s += values[j];
  return s;
}
kernel void planted_generic(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  float pair[2] = {output[i], 1.0f};
  output[i] = planted_sum(pair, 2);
}
