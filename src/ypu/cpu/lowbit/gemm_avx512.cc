// AVX-512F low-bit matrix-matrix kernels: the group sums of every (group,
// token) pair are formed once, then each row block's tiles are decoded once
// and applied to all tokens, whose accumulators sit in the worker's 64-byte
// aligned slice meanwhile. Every token gets the matrix-vector kernels' bits.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/avx512.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

struct gemm_context {
  const float *x;     // [groups][n][8]
  const float *sums;  // [groups][n]
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;
  int32_t row_blocks;
  int32_t tokens;
  float *thread_scratch;  // slice t: n vectors of 16 floats, 64-byte aligned
  float *acc;             // [row_blocks][n][16], only float-aligned
};

template <int B>
void gemm_task(void *context, size_t thread, size_t row_block) {
  const auto &c = *static_cast<const gemm_context *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  float *slice = c.thread_scratch + static_cast<int64_t>(thread) * 16 * n;
  float *block = c.acc + rb * n * 16;
  for (int64_t j = 0; j < n; ++j) _mm512_store_ps(slice + 16 * j, _mm512_loadu_ps(block + 16 * j));
  avx512_tile<B> tile;
  for (int32_t g = 0; g < c.groups; ++g) {
    qz_ypu_cpu_lowbit_prefetch(c.scales, c.tiles, rb * c.groups + g, qz_ypu_lowbit_tile_bytes(B));
    tile.load(c.scales, c.tiles, rb * c.groups + g);
    const int64_t first = int64_t{g} * n;
    for (int64_t j = 0; j < n; ++j) {
      const __m512 v = tile.term(c.x + 8 * (first + j), c.sums + first + j);
      _mm512_store_ps(slice + 16 * j, _mm512_add_ps(v, _mm512_load_ps(slice + 16 * j)));
    }
  }
  for (int64_t j = 0; j < n; ++j) _mm512_storeu_ps(block + 16 * j, _mm512_load_ps(slice + 16 * j));
}

template <int B>
void gemm(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, int32_t n, void *act_scratch,
          void *thread_scratch, float *acc) {
  auto *sums = static_cast<float *>(act_scratch);
  qz_ypu_cpu_lowbit_run_group_sums_avx512(device, x, sums, int64_t{groups} * n);
  gemm_context c{x,          sums, scales, tiles, groups, row_blocks, n,
                 static_cast<float *>(thread_scratch), acc};
  qz_ypu_cpu_run_1d_with_thread(device, gemm_task<B>, &c, row_blocks);
}

}  // namespace

#define QZ_YPU_CPU_LOWBIT_AVX512_GEMM(w)                                                          \
  void qz_ypu_cpu_lowbit_gemm_avx512_##w##b(qz_ypu_cpu_device_t *device, const float *x,         \
                                            const qz_scale16_t *scales, const uint8_t *tiles,    \
                                            int32_t groups, int32_t row_blocks, int32_t n,       \
                                            void *act_scratch, void *thread_scratch, float *acc) { \
    gemm<w>(device, x, scales, tiles, groups, row_blocks, n, act_scratch, thread_scratch, acc);   \
  }

QZ_YPU_CPU_LOWBIT_AVX512_GEMM(1)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(2)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(3)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(4)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(5)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(6)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(7)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(8)
