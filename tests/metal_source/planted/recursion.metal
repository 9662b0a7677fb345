// expect: recursion, which Metal does not allow: planted_depth -> planted_depth
// A helper that calls itself.
static inline int planted_depth(int n) { return n <= 0 ? 0 : planted_depth(n - 1) + 1; }
kernel void planted_recursion(device int* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = planted_depth(int(i));
}
