// AVX low-bit matrix-vector kernels and the AVX activation preparation.
// Widths 1 to 4 quantise each group of 8 activations to 8-bit codes and sum
// code products exactly in 16-bit lanes, eight rows per 128-bit vector;
// widths 5 to 8 multiply float codes with the float activations, eight rows
// per 256-bit vector.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/avx.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/quantize.h"

namespace {

// Eight groups at a time are transposed so that lane i holds group i; the
// columns are then added in order 0 … 7, the same additions as one group
// summed left to right.
void sum_eight_groups(const float *x, float *sums) {
  __m256 r[8], t[8], s[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(x + 8 * i);
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    s[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
    s[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
    s[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    s[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
  }
  __m256 column[8];
  for (int k = 0; k < 4; ++k) {
    column[k] = _mm256_permute2f128_ps(s[k], s[k + 4], 0x20);
    column[k + 4] = _mm256_permute2f128_ps(s[k], s[k + 4], 0x31);
  }
  __m256 sum = column[0];
  for (int k = 1; k < 8; ++k) sum = _mm256_add_ps(sum, column[k]);
  _mm256_storeu_ps(sums, sum);
}

}  // namespace

void qz_ypu_cpu_lowbit_quantize_act_avx(void *context, size_t chunk) {
  qz_ypu_cpu_lowbit_quantize_chunk(
      *static_cast<const qz_ypu_cpu_lowbit_quantize_context_t *>(context), chunk);
}

void qz_ypu_cpu_lowbit_group_sums_avx(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_group_sums_context_t *>(context);
  const qz_ypu_cpu_range_t range = qz_ypu_cpu_split(c.count, c.chunks, int64_t(chunk));
  int64_t g = range.begin;
  for (; g + 8 <= range.end; g += 8) sum_eight_groups(c.x + 8 * g, c.sums + g);
  for (; g < range.end; ++g) {
    const float *v = c.x + 8 * g;
    float sum = v[0];
    for (int k = 1; k < 8; ++k) sum = sum + v[k];
    c.sums[g] = sum;
  }
}

#define QZ_YPU_CPU_LOWBIT_AVX_GEMV(w)                                                          \
  static void qz_ypu_cpu_lowbit_gemv_avx_##w##b_task(void *context, size_t chunk) {           \
    lowbit_gemv_task<avx_tile<w>>(context, chunk);                                             \
  }                                                                                            \
  void qz_ypu_cpu_lowbit_gemv_avx_##w##b(qz_ypu_cpu_device_t *device, const float *x,          \
                                         const qz_scale16_t *scales, const uint8_t *tiles,     \
                                         int32_t groups, int32_t row_blocks, float *y) {       \
    lowbit_gemv<avx_tile<w>>(device, QZ_YPU_CPU_LOWBIT_PREPARERS_AVX,                          \
                             qz_ypu_cpu_lowbit_gemv_avx_##w##b_task, x, scales, tiles, groups, \
                             row_blocks, y);                                                   \
  }

QZ_YPU_CPU_LOWBIT_AVX_GEMV(1)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(2)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(3)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(4)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(5)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(6)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(7)
QZ_YPU_CPU_LOWBIT_AVX_GEMV(8)
