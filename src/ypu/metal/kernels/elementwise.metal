// Element-wise arithmetic and conversions: one thread per element over an
// exact grid, so no kernel here tests its position (`length` is bound but
// not read).

// output[x] = expr over a = lhs[x] and b = rhs[x].
#define QZ_METAL_BINARY(name, T, expr)                                                        \
  kernel void name(constant int& length QZ_BYTES(0), device T* output QZ_BUFFER(1),           \
                   device const T* lhs QZ_BUFFER(2), device const T* rhs QZ_BUFFER(3),        \
                   uint x QZ_THREAD_POSITION_IN_GRID) {                                       \
    const T a = lhs[x];                                                                       \
    const T b = rhs[x];                                                                       \
    output[x] = expr;                                                                         \
  }                                                                                           \
  QZ_REGISTER(name)

QZ_METAL_BINARY(taabe69, float, a + b)   // add_f32
QZ_METAL_BINARY(taabe135, float, a / b)  // div_f32
QZ_METAL_BINARY(taabe307, float, a * b)  // mul_f32
QZ_METAL_BINARY(taabe98, float, a - b)   // sub_f32
// add_sat_i16: the sum in int32, saturated.
QZ_METAL_BINARY(taabe15, short, short(clamp(int(a) + int(b), -32768, 32767)))

#undef QZ_METAL_BINARY

// output[x] = expr over v = input[x] and the scalar s.
#define QZ_METAL_SCALAR(name, expr)                                                           \
  kernel void name(constant int& length QZ_BYTES(0), constant float& scalar QZ_BYTES(1),      \
                   device float* output QZ_BUFFER(2), device const float* input QZ_BUFFER(3), \
                   uint x QZ_THREAD_POSITION_IN_GRID) {                                       \
    const float v = input[x];                                                                 \
    const float s = scalar;                                                                   \
    output[x] = expr;                                                                         \
  }                                                                                           \
  QZ_REGISTER(name)

QZ_METAL_SCALAR(taabe7, v + s)    // add_scalar_f32
QZ_METAL_SCALAR(taabe75, s / v)   // scalar_div_f32
QZ_METAL_SCALAR(taabe143, v * s)  // mul_scalar_f32
QZ_METAL_SCALAR(taabe213, s - v)  // rsub_scalar_f32

#undef QZ_METAL_SCALAR

// e^v. Past v = 88.72283 (the last float whose exponential is finite) it
// is an infinity, made from its bits: fast math leaves exp's overflow
// undefined.
static inline float elementwise_exp(float v) {
  return v > 88.72283f ? qz_metal_infinity() : fast::exp(v);
}

// log v, with log 0 = -inf and NaN for a negative v made from their bits,
// as the host's logf gives them.
static inline float elementwise_log(float v) {
  if (v > 0.0f) return fast::log(v);
  return v == 0.0f ? qz_metal_minus_infinity() : qz_metal_default_nan();
}

// output[x] = expr over v = input[x].
#define QZ_METAL_UNARY(name, In, Out, expr)                                                  \
  kernel void name(constant int& length QZ_BYTES(0), device Out* output QZ_BUFFER(1),        \
                   device const In* input QZ_BUFFER(2), uint x QZ_THREAD_POSITION_IN_GRID) { \
    const In v = input[x];                                                                   \
    output[x] = expr;                                                                        \
  }                                                                                          \
  QZ_REGISTER(name)

QZ_METAL_UNARY(taabe133, int, float, float(v))                 // convert_i32_f32
QZ_METAL_UNARY(taabe65, short, float, float(v) * 0.0009765625f)  // convert_i16_f32, exact
QZ_METAL_UNARY(taabe238, float, float, elementwise_exp(v))    // exp_f32
QZ_METAL_UNARY(taabe187, float, float, elementwise_log(v))    // log_f32
// relu_f32; the program is built with fast math, so this is the fast max.
QZ_METAL_UNARY(taabe229, float, float, max(0.0f, v))
QZ_METAL_UNARY(taabe138, short, short, max(short(0), v))      // relu_i16

#undef QZ_METAL_UNARY

// scale_bias_i16: (in * scale + rounding) >> 10 saturated, in int32; the
// rounding factor is 512 (half up) or 0 (floor). `scalar` is a 4-byte
// binding of which the int16 in its first two bytes is the scale.
kernel void taabe182(constant int& length QZ_BYTES(0), constant int& rounding_factor QZ_BYTES(1),
                     constant short& scalar QZ_BYTES(2), device short* output QZ_BUFFER(3),
                     device const short* input QZ_BUFFER(4), uint x QZ_THREAD_POSITION_IN_GRID) {
  const int scaled = (int(input[x]) * int(scalar) + rounding_factor) >> 10;
  output[x] = short(clamp(scaled, -32768, 32767));
}
QZ_REGISTER(taabe182)

// affine_columns_i16: ((in - mean[column]) * std_reciprocal[column]) >> 10
// saturated. The difference spans [-65535, 65535] and the product stays
// below 2^31, so int32 is exact. Threads outside the matrix do nothing.
kernel void taabe127(constant int& num_frames QZ_BYTES(0), constant int& feature_length QZ_BYTES(1),
                     device short* output QZ_BUFFER(2), device const short* input QZ_BUFFER(3),
                     device const short* mean QZ_BUFFER(4),
                     device const short* std_reciprocal QZ_BUFFER(5),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int x = int(gid.x);
  const int y = int(gid.y);
  if (x >= feature_length || y >= num_frames) return;
  const int e = y * feature_length + x;
  const int scaled = ((int(input[e]) - int(mean[x])) * int(std_reciprocal[x])) >> 10;
  output[e] = short(clamp(scaled, -32768, 32767));
}
QZ_REGISTER(taabe127)
