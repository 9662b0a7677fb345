// expect: static local variable must reside in constant address space
// A static in a helper is a program-scope variable too.
static inline int planted_next() {
  static int calls;
  return calls++;
}
kernel void planted_static(device int* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = planted_next();
}
