// CPU entries of the GELU and SiLU activations: linear interpolation in
// tables instead of evaluating the functions, on the calling thread. The
// results approximate the exact functions (and so the host) to a few
// millionths inside the tables' ranges, and follow the clamp rules outside.
#include "ypu/cpu/activation.h"

#include <cmath>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

namespace {

// Not every C library defines M_PI.
constexpr double kPi = 3.14159265358979323846;

constexpr float kGeluLo = -4.0f, kGeluHi = 4.0f, kGeluScale = 511.875f;
constexpr float kSiluLo = -12.0f, kSiluHi = 12.0f, kSiluScale = 170.625f;

double gelu_tanh(double x) {
  return 0.5 * x * (1.0 + std::tanh(std::sqrt(2.0 / kPi) * (x + 0.044715 * x * x * x)));
}
double gelu_erf(double x) { return 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0))); }
double silu(double x) { return x / (1.0 + std::exp(-x)); }

// Sample points from double precision: forming lo + i * step in float would
// put some entries more than 1e-6 away from the function.
void fill(float *table, double lo, double hi, double (*f)(double)) {
  const int last = QZ_ACTIVATION_TABLE_SIZE - 1;
  for (int i = 0; i <= last; ++i) {
    const double x = i == last ? hi : lo + i * (hi - lo) / last;
    table[i] = static_cast<float>(f(x));
  }
}

qz_ypu_activation_tables_t build() {
  qz_ypu_activation_tables_t t;
  fill(t.gelu_tanh, kGeluLo, kGeluHi, gelu_tanh);
  fill(t.gelu_erf, kGeluLo, kGeluHi, gelu_erf);
  fill(t.silu, kSiluLo, kSiluHi, silu);
  return t;
}

void table_activation_plain(const float *table, float lo, float hi, float scale, const float *in,
                            float *out, int64_t count) {
  for (int64_t i = 0; i < count; ++i) out[i] = qz_ypu_cpu_table_activation(table, lo, hi, scale, in[i]);
}

template <float Lo, float Hi, float Scale>
qz_status_t run(void *device, const void *params, const float *table) {
  const auto &p = *static_cast<const qz_ypu_unary_params_t *>(params);
  if (!p.out || !p.in) return QZ_YPU_CPU_DECLINE;
  // The AVX2 form takes any count (its tail is the plain routine).
  const auto apply = qz_ypu_cpu_choose<decltype(&table_activation_plain)>(
      qz_ypu_cpu_device(device)->isa_flags, p.count,
      QZ_YPU_CPU_X86(qz_ypu_cpu_table_activation_avx2), 1, nullptr, 1, table_activation_plain);
  apply(table, Lo, Hi, Scale, qz_ypu_cpu_operand<const float>(p.in, p.in_offset),
        qz_ypu_cpu_operand<float>(p.out, p.out_offset), p.count);
  return QZ_STATUS_SUCCESS;
}

}  // namespace

const qz_ypu_activation_tables_t &qz_ypu_cpu_activation_tables() {
  static const qz_ypu_activation_tables_t tables = build();
  return tables;
}

float qz_ypu_cpu_table_activation(const float *table, float lo, float hi, float scale, float x) {
  if (std::isnan(x)) return x;  // no index for NaN
  if (x <= lo) return 0.0f;
  if (x >= hi) return x;
  const float t = (x - lo) * scale;
  // Just below hi, x - lo rounds up to hi - lo and t to 4095: the last
  // interval then ends at its upper entry instead of reading past the table.
  int32_t i = static_cast<int32_t>(t);
  if (i > QZ_ACTIVATION_TABLE_SIZE - 2) i = QZ_ACTIVATION_TABLE_SIZE - 2;
  return (t - static_cast<float>(i)) * (table[i + 1] - table[i]) + table[i];
}

qz_status_t qz_ypu_cpu_gelu_tanh_f32(void *device, void *, const void *params) {
  return run<kGeluLo, kGeluHi, kGeluScale>(device, params, qz_ypu_cpu_activation_tables().gelu_tanh);
}

qz_status_t qz_ypu_cpu_gelu_erf_f32(void *device, void *, const void *params) {
  return run<kGeluLo, kGeluHi, kGeluScale>(device, params, qz_ypu_cpu_activation_tables().gelu_erf);
}

qz_status_t qz_ypu_cpu_silu_f32(void *device, void *, const void *params) {
  return run<kSiluLo, kSiluHi, kSiluScale>(device, params, qz_ypu_cpu_activation_tables().silu);
}
