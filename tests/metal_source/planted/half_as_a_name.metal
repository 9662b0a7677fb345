// expect: half_as_a_name.metal:5:.*error: cannot combine with previous 'int' declaration specifier
// `half` is one of Metal's types, not a name a variable can take.
kernel void planted_half(device int* output QZ_BUFFER(0), constant int& n QZ_BYTES(1),
                         uint i QZ_THREAD_POSITION_IN_GRID) {
  const int half = n / 2;
  output[i] = half;
}
