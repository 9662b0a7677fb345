// expect: use of undeclared identifier 'erf'
// erf is not in Metal's library.
kernel void planted_erf(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = erf(output[i]);
}
