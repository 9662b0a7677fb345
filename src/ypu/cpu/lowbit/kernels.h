// Kernel tables of the CPU low-bit linear operation and its repack.
//
// Per instruction set there is one matrix-vector (GEMV) table, one
// matrix-matrix (GEMM) table and one repack table, each of 8 slots, slot b−1
// serving bit width b. The repack table of a set re-lays tiles into exactly
// the layout its GEMV and GEMM drivers read, and the entries pick all three
// from the same instruction-set flags, so a weight is always read in the
// layout it was re-laid into.
//
// Drivers add one width class's contribution into their output, split their
// own work over the device's pool, allocate nothing on the heap and cannot
// fail. Counts are at least 1 when a driver is called.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ypu/cpu/device.h"
#include "ypu/lowbit.h"

// x: the class's 8·groups activations in stored column order; y: 16·R outputs.
using qz_ypu_cpu_lowbit_gemv_fn = void (*)(qz_ypu_cpu_device_t *device, const float *x,
                                           const qz_scale16_t *scales, const uint8_t *tiles,
                                           int32_t groups, int32_t row_blocks, float *y);
// x: [groups][n][8]; act_scratch: the set's per-(token, group) data;
// thread_scratch: T slices of 16·n floats (null for the baseline and AVX-512F
// sets, which keep their accumulators in registers);
// acc: [row_blocks][n][16], or for the sets that add straight into the
// output rows, those rows: [n][16·row_blocks].
using qz_ypu_cpu_lowbit_gemm_fn = void (*)(qz_ypu_cpu_device_t *device, const float *x,
                                           const qz_scale16_t *scales, const uint8_t *tiles,
                                           int32_t groups, int32_t row_blocks, int32_t n,
                                           void *act_scratch, void *thread_scratch, float *acc);
// Rewrites the 16·b bytes of one tile in place.
using qz_ypu_cpu_lowbit_repack_fn = void (*)(uint8_t *tile);

// ---------------------------------------------------------------------------
// Kernel sets and their choice.

enum qz_ypu_cpu_lowbit_set_t : int32_t {
  QZ_YPU_CPU_LOWBIT_BASE = 0,
  QZ_YPU_CPU_LOWBIT_SSE41 = 1,
  QZ_YPU_CPU_LOWBIT_AVX = 2,
  QZ_YPU_CPU_LOWBIT_AVX2 = 3,
  QZ_YPU_CPU_LOWBIT_AVX512 = 4,
  // ARM64 sets.
  QZ_YPU_CPU_LOWBIT_NEON = 5,
  QZ_YPU_CPU_LOWBIT_NEON_FP16 = 6,
  QZ_YPU_CPU_LOWBIT_NEON_DOT = 7,
};

struct qz_ypu_cpu_lowbit_kernels_t {
  const qz_ypu_cpu_lowbit_gemv_fn *gemv;
  const qz_ypu_cpu_lowbit_gemm_fn *gemm;
  const qz_ypu_cpu_lowbit_repack_fn *repack;
  int32_t act_bytes_per_pair;  // activation scratch per (token, group)
  bool thread_scratch;         // whether the GEMM drivers take per-thread slices
  bool acc_is_out;             // whether the GEMM drivers add into the output rows
};

// The set whose kernels run for these flags; the op-93 and op-94 entries
// both ask here, so tiles and kernels always agree.
qz_ypu_cpu_lowbit_set_t qz_ypu_cpu_lowbit_choose(uint32_t isa_flags);
const qz_ypu_cpu_lowbit_kernels_t &qz_ypu_cpu_lowbit_kernels(qz_ypu_cpu_lowbit_set_t set);

extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_base[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_sse41[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_avx[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_avx2[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_avx512[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_base[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_sse41[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_avx[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_avx2[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_avx512[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_base[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_sse41[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_avx[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_avx2[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_avx512[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_neon[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_neon_fp16[8];
extern const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_neon_dot[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_neon[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_neon_fp16[8];
extern const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_neon_dot[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_neon[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_neon_fp16[8];
extern const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_neon_dot[8];

// ---------------------------------------------------------------------------
// Work split shared by the drivers.

// The GEMV drivers keep their per-group activation data on the calling
// thread's stack; a class wider than this many groups is handled in slabs of
// it, one after another, which adds every output's terms in the same order.
// Wide enough (16 KiB of sums) that a row block of any usual width is one
// slab: each worker then reads its rows as one contiguous stream, with no
// jump per slab for the prefetchers to recover from.
inline constexpr int32_t QZ_YPU_CPU_LOWBIT_GEMV_SLAB = 4096;

// Row chunks of a GEMV slab: several per thread, so that the pool's caller
// can judge a loop by its first chunk and a thread that falls behind holds
// up only a small piece (without a pool: one chunk).
inline int64_t qz_ypu_cpu_lowbit_gemv_chunks(const qz_ypu_cpu_device_t *device,
                                             int64_t row_blocks) {
  if (row_blocks <= 0) return 0;
  if (!device->pool) return 1;
  const int64_t chunks = 8 * int64_t{device->threads};
  return row_blocks < chunks ? row_blocks : chunks;
}

// Requests the weight some tiles ahead of tile `index` (and its scale pair),
// so that memory works while the core decodes: one token streams the whole
// weight, and the hardware alone keeps too few requests in flight. A hint
// only: addresses past the end of the weight are never read.
inline constexpr int64_t QZ_YPU_CPU_LOWBIT_PREFETCH_TILES = 48;
// Prefetches the line holding byte `offset` of `base`. The address may lie
// past the array (a prefetch never faults), so it is formed as an integer.
inline void qz_ypu_cpu_lowbit_prefetch_at(const void *base, int64_t offset) {
  __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(base) +
                                                    static_cast<uintptr_t>(offset)));
}

// The scale line ahead of pair `index`, for a caller that comes here once
// per 16 pairs (a 64-byte line holds 16 scale pairs).
inline void qz_ypu_cpu_lowbit_prefetch_scales(const qz_scale16_t *scales, int64_t index) {
  qz_ypu_cpu_lowbit_prefetch_at(scales, 4 * (index + QZ_YPU_CPU_LOWBIT_PREFETCH_TILES) + 64 * 4);
}

inline void qz_ypu_cpu_lowbit_prefetch(const qz_scale16_t *scales, const uint8_t *tiles,
                                       int64_t index, int32_t tile_bytes) {
  qz_ypu_cpu_lowbit_prefetch_at(tiles, (index + QZ_YPU_CPU_LOWBIT_PREFETCH_TILES) * tile_bytes);
  if ((index & 15) == 0) qz_ypu_cpu_lowbit_prefetch_scales(scales, index);
}

// Group sums: sums[g] = x[8g] + … + x[8g+7], left to right in single precision.
struct qz_ypu_cpu_lowbit_group_sums_context_t {
  const float *x;
  float *sums;
  int32_t count;
  int32_t chunks;
};
void qz_ypu_cpu_lowbit_group_sums_base(void *context, size_t chunk);
// The SSE4.1 set sums groups with the very same routine.
inline constexpr auto qz_ypu_cpu_lowbit_group_sums_sse41 = qz_ypu_cpu_lowbit_group_sums_base;
// Eight groups at a time in 8-float vectors, each with the same additions.
void qz_ypu_cpu_lowbit_group_sums_avx(void *context, size_t chunk);

// Runs the group sums of `count` groups over min(count, T²) chunks.
void qz_ypu_cpu_lowbit_run_group_sums(qz_ypu_cpu_device_t *device, const float *x, float *sums,
                                      int64_t count);

// ---------------------------------------------------------------------------
// Baseline drivers (bit-plane layout at 3, 5, 6, 7 bits; canonical otherwise).

#define QZ_YPU_CPU_LOWBIT_DECLARE_SET(set)                                                    \
  void qz_ypu_cpu_lowbit_gemv_##set##_1b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_2b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_3b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_4b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_5b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_6b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_7b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemv_##set##_8b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, float *);                                   \
  void qz_ypu_cpu_lowbit_gemm_##set##_1b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_2b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_3b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_4b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_5b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_6b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_7b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);          \
  void qz_ypu_cpu_lowbit_gemm_##set##_8b(qz_ypu_cpu_device_t *, const float *,               \
                                         const qz_scale16_t *, const uint8_t *, int32_t,      \
                                         int32_t, int32_t, void *, void *, float *);

// AVX-512F: float activations at every width; split-row tiles except at 4
// bits, which stay canonical (one row per 32-bit lane).
QZ_YPU_CPU_LOWBIT_DECLARE_SET(avx512)
void qz_ypu_cpu_lowbit_repack_avx512_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx512_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx512_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx512_7b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx512_8b(uint8_t *tile);

QZ_YPU_CPU_LOWBIT_DECLARE_SET(base)
QZ_YPU_CPU_LOWBIT_DECLARE_SET(avx)
QZ_YPU_CPU_LOWBIT_DECLARE_SET(avx2)
QZ_YPU_CPU_LOWBIT_DECLARE_SET(sse41)

// NEON: the SSE4.1 set's arithmetic and layouts (canonical at 1 and 2 bits,
// split-row above) with fused multiply-adds and pairwise group sums.
QZ_YPU_CPU_LOWBIT_DECLARE_SET(neon)

// Half precision: the NEON drivers, except that 2-bit tiles are split into
// a byte of columns 0-3 and a byte of columns 4-7 per row, and that the 1-
// and 2-bit matrix-matrix terms are formed in half precision.
void qz_ypu_cpu_lowbit_gemv_neon_fp16_2b(qz_ypu_cpu_device_t *, const float *,
                                         const qz_scale16_t *, const uint8_t *, int32_t, int32_t,
                                         float *);
void qz_ypu_cpu_lowbit_gemm_neon_fp16_1b(qz_ypu_cpu_device_t *, const float *,
                                         const qz_scale16_t *, const uint8_t *, int32_t, int32_t,
                                         int32_t, void *, void *, float *);
void qz_ypu_cpu_lowbit_gemm_neon_fp16_2b(qz_ypu_cpu_device_t *, const float *,
                                         const qz_scale16_t *, const uint8_t *, int32_t, int32_t,
                                         int32_t, void *, void *, float *);

// Dot product: 1 to 4 bits in the dot-product layout, summed with the 8-bit
// dot-product instruction; 5 to 8 bits are the NEON drivers.
#define QZ_YPU_CPU_LOWBIT_DECLARE_DOT(w)                                                    \
  void qz_ypu_cpu_lowbit_gemv_neon_dot_##w##b(qz_ypu_cpu_device_t *, const float *,        \
                                              const qz_scale16_t *, const uint8_t *, int32_t, \
                                              int32_t, float *);                           \
  void qz_ypu_cpu_lowbit_gemm_neon_dot_##w##b(qz_ypu_cpu_device_t *, const float *,        \
                                              const qz_scale16_t *, const uint8_t *, int32_t, \
                                              int32_t, int32_t, void *, void *, float *);
QZ_YPU_CPU_LOWBIT_DECLARE_DOT(1)
QZ_YPU_CPU_LOWBIT_DECLARE_DOT(2)
QZ_YPU_CPU_LOWBIT_DECLARE_DOT(3)
QZ_YPU_CPU_LOWBIT_DECLARE_DOT(4)
#undef QZ_YPU_CPU_LOWBIT_DECLARE_DOT
#undef QZ_YPU_CPU_LOWBIT_DECLARE_SET

// ---------------------------------------------------------------------------
// The frame of the quantising sets' drivers (SSE4.1, AVX, AVX2, ARM64
// sets): stage 1 prepares the activations of every group (matrix-vector)
// or (group, token) pair (matrix-matrix) over min(count, T²) chunks, stage 2
// runs the set's task over the row blocks. Only the tasks and the two
// preparing routines belong to an instruction set.

// What a task reads: per group or pair the 8 codes, lo and step (1 to 4
// bits) and the group sum; the float path reads x and sum only.
struct qz_ypu_cpu_lowbit_task_context_t {
  const float *x;        // float path: matrix-vector, the class's activations;
                         // matrix-matrix, [groups][n][8]
  const uint8_t *codes;  // integer path
  const float *sum;
  const float *lo;    // integer path
  const float *step;  // integer path
  const qz_scale16_t *scales;
  const uint8_t *tiles;
  int32_t groups;  // of the class: tile (rb, g) is number rb·groups + g
  int32_t row_blocks;
  int32_t tokens;          // matrix-matrix
  float *thread_scratch;   // matrix-matrix: slice t, 4 planes of n vectors of 4 floats
  float *out;              // matrix-vector: y; matrix-matrix: acc [row_blocks][n][16]
  int32_t chunks;          // matrix-vector: row-block chunks
  int32_t group_begin;     // matrix-vector: the slab of groups this loop adds,
  int32_t group_end;       //   scratch index g − group_begin
};

// A set's two stage-1 routines (quantiser and group-sum contexts).
struct qz_ypu_cpu_lowbit_preparers_t {
  void (*quantise)(void *context, size_t chunk);
  void (*sums)(void *context, size_t chunk);
};

// Matrix-vector driver: slabs of QZ_YPU_CPU_LOWBIT_GEMV_SLAB groups on the
// calling thread's stack, each prepared, then `task` over min(R, T) chunks
// of row blocks; the slabs add their groups in ascending order.
void qz_ypu_cpu_lowbit_run_gemv(qz_ypu_cpu_device_t *device, const float *x,
                                const qz_scale16_t *scales, const uint8_t *tiles, int32_t groups,
                                int32_t row_blocks, float *y, bool integer,
                                const qz_ypu_cpu_lowbit_preparers_t &prepare,
                                void (*task)(void *context, size_t chunk));
// Matrix-matrix driver: the G·n pairs prepared into act_scratch (codes
// [pairs][8], then lo, step and sum [pairs]; or sum alone), then `task` once
// per row block with the pool's thread index.
void qz_ypu_cpu_lowbit_run_gemm(qz_ypu_cpu_device_t *device, const float *x,
                                const qz_scale16_t *scales, const uint8_t *tiles, int32_t groups,
                                int32_t row_blocks, int32_t n, void *act_scratch,
                                void *thread_scratch, float *acc, bool integer,
                                const qz_ypu_cpu_lowbit_preparers_t &prepare,
                                void (*task)(void *context, size_t thread, size_t row_block));

// ---------------------------------------------------------------------------
// SSE4.1 activation quantiser: per group of 8, lo = minimum, step =
// (maximum − lo) / 255, sum left to right, code = lroundf((x − lo) / step)
// (0 for every element when step is 0).
struct qz_ypu_cpu_lowbit_quantize_context_t {
  const float *x;
  uint8_t *codes;
  float *lo;
  float *step;
  float *sum;
  int32_t groups;
  int32_t chunks;
};
// The AVX2 drivers use it too; the AVX set's quantiser is the same routine
// built with the AVX flags, so all three sets quantise to the same bits.
void qz_ypu_cpu_lowbit_quantize_act_sse41(void *context, size_t chunk);
void qz_ypu_cpu_lowbit_quantize_act_avx(void *context, size_t chunk);
inline constexpr qz_ypu_cpu_lowbit_preparers_t QZ_YPU_CPU_LOWBIT_PREPARERS_SSE41{
    qz_ypu_cpu_lowbit_quantize_act_sse41, qz_ypu_cpu_lowbit_group_sums_sse41};
inline constexpr qz_ypu_cpu_lowbit_preparers_t QZ_YPU_CPU_LOWBIT_PREPARERS_AVX{
    qz_ypu_cpu_lowbit_quantize_act_avx, qz_ypu_cpu_lowbit_group_sums_avx};
// The ARM64 sets' quantiser: the same lo, step and codes, with the group sum
// ((x0 + x4) + (x1 + x5)) + ((x2 + x6) + (x3 + x7)).
void qz_ypu_cpu_lowbit_quantize_act_neon(void *context, size_t chunk);
// The ARM64 sets' group sums, in the quantiser's order.
void qz_ypu_cpu_lowbit_group_sums_neon(void *context, size_t chunk);
inline constexpr qz_ypu_cpu_lowbit_preparers_t QZ_YPU_CPU_LOWBIT_PREPARERS_NEON{
    qz_ypu_cpu_lowbit_quantize_act_neon, qz_ypu_cpu_lowbit_group_sums_neon};

// ---------------------------------------------------------------------------
// Repacking.

void qz_ypu_cpu_lowbit_unpack_2b(const uint8_t *tile, int32_t *codes);
void qz_ypu_cpu_lowbit_unpack_3b(const uint8_t *tile, int32_t *codes);
void qz_ypu_cpu_lowbit_unpack_5b(const uint8_t *tile, int32_t *codes);
void qz_ypu_cpu_lowbit_unpack_6b(const uint8_t *tile, int32_t *codes);
void qz_ypu_cpu_lowbit_unpack_7b(const uint8_t *tile, int32_t *codes);

void qz_ypu_cpu_lowbit_repack_none(uint8_t *tile);
// Canonical form to bit-plane layout.
void qz_ypu_cpu_lowbit_repack_base_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_base_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_base_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_base_7b(uint8_t *tile);
// Canonical form to split-row layout, with AVX2 permutes.
void qz_ypu_cpu_lowbit_repack_avx2_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx2_4b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx2_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx2_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx2_7b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx2_8b(uint8_t *tile);
// Canonical form to split-row layout: the plain routine every split-row
// table's transforms call, then the AVX, SSE4.1 and NEON transforms.
void qz_ypu_cpu_lowbit_split_rows_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_split_rows_4b(uint8_t *tile);
void qz_ypu_cpu_lowbit_split_rows_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_split_rows_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_split_rows_7b(uint8_t *tile);
void qz_ypu_cpu_lowbit_split_rows_8b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx_4b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx_7b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_avx_8b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_sse41_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_sse41_4b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_sse41_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_sse41_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_sse41_7b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_sse41_8b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_4b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_5b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_6b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_7b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_8b(uint8_t *tile);
// Canonical form to the 2-bit split-row layout: byte r holds columns 0-3 of
// row r, byte 16 + r columns 4-7.
void qz_ypu_cpu_lowbit_repack_neon_fp16_2b(uint8_t *tile);
// Canonical form to the dot-product layout: 4-byte words whose byte j pairs
// column j (low field) with column j + 4 of one row; at 1 and 2 bits several
// rows share a word, at 3 bits rows 12-15 fill the spare top bits.
void qz_ypu_cpu_lowbit_repack_neon_dot_1b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_dot_2b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_dot_3b(uint8_t *tile);
void qz_ypu_cpu_lowbit_repack_neon_dot_4b(uint8_t *tile);
