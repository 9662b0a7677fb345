// CPU entries of the per-row quantisation of floats into int16 (op 55) and
// the per-column affine map of int16 values (op 81), with their plain
// variants. Rows are split over the items; every variant gives the host's
// integers and factors.
#include <cmath>

#include "ypu/cpu/fixed_kernels.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

void qz_ypu_cpu_quantize_rows_i16_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_quantize_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  for (int64_t row = r.begin; row < r.end; ++row) {
    const float *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    float m = 0.0f;
    for (int64_t j = 0; j < w; ++j) {
      const float a = std::fabs(x[j]);
      if (a > m) m = a;  // NaN never compares greater
    }
    if (m == 0.0f) {
      // 31 / 0 is infinite and 0 x infinity NaN: the zero row is given as is.
      for (int64_t j = 0; j < w; ++j) y[j] = 0;
      c->factors[row] = 0.0f;
      continue;
    }
    const float t = 31.0f / m;
    for (int64_t j = 0; j < w; ++j) y[j] = qz_ypu_cpu_quantize_value(x[j] * t * 1024.0f);
    c->factors[row] = 1.0f / (t * 131072.0f);
  }
}

qz_status_t qz_ypu_cpu_quantize_rows_i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_quantize_rows_i16_params_t *>(params);
  if (p.rows <= 0) return QZ_STATUS_SUCCESS;
  // Shapes the host refuses go to it, so that it reports them.
  if (!qz_ypu_cpu_fixed_fits(p.factors_offset, p.rows, 4)) return QZ_YPU_CPU_DECLINE;
  if (p.cols > 0 &&
      (!qz_ypu_cpu_fixed_fits(p.out_offset, qz_ypu_cpu_fixed_elements(p.rows, p.cols), 2) ||
       !qz_ypu_cpu_fixed_fits(p.in_offset, qz_ypu_cpu_fixed_elements(p.rows, p.cols), 4)))
    return QZ_YPU_CPU_DECLINE;
  float *factors = qz_ypu_cpu_operand<float>(p.factors, p.factors_offset);
  if (p.cols <= 0) {
    // No columns: t would be infinite and every factor 0.
    for (int64_t r = 0; r < p.rows; ++r) factors[r] = 0.0f;
    return QZ_STATUS_SUCCESS;
  }
  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  qz_ypu_cpu_quantize_context_t c{
      .out = qz_ypu_cpu_operand<int16_t>(p.out, p.out_offset),
      .factors = factors,
      .in = qz_ypu_cpu_operand<const float>(p.in, p.in_offset),
      .rows = p.rows,
      .cols = p.cols,
      .count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_squared(d->threads, p.rows)),
  };
  // No shape condition: the SIMD variants finish each row one value at a time.
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      d->isa_flags, c.cols, QZ_YPU_CPU_X86(qz_ypu_cpu_quantize_rows_i16_avx2), 1,
      QZ_YPU_CPU_X86(qz_ypu_cpu_quantize_rows_i16_sse41), 1,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_quantize_rows_i16_neon), 1, qz_ypu_cpu_quantize_rows_i16_task);
  qz_ypu_cpu_run_1d(d, task, &c, c.count);
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_cpu_affine_columns_i16_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_affine_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  for (int64_t row = r.begin; row < r.end; ++row) {
    const int16_t *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    for (int64_t j = 0; j < w; ++j) y[j] = qz_ypu_cpu_affine_value(x[j], c->offsets[j], c->scales[j]);
  }
}

qz_status_t qz_ypu_cpu_affine_columns_i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_affine_columns_i16_params_t *>(params);
  if (p.rows <= 0 || p.cols <= 0) return QZ_STATUS_SUCCESS;
  if (!qz_ypu_cpu_fixed_fits(p.out_offset, qz_ypu_cpu_fixed_elements(p.rows, p.cols), 2) ||
      !qz_ypu_cpu_fixed_fits(p.in_offset, qz_ypu_cpu_fixed_elements(p.rows, p.cols), 2))
    return QZ_YPU_CPU_DECLINE;
  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  qz_ypu_cpu_affine_context_t c{
      .out = qz_ypu_cpu_operand<int16_t>(p.out, p.out_offset),
      .in = qz_ypu_cpu_operand<const int16_t>(p.in, p.in_offset),
      .offsets = qz_ypu_cpu_operand<const int16_t>(p.offsets, 0),
      .scales = qz_ypu_cpu_operand<const int16_t>(p.scales, 0),
      .cols = p.cols,
      .rows = p.rows,
      .count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_row_blocks(d->threads, p.rows)),
  };
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      d->isa_flags, c.cols, QZ_YPU_CPU_X86(qz_ypu_cpu_affine_columns_i16_avx2), 16,
      QZ_YPU_CPU_X86(qz_ypu_cpu_affine_columns_i16_sse41), 8,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_affine_columns_i16_neon), 8, qz_ypu_cpu_affine_columns_i16_task);
  qz_ypu_cpu_run_1d(d, task, &c, c.count);
  return QZ_STATUS_SUCCESS;
}
