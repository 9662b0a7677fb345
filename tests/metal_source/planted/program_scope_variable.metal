// expect: program scope variable must reside in constant address space
// A counter shared by every thread at program scope: Metal has no mutable
// program-scope variables (only constant ones, as the tables are).
int planted_calls;
kernel void planted_counter(device int* output QZ_BUFFER(0), uint i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = planted_calls++;
}
