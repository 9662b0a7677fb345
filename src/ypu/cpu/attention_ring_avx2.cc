// AVX2 score and value kernels of attention over ring caches: codes widened
// with the 256-bit integer widening instructions, no fused multiply-add.
#include <immintrin.h>

#include "ypu/cpu/attention.h"

namespace {

// Eight codes as floats.
__m256 widen8(const uint8_t *codes) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}
__m256 widen8(const uint16_t *codes) {
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(codes));
  return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(units));
}

// Per ring row: eight lane sums of (code x slope + intercept) x query over
// d = 8k + lane, added to out[r] lane by lane, then the tail products, then
// the scale. No fused multiply-add.
template <class Code>
void scores(const float *query, int32_t head_dimension, const Code *codes, const float *intercepts,
            const float *slopes, int32_t rows, float scale, float *out) {
  const int32_t dim8 = head_dimension > 0 ? head_dimension & ~7 : 0;
  for (int32_t r = 0; r < rows; ++r) {
    const Code *row = codes + int64_t{r} * head_dimension;
    const __m256 slope = _mm256_set1_ps(slopes[r]), intercept = _mm256_set1_ps(intercepts[r]);
    __m256 acc = _mm256_setzero_ps();
    for (int32_t d = 0; d < dim8; d += 8) {
      const __m256 x = _mm256_add_ps(_mm256_mul_ps(widen8(row + d), slope), intercept);
      acc = _mm256_add_ps(acc, _mm256_mul_ps(x, _mm256_loadu_ps(query + d)));
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, acc);
    float sum = out[r];
    if (dim8 > 0)
      for (int k = 0; k < 8; ++k) sum += lanes[k];
    for (int32_t d = dim8; d < head_dimension; ++d)
      sum += (static_cast<float>(row[d]) * slopes[r] + intercepts[r]) * query[d];
    out[r] = sum;
  }
  for (int32_t r = 0; r < rows; ++r) out[r] *= scale;
}

// Eight output elements at a time held in a register across the rows; each
// element adds its rows in order, as the plain kernel does.
template <class Code>
void values(const Code *codes, const float *intercepts, const float *slopes, int32_t rows,
            int32_t head_dimension, const float *weights, float *output) {
  const int32_t dim8 = head_dimension > 0 ? head_dimension & ~7 : 0;
  for (int32_t d0 = 0; d0 < dim8; d0 += 8) {
    __m256 acc = _mm256_loadu_ps(output + d0);
    for (int32_t r = 0; r < rows; ++r) {
      const __m256 x = _mm256_add_ps(_mm256_mul_ps(widen8(codes + int64_t{r} * head_dimension + d0),
                                                   _mm256_set1_ps(slopes[r])),
                                     _mm256_set1_ps(intercepts[r]));
      acc = _mm256_add_ps(acc, _mm256_mul_ps(x, _mm256_set1_ps(weights[r])));
    }
    _mm256_storeu_ps(output + d0, acc);
  }
  for (int32_t r = 0; r < rows; ++r) {
    const Code *row = codes + int64_t{r} * head_dimension;
    for (int32_t d = dim8; d < head_dimension; ++d)
      output[d] += (static_cast<float>(row[d]) * slopes[r] + intercepts[r]) * weights[r];
  }
}

}  // namespace

void qz_ypu_cpu_attention_kv_u8_scores_avx2(const float *query, int32_t head_dimension,
                                            const uint8_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows, float scale,
                                            float *out) {
  scores(query, head_dimension, codes, intercepts, slopes, rows, scale, out);
}

void qz_ypu_cpu_attention_kv_u8_values_avx2(const uint8_t *codes, const float *intercepts,
                                            const float *slopes, int32_t rows,
                                            int32_t head_dimension, const float *weights,
                                            float *output) {
  values(codes, intercepts, slopes, rows, head_dimension, weights, output);
}

void qz_ypu_cpu_attention_kv_u16_scores_avx2(const float *query, int32_t head_dimension,
                                             const uint16_t *codes, const float *intercepts,
                                             const float *slopes, int32_t rows, float scale,
                                             float *out) {
  scores(query, head_dimension, codes, intercepts, slopes, rows, scale, out);
}

void qz_ypu_cpu_attention_kv_u16_values_avx2(const uint16_t *codes, const float *intercepts,
                                             const float *slopes, int32_t rows,
                                             int32_t head_dimension, const float *weights,
                                             float *output) {
  values(codes, intercepts, slopes, rows, head_dimension, weights, output);
}
