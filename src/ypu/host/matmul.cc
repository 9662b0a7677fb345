// Host implementations of the float matrix products with a transposed right
// operand. Every dot product starts from 0 and adds one rounded product at a
// time in ascending index order, so the CPU kernels can match it exactly.
#include <cstddef>

#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

float dot(const float *a, const float *b, int32_t length) {
  float sum = 0.0f;
  for (int32_t i = 0; i < length; ++i) {
    const float product = a[i] * b[i];
    sum += product;
  }
  return sum;
}

}  // namespace

qz_status_t qz_ypu_host_matmul_nt_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *a = frame.in<float>(p.a, p.a_offset);
  const float *b = frame.in<float>(p.b, p.b_offset);
  if (!frame.ok()) return frame.status();
  // Indices in 64 bits: m x n and n x k may exceed an int32 between them.
  const ptrdiff_t k = p.k > 0 ? p.k : 0;
  for (int32_t i = 0; i < p.m; ++i)
    for (int32_t j = 0; j < p.n; ++j) out[i * ptrdiff_t{p.n} + j] = dot(a + i * k, b + j * k, p.k);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_matmul_nt_batched_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_matmul_nt_batched_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *a = frame.in<float>(p.a, 0);
  const float *b = frame.in<float>(p.b, 0);
  if (!frame.ok()) return frame.status();
  const ptrdiff_t depth = p.depth > 0 ? p.depth : 0, cols = p.cols > 0 ? p.cols : 0;
  for (int32_t bt = 0; bt < p.batch; ++bt)
    for (int32_t h = 0; h < p.heads; ++h)
      for (int32_t r = 0; r < p.rows; ++r) {
        const ptrdiff_t row = (ptrdiff_t{bt} * p.heads + h) * p.rows + r;
        const float *b_block = b + (p.b_per_head ? h : r) * cols * depth;
        for (int32_t q = 0; q < p.cols; ++q)
          out[row * cols + q] = dot(a + row * depth, b_block + q * depth, p.depth);
      }
  return QZ_STATUS_SUCCESS;
}
