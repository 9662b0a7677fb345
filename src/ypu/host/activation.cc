// Host implementations of the element-wise activations: GELU in three forms,
// SiLU, and the sigmoid and tanh that go through the int16 fixed-point table.
#include <cmath>
#include <cstddef>

#include "ypu/table_exp.h"
#include "ypu/fixed_point.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

// Runs out[i] = fn(in[i]) over a unary record; out may be in itself.
template <class In, class Out, class Fn>
qz_status_t qz_ypu_host_map_unary(qz_ypu_context_t *context, const void *params, Fn fn) {
  const auto &p = *static_cast<const qz_ypu_unary_params_t *>(params);
  qz_ypu_host_frame frame(context);
  Out *out = frame.inout<Out>(p.out, p.out_offset);
  const In *in = frame.in<In>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t i = 0; i < p.count; ++i) out[i] = fn(in[i]);
  return QZ_STATUS_SUCCESS;
}

// x * sigmoid(k x), written so that no intermediate overflows: for negative
// arguments the exponential of the argument itself is used.
float qz_ypu_scaled_sigmoid(float x, float v) {
  if (v >= 0) return x / (expf(-v) + 1.0f);
  const float e = expf(v);
  return (e / (1.0f + e)) * x;
}

// The table activations read the fixed-point function at x * 1024 truncated
// toward zero; outside the int16 range they give the values the table yields
// at its clamps. A NaN has no integer to truncate to and stays NaN.
template <class Fn>
float qz_ypu_table_activation(float x, float high, float low, Fn fixed) {
  const float u = x * 1024.0f;
  if (std::isnan(u)) return u;
  if (u >= 32767.0f) return high;
  if (u <= -32768.0f) return low;
  return static_cast<float>(fixed(static_cast<int16_t>(u))) / 32767.0f;
}

}  // namespace

qz_status_t qz_ypu_host_gelu_tanh_f32(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<float, float>(context, params, [](float x) {
    // The scaling by sqrt(2/pi) is rounded once from double precision.
    const float u = static_cast<float>((x * x * x * 0.044715f + x) * 0.7978845608028654);
    const float e = qz_ypu_build_expf(2.0f * u);
    return ((1.0f - 2.0f * (1.0f / (e + 1.0f))) + 1.0f) * (0.5f * x);
  });
}

qz_status_t qz_ypu_host_gelu_sigmoid_f32(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<float, float>(
      context, params, [](float x) { return qz_ypu_scaled_sigmoid(x, 1.702f * x); });
}

qz_status_t qz_ypu_host_gelu_erf_f32(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<float, float>(context, params, [](float x) {
    return 0.5f * x * (qz_ypu_build_erff(0.70710677f * x) + 1.0f);
  });
}

qz_status_t qz_ypu_host_silu_f32(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<float, float>(
      context, params, [](float x) { return qz_ypu_scaled_sigmoid(x, x); });
}

qz_status_t qz_ypu_host_sigmoid_table_f32(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<float, float>(context, params, [](float x) {
    return qz_ypu_table_activation(x, 0.9996338f, 0.0003357036f, qz_ypu_fixed_sigmoid);
  });
}

qz_status_t qz_ypu_host_tanh_table_f32(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<float, float>(context, params, [](float x) {
    return qz_ypu_table_activation(x, 0.99923706f, -0.99935913f, qz_ypu_fixed_tanh);
  });
}

qz_status_t qz_ypu_host_sigmoid_i16(qz_ypu_context_t *context, const void *params) {
  return qz_ypu_host_map_unary<int16_t, int16_t>(context, params, qz_ypu_fixed_sigmoid);
}

qz_status_t qz_ypu_host_sigmoid_q10_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_sigmoid_q10_i16_params_t *>(params);
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, p.out_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  // Q15 sigmoid, then Q15 to Q10 (the values are positive, so the shift is
  // a plain division by 32 rounded down).
  for (int32_t i = 0; i < p.count; ++i) out[i] = qz_ypu_fixed_sigmoid(in[i]);
  for (int32_t i = 0; i < p.count; ++i) out[i] = static_cast<int16_t>(out[i] >> 5);
  return QZ_STATUS_SUCCESS;
}
