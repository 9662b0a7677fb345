// CPU entries of the row softmax operations: float rows (ops on attention
// scores and logits) and int16 Q10 rows to Q31 probabilities. Rows are spread
// over the pool, T squared items at most, and the kernel is chosen once per
// call from the flags and the row length.
#include "ypu/cpu/softmax.h"

#include <cmath>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/table_exp.h"
#include "ypu/fixed_point.h"
#include "ypu/params.h"

void qz_ypu_cpu_softmax_f32_generic(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_f32_context_t *>(opaque);
  const int64_t n = c.cols;
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t r = range.begin; r < range.end; ++r) {
    const float *x = c.in + r * n;
    float *o = c.out + r * n;
    float m = x[0];
    for (int64_t j = 1; j < n; ++j) m = fmaxf(m, x[j]);
    float total = 0.f;
    for (int64_t j = 0; j < n; ++j) {
      o[j] = qz_ypu_build_expf(x[j] - m);
      total += o[j];
    }
    const float f = 1.f / total;
    for (int64_t j = 0; j < n; ++j) o[j] = o[j] * f;
  }
}

qz_status_t qz_ypu_cpu_softmax_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_softmax_f32_params_t *>(params);
  if (!p.out || !p.in) return QZ_YPU_CPU_DECLINE;
  // Empty rows have no maximum: nothing to write.
  if (p.rows <= 0 || p.cols <= 0) return QZ_STATUS_SUCCESS;
  qz_ypu_cpu_device_t *cpu = qz_ypu_cpu_device(device);
  const int64_t items = qz_ypu_cpu_items(cpu, qz_ypu_cpu_items_squared(cpu->threads, p.rows));
  qz_ypu_cpu_softmax_f32_context_t context{qz_ypu_cpu_operand<float>(p.out, p.out_offset),
                                           qz_ypu_cpu_operand<const float>(p.in, p.in_offset),
                                           p.rows, p.cols, static_cast<int32_t>(items)};
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      cpu->isa_flags, p.cols, QZ_YPU_CPU_X86(qz_ypu_cpu_softmax_f32_avx2), 8,
      QZ_YPU_CPU_X86(qz_ypu_cpu_softmax_f32_sse41), 4,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_softmax_f32_neon), 4, qz_ypu_cpu_softmax_f32_generic);
  qz_ypu_cpu_run_1d(cpu, task, &context, items);
  return QZ_STATUS_SUCCESS;
}

int64_t qz_ypu_cpu_fixed_exp_row(const int16_t *x, int32_t m, int64_t n, int32_t *o) {
  int64_t sum = 0;
  for (int64_t j = 0; j < n; ++j) {
    o[j] = qz_ypu_fixed_exp(m - x[j]);  // clamps at 16383
    sum += o[j];
  }
  return sum;
}

void qz_ypu_cpu_softmax_fixed_i16_generic(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_softmax_fixed_context_t *>(opaque);
  const int64_t n = c.cols;
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.rows, c.items, static_cast<int64_t>(item));
  for (int64_t r = range.begin; r < range.end; ++r) {
    const int16_t *x = c.in + r * n;
    int32_t *o = c.out + r * n;
    int32_t m = x[0];
    for (int64_t j = 1; j < n; ++j)
      if (x[j] > m) m = x[j];
    const int64_t sum = qz_ypu_cpu_fixed_exp_row(x, m, n, o);
    const int64_t reciprocal = qz_ypu_cpu_q31_reciprocal(sum);
    for (int64_t j = 0; j < n; ++j) o[j] = qz_ypu_cpu_q31_round(reciprocal * o[j]);
  }
}

qz_status_t qz_ypu_cpu_softmax_fixed_i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_softmax_fixed_i16_params_t *>(params);
  if (!p.out || !p.in) return QZ_YPU_CPU_DECLINE;
  if (p.rows <= 0) return QZ_STATUS_SUCCESS;
  // Rows of no values have no maximum and a zero sum to divide by: the host
  // implementation rejects them.
  if (p.cols <= 0) return QZ_YPU_CPU_DECLINE;
  qz_ypu_cpu_device_t *cpu = qz_ypu_cpu_device(device);
  const int64_t items = qz_ypu_cpu_items(cpu, qz_ypu_cpu_items_squared(cpu->threads, p.rows));
  qz_ypu_cpu_softmax_fixed_context_t context{qz_ypu_cpu_operand<int32_t>(p.out, p.out_offset),
                                             qz_ypu_cpu_operand<const int16_t>(p.in, p.in_offset),
                                             p.rows, p.cols, static_cast<int32_t>(items)};
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      cpu->isa_flags, p.cols, QZ_YPU_CPU_X86(qz_ypu_cpu_softmax_fixed_i16_avx2), 16,
      QZ_YPU_CPU_X86(qz_ypu_cpu_softmax_fixed_i16_sse41), 8,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_softmax_fixed_i16_neon), 8, qz_ypu_cpu_softmax_fixed_i16_generic);
  qz_ypu_cpu_run_1d(cpu, task, &context, items);
  return QZ_STATUS_SUCCESS;
}
