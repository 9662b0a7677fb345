// NEON linear layer kernels: int8 weights widened to int16 in registers,
// 8 values per step through widening multiply-accumulates into 32-bit lanes,
// the rest one value at a time. The 32-bit sums wrap, so the order of the
// additions does not change the result.
#include <arm_neon.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

int32x4_t mla8(int32x4_t acc, int16x8_t x, const int8_t *w) {
  const int16x8_t b = vmovl_s8(vld1_s8(w));
  acc = vmlal_s16(acc, vget_low_s16(x), vget_low_s16(b));
  return vmlal_high_s16(acc, x, b);
}

int32_t dot(const int16_t *x, const int8_t *w, int64_t k) {
  int32x4_t acc = vdupq_n_s32(0);
  int64_t i = 0;
  for (; k - i >= 8; i += 8) acc = mla8(acc, vld1q_s16(x + i), w + i);
  int32_t sum = vaddvq_s32(acc);
  for (; i < k; ++i) sum = qz_ypu_cpu_wrap_add(sum, int32_t{x[i]} * w[i]);
  return sum;
}

// Four features over one input row: each input load feeds all four.
void dot4(const int16_t *x, const int8_t *w, int64_t k, int32_t *s) {
  int32x4_t a[4] = {vdupq_n_s32(0), vdupq_n_s32(0), vdupq_n_s32(0), vdupq_n_s32(0)};
  int64_t i = 0;
  for (; k - i >= 8; i += 8) {
    const int16x8_t xv = vld1q_s16(x + i);
    for (int f = 0; f < 4; ++f) a[f] = mla8(a[f], xv, w + f * k + i);
  }
  for (int f = 0; f < 4; ++f) {
    int32_t sum = vaddvq_s32(a[f]);
    for (int64_t j = i; j < k; ++j) sum = qz_ypu_cpu_wrap_add(sum, int32_t{x[j]} * w[f * k + j]);
    s[f] = sum;
  }
}

// Matrix form: the item's run of output values, one at a time.
template <bool kAccumulate>
void matrix(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_linear_context_t *>(context);
  const int64_t n_count = c->out_features, k_count = c->in_features;
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows * n_count, c->count, item);
  for (int64_t u = r.begin; u < r.end; ++u) {
    const int64_t i = u / n_count, n = u % n_count;
    const int32_t s = dot(c->in + i * k_count, c->weights + n * k_count, k_count);
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + u, qz_ypu_cpu_linear_value(c->bias[n], s));
  }
}

// Vector form: item i takes the features 4i .. 4i + 3, then those 4 count
// further on, ...; item 0 also takes the last N % 4 features one at a time.
template <bool kAccumulate>
void vector(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_linear_context_t *>(context);
  const int64_t n_count = c->out_features, k_count = c->in_features;
  const int64_t step = 4 * c->count;
  for (auto n = 4 * static_cast<int64_t>(item); n + 3 < n_count; n += step) {
    int32_t s[4];
    dot4(c->in, c->weights + n * k_count, k_count, s);
    for (int f = 0; f < 4; ++f)
      qz_ypu_cpu_linear_store<kAccumulate>(c->out + n + f,
                                           qz_ypu_cpu_linear_value(c->bias[n + f], s[f]));
  }
  if (item != 0) return;
  for (int64_t n = n_count - n_count % 4; n < n_count; ++n) {
    const int32_t s = dot(c->in, c->weights + n * k_count, k_count);
    qz_ypu_cpu_linear_store<kAccumulate>(c->out + n, qz_ypu_cpu_linear_value(c->bias[n], s));
  }
}

}  // namespace

#define QZ_LINEAR_NEON(op, accumulate)                                               \
  void qz_ypu_cpu_##op##_neon(void *c, size_t i) { matrix<accumulate>(c, i); }       \
  void qz_ypu_cpu_##op##_neon_vec(void *c, size_t i) { vector<accumulate>(c, i); }
QZ_LINEAR_NEON(linear_acc_i8i16, true)
QZ_LINEAR_NEON(linear_i8i16, false)
