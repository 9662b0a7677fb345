// Activations: GELU in three forms, SiLU, and the sigmoid and tanh, float
// (computed directly) and int16 fixed point (through the sigmoid table).
// One thread per element over an exact grid.

// Sigmoid sampled every 1/16 over [-8, 8) in Q15, indexed by the sample
// number as an 8-bit two's-complement value (the negative half follows the
// positive one); entry 256 repeats sigmoid(0) as the upper neighbour of
// entry 255. The GPU program cannot include the library's table, so this is
// a copy; tests/metal/activation_test.cc checks it against the library's
// table value for value.
constant short QZ_SIGMOID_TABLE[257] = {
    16384, 16895, 17406, 17915, 18421, 18923, 19420, 19911, 20396, 20874, 21343, 21804,
    22255, 22696, 23126, 23546, 23955, 24351, 24736, 25109, 25470, 25818, 26154, 26478,
    26789, 27089, 27376, 27652, 27916, 28169, 28410, 28641, 28861, 29071, 29271, 29462,
    29643, 29815, 29979, 30134, 30281, 30421, 30554, 30679, 30798, 30911, 31017, 31118,
    31213, 31303, 31388, 31468, 31544, 31615, 31683, 31747, 31807, 31863, 31916, 31967,
    32014, 32059, 32101, 32140, 32178, 32213, 32246, 32277, 32306, 32334, 32360, 32384,
    32407, 32429, 32449, 32468, 32486, 32503, 32519, 32534, 32548, 32561, 32573, 32585,
    32596, 32606, 32616, 32625, 32634, 32642, 32649, 32656, 32663, 32669, 32675, 32681,
    32686, 32691, 32695, 32700, 32704, 32708, 32711, 32715, 32718, 32721, 32724, 32726,
    32729, 32731, 32733, 32735, 32737, 32739, 32741, 32742, 32744, 32745, 32746, 32748,
    32749, 32750, 32751, 32752, 32753, 32754, 32755, 32755,    11,    12,    12,    13,
       14,    15,    16,    17,    18,    19,    21,    22,    23,    25,    26,    28,
       30,    32,    34,    36,    38,    41,    43,    46,    49,    52,    56,    59,
       63,    67,    72,    76,    81,    86,    92,    98,   104,   111,   118,   125,
      133,   142,   151,   161,   171,   182,   194,   206,   219,   233,   248,   264,
      281,   299,   318,   338,   360,   383,   407,   433,   461,   490,   521,   554,
      589,   627,   666,   708,   753,   800,   851,   904,   960,  1020,  1084,  1152,
     1223,  1299,  1379,  1464,  1554,  1649,  1750,  1856,  1969,  2088,  2213,  2346,
     2486,  2633,  2788,  2952,  3124,  3305,  3496,  3696,  3906,  4126,  4357,  4598,
     4851,  5115,  5391,  5678,  5978,  6289,  6613,  6949,  7297,  7658,  8031,  8416,
     8812,  9221,  9641, 10071, 10512, 10963, 11424, 11893, 12371, 12856, 13347, 13844,
    14346, 14852, 15361, 15872, 16384
};

// Sigmoid of an int16 Q10 value, Q15 out (16384 at 0): linear interpolation
// between the table's samples, 64 steps apart. Clamping the top at 127 * 64
// keeps positive inputs off the negative half at entry 128.
static inline short qz_metal_sigmoid_q15(short v) {
  const int c = clamp(int(v), -8192, 8128);
  const int u = c & 0x3FFF;  // negative inputs land on entries 128..256
  const int f = u & 63;
  const int lo = QZ_SIGMOID_TABLE[u >> 6];
  const int hi = QZ_SIGMOID_TABLE[(u + 63) >> 6];
  return short(((64 - f) * lo + f * hi) >> 6);
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
QZ_METAL_ACTIVATION(taabe119, float, float, v / (exp(-1.702f * v) + 1.0f))
// sigmoid_table_f32: the float sigmoid itself, not the table's.
QZ_METAL_ACTIVATION(taabe325, float, float, 1.0f / (fast::pow(2.7182817f, -v) + 1.0f))
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
  y[i] = v / (exp(-v) + 1.0f);
}
QZ_REGISTER(taabe47)
