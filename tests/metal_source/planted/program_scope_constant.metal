// No fault: program-scope variables in the constant address space, as the
// fixed-point tables are, and a static constant in a function.
constant float planted_scale = 0.5f;
constant int planted_steps[3] = {1, 2, 4};
static inline float planted_half(float v) {
  static constant float half_of = 0.5f;
  return v * half_of;
}
kernel void planted_constants(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = planted_half(output[i]) * planted_scale * float(planted_steps[i % 3]);
}
