// Host implementations of the element-wise arithmetic, conversion and
// reduction operations.
//
// Every output is mapped with a fetch, even where the operation writes each
// of its elements: an output usually covers only part of its buffer (an
// offset, a shorter count), and a copy-based backend writes the whole mapped
// copy back, so unfetched bytes outside the operand would be replaced by
// whatever the host copy held.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

constexpr float kQ10 = 1.0f / 1024.0f;  // one unit of a Q10 fixed-point value

int16_t saturate_i16(int32_t x) {
  return static_cast<int16_t>(x < -32768 ? -32768 : x > 32767 ? 32767 : x);
}

// out[i] = f(in[i]) over the unary layout.
template <class Out, class In, class F>
qz_status_t unary(qz_ypu_context_t *context, const void *params, F f) {
  const auto &p = *static_cast<const qz_ypu_unary_params_t *>(params);
  qz_ypu_host_frame frame(context);
  Out *out = frame.inout<Out>(p.out, p.out_offset);
  const In *in = frame.in<In>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t i = 0; i < p.count; ++i) out[i] = f(in[i]);
  return QZ_STATUS_SUCCESS;
}

// out[i] = f(a[i], b[i]) over the two-input layout.
template <class T, class F>
qz_status_t two_input(qz_ypu_context_t *context, const void *params, F f) {
  const auto &p = *static_cast<const qz_ypu_two_input_params_t *>(params);
  qz_ypu_host_frame frame(context);
  T *out = frame.inout<T>(p.out, p.out_offset);
  const T *a = frame.in<T>(p.a, p.a_offset);
  const T *b = frame.in<T>(p.b, p.b_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t i = 0; i < p.count; ++i) out[i] = f(a[i], b[i]);
  return QZ_STATUS_SUCCESS;
}

// out[i] = f(in[i], scalar) over the scalar layout.
template <class F>
qz_status_t scalar(qz_ypu_context_t *context, const void *params, F f) {
  const auto &p = *static_cast<const qz_ypu_scalar_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t i = 0; i < p.count; ++i) out[i] = f(in[i], p.scalar);
  return QZ_STATUS_SUCCESS;
}

enum class axis { row, col };

// out[i][j] = f(a[i][j], v[j] or v[i], out[i][j]) over the broadcast layout.
template <axis along, class F>
qz_status_t broadcast(qz_ypu_context_t *context, const void *params, F f) {
  const auto &p = *static_cast<const qz_ypu_broadcast_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *a = frame.in<float>(p.a, p.a_offset);
  const float *v = frame.in<float>(p.v, p.v_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t i = 0; i < p.rows; ++i) {
    const ptrdiff_t row = i * ptrdiff_t{p.cols};
    for (int32_t j = 0; j < p.cols; ++j)
      out[row + j] = f(a[row + j], along == axis::row ? v[j] : v[i], out[row + j]);
  }
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_ypu_host_add_f32(qz_ypu_context_t *context, const void *params) {
  return two_input<float>(context, params, [](float a, float b) { return a + b; });
}

qz_status_t qz_ypu_host_add_sat_i16(qz_ypu_context_t *context, const void *params) {
  return two_input<int16_t>(context, params,
                            [](int16_t a, int16_t b) { return saturate_i16(int32_t{a} + b); });
}

qz_status_t qz_ypu_host_sub_f32(qz_ypu_context_t *context, const void *params) {
  return two_input<float>(context, params, [](float a, float b) { return a - b; });
}

qz_status_t qz_ypu_host_mul_f32(qz_ypu_context_t *context, const void *params) {
  return two_input<float>(context, params, [](float a, float b) { return a * b; });
}

qz_status_t qz_ypu_host_div_f32(qz_ypu_context_t *context, const void *params) {
  return two_input<float>(context, params, [](float a, float b) { return a / b; });
}

qz_status_t qz_ypu_host_add_row_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::row>(context, params, [](float a, float v, float) { return a + v; });
}

qz_status_t qz_ypu_host_add_col_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::col>(context, params, [](float a, float v, float) { return a + v; });
}

qz_status_t qz_ypu_host_sub_row_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::row>(context, params, [](float a, float v, float) { return a - v; });
}

qz_status_t qz_ypu_host_sub_col_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::col>(context, params, [](float a, float v, float) { return a - v; });
}

qz_status_t qz_ypu_host_mul_row_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::row>(context, params, [](float a, float v, float) { return a * v; });
}

qz_status_t qz_ypu_host_mul_col_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::col>(context, params, [](float a, float v, float) { return a * v; });
}

qz_status_t qz_ypu_host_div_row_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::row>(context, params, [](float a, float v, float) { return a / v; });
}

// The product is rounded before the add (no fused multiply-add).
qz_status_t qz_ypu_host_fma_row_f32(qz_ypu_context_t *context, const void *params) {
  return broadcast<axis::row>(context, params,
                              [](float a, float v, float out) { return v * a + out; });
}

qz_status_t qz_ypu_host_add_scalar_f32(qz_ypu_context_t *context, const void *params) {
  return scalar(context, params, [](float x, float s) { return x + s; });
}

qz_status_t qz_ypu_host_mul_scalar_f32(qz_ypu_context_t *context, const void *params) {
  return scalar(context, params, [](float x, float s) { return x * s; });
}

qz_status_t qz_ypu_host_rsub_scalar_f32(qz_ypu_context_t *context, const void *params) {
  return scalar(context, params, [](float x, float s) { return s - x; });
}

qz_status_t qz_ypu_host_scalar_div_f32(qz_ypu_context_t *context, const void *params) {
  return scalar(context, params, [](float x, float s) { return s / x; });
}

qz_status_t qz_ypu_host_convert_i32_f32(qz_ypu_context_t *context, const void *params) {
  return unary<float, int32_t>(context, params, [](int32_t x) { return static_cast<float>(x); });
}

// Exact: every int16 times 2^-10 is a float.
qz_status_t qz_ypu_host_convert_i16_f32(qz_ypu_context_t *context, const void *params) {
  return unary<float, int16_t>(context, params,
                               [](int16_t x) { return static_cast<float>(x) * kQ10; });
}

qz_status_t qz_ypu_host_exp_f32(qz_ypu_context_t *context, const void *params) {
  return unary<float, float>(context, params, [](float x) { return expf(x); });
}

qz_status_t qz_ypu_host_log_f32(qz_ypu_context_t *context, const void *params) {
  return unary<float, float>(context, params, [](float x) { return logf(x); });
}

// Written as a comparison so that NaN and -0 both give +0.
qz_status_t qz_ypu_host_relu_f32(qz_ypu_context_t *context, const void *params) {
  return unary<float, float>(context, params, [](float x) { return x > 0.0f ? x : 0.0f; });
}

qz_status_t qz_ypu_host_relu_i16(qz_ypu_context_t *context, const void *params) {
  return unary<int16_t, int16_t>(context, params, [](int16_t x) { return x > 0 ? x : int16_t{0}; });
}

qz_status_t qz_ypu_host_reverse_rows(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_reverse_rows_params_t *>(params);
  qz_ypu_host_frame frame(context);
  uint32_t *data = frame.inout<uint32_t>(p.data, p.offset);
  if (!frame.ok()) return frame.status();
  for (int32_t r = 0; r < p.rows; ++r) {
    uint32_t *row = data + r * ptrdiff_t{p.row_length};
    for (int32_t j = 0; j < p.row_length / 2; ++j) {
      const uint32_t t = row[j];
      row[j] = row[p.row_length - 1 - j];
      row[p.row_length - 1 - j] = t;
    }
  }
  return QZ_STATUS_SUCCESS;
}

// Rows are added in ascending order; the float result depends on it.
qz_status_t qz_ypu_host_mean_rows_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_mean_rows_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t j = 0; j < p.cols; ++j) out[j] = 0.0f;
  for (int32_t i = 0; i < p.rows; ++i) {
    const float *row = in + i * ptrdiff_t{p.cols};
    for (int32_t j = 0; j < p.cols; ++j) out[j] += row[j];
  }
  // rows = 0 gives 0 / 0, a NaN, as a mean of nothing should.
  const auto rows = static_cast<float>(p.rows);
  for (int32_t j = 0; j < p.cols; ++j) out[j] /= rows;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_scale_bias_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_scale_bias_i16_params_t *>(params);
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, p.out_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  const int32_t rounding = p.truncate == 0 ? 512 : 0;
  // |in x scale| <= 2^30, so the sum fits in 32 bits.
  for (int32_t i = 0; i < p.count; ++i)
    out[i] = saturate_i16((int32_t{in[i]} * p.scale + rounding) >> 10);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_sum_rows_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_sum_rows_i16_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t j = 0; j < p.cols; ++j) {
    // A 32-bit sum that wraps past 65537 rows of extremes; unsigned
    // arithmetic makes the wrap defined.
    uint32_t sum = 0;
    for (int32_t i = 0; i < p.rows; ++i)
      sum += static_cast<uint32_t>(in[i * ptrdiff_t{p.cols} + j]);
    out[j] = static_cast<float>(static_cast<int32_t>(sum)) * kQ10;
  }
  return QZ_STATUS_SUCCESS;
}
