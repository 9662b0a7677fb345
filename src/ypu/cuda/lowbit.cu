// The low-bit linear operation (op 93) and its load-time repack (op 94).
//
// GPU tile layout (what op 94 leaves and op 93 reads): a code of width b is
// split into the power-of-two parts of b from its low bits up, a 4-bit part
// when b has the 4 bit, then a 2-bit part, then a 1-bit part. Each part is a
// plane of 16 row words (32, 16 or 8 bits wide, column k at bits w·k) that
// starts at byte 16·t0 of the tile, t0 being the code bit the part starts
// at. Widths 1, 2, 4 and 8 are already in this form in the canonical stream;
// op 94 re-lays only widths 3, 5, 6 and 7, in place, one thread per tile. It
// is the layout the CPU's baseline repack leaves.
//
// Op 93 takes the one-token path (every kernel on the default stream, one
// thread per output row) for n = 1 and the many-token path otherwise (one
// width class per context stream, the classes running side by side); both
// add into the output with float atomics, so the order of the additions is
// not fixed.
#include "ypu/cuda/kernel.h"

#include "ypu/lowbit.h"

QZ_CUDA_BEGIN

// Every size of a low-bit call checked before it sizes a temporary, a grid
// or an index: the class layout must be valid (no negative count, no array
// past INT32_MAX bytes) and the buffers must hold what the layout and the
// token count say (qz_ypu_cuda_buffer_holds). The other calls go to the host
// implementation, which reports them.

// ---------------------------------------------------------------------------
// Op 94.
#if QZ_CUDA_BUILDS(REPACK_LOWBIT)
// Rewrites one canonical tile of width B as its bit planes: all 16·B bytes
// are read before the first is written.
template <int B>
static __device__ __forceinline__ void qz_cuda_split_planes(unsigned char *tile) {
  unsigned char codes[128];
  for (int i = 0; i < 128; ++i) {
    const int bit = B * i, byte = bit >> 3, shift = bit & 7;
    unsigned v = static_cast<unsigned>(tile[byte]) >> shift;
    if (shift + B > 8) v |= static_cast<unsigned>(tile[byte + 1]) << (8 - shift);
    codes[i] = static_cast<unsigned char>(v & ((1u << B) - 1));
  }
  int t0 = 0;
  if (B >= 4) {
    for (int r = 0; r < 16; ++r) {
      unsigned word = 0;
      for (int k = 0; k < 8; ++k) word |= (codes[8 * r + k] & 15u) << (4 * k);
      reinterpret_cast<uint32_t *>(tile)[r] = word;
    }
    t0 = 4;
  }
  if (B & 2) {
    for (int r = 0; r < 16; ++r) {
      unsigned word = 0;
      for (int k = 0; k < 8; ++k) word |= ((codes[8 * r + k] >> t0) & 3u) << (2 * k);
      reinterpret_cast<uint16_t *>(tile + 16 * t0)[r] = static_cast<uint16_t>(word);
    }
    t0 += 2;
  }
  if (B & 1) {
    for (int r = 0; r < 16; ++r) {
      unsigned word = 0;
      for (int k = 0; k < 8; ++k) word |= ((codes[8 * r + k] >> t0) & 1u) << k;
      tile[16 * t0 + r] = static_cast<unsigned char>(word);
    }
  }
}

// Thread (rb, g) = (blockIdx.x * 16 + threadIdx.x, blockIdx.y * 16 +
// threadIdx.y) re-lays tile (rb, g) of the class, and the groups past the
// grid's 65,535 rows of blocks in steps of it.
template <int B>
static __device__ __forceinline__ void qz_cuda_repack_class(unsigned char *tiles,
                                                            uint64_t tile_first, int t, int R) {
  const int rb = blockIdx.x * 16 + threadIdx.x;
  if (rb >= R) return;
  for (int64_t g = blockIdx.y * 16 + threadIdx.y; g < t; g += 16 * int64_t{gridDim.y})
    qz_cuda_split_planes<B>(tiles + tile_first +
                            (static_cast<uint64_t>(rb) * t + static_cast<uint64_t>(g)) * (16 * B));
}

QZ_CUDA_KERNEL void taabe108(unsigned char *tiles, uint64_t tile_first, int t, int R) {
  qz_cuda_repack_class<3>(tiles, tile_first, t, R);
}
QZ_CUDA_KERNEL void taabe295(unsigned char *tiles, uint64_t tile_first, int t, int R) {
  qz_cuda_repack_class<5>(tiles, tile_first, t, R);
}
QZ_CUDA_KERNEL void taabe208(unsigned char *tiles, uint64_t tile_first, int t, int R) {
  qz_cuda_repack_class<6>(tiles, tile_first, t, R);
}
QZ_CUDA_KERNEL void taabe44(unsigned char *tiles, uint64_t tile_first, int t, int R) {
  qz_cuda_repack_class<7>(tiles, tile_first, t, R);
}

// The repack kernel of width b; none for the widths already in the GPU
// layout.
using qz_cuda_repack_t = void (*)(unsigned char *, uint64_t, int, int);
static qz_cuda_repack_t qz_cuda_repack_kernel(int b) {
  return b == 3 ? taabe108 : b == 5 ? taabe295 : b == 6 ? taabe208 : b == 7 ? taabe44 : nullptr;
}

qz_status_t qz_ypu_cuda_repack_lowbit(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_repack_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  if (!qz_ypu_lowbit_layout_init(&layout, p.row_blocks, p.width_counts) ||
      !qz_ypu_cuda_buffer_holds(p.tiles, 0, layout.tile_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  const auto *d = static_cast<const qz_ypu_cuda_device_t *>(device);
  unsigned char *tiles = qz_ypu_cuda_operand<unsigned char>(p.tiles);
  const int32_t R = p.row_blocks;
  unsigned used = 0;  // the streams that repack a width
  for (int b = 1; b <= 8; ++b)
    if (p.width_counts[b - 1] > 0 && qz_cuda_repack_kernel(b)) used |= 1u << b;
  // The streams start from the tiles as the default stream leaves them, and
  // the default stream goes on from the repacked tiles.
  qz_ypu_cuda_streams_wait_default(d, used);
  for (int b = 1; b <= 8; ++b) {
    const int32_t t = p.width_counts[b - 1];
    const qz_cuda_repack_t kernel = qz_cuda_repack_kernel(b);
    if (t > 0 && kernel)
      qz_cuda_launch_on(kernel,
                        {static_cast<uint32_t>((R + 15) / 16), qz_cuda_grid_y(d, (t + 15) / 16)},
                        {16, 16}, 0, d->streams[b], tiles,
                        static_cast<uint64_t>(layout.tile_start[b - 1]), t, R);
  }
  qz_ypu_cuda_default_waits_streams(d, used);
  return qz_ypu_cuda_launch_status();
}
#endif

// ---------------------------------------------------------------------------
// Op 93.
#if QZ_CUDA_BUILDS(LINEAR_LOWBIT)
// The GPU copy of QZ_SCALE16_EXP_TABLE: entry e = 2^(e - 35).
static __constant__ const float EXPONENT_GPU[32] = {
    0x1p-35f, 0x1p-34f, 0x1p-33f, 0x1p-32f, 0x1p-31f, 0x1p-30f, 0x1p-29f, 0x1p-28f,
    0x1p-27f, 0x1p-26f, 0x1p-25f, 0x1p-24f, 0x1p-23f, 0x1p-22f, 0x1p-21f, 0x1p-20f,
    0x1p-19f, 0x1p-18f, 0x1p-17f, 0x1p-16f, 0x1p-15f, 0x1p-14f, 0x1p-13f, 0x1p-12f,
    0x1p-11f, 0x1p-10f, 0x1p-9f,  0x1p-8f,  0x1p-7f,  0x1p-6f,  0x1p-5f,  0x1p-4f,
};

// A qz_scale16_t as a float; every step is exact (a sign bit with mantissa
// 0 gives -0.0).
static __device__ __forceinline__ float qz_cuda_scale16(uint16_t h) {
  return EXPONENT_GPU[(h >> 10) & 31] * static_cast<float>(h & 1023) *
         (1.0f - 2.0f * static_cast<float>(h >> 15));
}

// Row r of a tile of width B in the GPU layout: at most three aligned row
// words (the 4-, 2- and 1-bit planes) or, at 8 bits, one 8-byte word.
struct qz_cuda_lowbit_row_t {
  unsigned w4, w2, w1;
  unsigned long long w8;
};

template <int B>
static __device__ __forceinline__ qz_cuda_lowbit_row_t qz_cuda_load_row(const unsigned char *tile,
                                                                        int r) {
  constexpr int two = B >= 4 ? 4 : 0;  // the code bit the 2-bit plane starts at
  qz_cuda_lowbit_row_t row{};
  if (B == 8) {
    row.w8 = reinterpret_cast<const unsigned long long *>(tile)[r];
  } else {
    if (B >= 4) row.w4 = reinterpret_cast<const uint32_t *>(tile)[r];
    if (B & 2) row.w2 = reinterpret_cast<const uint16_t *>(tile + 16 * two)[r];
    if (B & 1) row.w1 = tile[16 * (B - 1) + r];
  }
  return row;
}

// Code k of a row, as a float.
template <int B>
static __device__ __forceinline__ float qz_cuda_code(const qz_cuda_lowbit_row_t &row, int k) {
  constexpr int two = B >= 4 ? 4 : 0;
  if (B == 8) return static_cast<float>((row.w8 >> (8 * k)) & 255u);
  return static_cast<float>(((row.w4 >> (4 * k)) & 15u) | (((row.w2 >> (2 * k)) & 3u) << two) |
                            (((row.w1 >> k) & 1u) << (B - 1)));
}

// One-token gather: xg[i] = x[perm[i]] (stored column order).
QZ_CUDA_KERNEL void taabe275(const float *x, const uint32_t *perm, int K, float *xg) {
  const int i = blockIdx.x * 256 + threadIdx.x;
  if (i < K) xg[i] = x[perm[i]];
}

// One-token kernel of width B: thread tid of block (bx, y) takes output row
// 16 rb + r with rb = bx * 16 + tid / 16, r = tid % 16, and groups 4y .. 4y + 3
// of the class; each group adds off * sum(v) + sc * (codes . v), then one
// atomic addition per thread. Groups past the grid's 65,535 slices of four
// are taken in steps of the grid, one atomic addition per slice.
template <int B>
static __device__ __forceinline__ void qz_cuda_gemv_lowbit(const float *xg, uint64_t x_first,
                                                           const uint16_t *scales,
                                                           uint64_t scale_first,
                                                           const unsigned char *tiles,
                                                           uint64_t tile_first, int t, int R,
                                                           float *out) {
  const int rb = blockIdx.x * 16 + threadIdx.x / 16, r = threadIdx.x % 16;
  if (rb >= R) return;
  for (int slice = blockIdx.y; slice < (t + 3) / 4; slice += gridDim.y) {
    float acc = 0.0f;
    for (int g = 4 * slice; g < 4 * slice + 4 && g < t; ++g) {
      const uint64_t tile = static_cast<uint64_t>(rb) * t + g;
      const float off = qz_cuda_scale16(scales[scale_first + 2 * tile]);
      const float sc = qz_cuda_scale16(scales[scale_first + 2 * tile + 1]);
      const qz_cuda_lowbit_row_t row =
          qz_cuda_load_row<B>(tiles + tile_first + tile * (16 * B), r);
      const float *v = xg + x_first + 8 * static_cast<uint64_t>(g);
      float sum = 0.0f, dot = 0.0f;
      QZ_CUDA_UNROLL
      for (int k = 0; k < 8; ++k) {
        sum = sum + v[k];
        dot = fmaf(v[k], qz_cuda_code<B>(row, k), dot);
      }
      acc = acc + fmaf(off, sum, sc * dot);
    }
    atomicAdd(&out[16 * static_cast<uint64_t>(rb) + r], acc);
  }
}

#define QZ_CUDA_GEMV_LOWBIT(name, B)                                                          \
  QZ_CUDA_KERNEL void name(const float *xg, uint64_t x_first, const uint16_t *scales,         \
                           uint64_t scale_first, const unsigned char *tiles,                  \
                           uint64_t tile_first, int t, int R, float *out) {                   \
    qz_cuda_gemv_lowbit<B>(xg, x_first, scales, scale_first, tiles, tile_first, t, R, out); \
  }
QZ_CUDA_GEMV_LOWBIT(taabe1, 1)
QZ_CUDA_GEMV_LOWBIT(taabe244, 2)
QZ_CUDA_GEMV_LOWBIT(taabe260, 3)
QZ_CUDA_GEMV_LOWBIT(taabe40, 4)
QZ_CUDA_GEMV_LOWBIT(taabe133, 5)
QZ_CUDA_GEMV_LOWBIT(taabe198, 6)
QZ_CUDA_GEMV_LOWBIT(taabe37, 7)
QZ_CUDA_GEMV_LOWBIT(taabe139, 8)
#undef QZ_CUDA_GEMV_LOWBIT

// Many-token gather into [G][n][8]: xg[((i / 8) n + token) 8 + i % 8] =
// x[token][perm[i]]; tokens past the grid's 65,535 in steps of it.
QZ_CUDA_KERNEL void taabe306(const float *x, const uint32_t *perm, int n, int K, float *xg) {
  const int i = blockIdx.x * 256 + threadIdx.x;
  if (i >= K) return;
  for (int token = blockIdx.y; token < n; token += gridDim.y)
    xg[((static_cast<uint64_t>(i) / 8) * n + token) * 8 + i % 8] =
        x[static_cast<uint64_t>(token) * K + perm[i]];
}

// Decodes the class's 2 t R scale numbers into floats (grid-stride loop).
QZ_CUDA_KERNEL void QZ_CUDA_LAUNCH_BOUNDS(1024)
    taabe136(float *pairs, const uint16_t *scales, uint64_t scale_first, int t,
             int R) {
  const uint64_t count = 2 * static_cast<uint64_t>(t) * R;
  for (uint64_t i = blockIdx.x * 1024ull + threadIdx.x; i < count; i += gridDim.x * 1024ull)
    pairs[i] = qz_cuda_scale16(scales[scale_first + i]);
}

// Many-token kernel of width B: the block covers row blocks RB * blockIdx.x
// .. + RB - 1 and tokens TOKENS * blockIdx.y .. + TOKENS - 1; per group it
// stages the tokens' 8 activations (shared_x) and the RB tiles (shared_w),
// and each thread adds into ROWS x SLOTS accumulators: rows 4u .. 4u + 3 of
// tile q, tokens p, p + 2, ... of the block (q = (tid / 8) % 16, p =
// (tid / 4) % 2, u = tid % 4), one group staged per step. The result is
// added to out in the order [R][n][16].
template <int B, int RB, int TOKENS, int GROUPS_PER_STEP, int SLOTS, int ROWS, int THREADS>
QZ_CUDA_TEMPLATE_KERNEL void taabe307(const float *xg, uint64_t x_first, const float *pairs,
                                      const unsigned char *tiles, uint64_t tile_first, int t,
                                      int R, int n, float *out) {
  static_assert(RB == 16 && TOKENS == 64 && GROUPS_PER_STEP == 1 && SLOTS == 32 && ROWS == 4 &&
                    THREADS == 128,
                "the thread roles below are written for this shape");
  constexpr int WORDS = RB * 4 * B;  // 32-bit words of the RB tiles
  __shared__ float4 shared_x[TOKENS * 2];
  __shared__ unsigned long long shared_w[WORDS / 2];
  const int tid = threadIdx.x;
  const int q = (tid / 8) % 16, p = (tid / 4) % 2, u = tid % 4;
  const int rb = RB * blockIdx.x + q;
  const int token0 = TOKENS * blockIdx.y;
  float acc[ROWS][SLOTS] = {};
  auto *words = reinterpret_cast<uint32_t *>(shared_w);
  const auto *class_tiles = reinterpret_cast<const uint32_t *>(tiles + tile_first);
  for (int g = 0; g < t; ++g) {
    const int j = token0 + tid / 2, h = tid % 2;
    shared_x[tid] = j < n ? reinterpret_cast<const float4 *>(
                                xg + x_first + (static_cast<uint64_t>(g) * n + j) * 8)[h]
                          : float4{0.0f, 0.0f, 0.0f, 0.0f};
    for (int w = tid; w < WORDS; w += THREADS) {
      const int tile = w / (4 * B), word = w % (4 * B);
      const int rbw = RB * blockIdx.x + tile;
      words[w] = rbw < R ? class_tiles[(static_cast<uint64_t>(rbw) * t + g) * (4 * B) + word] : 0u;
    }
    __syncthreads();
    float off = 0.0f, sc = 0.0f;
    if (rb < R) {
      const uint64_t pair = 2 * (static_cast<uint64_t>(rb) * t + g);
      off = pairs[pair];
      sc = pairs[pair + 1];
    }
    // Each accumulator takes k = 0 .. 7 in order; walking k outermost keeps
    // one weight per row and one activation live beside the accumulators.
    const auto *x = reinterpret_cast<const float *>(shared_x);
    const unsigned char *tile = reinterpret_cast<const unsigned char *>(shared_w) + q * 16 * B;
    qz_cuda_lowbit_row_t rows[ROWS];
    QZ_CUDA_UNROLL
    for (int i = 0; i < ROWS; ++i) rows[i] = qz_cuda_load_row<B>(tile, 4 * u + i);
    QZ_CUDA_UNROLL
    for (int k = 0; k < 8; ++k) {
      float weight[ROWS];
      QZ_CUDA_UNROLL
      for (int i = 0; i < ROWS; ++i) weight[i] = fmaf(sc, qz_cuda_code<B>(rows[i], k), off);
      QZ_CUDA_UNROLL
      for (int m = 0; m < SLOTS; ++m) {
        const float xk = x[8 * (p + 2 * m) + k];
        QZ_CUDA_UNROLL
        for (int i = 0; i < ROWS; ++i) acc[i][m] = fmaf(xk, weight[i], acc[i][m]);
      }
    }
    __syncthreads();
  }
  if (rb >= R) return;
  QZ_CUDA_UNROLL
  for (int m = 0; m < SLOTS; ++m) {
    const int token = token0 + p + 2 * m;
    if (token >= n) continue;
    QZ_CUDA_UNROLL
    for (int i = 0; i < ROWS; ++i)
      atomicAdd(&out[((static_cast<uint64_t>(rb) * n) + token) * 16 + 4 * u + i], acc[i][m]);
  }
}

// [R][n][16] back to the caller's [n][16 R]; tokens past the grid's 65,535
// in steps of it.
QZ_CUDA_KERNEL void taabe13(const float *src, int n, int M, float *dst) {
  const int i = blockIdx.x * 256 + threadIdx.x;
  if (i >= M) return;
  for (int token = blockIdx.y; token < n; token += gridDim.y)
    dst[static_cast<uint64_t>(token) * M + i] =
        src[((static_cast<uint64_t>(i) / 16) * n + token) * 16 + i % 16];
}

namespace {

using qz_cuda_gemv_lowbit_t = void (*)(const float *, uint64_t, const uint16_t *, uint64_t,
                                       const unsigned char *, uint64_t, int, int, float *);
using qz_cuda_gemm_lowbit_t = void (*)(const float *, uint64_t, const float *,
                                       const unsigned char *, uint64_t, int, int, int, float *);

const qz_cuda_gemv_lowbit_t qz_cuda_gemv_lowbit_kernels[8] = {taabe1,  taabe244, taabe260, taabe40,
                                                          taabe133, taabe198, taabe37, taabe139};
const qz_cuda_gemm_lowbit_t qz_cuda_gemm_lowbit_kernels[8] = {
    taabe307<1, 16, 64, 1, 32, 4, 128>, taabe307<2, 16, 64, 1, 32, 4, 128>,
    taabe307<3, 16, 64, 1, 32, 4, 128>, taabe307<4, 16, 64, 1, 32, 4, 128>,
    taabe307<5, 16, 64, 1, 32, 4, 128>, taabe307<6, 16, 64, 1, 32, 4, 128>,
    taabe307<7, 16, 64, 1, 32, 4, 128>, taabe307<8, 16, 64, 1, 32, 4, 128>};

const qz_ypu_cuda_runtime_t &rt() { return *qz_ypu_cuda_runtime(); }

// A temporary of `floats` floats ordered on `stream`; on failure the
// message and null.
float *qz_cuda_take(const qz_ypu_cuda_device_t *device, uint64_t floats, void *stream) {
  void *pointer = nullptr;
  if (qz_ypu_cuda_alloc(device, &pointer, floats * sizeof(float), stream) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_ALLOC);
    return nullptr;
  }
  return static_cast<float *>(pointer);
}

qz_status_t qz_cuda_linear_one_token(const qz_ypu_cuda_device_t *device,
                                     const qz_ypu_linear_lowbit_params_t &p,
                                     const qz_ypu_lowbit_layout_t &layout, const float *x,
                                     float *out) {
  const int32_t K = layout.columns, M = 16 * p.row_blocks, R = p.row_blocks;
  rt().memset_async(out, 0, static_cast<size_t>(M) * sizeof(float), nullptr);
  float *xg = qz_cuda_take(device, static_cast<uint64_t>(K), nullptr);
  if (!xg) return QZ_STATUS_OUT_OF_MEMORY;
  qz_cuda_launch(taabe275, {qz_cuda_blocks_256(K)}, {256}, x,
                 qz_ypu_cuda_operand<const uint32_t>(p.perm), K, xg);
  qz_status_t status = qz_ypu_cuda_launch_status();
  for (int b = 1; b <= 8 && status == QZ_STATUS_SUCCESS; ++b) {
    const int32_t t = p.width_counts[b - 1];
    if (t <= 0) continue;
    qz_cuda_launch(qz_cuda_gemv_lowbit_kernels[b - 1],
                   {qz_cuda_blocks_256(M), qz_cuda_grid_y(device, (t + 3) / 4)}, {256},
                   static_cast<const float *>(xg), 8 * static_cast<uint64_t>(layout.group_start[b - 1]),
                   qz_ypu_cuda_operand<const uint16_t>(p.scales),
                   2 * static_cast<uint64_t>(layout.pair_start[b - 1]),
                   qz_ypu_cuda_operand<const unsigned char>(p.tiles),
                   static_cast<uint64_t>(layout.tile_start[b - 1]), t, R, out);
  }
  if (status == QZ_STATUS_SUCCESS) status = qz_ypu_cuda_launch_status();
  qz_ypu_cuda_free(device, xg, nullptr);
  return status;
}

// n tokens, at most 64 for each block the grid may hold in y (the
// product's blocks of tokens).
qz_status_t qz_cuda_linear_many_tokens(const qz_ypu_cuda_device_t *device,
                                       const qz_ypu_linear_lowbit_params_t &p,
                                       const qz_ypu_lowbit_layout_t &layout, const float *x,
                                       int32_t n, float *out) {
  const int32_t K = layout.columns, M = 16 * p.row_blocks, R = p.row_blocks;
  float *xg = qz_cuda_take(device, static_cast<uint64_t>(n) * K, nullptr);
  if (!xg) return QZ_STATUS_OUT_OF_MEMORY;
  qz_cuda_launch(taabe306, {qz_cuda_blocks_256(K), qz_cuda_grid_y(device, n)}, {256}, x,
                 qz_ypu_cuda_operand<const uint32_t>(p.perm), n, K, xg);
  if (const qz_status_t status = qz_ypu_cuda_launch_status(); status != QZ_STATUS_SUCCESS) {
    qz_ypu_cuda_free(device, xg, nullptr);
    return status;
  }
  rt().memset_async(out, 0, static_cast<size_t>(M) * n * sizeof(float), nullptr);
  unsigned used = 0;  // the classes' streams
  for (int b = 1; b <= 8; ++b)
    if (p.width_counts[b - 1] > 0) used |= 1u << (b - 1);
  // The classes read xg and add into the zeroed out: their streams wait for
  // the default stream's work so far; the default stream waits for every
  // class before xg goes and out is reordered, on every path.
  qz_ypu_cuda_streams_wait_default(device, used);
  const int32_t processors = qz_ypu_cuda_multiprocessor_count(device);
  qz_status_t status = QZ_STATUS_SUCCESS;
  for (int b = 1; b <= 8; ++b) {
    const int32_t t = p.width_counts[b - 1];
    if (t <= 0) continue;
    void *stream = device->streams[b - 1];
    float *pairs = qz_cuda_take(device, 2 * static_cast<uint64_t>(t) * R, stream);
    if (!pairs) {
      status = QZ_STATUS_OUT_OF_MEMORY;
      break;
    }
    qz_cuda_launch_on(taabe136, {static_cast<uint32_t>(processors)}, {1024}, 0, stream, pairs,
                      qz_ypu_cuda_operand<const uint16_t>(p.scales),
                      2 * static_cast<uint64_t>(layout.pair_start[b - 1]), t, R);
    qz_cuda_launch_on(qz_cuda_gemm_lowbit_kernels[b - 1],
                      {static_cast<uint32_t>((R + 15) / 16), static_cast<uint32_t>((n + 63) / 64)},
                      {128}, 0, stream, static_cast<const float *>(xg),
                      8 * static_cast<uint64_t>(n) * layout.group_start[b - 1],
                      static_cast<const float *>(pairs),
                      qz_ypu_cuda_operand<const unsigned char>(p.tiles),
                      static_cast<uint64_t>(layout.tile_start[b - 1]), t, R, n, out);
    qz_ypu_cuda_free(device, pairs, stream);
  }
  qz_ypu_cuda_default_waits_streams(device, used);
  if (status == QZ_STATUS_SUCCESS) status = qz_ypu_cuda_launch_status();
  qz_ypu_cuda_free(device, xg, nullptr);
  if (status != QZ_STATUS_SUCCESS) return status;
  float *reordered = qz_cuda_take(device, static_cast<uint64_t>(n) * M, nullptr);
  if (!reordered) return QZ_STATUS_OUT_OF_MEMORY;
  qz_cuda_launch(taabe13, {qz_cuda_blocks_256(M), qz_cuda_grid_y(device, n)}, {256},
                 static_cast<const float *>(out), n, M, reordered);
  status = qz_ypu_cuda_launch_status();
  // The copy back is checked too: a failed copy leaves out in the [R][n][16]
  // order, which must not pass for a result.
  if (status == QZ_STATUS_SUCCESS &&
      rt().memcpy_async(out, reordered, static_cast<size_t>(n) * M * sizeof(float),
                        QZ_CUDA_DEVICE_TO_DEVICE, nullptr) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_KERNEL);
    status = QZ_STATUS_RUNTIME_ERROR;
  }
  qz_ypu_cuda_free(device, reordered, nullptr);
  return status;
}

}  // namespace

qz_status_t qz_ypu_cuda_linear_lowbit(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_linear_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  if (p.n < 0 || !qz_ypu_lowbit_layout_init(&layout, p.row_blocks, p.width_counts))
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t in_bytes = int64_t{p.n} * layout.columns * 4;
  const int64_t out_bytes = int64_t{p.n} * p.row_blocks * 64;
  if (!qz_ypu_cuda_buffer_holds(p.in, p.in_offset, in_bytes) ||
      !qz_ypu_cuda_buffer_holds(p.out, p.out_offset, out_bytes) ||
      !qz_ypu_cuda_buffer_holds(p.perm, 0, int64_t{layout.columns} * 4) ||
      !qz_ypu_cuda_buffer_holds(p.scales, 0, layout.scale_bytes) ||
      !qz_ypu_cuda_buffer_holds(p.tiles, 0, layout.tile_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  const float *x = qz_ypu_cuda_operand<const float>(p.in, p.in_offset);
  float *out = qz_ypu_cuda_operand<float>(p.out, p.out_offset);
  const auto *d = static_cast<const qz_ypu_cuda_device_t *>(device);
  if (p.n == 1) return qz_cuda_linear_one_token(d, p, layout, x, out);
  // More tokens than the product's grid holds (64 per block of its y) go in
  // runs of that many: no token's sums depend on another token, so the runs
  // add up what one launch would, and the product kernel stays as it is.
  const int32_t most_y = qz_ypu_cuda_max_grid_dim_y(d);
  const int32_t run = 64 * (most_y > 1 ? most_y : 1);
  int32_t first = 0;
  qz_status_t status;
  do {
    const int32_t count = p.n - first < run ? p.n - first : run;
    status = qz_cuda_linear_many_tokens(d, p, layout, x + int64_t{first} * layout.columns, count,
                                        out + int64_t{first} * 16 * p.row_blocks);
    first += count;
  } while (status == QZ_STATUS_SUCCESS && first < p.n);
  return status;
}
#endif

QZ_CUDA_END
