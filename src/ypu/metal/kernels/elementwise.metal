// Element-wise kernels: one thread per element over an exact grid.

// add_f32: output[x] = lhs[x] + rhs[x].
kernel void taabe69(constant int& length QZ_BYTES(0), device float* output QZ_BUFFER(1),
                    device const float* lhs QZ_BUFFER(2), device const float* rhs QZ_BUFFER(3),
                    uint x QZ_THREAD_POSITION_IN_GRID) {
  output[x] = lhs[x] + rhs[x];
}
QZ_REGISTER(taabe69)
