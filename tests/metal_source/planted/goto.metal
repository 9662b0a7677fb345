// expect: goto 'again', which Metal does not allow
// A loop written as a jump back, which OpenCL takes and Metal refuses.
kernel void planted_goto(device int* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  int n = 0;
again:
  if (++n < int(i)) goto again;
  output[i] = n;
}
