// Activations: GELU in three forms, SiLU, and the sigmoid and tanh, float
// (computed directly) and int16 fixed point (through the sigmoid table of
// fixed_point_tables.metal). One thread per element over an exact grid.

// v / (e^t + 1), the logistic forms of GELU and SiLU. Where e^t overflows
// (t past 88.72283, the last float whose exponential is finite) the
// quotient is 0, chosen here: fast math leaves exp's overflow undefined.
static inline float activation_logistic(float v, float t) {
  return t > 88.72283f ? 0.0f : v / (exp(t) + 1.0f);
}

// out[x] = expr over `v` = in[x]; `length` is bound but the grid is exact.
#define QZ_METAL_ACTIVATION(name, In, Out, expr)                                             \
  kernel void name(constant int& length QZ_BYTES(0), device Out* output QZ_BUFFER(1),        \
                   device const In* input QZ_BUFFER(2), uint x QZ_THREAD_POSITION_IN_GRID) { \
    const In v = input[x];                                                                   \
    output[x] = expr;                                                                        \
  }                                                                                          \
  QZ_REGISTER(name)

// gelu_tanh_f32
QZ_METAL_ACTIVATION(taabe17, float, float,
                    (0.5f * v) * (tanh(0.7978846f * ((v * v * 0.044715f) * v + v)) + 1.0f))
// gelu_sigmoid_f32
QZ_METAL_ACTIVATION(taabe119, float, float, activation_logistic(v, -1.702f * v))
// sigmoid_table_f32: the float sigmoid itself, not the table's. Below
// v = -87.5 the sigmoid is under the smallest normal float, which the GPU
// flushes to 0, and a little further the power would overflow.
QZ_METAL_ACTIVATION(taabe325, float, float,
                    v < -87.5f ? 0.0f : 1.0f / (fast::pow(2.7182817f, -v) + 1.0f))
// tanh_table_f32: the float tanh itself, not the table's.
QZ_METAL_ACTIVATION(taabe190, float, float, fast::tanh(v))
// sigmoid_i16: Q10 in, Q15 out.
QZ_METAL_ACTIVATION(taabe29, short, short, qz_metal_sigmoid_q15(v))
// sigmoid_q10_i16: Q10 in, Q10 out (the sigmoid is positive, so the shift
// divides by 32 rounding down).
QZ_METAL_ACTIVATION(taabe231, short, short, short(qz_metal_sigmoid_q15(v) >> 5))

#undef QZ_METAL_ACTIVATION

// gelu_erf_f32, with the five-term erf approximation of Abramowitz and
// Stegun (7.1.26, |error| <= 1.5e-7).
kernel void taabe342(constant int& length QZ_BYTES(0), device float* output QZ_BUFFER(1),
                     device const float* input QZ_BUFFER(2), uint x QZ_THREAD_POSITION_IN_GRID) {
  const float v = input[x];
  const float z = v * 0.70710677f;
  const float s = float(z < 0.0f ? -1 : 1);
  const float a = fast::fabs(z);
  const float t = 1.0f / (a * 0.3275911f + 1.0f);
  const float p =
      (((1.0614054f * t - 1.4531521f) * t + 1.4214138f) * t - 0.28449672f) * t + 0.2548296f;
  const float e = 1.0f - (t * exp(-a * a)) * p;
  output[x] = (0.5f * v) * (1.0f + s * e);
}
QZ_REGISTER(taabe342)

// silu_f32: the one element-wise kernel that tests its position, so its
// count is read and its operands come in the other order.
kernel void taabe47(constant int& n QZ_BYTES(0), device const float* x QZ_BUFFER(1),
                    device float* y QZ_BUFFER(2), uint i QZ_THREAD_POSITION_IN_GRID) {
  if (int(i) >= n) return;
  const float v = x[i];
  y[i] = activation_logistic(v, -v);
}
QZ_REGISTER(taabe47)
