// expect: use of type 'double' requires
// Metal has no 64-bit floating point.
kernel void planted_double(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  const double wide = output[i];
  output[i] = float(wide * 0.5f);
}
