// SSE4.1 low-bit matrix-matrix kernels: the activations of every (group,
// token) pair are prepared as the matrix-vector kernels prepare one token's,
// then each row block's tiles are decoded once and applied to all tokens,
// whose accumulators live in the worker's slice meanwhile. Every token gets
// the matrix-vector kernels' bits.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/sse41.h"

namespace {

template <int B>
void gemm_task(void *context, size_t thread, size_t row_block) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_task_context_t *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  float *slice = c.thread_scratch + static_cast<int64_t>(thread) * 16 * n;
  float *block = c.out + rb * n * 16;
  for (int64_t j = 0; j < n; ++j)
    for (int q = 0; q < 4; ++q)
      _mm_store_ps(slice + (q * n + j) * 4, _mm_loadu_ps(block + j * 16 + 4 * q));
  sse41_tile<B> tile;
  for (int32_t g = 0; g < c.groups; ++g) {
    qz_ypu_cpu_lowbit_prefetch(c.scales, c.tiles, rb * c.groups + g, qz_ypu_lowbit_tile_bytes(B));
    tile.load(c.scales, c.tiles, rb * c.groups + g);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t p = int64_t{g} * n + j;
      __m128 acc[4];
      for (int q = 0; q < 4; ++q) acc[q] = _mm_load_ps(slice + (q * n + j) * 4);
      if constexpr (sse41_tile<B>::integer)
        tile.add_quantised(c.codes + 8 * p, c.lo[p], c.step[p], c.sum[p], acc);
      else
        tile.add_float(c.x + 8 * p, c.sum[p], acc);
      for (int q = 0; q < 4; ++q) _mm_store_ps(slice + (q * n + j) * 4, acc[q]);
    }
  }
  for (int64_t j = 0; j < n; ++j)
    for (int q = 0; q < 4; ++q)
      _mm_storeu_ps(block + j * 16 + 4 * q, _mm_load_ps(slice + (q * n + j) * 4));
}

template <int B>
void gemm(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, int32_t n, void *act_scratch,
          void *thread_scratch, float *acc) {
  qz_ypu_cpu_lowbit_run_gemm(device, x, scales, tiles, groups, row_blocks, n, act_scratch,
                             thread_scratch, acc, sse41_tile<B>::integer,
                             QZ_YPU_CPU_LOWBIT_PREPARERS_SSE41, gemm_task<B>);
}

}  // namespace

#define QZ_YPU_CPU_LOWBIT_SSE41_GEMM(w)                                                          \
  void qz_ypu_cpu_lowbit_gemm_sse41_##w##b(qz_ypu_cpu_device_t *device, const float *x,         \
                                           const qz_scale16_t *scales, const uint8_t *tiles,    \
                                           int32_t groups, int32_t row_blocks, int32_t n,       \
                                           void *act_scratch, void *thread_scratch, float *acc) { \
    gemm<w>(device, x, scales, tiles, groups, row_blocks, n, act_scratch, thread_scratch, acc);  \
  }

QZ_YPU_CPU_LOWBIT_SSE41_GEMM(1)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(2)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(3)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(4)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(5)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(6)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(7)
QZ_YPU_CPU_LOWBIT_SSE41_GEMM(8)
