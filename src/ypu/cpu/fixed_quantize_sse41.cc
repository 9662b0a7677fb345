// Row quantisation and column affine kernels with 128-bit operations.
#include <smmintrin.h>

#include "ypu/cpu/fixed_kernels.h"

namespace {

// q(x x t x 1024) for 4 lanes, multiplied in the host's order (x x 1024t
// could overflow where (x x t) x 1024 does not). NaN lanes become 0 before
// the clamp, so the truncating conversion only sees values within int16.
__m128i quantize4(__m128 x, __m128 t) {
  __m128 y = _mm_mul_ps(_mm_mul_ps(x, t), _mm_set1_ps(1024.0f));
  y = _mm_and_ps(y, _mm_cmpord_ps(y, y));
  y = _mm_min_ps(_mm_max_ps(y, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
  return _mm_cvttps_epi32(y);
}

}  // namespace

void qz_ypu_cpu_quantize_rows_i16_sse41(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_quantize_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  for (int64_t row = r.begin; row < r.end; ++row) {
    const float *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    // Four running maxima of the magnitudes; the running value is the second
    // operand, which the maximum keeps when the new lane is NaN.
    __m128 m4 = _mm_setzero_ps();
    int64_t j = 0;
    for (; w - j >= 4; j += 4) m4 = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(x + j), magnitude), m4);
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
    const __m128 tv = _mm_set1_ps(t);
    for (j = 0; w - j >= 8; j += 8) {
      const __m128i lo = quantize4(_mm_loadu_ps(x + j), tv);
      const __m128i hi = quantize4(_mm_loadu_ps(x + j + 4), tv);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(y + j), _mm_packs_epi32(lo, hi));
    }
    for (; j < w; ++j) y[j] = qz_ypu_cpu_quantize_value(x[j] * t * 1024.0f);
    c->factors[row] = 1.0f / (t * 131072.0f);
  }
}

// Columns a multiple of 8: inputs, offsets and scales widened to 32 bits,
// the difference and product formed there, narrowed with saturation.
void qz_ypu_cpu_affine_columns_i16_sse41(void *context, size_t item) {
  const auto *c = static_cast<const qz_ypu_cpu_affine_context_t *>(context);
  const qz_ypu_cpu_range_t r = qz_ypu_cpu_fixed_range(c->rows, c->count, item);
  const int64_t w = c->cols;
  for (int64_t row = r.begin; row < r.end; ++row) {
    const int16_t *x = c->in + row * w;
    int16_t *y = c->out + row * w;
    for (int64_t j = 0; j < w; j += 8) {
      const __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + j));
      const __m128i ov = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c->offsets + j));
      const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c->scales + j));
      __m128i half[2];
      for (int h = 0; h < 2; ++h) {
        const __m128i xs = h ? _mm_srli_si128(xv, 8) : xv;
        const __m128i os = h ? _mm_srli_si128(ov, 8) : ov;
        const __m128i ss = h ? _mm_srli_si128(sv, 8) : sv;
        const __m128i d = _mm_sub_epi32(_mm_cvtepi16_epi32(xs), _mm_cvtepi16_epi32(os));
        half[h] = _mm_srai_epi32(_mm_mullo_epi32(d, _mm_cvtepi16_epi32(ss)), 10);
      }
      _mm_storeu_si128(reinterpret_cast<__m128i *>(y + j), _mm_packs_epi32(half[0], half[1]));
    }
  }
}
