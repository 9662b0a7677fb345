// The GPU program's copies of the fixed-point tables, with the values the
// host's tables have (src/ypu/fixed_point_tables.inc, which the program text
// holds before this file).
constant short QZ_SIGMOID_TABLE[257] = {QZ_SIGMOID_TABLE_VALUES};
constant int QZ_EXP_LSB_TABLE[128] = {QZ_EXP_LSB_TABLE_VALUES};
constant int QZ_EXP_MSB_TABLE[128] = {QZ_EXP_MSB_TABLE_VALUES};

// The table sigmoid of a Q10 value before its final shift: linear
// interpolation between the table's samples, 64 steps apart, as the host's
// qz_ypu_fixed_sigmoid does, 64 times the Q15 result. Clamping the top at
// 127 * 64 keeps positive inputs off the negative half at entry 128.
static inline int qz_metal_sigmoid_sum(int v) {
  const int c = clamp(v, -8192, 8128);
  const int u = c & 0x3FFF;  // negative inputs land on entries 128..256
  const int f = u & 63;
  const int lo = QZ_SIGMOID_TABLE[u >> 6];
  const int hi = QZ_SIGMOID_TABLE[(u + 63) >> 6];
  return (64 - f) * lo + f * hi;
}

// Sigmoid of an int16 Q10 value, Q15 out (16384 at 0).
static inline short qz_metal_sigmoid_q15(short v) {
  return short(qz_metal_sigmoid_sum(int(v)) >> 6);
}
