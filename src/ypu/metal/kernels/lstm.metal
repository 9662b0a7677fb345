// The fixed-point LSTM cell with coupled input and forget gates, through the
// sigmoid table in Q15.

// round(32767 sigmoid(k / 16)), k = i for i < 128, k = i - 256 above, and
// sigmoid(0) again at 256 (the library's fixed-point table, same values).
constant short lstm_sigmoid_table[257] = {
    16384, 16895, 17406, 17915, 18421, 18923, 19420, 19911, 20396, 20874, 21343, 21804,
    22255, 22696, 23126, 23546, 23955, 24351, 24736, 25109, 25470, 25818, 26154, 26478,
    26789, 27089, 27376, 27652, 27916, 28169, 28410, 28641, 28861, 29071, 29271, 29462,
    29643, 29815, 29979, 30134, 30281, 30421, 30554, 30679, 30798, 30911, 31017, 31118,
    31213, 31303, 31388, 31468, 31544, 31615, 31683, 31747, 31807, 31863, 31916, 31967,
    32014, 32059, 32101, 32140, 32178, 32213, 32246, 32277, 32306, 32334, 32360, 32384,
    32407, 32429, 32449, 32468, 32486, 32503, 32519, 32534, 32548, 32561, 32573, 32585,
    32596, 32606, 32616, 32625, 32634, 32642, 32649, 32656, 32663, 32669, 32675, 32681,
    32686, 32691, 32695, 32700, 32704, 32708, 32711, 32715, 32718, 32721, 32724, 32726,
    32729, 32731, 32733, 32735, 32737, 32739, 32741, 32742, 32744, 32745, 32746, 32748,
    32749, 32750, 32751, 32752, 32753, 32754, 32755, 32755, 11, 12, 12, 13,
    14, 15, 16, 17, 18, 19, 21, 22, 23, 25, 26, 28,
    30, 32, 34, 36, 38, 41, 43, 46, 49, 52, 56, 59,
    63, 67, 72, 76, 81, 86, 92, 98, 104, 111, 118, 125,
    133, 142, 151, 161, 171, 182, 194, 206, 219, 233, 248, 264,
    281, 299, 318, 338, 360, 383, 407, 433, 461, 490, 521, 554,
    589, 627, 666, 708, 753, 800, 851, 904, 960, 1020, 1084, 1152,
    1223, 1299, 1379, 1464, 1554, 1649, 1750, 1856, 1969, 2088, 2213, 2346,
    2486, 2633, 2788, 2952, 3124, 3305, 3496, 3696, 3906, 4126, 4357, 4598,
    4851, 5115, 5391, 5678, 5978, 6289, 6613, 6949, 7297, 7658, 8031, 8416,
    8812, 9221, 9641, 10071, 10512, 10963, 11424, 11893, 12371, 12856, 13347, 13844,
    14346, 14852, 15361, 15872, 16384,};

// The table's interpolation before its final shift: 64 times the sigmoid of
// a Q10 value, in Q15.
static inline int lstm_sigmoid_sum(int v) {
  const int c = clamp(v, -8192, 8128);
  const int u = c & 0x3FFF;
  const int f = u & 63;
  return (64 - f) * int(lstm_sigmoid_table[u >> 6]) + f * int(lstm_sigmoid_table[(u + 63) >> 6]);
}

// Sigmoid, Q10 in and Q15 out.
static inline int lstm_sigmoid(int v) { return int(short(lstm_sigmoid_sum(v) >> 6)); }

// tanh(v) = 2 sigmoid(2v) - 1 with the lowest bit cleared, Q10 in, Q15 out.
static inline int lstm_tanh(int v) {
  const int s = lstm_sigmoid_sum(clamp(2 * v, -32768, 32767));
  return clamp((((s << 10) >> 15) - 32768) & -2, -32768, 32767);
}

kernel void taabe221(constant int& length QZ_BYTES(0), device short* output QZ_BUFFER(1),
                     device short* cell QZ_BUFFER(2), device short* input QZ_BUFFER(3),
                     uint j QZ_THREAD_POSITION_IN_GRID) {
  const int n = length;
  const int i_gate = lstm_sigmoid(input[j]);
  const int g_gate = lstm_tanh(input[n + j]);
  const int o_gate = lstm_sigmoid(input[2 * n + j]);
  input[j] = short(i_gate);
  input[n + j] = short(g_gate);
  input[2 * n + j] = short(o_gate);
  const int f = clamp(32767 - i_gate, -32768, 32767);
  const int c = clamp(((g_gate * i_gate + (1 << 19)) >> 20) + ((f * int(cell[j]) + (1 << 14)) >> 15),
                      -32768, 32767);
  cell[j] = short(c);
  const int tc = lstm_tanh(c);
  input[j] = short(tc);
  output[j] = short(clamp(int((long(o_gate) * long(tc) + (long(1) << 19)) >> 20), -32768, 32767));
}
QZ_REGISTER(taabe221)
