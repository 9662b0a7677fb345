// Host implementations of the row softmax operations: float, and int16 Q10
// in to int32 Q31 probabilities through the fixed-point exponential tables.
#include <cmath>
#include <cstddef>

#include "ypu/table_exp.h"
#include "ypu/fixed_point.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

qz_status_t qz_ypu_host_softmax_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_softmax_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  const int32_t n = p.cols;
  if (n <= 0) return QZ_STATUS_SUCCESS;
  for (int32_t r = 0; r < p.rows; ++r) {
    const float *x = in + static_cast<ptrdiff_t>(r) * n;
    float *o = out + static_cast<ptrdiff_t>(r) * n;
    float m = x[0];
    for (int32_t j = 1; j < n; ++j) m = fmaxf(m, x[j]);
    // Each x[j] is read before o[j] is written, so out may be in itself.
    float total = 0.f;
    for (int32_t j = 0; j < n; ++j) {
      o[j] = qz_ypu_build_expf(x[j] - m);
      total += o[j];
    }
    const float f = 1.f / total;
    for (int32_t j = 0; j < n; ++j) o[j] = o[j] * f;
  }
  return QZ_STATUS_SUCCESS;
}

namespace {

// Rounds a Q31 x Q31 product back to Q31, saturating at the top.
int32_t qz_ypu_q31_round(int64_t product) {
  const int64_t rounded = product + (int64_t{1} << 30);
  if (rounded >= (int64_t{1} << 62)) return INT32_MAX;
  return static_cast<int32_t>(rounded >> 31);
}

}  // namespace

qz_status_t qz_ypu_host_softmax_fixed_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_softmax_fixed_i16_params_t *>(params);
  // An empty row has no maximum and a zero sum to divide by.
  if (p.rows > 0 && p.cols <= 0) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  int32_t *out = frame.inout<int32_t>(p.out, p.out_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  const int32_t n = p.cols;
  for (int32_t r = 0; r < p.rows; ++r) {
    const int16_t *x = in + static_cast<ptrdiff_t>(r) * n;
    int32_t *o = out + static_cast<ptrdiff_t>(r) * n;
    int32_t m = x[0];
    for (int32_t j = 1; j < n; ++j)
      if (x[j] > m) m = x[j];
    // Every exponential is at least 242, so the sum of a row is positive.
    int64_t sum = 0;
    for (int32_t j = 0; j < n; ++j) {
      const int32_t l = m - x[j];
      o[j] = qz_ypu_fixed_exp(l < QZ_YPU_FIXED_EXP_MAX_ARGUMENT ? l : QZ_YPU_FIXED_EXP_MAX_ARGUMENT);
      sum += o[j];
    }
    int64_t reciprocal = (int64_t{1} << 62) / sum;
    if (reciprocal > INT32_MAX) reciprocal = INT32_MAX;
    for (int32_t j = 0; j < n; ++j) o[j] = qz_ypu_q31_round(reciprocal * o[j]);
  }
  return QZ_STATUS_SUCCESS;
}
