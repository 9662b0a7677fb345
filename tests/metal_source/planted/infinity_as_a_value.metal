// expect: undeclared identifier 'INFINITY'
// A running maximum started at minus infinity: under fast math the max and
// exp that it reaches are undefined, so the check's prelude has no INFINITY.
kernel void planted_infinity(device float* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  float m = -INFINITY;
  for (uint j = 0; j <= i; ++j) m = max(m, output[j]);
  output[i] = exp(output[i] - m);
}
