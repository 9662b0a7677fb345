// CPU entries of the int8 x int16 1-D convolutions (ops 10, 11 and 12) and
// their plain variants. The output rows (op 12: groups of `stride` rows) are
// split over at most one item per thread; every variant gives the host's
// int32 values, which wrap, so the order of the sums does not matter.
#include "ypu/cpu/fixed_kernels.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

void qz_ypu_cpu_dwconv1d_acc_i8i16_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_acc_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t k_count = c->channels;
  for (int64_t i = r.begin; i < r.end; ++i) {
    int32_t *out = c->out + i * k_count;
    for (int64_t j = 0; j < c->taps; ++j) {
      const int16_t *in = c->in + (i + j) * k_count;
      const int8_t *w = c->weights + j * k_count;
      for (int64_t k = 0; k < k_count; ++k)
        out[k] = qz_ypu_cpu_wrap_add(out[k], int32_t{in[k]} * w[k]);
    }
  }
}

qz_status_t qz_ypu_cpu_dwconv1d_acc_i8i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_dwconv1d_acc_i8i16_params_t *>(params);
  if (p.rows <= 0 || p.channels <= 0 || p.taps <= 0) return QZ_STATUS_SUCCESS;
  // Shapes the host refuses go to it, so that it reports them.
  if (!qz_ypu_cpu_fixed_fits(p.out_offset, qz_ypu_cpu_fixed_elements(p.rows, p.channels), 4) ||
      !qz_ypu_cpu_fixed_fits(p.weights_offset, qz_ypu_cpu_fixed_elements(p.taps, p.channels), 1) ||
      !qz_ypu_cpu_fixed_fits(p.in_offset,
                             qz_ypu_cpu_fixed_elements(int64_t{p.rows} + p.taps - 1, p.channels),
                             2))
    return QZ_YPU_CPU_DECLINE;
  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  const qz_ypu_cpu_dwconv1d_acc_context_t c{
      .out = qz_ypu_cpu_operand<int32_t>(p.out, p.out_offset),
      .weights = qz_ypu_cpu_operand<const int8_t>(p.weights, p.weights_offset),
      .in = qz_ypu_cpu_operand<const int16_t>(p.in, p.in_offset),
      .rows = p.rows,
      .channels = p.channels,
      .taps = p.taps,
      .count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_threads(d->threads, p.rows)),
      .isa_flags = d->isa_flags,
  };
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      d->isa_flags, c.channels, QZ_YPU_CPU_X86(qz_ypu_cpu_dwconv1d_acc_i8i16_avx2), 16,
      QZ_YPU_CPU_X86(qz_ypu_cpu_dwconv1d_acc_i8i16_sse41), 8,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_dwconv1d_acc_i8i16_neon), 8, qz_ypu_cpu_dwconv1d_acc_i8i16_task);
  qz_ypu_cpu_run_1d(d, task, const_cast<qz_ypu_cpu_dwconv1d_acc_context_t *>(&c), c.count);
  return QZ_STATUS_SUCCESS;
}

// One row, one channel at a time: each output is one dot product over the
// taps x in_channels contiguous inputs of its row.
void qz_ypu_cpu_conv1d_i8i16_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_conv1d_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t m_count = c->out_channels, length = c->length;
  for (int64_t i = r.begin; i < r.end; ++i) {
    const int16_t *x = c->in + i * c->in_channels;
    for (int64_t m = 0; m < m_count; ++m)
      c->out[i * m_count + m] = qz_ypu_cpu_dot_i8i16(x, c->weights + m * length, length);
  }
}

// One tap: a matrix product. Four rows share each weight load.
void qz_ypu_cpu_conv1d_i8i16_task_1tap(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_conv1d_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t m_count = c->out_channels, f_count = c->in_channels;
  int64_t i = r.begin;
  for (; r.end - i >= 4; i += 4) {
    const int16_t *x = c->in + i * f_count;
    for (int64_t m = 0; m < m_count; ++m) {
      const int8_t *w = c->weights + m * f_count;
      int32_t sum[4] = {0, 0, 0, 0};
      for (int64_t f = 0; f < f_count; ++f) {
        const int32_t weight = w[f];
        for (int row = 0; row < 4; ++row)
          sum[row] = qz_ypu_cpu_wrap_add(sum[row], weight * x[row * f_count + f]);
      }
      for (int row = 0; row < 4; ++row) c->out[(i + row) * m_count + m] = sum[row];
    }
  }
  for (; i < r.end; ++i)
    for (int64_t m = 0; m < m_count; ++m)
      c->out[i * m_count + m] =
          qz_ypu_cpu_dot_i8i16(c->in + i * f_count, c->weights + m * f_count, f_count);
}

qz_status_t qz_ypu_cpu_conv1d_i8i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_conv1d_i8i16_params_t *>(params);
  if (p.rows <= 0 || p.out_channels <= 0) return QZ_STATUS_SUCCESS;
  // Without taps or input channels every output is the empty sum, 0, and
  // neither the weights nor the input are read.
  const bool read = p.taps > 0 && p.in_channels > 0;
  if (!qz_ypu_cpu_fixed_fits(p.out_offset, qz_ypu_cpu_fixed_elements(p.rows, p.out_channels), 4))
    return QZ_YPU_CPU_DECLINE;
  if (read &&
      (!qz_ypu_cpu_fixed_fits(p.weights_offset,
                              qz_ypu_cpu_fixed_elements(p.out_channels, p.taps, p.in_channels),
                              1) ||
       !qz_ypu_cpu_fixed_fits(
           p.in_offset, qz_ypu_cpu_fixed_elements(int64_t{p.rows} + p.taps - 1, p.in_channels),
           2)))
    return QZ_YPU_CPU_DECLINE;
  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  const int64_t length = read ? int64_t{p.taps} * p.in_channels : 0;
  const qz_ypu_cpu_conv1d_context_t c{
      .out = qz_ypu_cpu_operand<int32_t>(p.out, p.out_offset),
      .weights = read ? qz_ypu_cpu_operand<const int8_t>(p.weights, p.weights_offset) : nullptr,
      .in = read ? qz_ypu_cpu_operand<const int16_t>(p.in, p.in_offset) : nullptr,
      .rows = p.rows,
      .out_channels = p.out_channels,
      .in_channels = read ? p.in_channels : 0,
      .taps = p.taps,
      .length = length,
      .count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_threads(d->threads, p.rows)),
      .isa_flags = d->isa_flags,
  };
  // The SIMD variants take four output channels per step.
  qz_ypu_cpu_task_1d_t task = p.taps == 1 && read ? qz_ypu_cpu_conv1d_i8i16_task_1tap
                                                  : qz_ypu_cpu_conv1d_i8i16_task;
  if (c.out_channels % 4 == 0)
    task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
        d->isa_flags, length, QZ_YPU_CPU_X86(qz_ypu_cpu_conv1d_i8i16_avx2), 16,
        QZ_YPU_CPU_X86(qz_ypu_cpu_conv1d_i8i16_sse41), 8, task);
  // The NEON variant takes eight.
  if (c.out_channels % 8 == 0)
    task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(d->isa_flags, length, nullptr, 0, nullptr, 0,
                                                   QZ_YPU_CPU_ARM64(qz_ypu_cpu_conv1d_i8i16_neon),
                                                   8, task);
  qz_ypu_cpu_run_1d(d, task, const_cast<qz_ypu_cpu_conv1d_context_t *>(&c), c.count);
  return QZ_STATUS_SUCCESS;
}

// Group g holds the output rows g*s .. g*s + s - 1; phase k of the group
// sums the inputs g - t (t below taps / s, within the input rows) times
// weight row k + t*s. Every row of the item's groups is overwritten.
void qz_ypu_cpu_dwconv1d_transposed_i8i16_task(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_dwconv1d_transposed_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->groups, c->count, item);
  const int64_t k_count = c->channels, s = c->stride;
  for (int64_t g = r.begin; g < r.end; ++g) {
    const int64_t t_begin = qz_ypu_cpu_max(0, g - c->rows + 1);
    const int64_t t_end = qz_ypu_cpu_min(c->phase_taps, g + 1);
    for (int64_t k = 0; k < s; ++k) {
      int32_t *out = c->out + (g * s + k) * k_count;
      for (int64_t q = 0; q < k_count; ++q) {
        int32_t sum = 0;
        for (int64_t t = t_begin; t < t_end; ++t)
          sum = qz_ypu_cpu_wrap_add(
              sum, int32_t{c->in[(g - t) * k_count + q]} * c->weights[(k + t * s) * k_count + q]);
        out[q] = sum;
      }
    }
  }
}

qz_status_t qz_ypu_cpu_dwconv1d_transposed_i8i16(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_dwconv1d_transposed_i8i16_params_t *>(params);
  // The grouping divides by the stride: strides below 1 (the host takes 0)
  // and taps that are not a multiple of it are the host's, which adds into
  // the output instead of overwriting it.
  if (p.stride <= 0 || p.taps % p.stride != 0) return QZ_YPU_CPU_DECLINE;
  if (p.rows <= 0 || p.channels <= 0 || p.taps <= 0) return QZ_STATUS_SUCCESS;
  const int64_t out_rows = (int64_t{p.rows} - 1) * p.stride + p.taps;
  if (!qz_ypu_cpu_fixed_fits(p.out_offset, qz_ypu_cpu_fixed_elements(out_rows, p.channels), 4) ||
      !qz_ypu_cpu_fixed_fits(p.weights_offset, qz_ypu_cpu_fixed_elements(p.taps, p.channels), 1) ||
      !qz_ypu_cpu_fixed_fits(p.in_offset, qz_ypu_cpu_fixed_elements(p.rows, p.channels), 2))
    return QZ_YPU_CPU_DECLINE;
  const qz_ypu_cpu_device_t *d = qz_ypu_cpu_device(device);
  const int64_t phase_taps = p.taps / p.stride;
  const qz_ypu_cpu_dwconv1d_transposed_context_t c{
      .out = qz_ypu_cpu_operand<int32_t>(p.out, p.out_offset),
      .weights = qz_ypu_cpu_operand<const int8_t>(p.weights, p.weights_offset),
      .in = qz_ypu_cpu_operand<const int16_t>(p.in, p.in_offset),
      .rows = p.rows,
      .channels = p.channels,
      .taps = p.taps,
      .stride = p.stride,
      .phase_taps = phase_taps,
      .groups = p.rows + phase_taps - 1,
      // One more item than groups; the empty one does nothing.
      .count = qz_ypu_cpu_items(d, qz_ypu_cpu_items_threads(d->threads, phase_taps + p.rows)),
      .isa_flags = d->isa_flags,
  };
  const qz_ypu_cpu_task_1d_t task = qz_ypu_cpu_choose<qz_ypu_cpu_task_1d_t>(
      d->isa_flags, c.channels, QZ_YPU_CPU_X86(qz_ypu_cpu_dwconv1d_transposed_i8i16_avx2), 16,
      QZ_YPU_CPU_X86(qz_ypu_cpu_dwconv1d_transposed_i8i16_sse41), 8,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_dwconv1d_transposed_i8i16_neon), 8,
      qz_ypu_cpu_dwconv1d_transposed_i8i16_task);
  qz_ypu_cpu_run_1d(d, task, const_cast<qz_ypu_cpu_dwconv1d_transposed_context_t *>(&c),
                    c.count);
  return QZ_STATUS_SUCCESS;
}
