// Table activations eight elements at a time: the same float operations as
// qz_ypu_cpu_table_activation in the same order, so the same bits, with the
// two table entries fetched by gathers and the clamp rules applied by
// blends. The last count % 8 elements go through the one-element routine.
#include <immintrin.h>

#include "ypu/cpu/activation.h"

void qz_ypu_cpu_table_activation_avx2(const float *table, float lo, float hi, float scale,
                                      const float *in, float *out, int64_t count) {
  const __m256 vlo = _mm256_set1_ps(lo), vhi = _mm256_set1_ps(hi), vscale = _mm256_set1_ps(scale);
  const __m256i last = _mm256_set1_epi32(QZ_ACTIVATION_TABLE_SIZE - 2);
  int64_t j = 0;
  for (; j + 8 <= count; j += 8) {
    const __m256 x = _mm256_loadu_ps(in + j);
    const __m256 t = _mm256_mul_ps(_mm256_sub_ps(x, vlo), vscale);
    // Lanes outside (lo, hi) or NaN are replaced below; clamping at 0 as
    // well keeps their gathers inside the table.
    const __m256i i = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(t), last),
                                       _mm256_setzero_si256());
    const __m256 a = _mm256_i32gather_ps(table, i, 4);
    const __m256 b = _mm256_i32gather_ps(table + 1, i, 4);
    const __m256 fraction = _mm256_sub_ps(t, _mm256_cvtepi32_ps(i));
    __m256 y = _mm256_add_ps(_mm256_mul_ps(fraction, _mm256_sub_ps(b, a)), a);
    // NaN stays as it came (a signalling one too), as in the plain routine.
    const __m256 keep =
        _mm256_or_ps(_mm256_cmp_ps(x, vhi, _CMP_GE_OQ), _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
    y = _mm256_blendv_ps(y, x, keep);
    y = _mm256_blendv_ps(y, _mm256_setzero_ps(), _mm256_cmp_ps(x, vlo, _CMP_LE_OQ));
    _mm256_storeu_ps(out + j, y);
  }
  for (; j < count; ++j) out[j] = qz_ypu_cpu_table_activation(table, lo, hi, scale, in[j]);
}
