// No fault: Metal copies a struct out of the constant address space, which
// OpenCL cannot, and the check lets that through.
struct planted_window {
  int first, count;
};
kernel void planted_copy(constant planted_window& window QZ_BYTES(0),
                         device planted_window* output QZ_BUFFER(1),
                         uint i QZ_THREAD_POSITION_IN_GRID) {
  planted_window w = window;
  w.count += int(i);
  output[i] = w;
  output[i + 1] = window;
}
