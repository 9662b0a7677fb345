// CPU entries of the int8 x int16 linear layers: op 19 adds its result into
// the int16 output with saturation, op 20 writes it. Several input rows (the
// matrix form) are split into runs of output values; a single row (the
// vector form) is split into pairs of output features, so every input load
// feeds two dot products.
#include "ypu/cpu/fixed_kernels.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

namespace {

template <bool kAccumulate>
void linear_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_linear_context_t *>(context);
  const int64_t n_count = c->out_features, k_count = c->in_features;
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows * n_count, c->count, item);
  for (int64_t u = r.begin; u < r.end; ++u) {
    const int64_t i = u / n_count, n = u % n_count;
    const int32_t dot = qz_ypu_cpu_dot_i8i16(c->in + i * k_count, c->weights + n * k_count, k_count);
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + u, qz_ypu_cpu_linear_value(c->bias[n], dot));
  }
}

struct linear_variants {
  qz_ypu_cpu_task_1d_t task, sse41, sse41_any, avx2, avx2_any, sse41_vec2, sse41_vec, avx2_vec2,
      avx2_vec, neon, neon_vec;
};

constexpr linear_variants kAccumulateVariants{
    qz_ypu_cpu_linear_acc_i8i16_task,
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_sse41),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_sse41_any),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_avx2),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_avx2_any),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_sse41_vec2),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_sse41_vec),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_avx2_vec2),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_acc_i8i16_avx2_vec),
    QZ_YPU_CPU_ARM64(qz_ypu_cpu_linear_acc_i8i16_neon),
    QZ_YPU_CPU_ARM64(qz_ypu_cpu_linear_acc_i8i16_neon_vec),
};
constexpr linear_variants kWriteVariants{
    qz_ypu_cpu_linear_i8i16_task,
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_sse41),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_sse41_any),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_avx2),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_avx2_any),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_sse41_vec2),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_sse41_vec),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_avx2_vec2),
    QZ_YPU_CPU_X86(qz_ypu_cpu_linear_i8i16_avx2_vec),
    QZ_YPU_CPU_ARM64(qz_ypu_cpu_linear_i8i16_neon),
    QZ_YPU_CPU_ARM64(qz_ypu_cpu_linear_i8i16_neon_vec),
};

qz_status_t linear_entry(void *device, const qz_ypu_linear_i8i16_params_t &p, bool accumulate) {
  const int64_t m = p.rows, n = p.out_features;
  const int64_t k = p.in_features > 0 ? p.in_features : 0;
  if (m <= 0 || n <= 0) return QZ_STATUS_SUCCESS;
  // Shapes the host refuses go to it, so that it reports them.
  if (!qz_ypu_cpu_fixed_fits(p.out_offset, qz_ypu_cpu_fixed_elements(m, n), 2) ||
      !qz_ypu_cpu_fixed_fits(0, n, 1))
    return QZ_YPU_CPU_DECLINE;
  if (k > 0 && (!qz_ypu_cpu_fixed_fits(p.in_offset, qz_ypu_cpu_fixed_elements(m, k), 2) ||
                !qz_ypu_cpu_fixed_fits(0, qz_ypu_cpu_fixed_elements(n, k), 1)))
    return QZ_YPU_CPU_DECLINE;

  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  const linear_variants &v = accumulate ? kAccumulateVariants : kWriteVariants;
  const bool avx2 = qz_ypu_cpu_has(d->isa_flags, QZ_YPU_CPU_ISA_AVX2);
  const bool sse41 = qz_ypu_cpu_has(d->isa_flags, QZ_YPU_CPU_ISA_SSE41);
  const bool neon = qz_ypu_cpu_has(d->isa_flags, QZ_YPU_CPU_ISA_NEON_MASK);
  qz_ypu_cpu_task_1d_t task = v.task;
  int64_t count = 0;
  if (neon) {
    // One feature at a time over several rows; four at a time over one row.
    if (m == 1) {
      count = qz_ypu_cpu_items_feature_pairs(d->threads, n);
      task = v.neon_vec;
    } else {
      count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_squared(d->threads, m * n));
      task = v.neon;
    }
  } else if (m == 1 && (avx2 || sse41)) {
    // The vector count holds with or without a pool, also for the plain
    // task (op 19 with one feature, where it is 1).
    count = qz_ypu_cpu_items_feature_pairs(d->threads, n);
    if (n == 1)
      task = accumulate ? v.task : avx2 ? v.avx2_vec : v.sse41_vec;
    else if (n % 2 == 0 && k % 16 == 0)
      task = avx2 ? v.avx2_vec2 : v.sse41_vec2;
    else
      task = avx2 ? v.avx2_vec : v.sse41_vec;
  } else {
    count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_squared(d->threads, m * n));
    if (avx2)
      task = k % 16 == 0 ? v.avx2 : v.avx2_any;
    else if (sse41)
      task = k % 8 == 0 ? v.sse41 : v.sse41_any;
  }
  qz_ypu_cpu_linear_context_t c{
      .out = qz_ypu_cpu_operand<int16_t>(p.out, p.out_offset),
      .in = k > 0 ? qz_ypu_cpu_operand<const int16_t>(p.in, p.in_offset) : nullptr,
      .weights = k > 0 ? qz_ypu_cpu_operand<const int8_t>(p.weights, 0) : nullptr,
      .bias = qz_ypu_cpu_operand<const int8_t>(p.bias, 0),
      .rows = m,
      .out_features = n,
      .in_features = k,
      .count = count,
  };
  qz_ypu_cpu_run_1d(d, task, &c, count);
  return QZ_STATUS_SUCCESS;
}

}  // namespace

void qz_ypu_cpu_linear_acc_i8i16_task(void *context, size_t item) {
  linear_task<true>(context, item);
}
void qz_ypu_cpu_linear_i8i16_task(void *context, size_t item) {
  linear_task<false>(context, item);
}

qz_status_t qz_ypu_cpu_linear_acc_i8i16(void *device, void *, const void *params) {
  return linear_entry(device, *static_cast<const qz_ypu_linear_acc_i8i16_params_t *>(params),
                      true);
}

qz_status_t qz_ypu_cpu_linear_i8i16(void *device, void *, const void *params) {
  return linear_entry(device, *static_cast<const qz_ypu_linear_i8i16_params_t *>(params), false);
}
