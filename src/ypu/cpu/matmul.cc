// CPU entries of the float products with a transposed right operand: the
// plain product spreads its output elements over the pool, the batched one
// runs one item per batch element with the host's arithmetic.
#include "ypu/cpu/matmul.h"

#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

void qz_ypu_cpu_matmul_nt_f32_generic(void *opaque, size_t i) {
  const auto &c = *static_cast<const qz_ypu_cpu_matmul_context_t *>(opaque);
  const int64_t n = c.n, k = c.k;
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_split(int64_t{c.m} * n, c.items, static_cast<int64_t>(i));
  for (int64_t e = r.begin; e < r.end; ++e)
    c.out[e] = qz_ypu_cpu_dot_f32(c.a + (e / n) * k, c.b + (e % n) * k, k);
}

qz_status_t qz_ypu_cpu_matmul_nt_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_f32_params_t *>(params);
  if (!p.out || !p.a || !p.b) return QZ_YPU_CPU_DECLINE;
  if (p.m <= 0 || p.n <= 0) return QZ_STATUS_SUCCESS;
  qz_ypu_cpu_device_t *cpu = qz_ypu_cpu_device(device);
  const int64_t outputs = int64_t{p.m} * p.n;
  const int64_t items = qz_ypu_cpu_items(cpu, qz_ypu_cpu_items_squared(cpu->threads, outputs));
  qz_ypu_cpu_matmul_context_t context{qz_ypu_cpu_operand<float>(p.out, p.out_offset),
                                      qz_ypu_cpu_operand<const float>(p.a, p.a_offset),
                                      qz_ypu_cpu_operand<const float>(p.b, p.b_offset),
                                      p.m,
                                      p.n,
                                      p.k > 0 ? p.k : 0,
                                      static_cast<int32_t>(items)};
  const qz_ypu_cpu_task_1d_t task =
      qz_ypu_cpu_usable(cpu->isa_flags, QZ_YPU_CPU_ISA_AVX2, context.k, 32)
          ? QZ_YPU_CPU_X86(qz_ypu_cpu_matmul_nt_f32_avx2)
          : qz_ypu_cpu_matmul_nt_f32_generic;
  qz_ypu_cpu_run_1d(cpu, task, &context, items);
  return QZ_STATUS_SUCCESS;
}

// One batch element: every head and row, as the host computes it.
void qz_ypu_cpu_matmul_nt_batched_f32_task(void *opaque, size_t item) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_batched_f32_params_t *>(opaque);
  float *out = qz_ypu_cpu_operand<float>(p.out, 0);
  const float *a = qz_ypu_cpu_operand<const float>(p.a, 0);
  const float *b = qz_ypu_cpu_operand<const float>(p.b, 0);
  const int64_t depth = p.depth > 0 ? p.depth : 0, cols = p.cols > 0 ? p.cols : 0;
  const int64_t bt = static_cast<int64_t>(item);
  for (int64_t h = 0; h < p.heads; ++h)
    for (int64_t r = 0; r < p.rows; ++r) {
      const int64_t row = (bt * p.heads + h) * p.rows + r;
      const float *b_block = b + (p.b_per_head ? h : r) * cols * depth;
      for (int64_t q = 0; q < cols; ++q)
        out[row * cols + q] = qz_ypu_cpu_dot_f32(a + row * depth, b_block + q * depth, depth);
    }
}

qz_status_t qz_ypu_cpu_matmul_nt_batched_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_batched_f32_params_t *>(params);
  if (!p.out || !p.a || !p.b) return QZ_YPU_CPU_DECLINE;
  // One item per batch element, with or without a pool; the record is the
  // tasks' context.
  qz_ypu_cpu_run_1d(qz_ypu_cpu_device(device), qz_ypu_cpu_matmul_nt_batched_f32_task,
                    const_cast<void *>(params), p.batch);
  return QZ_STATUS_SUCCESS;
}
