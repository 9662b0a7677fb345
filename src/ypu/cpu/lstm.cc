// CPU entry of the fixed-point LSTM cell (op 39): the hidden units are cut
// into chunks of 128, one work item per chunk, and each chunk picks its
// variant from the instruction-set flags and its length. Every variant runs
// the host's six steps over its chunk, one step after the other, and leaves
// exactly the host's integers in out, state and the three gate parts.
#include "ypu/cpu/fixed_kernels.h"
#include "ypu/cpu/ops.h"
#include "ypu/fixed_point.h"
#include "ypu/params.h"

namespace {

constexpr int64_t kChunk = 128;

void lstm_plain(const qz_ypu_cpu_lstm_context_t *c, int64_t begin, int64_t end) {
  const int64_t h = c->hidden;
  const auto n = static_cast<int32_t>(end - begin);
  int16_t *input = c->gates + begin;
  int16_t *candidate = c->gates + h + begin;
  int16_t *output = c->gates + 2 * h + begin;
  int16_t *state = c->state + begin;
  int16_t *out = c->out + begin;
  for (int32_t u = 0; u < n; ++u) input[u] = qz_ypu_fixed_sigmoid(input[u]);
  qz_ypu_cpu_tanh_i16(n, candidate, candidate);
  for (int32_t u = 0; u < n; ++u) output[u] = qz_ypu_fixed_sigmoid(output[u]);
  for (int32_t u = 0; u < n; ++u) state[u] = qz_ypu_cpu_lstm_state(state[u], input[u], candidate[u]);
  qz_ypu_cpu_tanh_i16(n, state, input);
  for (int32_t u = 0; u < n; ++u) out[u] = qz_ypu_cpu_lstm_out(input[u], output[u]);
}

}  // namespace

void qz_ypu_cpu_lstm_cell_i16_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_lstm_context_t *>(context);
  const int64_t begin = c->chunk * static_cast<int64_t>(item);
  const int64_t end = qz_ypu_cpu_min(c->hidden, begin + c->chunk);
  if (begin >= end) return;
  // Every chunk but the last has 128 units and the last one's length is H
  // modulo 128, so all chunks of a call take the same variant.
  const int64_t n = end - begin;
  if (qz_ypu_cpu_has(c->isa_flags, QZ_YPU_CPU_ISA_NEON_MASK)) {
    QZ_YPU_CPU_ARM64(qz_ypu_cpu_lstm_cell_i16_neon)(c, begin, end);
  } else if (qz_ypu_cpu_has(c->isa_flags, QZ_YPU_CPU_ISA_AVX2)) {
    if (c->hidden % 16 == 0 && n % 16 == 0)
      QZ_YPU_CPU_X86(qz_ypu_cpu_lstm_cell_i16_avx2)(c, begin, end);
    else
      QZ_YPU_CPU_X86(qz_ypu_cpu_lstm_cell_i16_avx2_any)(c, begin, end);
  } else if (qz_ypu_cpu_has(c->isa_flags, QZ_YPU_CPU_ISA_SSE41)) {
    if (c->hidden % 8 == 0 && n % 8 == 0)
      QZ_YPU_CPU_X86(qz_ypu_cpu_lstm_cell_i16_sse41)(c, begin, end);
    else
      QZ_YPU_CPU_X86(qz_ypu_cpu_lstm_cell_i16_sse41_any)(c, begin, end);
  } else {
    lstm_plain(c, begin, end);
  }
}

qz_status_t qz_ypu_cpu_lstm_cell_i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_lstm_cell_i16_params_t *>(params);
  if (p.hidden <= 0) return QZ_STATUS_SUCCESS;
  // Shapes the host refuses go to it, so that it reports them.
  if (!qz_ypu_cpu_fixed_fits(p.out_offset, p.hidden, 2) ||
      !qz_ypu_cpu_fixed_fits(p.state_offset, p.hidden, 2) ||
      !qz_ypu_cpu_fixed_fits(p.gates_offset, qz_ypu_cpu_fixed_elements(3, p.hidden), 2))
    return QZ_YPU_CPU_DECLINE;
  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  qz_ypu_cpu_lstm_context_t c{
      .out = qz_ypu_cpu_operand<int16_t>(p.out, p.out_offset),
      .state = qz_ypu_cpu_operand<int16_t>(p.state, p.state_offset),
      .gates = qz_ypu_cpu_operand<int16_t>(p.gates, p.gates_offset),
      .hidden = p.hidden,
      .count = 0,
      .chunk = d->pool ? kChunk : p.hidden,
      .isa_flags = d->isa_flags,
  };
  c.count = qz_ypu_cpu_items_chunks(c.hidden, c.chunk);
  qz_ypu_cpu_run_1d(d, qz_ypu_cpu_lstm_cell_i16_task, &c, c.count);
  return QZ_STATUS_SUCCESS;
}
