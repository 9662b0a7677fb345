// expect: kernel parameter 'n' takes buffer index 0, which 'output' has
// A setBytes argument on the index of a buffer.
kernel void planted_binding(device float* output QZ_BUFFER(0), constant int& n QZ_BYTES(0),
                            uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = float(n);
}
