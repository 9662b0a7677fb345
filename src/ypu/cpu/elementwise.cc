// CPU entries of the float addition, the saturating int16 addition and the
// multiplication of every row by one row vector. The additions split long
// vectors over the pool and pick a kernel per item by the item's length;
// every variant performs the host's single operations, so all agree bit for
// bit with it.
#include <cstddef>
#include <cstdint>

#include "ypu/cpu/elementwise.h"
#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

namespace {

template <class T>
struct add_context {
  T *out;
  const T *a;
  const T *b;
  int32_t count;
  int32_t items;
  uint32_t isa_flags;
};

using add_f32_kernel = void (*)(float *, const float *, const float *, int64_t, int64_t);
using add_i16_kernel = void (*)(int16_t *, const int16_t *, const int16_t *, int64_t, int64_t);

void add_f32_plain(float *out, const float *a, const float *b, int64_t first, int64_t end) {
  for (int64_t i = first; i < end; ++i) out[i] = a[i] + b[i];
}

void add_sat_i16_plain(int16_t *out, const int16_t *a, const int16_t *b, int64_t first,
                       int64_t end) {
  for (int64_t i = first; i < end; ++i) out[i] = qz_ypu_cpu_saturate_i16(int32_t{a[i]} + b[i]);
}

// Sets up the context and runs the items of one of the two additions.
template <class T>
qz_status_t run_add(void *device, const void *params, qz_ypu_cpu_task_1d_t task) {
  const auto &p = *static_cast<const qz_ypu_two_input_params_t *>(params);
  // Unusable operands go to the host, which reports them.
  if (!p.out || !p.a || !p.b) return QZ_YPU_CPU_DECLINE;
  if (p.count <= 0) return QZ_STATUS_SUCCESS;
  qz_ypu_cpu_device_t *cpu = qz_ypu_cpu_device(device);
  const int64_t items =
      qz_ypu_cpu_items(cpu, qz_ypu_cpu_items_elements(cpu->threads, p.count));
  add_context<T> context{qz_ypu_cpu_operand<T>(p.out, p.out_offset),
                         qz_ypu_cpu_operand<const T>(p.a, p.a_offset),
                         qz_ypu_cpu_operand<const T>(p.b, p.b_offset),
                         p.count,
                         static_cast<int32_t>(items),
                         cpu->isa_flags};
  qz_ypu_cpu_run_1d(cpu, task, &context, items);
  return QZ_STATUS_SUCCESS;
}

}  // namespace

// The kernel is chosen per item: an item's length decides whether a vector
// kernel's whole steps cover it.
void qz_ypu_cpu_add_f32_task(void *opaque, size_t i) {
  const auto &c = *static_cast<const add_context<float> *>(opaque);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_split(c.count, c.items, static_cast<int64_t>(i));
  const add_f32_kernel kernel = qz_ypu_cpu_choose<add_f32_kernel>(
      c.isa_flags, r.end - r.begin, QZ_YPU_CPU_X86(qz_ypu_cpu_add_f32_avx2), 8,
      QZ_YPU_CPU_X86(qz_ypu_cpu_add_f32_sse41), 4, QZ_YPU_CPU_ARM64(qz_ypu_cpu_add_f32_neon), 4,
      add_f32_plain);
  kernel(c.out, c.a, c.b, r.begin, r.end);
}

void qz_ypu_cpu_add_sat_i16_task(void *opaque, size_t i) {
  const auto &c = *static_cast<const add_context<int16_t> *>(opaque);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_split(c.count, c.items, static_cast<int64_t>(i));
  const add_i16_kernel kernel = qz_ypu_cpu_choose<add_i16_kernel>(
      c.isa_flags, r.end - r.begin, QZ_YPU_CPU_X86(qz_ypu_cpu_add_sat_i16_avx2), 16,
      QZ_YPU_CPU_X86(qz_ypu_cpu_add_sat_i16_sse41), 8,
      QZ_YPU_CPU_ARM64(qz_ypu_cpu_add_sat_i16_neon), 8, add_sat_i16_plain);
  kernel(c.out, c.a, c.b, r.begin, r.end);
}

qz_status_t qz_ypu_cpu_add_f32(void *device, void *, const void *params) {
  return run_add<float>(device, params, qz_ypu_cpu_add_f32_task);
}

qz_status_t qz_ypu_cpu_add_sat_i16(void *device, void *, const void *params) {
  return run_add<int16_t>(device, params, qz_ypu_cpu_add_sat_i16_task);
}

// On the calling thread: groups of four columns down all rows, then the
// remaining columns. Every element is one product, as in the host.
qz_status_t qz_ypu_cpu_mul_row_f32(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_mul_row_f32_params_t *>(params);
  if (!p.out || !p.a || !p.v) return QZ_YPU_CPU_DECLINE;
  if (p.rows <= 0 || p.cols <= 0) return QZ_STATUS_SUCCESS;
  float *out = qz_ypu_cpu_operand<float>(p.out, p.out_offset);
  const float *a = qz_ypu_cpu_operand<const float>(p.a, p.a_offset);
  const float *v = qz_ypu_cpu_operand<const float>(p.v, p.v_offset);
  const ptrdiff_t cols = p.cols, blocked = cols - cols % 4;
  for (ptrdiff_t j = 0; j < blocked; j += 4)
    for (ptrdiff_t r = 0; r < p.rows; ++r) {
      const ptrdiff_t at = r * cols + j;
      for (int m = 0; m < 4; ++m) out[at + m] = a[at + m] * v[j + m];
    }
  for (ptrdiff_t j = blocked; j < cols; ++j)
    for (ptrdiff_t r = 0; r < p.rows; ++r) out[r * cols + j] = a[r * cols + j] * v[j];
  return QZ_STATUS_SUCCESS;
}
