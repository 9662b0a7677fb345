// The fixed-point LSTM cell: one thread per hidden value, all int16.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

// a and t share the gates' start: t overwrites the input gate once the
// cell state no longer needs it.
#if QZ_CUDA_BUILDS(LSTM_CELL_I16)
QZ_CUDA_KERNEL void taabe174(int n, short *h, short *t, short *cell, short *a, short *g,
                             short *o) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  const int32_t input = qz_cuda_sigmoid(a[i]);
  a[i] = static_cast<short>(input);
  const int32_t candidate = qz_cuda_tanh(qz_cuda_clamp_i16(2 * g[i]));
  g[i] = static_cast<short>(candidate);
  const int32_t output = qz_cuda_sigmoid(o[i]);
  o[i] = static_cast<short>(output);
  const int32_t forget = qz_cuda_clamp_i16(32767 - input);
  const int32_t c = qz_cuda_clamp_i16(((forget * cell[i] + 16384) >> 15) +
                                      ((candidate * input + 524288) >> 20));
  cell[i] = static_cast<short>(c);
  const int32_t squashed = qz_cuda_tanh(qz_cuda_clamp_i16(2 * c));
  t[i] = static_cast<short>(squashed);
  const long long product = static_cast<long long>(output) * squashed + 524288;
  h[i] = static_cast<short>(qz_cuda_clamp_i16(static_cast<int32_t>(product >> 20)));
}

qz_status_t qz_ypu_cuda_lstm_cell_i16(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_lstm_cell_i16_params_t *>(params);
  short *gates = qz_ypu_cuda_operand<short>(p.gates, p.gates_offset);
  qz_cuda_launch(taabe174, {static_cast<uint32_t>(p.hidden + 255) >> 8}, {256}, p.hidden,
                 qz_ypu_cuda_operand<short>(p.out, p.out_offset), gates,
                 qz_ypu_cuda_operand<short>(p.state, p.state_offset), gates, gates + p.hidden,
                 gates + 2 * p.hidden);
  return qz_ypu_cuda_launch_status();
}
#endif

QZ_CUDA_END
