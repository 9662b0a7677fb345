// SSE4.1 low-bit matrix-matrix kernels: the activations of every (group,
// token) pair are prepared as the matrix-vector kernels prepare one token's,
// then each row block's tiles are decoded once and applied to all tokens,
// whose accumulators live in the worker's slice meanwhile. Every token gets
// the matrix-vector kernels' bits.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/sse41.h"

namespace {

struct gemm_context {
  const float *x;        // float path
  const uint8_t *codes;  // integer path
  const float *sum;
  const float *lo;    // integer path
  const float *step;  // integer path
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;
  int32_t row_blocks;
  int32_t tokens;
  float *thread_scratch;  // slice t: 4 planes of n vectors of 4 floats
  float *acc;             // [row_blocks][n][16]
};

template <int B>
void gemm_task(void *context, size_t thread, size_t row_block) {
  const auto &c = *static_cast<const gemm_context *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  float *slice = c.thread_scratch + static_cast<int64_t>(thread) * 16 * n;
  float *block = c.acc + rb * n * 16;
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
  const int64_t pairs = int64_t{groups} * n;
  const int64_t chunks = qz_ypu_cpu_items(device, qz_ypu_cpu_items_squared(device->threads, pairs));
  auto *bytes = static_cast<uint8_t *>(act_scratch);
  gemm_context c{x,      nullptr,    nullptr, nullptr, nullptr, scales, tiles, groups, row_blocks,
                 n,      static_cast<float *>(thread_scratch), acc};
  if constexpr (sse41_tile<B>::integer) {
    // codes [pairs][8], then lo, step and sum [pairs].
    c.codes = bytes;
    c.lo = reinterpret_cast<float *>(bytes + 8 * pairs);
    c.step = reinterpret_cast<float *>(bytes + 12 * pairs);
    c.sum = reinterpret_cast<float *>(bytes + 16 * pairs);
    qz_ypu_cpu_lowbit_quantize_context_t q{x,
                                           bytes,
                                           reinterpret_cast<float *>(bytes + 8 * pairs),
                                           reinterpret_cast<float *>(bytes + 12 * pairs),
                                           reinterpret_cast<float *>(bytes + 16 * pairs),
                                           static_cast<int32_t>(pairs),
                                           static_cast<int32_t>(chunks)};
    qz_ypu_cpu_run_1d(device, qz_ypu_cpu_lowbit_quantize_act_sse41, &q, chunks);
  } else {
    c.sum = reinterpret_cast<float *>(bytes);
    qz_ypu_cpu_lowbit_run_group_sums(device, x, reinterpret_cast<float *>(bytes), pairs);
  }
  qz_ypu_cpu_run_1d_with_thread(device, gemm_task<B>, &c, row_blocks);
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
