// expect: cannot pass pointer to address space '__global' as a pointer to address space '__local'
// A device buffer handed to a helper that takes threadgroup memory.
static inline float planted_first(threadgroup float* shared) { return shared[0]; }
kernel void planted_space(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = planted_first(output);
}
