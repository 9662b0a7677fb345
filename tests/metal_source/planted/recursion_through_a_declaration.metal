// expect: recursion, which Metal does not allow: planted_(even|odd) -> planted_(even|odd) -> planted_(even|odd)
// Two helpers that call each other, the first through a declaration.
static inline bool planted_odd(int n);
static inline bool planted_even(int n) { return n == 0 || planted_odd(n - 1); }
static inline bool planted_odd(int n) { return n != 0 && planted_even(n - 1); }
kernel void planted_parity(device int* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = planted_even(int(i)) ? 1 : 0;
}
