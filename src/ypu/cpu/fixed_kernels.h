// Task contexts and kernel variants of the CPU fixed-point operations: the
// 1-D convolutions, the int8 x int16 linear layers, the LSTM cell, the row
// quantisation and the column affine map, plus the int16 sigmoid and tanh
// array functions the LSTM kernels share.
//
// Every variant gives exactly the host implementation's integers. The
// helpers below are `static inline` on purpose: the per-instruction-set files
// include this header, and a helper with external linkage compiled there
// could be the copy the linker keeps for baseline callers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ypu/cpu/frame.h"

// ---------------------------------------------------------------------------
// Helpers safe to use from any kernel file.

// Item i of `count` over `units`, as the frame splits ranges.
static inline qz_ypu_cpu_range_t qz_ypu_cpu_fixed_range(int64_t units, int64_t count, size_t i) {
  const auto item = static_cast<int64_t>(i);
  if (units <= 0 || count <= 0 || item >= count) return {0, 0};
  return {item * units / count, (item * units + units) / count};
}

// 32-bit sums wrap, as in the host code; done unsigned so C++ never sees a
// signed overflow.
static inline int32_t qz_ypu_cpu_wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

static inline int16_t qz_ypu_cpu_sat16(int32_t v) {
  return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : v > INT16_MAX ? INT16_MAX : v);
}

// Whether `count` elements of `element_bytes` bytes from byte `offset` stay
// within what an int32-addressed buffer can hold. Shapes failing this are
// handed to the host implementation, which reports them.
static inline bool qz_ypu_cpu_fixed_fits(int32_t offset, int64_t count, int64_t element_bytes) {
  return offset >= 0 && count >= 0 && count <= (INT32_MAX - int64_t{offset}) / element_bytes;
}

// Product of non-negative sizes, or -1 once it passes INT32_MAX (so that
// qz_ypu_cpu_fixed_fits rejects it) or a size is negative.
static inline int64_t qz_ypu_cpu_fixed_elements(int64_t a, int64_t b, int64_t c = 1) {
  if (a < 0 || b < 0 || c < 0) return -1;
  if (b != 0 && a > INT32_MAX / b) return -1;
  const int64_t ab = a * b;
  if (c != 0 && ab > INT32_MAX / c) return -1;
  return ab * c;
}

// Dot product of n int16 values with n int8 weights, wrapping in 32 bits (so
// any order of additions gives the same integer). On x86-64 16 values per
// step with the 16-bit multiply-add into 32-bit lanes of baseline SSE2 (no
// pair of products can saturate it, as the weights fit in 8 bits), then the
// rest one at a time; elsewhere one at a time.
#if defined(__SSE2__)
#include <emmintrin.h>

static inline int32_t qz_ypu_cpu_dot_i8i16(const int16_t *x, const int8_t *w, int64_t n) {
  __m128i acc = _mm_setzero_si128();
  int64_t i = 0;
  for (; n - i >= 16; i += 16) {
    const __m128i wb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + i));
    // Sign extension of bytes to 16 bits: each byte in the high half, then
    // an arithmetic shift down.
    const __m128i w0 = _mm_srai_epi16(_mm_unpacklo_epi8(wb, wb), 8);
    const __m128i w1 = _mm_srai_epi16(_mm_unpackhi_epi8(wb, wb), 8);
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i + 8));
    acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(x0, w0), _mm_madd_epi16(x1, w1)));
  }
  acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4E));
  acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xB1));
  int32_t sum = _mm_cvtsi128_si32(acc);
  for (; i < n; ++i) sum = qz_ypu_cpu_wrap_add(sum, int32_t{x[i]} * w[i]);
  return sum;
}
#else
static inline int32_t qz_ypu_cpu_dot_i8i16(const int16_t *x, const int8_t *w, int64_t n) {
  int32_t sum = 0;
  for (int64_t i = 0; i < n; ++i) sum = qz_ypu_cpu_wrap_add(sum, int32_t{x[i]} * w[i]);
  return sum;
}
#endif

// ---------------------------------------------------------------------------
// int16 Q10 -> Q15 sigmoid and tanh over arrays. `in` and `out` are the same
// array or do not overlap; a count of zero or less writes nothing.

// Whether [a, a + n) and [b, b + n) are the same array or apart.
static inline bool qz_ypu_cpu_same_or_apart(const int16_t *a, const int16_t *b, int64_t n) {
  const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  const auto bytes = static_cast<uintptr_t>(n) * sizeof(int16_t);
  return x == y || x + bytes <= y || y + bytes <= x;
}

// The element sigmoid, compiled in baseline code (for the SIMD tails).
int16_t qz_ypu_cpu_fixed_sigmoid(int16_t x);

void qz_ypu_cpu_sigmoid_i16_avx2_blocks(int32_t count, const int16_t *in, int16_t *out);
void qz_ypu_cpu_sigmoid_i16_avx2(int32_t count, const int16_t *in, int16_t *out);
void qz_ypu_cpu_sigmoid_i16_sse41_blocks(int32_t count, const int16_t *in, int16_t *out);
void qz_ypu_cpu_sigmoid_i16_sse41(int32_t count, const int16_t *in, int16_t *out);
void qz_ypu_cpu_tanh_i16(int32_t count, const int16_t *in, int16_t *out);
// The ARM64 forms: NEON steps of 8 lanes.
void qz_ypu_cpu_sigmoid_i16_neon_blocks(int32_t count, const int16_t *in, int16_t *out);
void qz_ypu_cpu_sigmoid_i16_neon(int32_t count, const int16_t *in, int16_t *out);
void qz_ypu_cpu_tanh_i16_neon(int32_t count, const int16_t *in, int16_t *out);

// ---------------------------------------------------------------------------
// Ops 10, 11 and 12: int8 x int16 1-D convolutions into int32.

struct qz_ypu_cpu_dwconv1d_acc_context_t {
  int32_t *out;
  const int8_t *weights;
  const int16_t *in;
  int64_t rows, channels, taps;
  int64_t count;
  uint32_t isa_flags;
};

struct qz_ypu_cpu_conv1d_context_t {
  int32_t *out;
  const int8_t *weights;
  const int16_t *in;
  int64_t rows, out_channels, in_channels, taps;
  int64_t length;  // taps x in_channels, 0 when either is not positive
  int64_t count;
  uint32_t isa_flags;
};

struct qz_ypu_cpu_dwconv1d_transposed_context_t {
  int32_t *out;
  const int8_t *weights;
  const int16_t *in;
  int64_t rows, channels, taps, stride;
  int64_t phase_taps;  // taps / stride
  int64_t groups;      // rows + phase_taps - 1
  int64_t count;
  uint32_t isa_flags;
};

void qz_ypu_cpu_dwconv1d_acc_i8i16_task(void *context, size_t item);
void qz_ypu_cpu_dwconv1d_acc_i8i16_sse41(void *context, size_t item);
void qz_ypu_cpu_dwconv1d_acc_i8i16_avx2(void *context, size_t item);
void qz_ypu_cpu_dwconv1d_acc_i8i16_neon(void *context, size_t item);

void qz_ypu_cpu_conv1d_i8i16_task(void *context, size_t item);
void qz_ypu_cpu_conv1d_i8i16_task_1tap(void *context, size_t item);
void qz_ypu_cpu_conv1d_i8i16_sse41(void *context, size_t item);
void qz_ypu_cpu_conv1d_i8i16_avx2(void *context, size_t item);
void qz_ypu_cpu_conv1d_i8i16_neon(void *context, size_t item);

void qz_ypu_cpu_dwconv1d_transposed_i8i16_task(void *context, size_t item);
void qz_ypu_cpu_dwconv1d_transposed_i8i16_sse41(void *context, size_t item);
void qz_ypu_cpu_dwconv1d_transposed_i8i16_avx2(void *context, size_t item);
void qz_ypu_cpu_dwconv1d_transposed_i8i16_neon(void *context, size_t item);

// ---------------------------------------------------------------------------
// Ops 19 and 20: int8 x int16 linear layers.

struct qz_ypu_cpu_linear_context_t {
  int16_t *out;
  const int16_t *in;
  const int8_t *weights;
  const int8_t *bias;
  int64_t rows, out_features, in_features;  // in_features >= 0
  int64_t count;
};

// v = (bias x 1024 + dot + 64) >> 7, the sums wrapping in 32 bits.
static inline int32_t qz_ypu_cpu_linear_value(int8_t bias, int32_t dot) {
  return qz_ypu_cpu_wrap_add(qz_ypu_cpu_wrap_add(int32_t{bias} * 1024, dot), 64) >> 7;
}

// Op 19 adds v to the old output before saturating; op 20 stores sat16(v).
template <bool kAccumulate>
static inline void qz_ypu_cpu_linear_store(int16_t *out, int32_t v) {
  *out = qz_ypu_cpu_sat16(kAccumulate ? *out + v : v);  // |v| < 2^24: no overflow
}

#define QZ_YPU_CPU_LINEAR_VARIANTS(op)                         \
  void qz_ypu_cpu_##op##_task(void *context, size_t item);     \
  void qz_ypu_cpu_##op##_sse41(void *context, size_t item);    \
  void qz_ypu_cpu_##op##_sse41_any(void *context, size_t item); \
  void qz_ypu_cpu_##op##_avx2(void *context, size_t item);     \
  void qz_ypu_cpu_##op##_avx2_any(void *context, size_t item); \
  void qz_ypu_cpu_##op##_sse41_vec2(void *context, size_t item); \
  void qz_ypu_cpu_##op##_sse41_vec(void *context, size_t item); \
  void qz_ypu_cpu_##op##_avx2_vec2(void *context, size_t item); \
  void qz_ypu_cpu_##op##_avx2_vec(void *context, size_t item);  \
  void qz_ypu_cpu_##op##_neon(void *context, size_t item);      \
  void qz_ypu_cpu_##op##_neon_vec(void *context, size_t item);
QZ_YPU_CPU_LINEAR_VARIANTS(linear_acc_i8i16)
QZ_YPU_CPU_LINEAR_VARIANTS(linear_i8i16)
#undef QZ_YPU_CPU_LINEAR_VARIANTS

// ---------------------------------------------------------------------------
// Op 39: LSTM cell.

struct qz_ypu_cpu_lstm_context_t {
  int16_t *out;
  int16_t *state;
  int16_t *gates;  // input gate, candidate, output gate: `hidden` values each
  int64_t hidden;
  int64_t count;
  int64_t chunk;
  uint32_t isa_flags;
};

void qz_ypu_cpu_lstm_cell_i16_task(void *context, size_t item);
void qz_ypu_cpu_lstm_cell_i16_avx2(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                   int64_t end);
void qz_ypu_cpu_lstm_cell_i16_avx2_any(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                       int64_t end);
void qz_ypu_cpu_lstm_cell_i16_sse41(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                    int64_t end);
void qz_ypu_cpu_lstm_cell_i16_sse41_any(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                        int64_t end);
// Any chunk length.
void qz_ypu_cpu_lstm_cell_i16_neon(const qz_ypu_cpu_lstm_context_t *context, int64_t begin,
                                   int64_t end);

// The state update of one unit: forget gate 32767 - input gate, both terms
// rounded half up, the sum saturated. Gates lie in [11, 32755] and tanh in
// [-32746, 32742], so the 32-bit products are exact.
static inline int16_t qz_ypu_cpu_lstm_state(int16_t state, int16_t gate, int16_t candidate) {
  const int32_t kept = (int32_t{state} * (32767 - gate) + 16384) >> 15;
  const int32_t added = (int32_t{gate} * candidate + 524288) >> 20;
  return qz_ypu_cpu_sat16(kept + added);
}

// The output of one unit: a Q30 product back to Q10, always within int16.
static inline int16_t qz_ypu_cpu_lstm_out(int16_t tanh_state, int16_t gate) {
  return static_cast<int16_t>((int32_t{tanh_state} * gate + 524288) >> 20);
}

// ---------------------------------------------------------------------------
// Ops 55 and 81: row quantisation and column affine map.

struct qz_ypu_cpu_quantize_context_t {
  int16_t *out;
  float *factors;
  const float *in;
  int64_t rows, cols;  // cols > 0
  int64_t count;
};

struct qz_ypu_cpu_affine_context_t {
  int16_t *out;
  const int16_t *in;
  const int16_t *offsets;
  const int16_t *scales;
  int64_t cols, rows;
  int64_t count;
};

void qz_ypu_cpu_quantize_rows_i16_task(void *context, size_t item);
void qz_ypu_cpu_quantize_rows_i16_sse41(void *context, size_t item);
void qz_ypu_cpu_quantize_rows_i16_avx2(void *context, size_t item);
void qz_ypu_cpu_quantize_rows_i16_neon(void *context, size_t item);

void qz_ypu_cpu_affine_columns_i16_task(void *context, size_t item);
void qz_ypu_cpu_affine_columns_i16_sse41(void *context, size_t item);
void qz_ypu_cpu_affine_columns_i16_avx2(void *context, size_t item);
void qz_ypu_cpu_affine_columns_i16_neon(void *context, size_t item);

// q(y) of the row quantiser: int16 saturation, truncation in between, and 0
// for NaN (a row holding an infinity, or whose magnitude is too small for
// 31 / m, produces NaN products).
static inline int16_t qz_ypu_cpu_quantize_value(float y) {
  if (y != y) return 0;
  if (y >= 32767.0f) return INT16_MAX;
  if (y <= -32768.0f) return INT16_MIN;
  return static_cast<int16_t>(y);
}

static inline int16_t qz_ypu_cpu_affine_value(int16_t in, int16_t offset, int16_t scale) {
  // The difference spans [-65535, 65535] and the product stays below 2^31.
  return qz_ypu_cpu_sat16(((int32_t{in} - offset) * scale) >> 10);
}
