// Kernels of the CPU element-wise additions. Each covers the elements
// [first, end) of its operands; the vector kernels are chosen for ranges of
// whole steps but finish any remainder one element at a time, so no kernel
// reads or writes past `end`.
#pragma once

#include <cstddef>
#include <cstdint>

void qz_ypu_cpu_add_f32_avx2(float *out, const float *a, const float *b, int64_t first,
                             int64_t end);
void qz_ypu_cpu_add_f32_sse41(float *out, const float *a, const float *b, int64_t first,
                              int64_t end);
void qz_ypu_cpu_add_sat_i16_avx2(int16_t *out, const int16_t *a, const int16_t *b, int64_t first,
                                 int64_t end);
void qz_ypu_cpu_add_sat_i16_sse41(int16_t *out, const int16_t *a, const int16_t *b,
                                  int64_t first, int64_t end);
void qz_ypu_cpu_add_f32_neon(float *out, const float *a, const float *b, int64_t first,
                             int64_t end);
void qz_ypu_cpu_add_sat_i16_neon(int16_t *out, const int16_t *a, const int16_t *b, int64_t first,
                                 int64_t end);

// Internal linkage: the instruction-set files include it too.
namespace {
inline int16_t qz_ypu_cpu_saturate_i16(int32_t x) {
  return static_cast<int16_t>(x < -32768 ? -32768 : x > 32767 ? 32767 : x);
}
}  // namespace

// Tasks of the two additions: item i of the entry's context.
void qz_ypu_cpu_add_f32_task(void *context, size_t i);
void qz_ypu_cpu_add_sat_i16_task(void *context, size_t i);
