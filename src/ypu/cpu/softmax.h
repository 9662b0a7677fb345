// Row softmax on the CPU: task contexts and the per-instruction-set tasks.
// Every task owns whole rows: item i covers the rows
// [i*rows/items, (i+1)*rows/items).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#elif defined(__aarch64__) || defined(_M_ARM64)
#include <arm_neon.h>
#endif

struct qz_ypu_cpu_softmax_f32_context_t {
  float *out;
  const float *in;
  int32_t rows;
  int32_t cols;
  int32_t items;
};

struct qz_ypu_cpu_softmax_fixed_context_t {
  int32_t *out;      // Q31 probabilities
  const int16_t *in;  // Q10 scores
  int32_t rows;
  int32_t cols;
  int32_t items;
};

// Float: the host's algorithm (expf) in the generic task; a polynomial
// exponential in the vector tasks (cols a multiple of 8 or 4).
void qz_ypu_cpu_softmax_f32_generic(void *context, size_t i);
void qz_ypu_cpu_softmax_f32_sse41(void *context, size_t i);
void qz_ypu_cpu_softmax_f32_avx2(void *context, size_t i);
void qz_ypu_cpu_softmax_f32_neon(void *context, size_t i);

// Fixed point: every task gives the host's integers (cols a multiple of 16
// or 8 for the vector tasks, at least 1 for all).
void qz_ypu_cpu_softmax_fixed_i16_generic(void *context, size_t i);
void qz_ypu_cpu_softmax_fixed_i16_sse41(void *context, size_t i);
void qz_ypu_cpu_softmax_fixed_i16_avx2(void *context, size_t i);
void qz_ypu_cpu_softmax_fixed_i16_neon(void *context, size_t i);

#if defined(__x86_64__) || defined(_M_X64)
// e^x for 8 lanes, within a few units in the last place for results above
// the smallest normal float; 0 for very negative x (and -infinity).
__attribute__((target("avx2,fma"))) __m256 qz_ypu_cpu_exp8_avx2(__m256 x);
// The same steps with separate multiplications and additions, 4 lanes.
__attribute__((target("sse4.1"))) __m128 qz_ypu_cpu_exp4_sse41(__m128 x);
#elif defined(__aarch64__) || defined(_M_ARM64)
// The SSE4.1 steps and constants on 4 NEON lanes.
float32x4_t qz_ypu_cpu_exp4_neon(float32x4_t x);
#endif

// Internal linkage: the instruction-set files include these too.
namespace {

// The row normalisation shared by every fixed-point task: Q31 product of the
// reciprocal and an exponential, rounded, saturating at the top.
inline int32_t qz_ypu_cpu_q31_round(int64_t product) {
  const int64_t rounded = product + (int64_t{1} << 30);
  if (rounded >= (int64_t{1} << 62)) return INT32_MAX;
  return static_cast<int32_t>(rounded >> 31);
}

// 2^62 / sum, capped at the largest int32 (sum > 0).
inline int64_t qz_ypu_cpu_q31_reciprocal(int64_t sum) {
  const int64_t r = (int64_t{1} << 62) / sum;
  return r > INT32_MAX ? INT32_MAX : r;
}

}  // namespace

// e^(-(m - x[j])/1024) in Q31 into o[j] for j < n (the host's table
// exponential); returns the row's sum. Compiled for the baseline set.
int64_t qz_ypu_cpu_fixed_exp_row(const int16_t *x, int32_t m, int64_t n, int32_t *o);
