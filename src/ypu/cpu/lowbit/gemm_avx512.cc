// AVX-512F low-bit matrix-matrix kernels: the group sums of every (group,
// token) pair are formed once, then each row block runs over its tiles once
// per run of up to eight tokens, whose accumulators stay in registers over
// all groups and go to the output rows directly. The tokens of a run give
// the processor independent chains of multiply-adds to interleave; each
// token keeps the matrix-vector kernels' order of operations, so every
// token gets their bits.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/avx512.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

struct gemm_context {
  const float *x;     // [groups][n][8]
  const float *sums;  // [n][groups]: each token's run of groups in one piece
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;
  int32_t row_blocks;
  int32_t tokens;
  float *acc;  // the output rows: [n][16·row_blocks], only float-aligned
};

// Tokens [first, first + T) of row block rb, over every group of the class.
template <int B, int T>
void gemm_tokens(const gemm_context &c, int64_t rb, int64_t first) {
  const int64_t n = c.tokens, row = 16 * int64_t{c.row_blocks};
  float *block = c.acc + first * row + 16 * rb;
  __m512 acc[T];
  for (int t = 0; t < T; ++t) acc[t] = _mm512_loadu_ps(block + row * t);
  constexpr int64_t bytes = qz_ypu_lowbit_tile_bytes(B);
  avx512_tile<B> tile;
  alignas(64) float offsets[16], scales[16], products[T][16];
  for (int32_t run = 0; run < c.groups; run += 16) {
    const int count = static_cast<int>(qz_ypu_cpu_min(16, c.groups - run));
    const __mmask16 lanes = static_cast<__mmask16>((1u << count) - 1);
    avx512_decode_pairs(c.scales + 2 * (rb * c.groups + run), count, offsets, scales);
    // offset·sum of the run's tiles for each token, 16 products at once.
    const __m512 offset = _mm512_load_ps(offsets);
    for (int t = 0; t < T; ++t) {
      const float *sums = c.sums + (first + t) * c.groups + run;
      _mm512_store_ps(products[t], _mm512_mul_ps(offset, _mm512_maskz_loadu_ps(lanes, sums)));
    }
    // The run's tiles and activations are walked with pointers, and the
    // next runs' scales fetched once per run: the per-tile scalar work
    // competes with the decoding for the vector ports.
    const int64_t first_index = rb * c.groups + run;
    qz_ypu_cpu_lowbit_prefetch_scales(c.scales, first_index);
    const uint8_t *tiles = c.tiles + first_index * bytes;
    const float *x = c.x + 8 * (run * n + first);
    for (int i = 0; i < count; ++i, tiles += bytes, x += 8 * n) {
      constexpr int64_t ahead = QZ_YPU_CPU_LOWBIT_PREFETCH_TILES * bytes;
      qz_ypu_cpu_lowbit_prefetch_at(tiles, ahead);
      // Tiles of 5 bits and more reach into a second cache line.
      if constexpr (bytes > 64) qz_ypu_cpu_lowbit_prefetch_at(tiles, ahead + bytes - 1);
      tile.load(scales[i], tiles);
      tile.template terms<T>(x, &products[0][i], 16, acc);
    }
  }
  for (int t = 0; t < T; ++t) _mm512_storeu_ps(block + row * t, acc[t]);
}

template <int B>
void gemm_task(void *context, size_t row_block) {
  const auto &c = *static_cast<const gemm_context *>(context);
  const int64_t rb = static_cast<int64_t>(row_block), n = c.tokens;
  int64_t t = 0;
  for (; t + 8 <= n; t += 8) gemm_tokens<B, 8>(c, rb, t);
  if (t + 4 <= n) gemm_tokens<B, 4>(c, rb, t), t += 4;
  if (t + 2 <= n) gemm_tokens<B, 2>(c, rb, t), t += 2;
  if (t < n) gemm_tokens<B, 1>(c, rb, t);
}

template <int B>
void gemm(qz_ypu_cpu_device_t *device, const float *x, const qz_scale16_t *scales,
          const uint8_t *tiles, int32_t groups, int32_t row_blocks, int32_t n, void *act_scratch,
          float *acc) {
  // The sums come in pair order (group, then token) and are turned around
  // behind them.
  const int64_t pairs = int64_t{groups} * n;
  auto *sums = static_cast<float *>(act_scratch), *by_token = sums + pairs;
  qz_ypu_cpu_lowbit_run_group_sums_avx512(device, x, sums, pairs);
  for (int64_t g = 0; g < groups; ++g)
    for (int64_t t = 0; t < n; ++t) by_token[t * groups + g] = sums[g * n + t];
  gemm_context c{x, by_token, scales, tiles, groups, row_blocks, n, acc};
  qz_ypu_cpu_run_1d(device, gemm_task<B>, &c, row_blocks);
}

}  // namespace

#define QZ_YPU_CPU_LOWBIT_AVX512_GEMM(w)                                                          \
  void qz_ypu_cpu_lowbit_gemm_avx512_##w##b(qz_ypu_cpu_device_t *device, const float *x,         \
                                            const qz_scale16_t *scales, const uint8_t *tiles,    \
                                            int32_t groups, int32_t row_blocks, int32_t n,       \
                                            void *act_scratch, void *, float *acc) {             \
    gemm<w>(device, x, scales, tiles, groups, row_blocks, n, act_scratch, acc);                   \
  }

QZ_YPU_CPU_LOWBIT_AVX512_GEMM(1)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(2)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(3)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(4)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(5)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(6)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(7)
QZ_YPU_CPU_LOWBIT_AVX512_GEMM(8)
