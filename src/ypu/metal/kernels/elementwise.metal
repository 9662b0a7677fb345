// Element-wise kernels: one thread per element over an exact grid.

// add_f32: output[x] = lhs[x] + rhs[x].
kernel void taabe69(constant int &length [[buffer(0)]], device float *output [[buffer(1)]],
                    device const float *lhs [[buffer(2)]], device const float *rhs [[buffer(3)]],
                    uint x [[thread_position_in_grid]]) {
  output[x] = lhs[x] + rhs[x];
}
