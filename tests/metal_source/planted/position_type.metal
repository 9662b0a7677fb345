// expect: kernel parameter 'i' \(__private int\) cannot be a position or size
// Metal's positions are unsigned.
kernel void planted_position(device float* output QZ_BUFFER(0), int i QZ_THREAD_POSITION_IN_GRID) {
  output[i] = 0.0f;
}
