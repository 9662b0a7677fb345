// expect: computed goto, which Metal does not allow
// A jump through a label's address (a GNU extension that OpenCL's front end
// takes).
kernel void planted_computed_goto(device int* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  int n = 0;
  goto *(i > 3 ? &&high : &&low);
high:
  n = 1;
low:
  output[i] = n;
}
