// Row quantisation and column affine kernels with 256-bit operations.
#include <immintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

// q(x x t x 1024) for 8 lanes in the host's order of multiplication; NaN
// lanes become 0 and the rest are clamped before the truncating conversion.
__m256i quantize8(__m256 x, __m256 t) {
  __m256 y = _mm256_mul_ps(_mm256_mul_ps(x, t), _mm256_set1_ps(1024.0f));
  y = _mm256_and_ps(y, _mm256_cmp_ps(y, y, _CMP_ORD_Q));
  y = _mm256_min_ps(_mm256_max_ps(y, _mm256_set1_ps(-32768.0f)), _mm256_set1_ps(32767.0f));
  return _mm256_cvttps_epi32(y);
}

}  // namespace

void qz_ypu_cpu_quantize_rows_i16_avx2(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_quantize_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  for (int64_t row = r.begin; row < r.end; ++row) {
    const float *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    // Eight running maxima; the running value is the second operand, which
    // the maximum keeps when the new lane is NaN.
    __m256 m8 = _mm256_setzero_ps();
    int64_t j = 0;
    for (; w - j >= 8; j += 8)
      m8 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + j), magnitude), m8);
    __m128 m4 = _mm_max_ps(_mm256_castps256_ps128(m8), _mm256_extractf128_ps(m8, 1));
    m4 = _mm_max_ps(m4, _mm_movehl_ps(m4, m4));
    m4 = _mm_max_ss(m4, _mm_shuffle_ps(m4, m4, 1));
    float m = _mm_cvtss_f32(m4);
    for (; j < w; ++j) {
      const float a = __builtin_fabsf(x[j]);
      if (a > m) m = a;
    }
    if (m == 0.0f) {
      for (j = 0; j < w; ++j) y[j] = 0;
      c->factors[row] = 0.0f;
      continue;
    }
    const float t = 31.0f / m;
    const __m256 tv = _mm256_set1_ps(t);
    for (j = 0; w - j >= 8; j += 8) {
      const __m256i q = quantize8(_mm256_loadu_ps(x + j), tv);
      const __m128i packed =
          _mm_packs_epi32(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(y + j), packed);
    }
    for (; j < w; ++j) y[j] = qz_ypu_cpu_quantize_value(x[j] * t * 1024.0f);
    c->factors[row] = 1.0f / (t * 131072.0f);
  }
}

void qz_ypu_cpu_affine_columns_i16_avx2(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_affine_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  for (int64_t row = r.begin; row < r.end; ++row) {
    const int16_t *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    for (int64_t j = 0; j < w; j += 16) {
      __m256i half[2];
      for (int h = 0; h < 2; ++h) {
        const int64_t at = j + 8 * h;
        const auto load = [](const int16_t *p) {
          return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        };
        const __m256i d = _mm256_sub_epi32(load(x + at), load(c->offsets + at));
        half[h] = _mm256_srai_epi32(_mm256_mullo_epi32(d, load(c->scales + at)), 10);
      }
      // The pack interleaves 128-bit halves; the permutation restores order.
      const __m256i packed =
          _mm256_permute4x64_epi64(_mm256_packs_epi32(half[0], half[1]), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(y + j), packed);
    }
  }
}
