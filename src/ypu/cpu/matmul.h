// Float products with a transposed right operand on the CPU: the task context
// of the unbatched product and its tasks.
#pragma once

#include <cstddef>
#include <cstdint>

struct qz_ypu_cpu_matmul_context_t {
  float *out;
  const float *a;  // m x k
  const float *b;  // n x k
  int32_t m;
  int32_t n;
  int32_t k;
  int32_t items;
};

// Item i covers the output elements [i*m*n/items, (i+1)*m*n/items) in
// row-major order. The generic task gives the host's sequential sums; the
// AVX2 task (k a positive multiple of 32) four fused-multiply-add
// accumulators per output.
void qz_ypu_cpu_matmul_nt_f32_generic(void *context, size_t i);
void qz_ypu_cpu_matmul_nt_f32_avx2(void *context, size_t i);

// The host's dot product: one rounded product added at a time, in order.
inline float qz_ypu_cpu_dot_f32(const float *a, const float *b, int64_t length) {
  float sum = 0.0f;
  for (int64_t i = 0; i < length; ++i) {
    const float product = a[i] * b[i];
    sum += product;
  }
  return sum;
}
