// The fixed-point LSTM cell with coupled input and forget gates, through the
// sigmoid table in Q15 (the program's QZ_SIGMOID_TABLE).

// tanh(v) = 2 sigmoid(2v) - 1 with the lowest bit cleared, Q10 in, Q15 out.
static inline int lstm_tanh(int v) {
  const int s = qz_metal_sigmoid_sum(clamp(2 * v, -32768, 32767));
  return clamp((((s << 10) >> 15) - 32768) & -2, -32768, 32767);
}

kernel void taabe221(constant int& length QZ_BYTES(0), device short* output QZ_BUFFER(1),
                     device short* cell QZ_BUFFER(2), device short* input QZ_BUFFER(3),
                     uint j QZ_THREAD_POSITION_IN_GRID) {
  const int n = length;
  const int i_gate = qz_metal_sigmoid_q15(input[j]);
  const int g_gate = lstm_tanh(input[n + j]);
  const int o_gate = qz_metal_sigmoid_q15(input[2 * n + j]);
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
