// CPU entries of the low-bit linear operation (op 93) and its repack
// (op 94), and the kernel tables they choose from.
//
// Nothing in a tile buffer says which layout it holds: correctness rests on
// op 94 and op 93 choosing the same kernel set from the same flags, and on
// op 93 never handing a re-laid weight to the host code. The entry therefore
// declines only records the host code rejects as well.
#include <cstring>

#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

// ---------------------------------------------------------------------------
// Tables. Every table exists in every build; the slots of the other
// processor family's kernels are null there, and the choice below never
// picks such a set (its flag bits are not acted on).

#define QZ_YPU_CPU_LOWBIT_TABLE_OF(kind, set, family)                                      \
  {family(qz_ypu_cpu_lowbit_##kind##_##set##_1b), family(qz_ypu_cpu_lowbit_##kind##_##set##_2b), \
   family(qz_ypu_cpu_lowbit_##kind##_##set##_3b), family(qz_ypu_cpu_lowbit_##kind##_##set##_4b), \
   family(qz_ypu_cpu_lowbit_##kind##_##set##_5b), family(qz_ypu_cpu_lowbit_##kind##_##set##_6b), \
   family(qz_ypu_cpu_lowbit_##kind##_##set##_7b), family(qz_ypu_cpu_lowbit_##kind##_##set##_8b)}
#define QZ_YPU_CPU_LOWBIT_ANY(kernel) (&(kernel))
#define QZ_YPU_CPU_LOWBIT_TABLE(kind, set) QZ_YPU_CPU_LOWBIT_TABLE_OF(kind, set, QZ_YPU_CPU_X86)
#define QZ_YPU_CPU_LOWBIT_ARM_TABLE(kind, set) \
  QZ_YPU_CPU_LOWBIT_TABLE_OF(kind, set, QZ_YPU_CPU_ARM64)
#define QZ_YPU_CPU_ARM(kernel) QZ_YPU_CPU_ARM64(qz_ypu_cpu_lowbit_##kernel)

const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_base[8] =
    QZ_YPU_CPU_LOWBIT_TABLE_OF(gemv, base, QZ_YPU_CPU_LOWBIT_ANY);
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_sse41[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemv, sse41);
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_avx[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemv, avx);
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_avx2[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemv, avx2);
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_avx512[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemv, avx512);

const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_base[8] =
    QZ_YPU_CPU_LOWBIT_TABLE_OF(gemm, base, QZ_YPU_CPU_LOWBIT_ANY);
const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_sse41[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemm, sse41);
const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_avx[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemm, avx);
const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_avx2[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemm, avx2);
const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_avx512[8] =
    QZ_YPU_CPU_LOWBIT_TABLE(gemm, avx512);

// ARM64: the half-precision set shares the NEON drivers except at 2 bits
// (its own tile layout) and in its 1- and 2-bit matrix-matrix drivers; the
// dot-product set shares them from 5 bits up.
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_neon[8] =
    QZ_YPU_CPU_LOWBIT_ARM_TABLE(gemv, neon);
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_neon_fp16[8] = {
    QZ_YPU_CPU_ARM(gemv_neon_1b), QZ_YPU_CPU_ARM(gemv_neon_fp16_2b),
    QZ_YPU_CPU_ARM(gemv_neon_3b), QZ_YPU_CPU_ARM(gemv_neon_4b),
    QZ_YPU_CPU_ARM(gemv_neon_5b), QZ_YPU_CPU_ARM(gemv_neon_6b),
    QZ_YPU_CPU_ARM(gemv_neon_7b), QZ_YPU_CPU_ARM(gemv_neon_8b)};
const qz_ypu_cpu_lowbit_gemv_fn qz_ypu_cpu_lowbit_gemv_kernels_neon_dot[8] = {
    QZ_YPU_CPU_ARM(gemv_neon_dot_1b), QZ_YPU_CPU_ARM(gemv_neon_dot_2b),
    QZ_YPU_CPU_ARM(gemv_neon_dot_3b), QZ_YPU_CPU_ARM(gemv_neon_dot_4b),
    QZ_YPU_CPU_ARM(gemv_neon_5b),     QZ_YPU_CPU_ARM(gemv_neon_6b),
    QZ_YPU_CPU_ARM(gemv_neon_7b),     QZ_YPU_CPU_ARM(gemv_neon_8b)};

const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_neon[8] =
    QZ_YPU_CPU_LOWBIT_ARM_TABLE(gemm, neon);
const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_neon_fp16[8] = {
    QZ_YPU_CPU_ARM(gemm_neon_fp16_1b), QZ_YPU_CPU_ARM(gemm_neon_fp16_2b),
    QZ_YPU_CPU_ARM(gemm_neon_3b),      QZ_YPU_CPU_ARM(gemm_neon_4b),
    QZ_YPU_CPU_ARM(gemm_neon_5b),      QZ_YPU_CPU_ARM(gemm_neon_6b),
    QZ_YPU_CPU_ARM(gemm_neon_7b),      QZ_YPU_CPU_ARM(gemm_neon_8b)};
const qz_ypu_cpu_lowbit_gemm_fn qz_ypu_cpu_lowbit_gemm_kernels_neon_dot[8] = {
    QZ_YPU_CPU_ARM(gemm_neon_dot_1b), QZ_YPU_CPU_ARM(gemm_neon_dot_2b),
    QZ_YPU_CPU_ARM(gemm_neon_dot_3b), QZ_YPU_CPU_ARM(gemm_neon_dot_4b),
    QZ_YPU_CPU_ARM(gemm_neon_5b),     QZ_YPU_CPU_ARM(gemm_neon_6b),
    QZ_YPU_CPU_ARM(gemm_neon_7b),     QZ_YPU_CPU_ARM(gemm_neon_8b)};

#undef QZ_YPU_CPU_LOWBIT_TABLE
#undef QZ_YPU_CPU_LOWBIT_ARM_TABLE
#undef QZ_YPU_CPU_LOWBIT_TABLE_OF
#undef QZ_YPU_CPU_LOWBIT_ANY

const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_base[8] = {
    qz_ypu_cpu_lowbit_repack_none,    qz_ypu_cpu_lowbit_repack_none,
    qz_ypu_cpu_lowbit_repack_base_3b, qz_ypu_cpu_lowbit_repack_none,
    qz_ypu_cpu_lowbit_repack_base_5b, qz_ypu_cpu_lowbit_repack_base_6b,
    qz_ypu_cpu_lowbit_repack_base_7b, qz_ypu_cpu_lowbit_repack_none};
// Widths 1 and 2 keep the stored form; 3 to 8 go to the split-row layout.
#define QZ_YPU_CPU_LOWBIT_SPLIT_ROW_TABLE(set)                                             \
  {qz_ypu_cpu_lowbit_repack_none,         qz_ypu_cpu_lowbit_repack_none,                  \
   QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_##set##_3b),                                   \
   QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_##set##_4b),                                   \
   QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_##set##_5b),                                   \
   QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_##set##_6b),                                   \
   QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_##set##_7b),                                   \
   QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_##set##_8b)}
const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_sse41[8] =
    QZ_YPU_CPU_LOWBIT_SPLIT_ROW_TABLE(sse41);
const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_avx[8] =
    QZ_YPU_CPU_LOWBIT_SPLIT_ROW_TABLE(avx);
const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_avx2[8] =
    QZ_YPU_CPU_LOWBIT_SPLIT_ROW_TABLE(avx2);
// AVX-512F keeps 4-bit tiles canonical: one row per 32-bit lane.
const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_avx512[8] = {
    qz_ypu_cpu_lowbit_repack_none,
    qz_ypu_cpu_lowbit_repack_none,
    QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_avx512_3b),
    qz_ypu_cpu_lowbit_repack_none,
    QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_avx512_5b),
    QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_avx512_6b),
    QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_avx512_7b),
    QZ_YPU_CPU_X86(qz_ypu_cpu_lowbit_repack_avx512_8b)};
#undef QZ_YPU_CPU_LOWBIT_SPLIT_ROW_TABLE

const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_neon[8] = {
    qz_ypu_cpu_lowbit_repack_none,  qz_ypu_cpu_lowbit_repack_none,
    QZ_YPU_CPU_ARM(repack_neon_3b), QZ_YPU_CPU_ARM(repack_neon_4b),
    QZ_YPU_CPU_ARM(repack_neon_5b), QZ_YPU_CPU_ARM(repack_neon_6b),
    QZ_YPU_CPU_ARM(repack_neon_7b), QZ_YPU_CPU_ARM(repack_neon_8b)};
const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_neon_fp16[8] = {
    qz_ypu_cpu_lowbit_repack_none,  QZ_YPU_CPU_ARM(repack_neon_fp16_2b),
    QZ_YPU_CPU_ARM(repack_neon_3b), QZ_YPU_CPU_ARM(repack_neon_4b),
    QZ_YPU_CPU_ARM(repack_neon_5b), QZ_YPU_CPU_ARM(repack_neon_6b),
    QZ_YPU_CPU_ARM(repack_neon_7b), QZ_YPU_CPU_ARM(repack_neon_8b)};
const qz_ypu_cpu_lowbit_repack_fn qz_ypu_cpu_lowbit_repack_kernels_neon_dot[8] = {
    QZ_YPU_CPU_ARM(repack_neon_dot_1b), QZ_YPU_CPU_ARM(repack_neon_dot_2b),
    QZ_YPU_CPU_ARM(repack_neon_dot_3b), QZ_YPU_CPU_ARM(repack_neon_dot_4b),
    QZ_YPU_CPU_ARM(repack_neon_5b),     QZ_YPU_CPU_ARM(repack_neon_6b),
    QZ_YPU_CPU_ARM(repack_neon_7b),     QZ_YPU_CPU_ARM(repack_neon_8b)};
#undef QZ_YPU_CPU_ARM

namespace {

// Per set: tables, activation scratch per (token, group), whether the
// GEMM drivers take per-thread slices and whether they add into the output
// rows themselves (no accumulator to move out afterwards). The quantising
// sets (all ARM64 sets but the plain one among them) keep 8 codes and three
// floats per pair; AVX-512F a group sum in two orders; the others one group
// sum.
constexpr qz_ypu_cpu_lowbit_kernels_t QZ_YPU_CPU_LOWBIT_SETS[] = {
    {qz_ypu_cpu_lowbit_gemv_kernels_base, qz_ypu_cpu_lowbit_gemm_kernels_base,
     qz_ypu_cpu_lowbit_repack_kernels_base, 4, false},
    {qz_ypu_cpu_lowbit_gemv_kernels_sse41, qz_ypu_cpu_lowbit_gemm_kernels_sse41,
     qz_ypu_cpu_lowbit_repack_kernels_sse41, 20, true},
    {qz_ypu_cpu_lowbit_gemv_kernels_avx, qz_ypu_cpu_lowbit_gemm_kernels_avx,
     qz_ypu_cpu_lowbit_repack_kernels_avx, 20, true},
    {qz_ypu_cpu_lowbit_gemv_kernels_avx2, qz_ypu_cpu_lowbit_gemm_kernels_avx2,
     qz_ypu_cpu_lowbit_repack_kernels_avx2, 20, true},
    {qz_ypu_cpu_lowbit_gemv_kernels_avx512, qz_ypu_cpu_lowbit_gemm_kernels_avx512,
     qz_ypu_cpu_lowbit_repack_kernels_avx512, 8, false, true},
    {qz_ypu_cpu_lowbit_gemv_kernels_neon, qz_ypu_cpu_lowbit_gemm_kernels_neon,
     qz_ypu_cpu_lowbit_repack_kernels_neon, 20, true},
    {qz_ypu_cpu_lowbit_gemv_kernels_neon_fp16, qz_ypu_cpu_lowbit_gemm_kernels_neon_fp16,
     qz_ypu_cpu_lowbit_repack_kernels_neon_fp16, 20, true},
    {qz_ypu_cpu_lowbit_gemv_kernels_neon_dot, qz_ypu_cpu_lowbit_gemm_kernels_neon_dot,
     qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 20, true},
};

}  // namespace

// The highest flag present wins; a lower one need not be set. Kernels and
// repack ask the same question: on ARM64 the NEON set answers either bit of
// the NEON mask for both, so a stray 0x10 cannot give split-row tiles to the
// plain kernels.
qz_ypu_cpu_lowbit_set_t qz_ypu_cpu_lowbit_choose(uint32_t isa_flags) {
  // x86 and ARM64 flags never act in the same build (qz_ypu_cpu_has).
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX512F)) return QZ_YPU_CPU_LOWBIT_AVX512;
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX2)) return QZ_YPU_CPU_LOWBIT_AVX2;
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_AVX)) return QZ_YPU_CPU_LOWBIT_AVX;
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_SSE41)) return QZ_YPU_CPU_LOWBIT_SSE41;
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_NEON_DOTPROD)) return QZ_YPU_CPU_LOWBIT_NEON_DOT;
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_NEON_FP16)) return QZ_YPU_CPU_LOWBIT_NEON_FP16;
  if (qz_ypu_cpu_has(isa_flags, QZ_YPU_CPU_ISA_NEON_MASK)) return QZ_YPU_CPU_LOWBIT_NEON;
  return QZ_YPU_CPU_LOWBIT_BASE;
}

const qz_ypu_cpu_lowbit_kernels_t &qz_ypu_cpu_lowbit_kernels(qz_ypu_cpu_lowbit_set_t set) {
  return QZ_YPU_CPU_LOWBIT_SETS[set];
}

namespace {

bool holds(qz_ypu_buffer_t *buffer, int64_t bytes) {
  return buffer && qz_ypu_cpu_buffer(buffer)->size >= bytes;
}

// The same checks as the host implementation, so that a declined call is
// one the host rejects too (it must never compute with re-laid tiles).
bool linear_record_ok(const qz_ypu_linear_lowbit_params_t &p, qz_ypu_lowbit_layout_t *layout) {
  if (!qz_ypu_lowbit_layout_init(layout, p.row_blocks, p.width_counts)) return false;
  if (p.n < 0 || p.in_offset < 0 || p.out_offset < 0) return false;
  const int64_t in_bytes = int64_t{p.n} * layout->columns * 4;
  const int64_t out_bytes = int64_t{p.n} * layout->row_blocks * QZ_YPU_LOWBIT_TILE_ROWS * 4;
  return holds(p.perm, int64_t{layout->columns} * 4) && holds(p.scales, layout->scale_bytes) &&
         holds(p.tiles, layout->tile_bytes) && holds(p.in, p.in_offset + in_bytes) &&
         holds(p.out, p.out_offset + out_bytes);
}

struct weight_view {
  const int32_t *perm;
  const qz_scale16_t *scales;
  const uint8_t *tiles;
};

// Matrix-vector path: one input row.
qz_status_t linear_one_row(qz_ypu_cpu_device_t *device, const qz_ypu_cpu_lowbit_kernels_t &set,
                           const qz_ypu_lowbit_layout_t &layout, const weight_view &w,
                           const float *in, float *out, qz_ypu_cpu_scratch &scratch) {
  float *x = scratch.get<float>(layout.columns);
  if (!x) return QZ_STATUS_OUT_OF_MEMORY;
  for (int32_t j = 0; j < layout.columns; ++j) x[j] = in[w.perm[j]];
  std::memset(out, 0, size_t(layout.row_blocks) * QZ_YPU_LOWBIT_TILE_ROWS * sizeof(float));
  for (int32_t b = 1; b <= QZ_YPU_LOWBIT_MAX_WIDTH; ++b) {
    const int32_t t = layout.counts[b - 1];
    if (t <= 0 || layout.row_blocks <= 0) continue;
    set.gemv[b - 1](device, x + 8 * int64_t{layout.group_start[b - 1]},
                    w.scales + 2 * int64_t{layout.pair_start[b - 1]},
                    w.tiles + layout.tile_start[b - 1], t, layout.row_blocks, out);
  }
  return QZ_STATUS_SUCCESS;
}

}  // namespace

// Puts token rows into [G][n][8] order, stored columns first.
struct qz_ypu_cpu_lowbit_gather_context_t {
  int32_t out_row_length;
  int32_t columns;
  const int32_t *perm;
  int32_t groups;
  int32_t n;
  const float *in;
  const int32_t *rows;  // the input row of each packed token
  float *packed;
  int32_t chunks;
};

// Moves the accumulator [R][n][16] to n output rows of 16·R.
struct qz_ypu_cpu_lowbit_scatter_context_t {
  int32_t out_row_length;
  int32_t n;
  int32_t row_blocks;
  const float *acc;
  float *out;
  int32_t token_parts;
  int32_t block_parts;
  int32_t element_parts;
};

struct qz_ypu_cpu_lowbit_repack_context_t {
  int32_t row_blocks;
  int32_t width_counts[8];
  int32_t tile_start[8];
  uint8_t *tiles;
  const qz_ypu_cpu_lowbit_repack_fn *table;
};

// Each token's values go straight to their packed places; the result is the
// same as first permuting the row into a temporary, without a stack array
// as long as the row.
void qz_ypu_cpu_lowbit_gather_act_task(void *context, size_t chunk) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_gather_context_t *>(context);
  const qz_ypu_cpu_range_t tokens = qz_ypu_cpu_split(c.n, c.chunks, int64_t(chunk));
  for (int64_t i = tokens.begin; i < tokens.end; ++i) {
    const float *row = c.in + int64_t{c.rows[i]} * c.columns;
    for (int32_t g = 0; g < c.groups; ++g) {
      float *to = c.packed + (int64_t{g} * c.n + i) * 8;
      for (int32_t k = 0; k < 8; ++k) to[k] = row[c.perm[8 * g + k]];
    }
  }
}

void qz_ypu_cpu_lowbit_scatter_out_task(void *context, size_t token_part, size_t block_part,
                                        size_t element_part) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_scatter_context_t *>(context);
  const qz_ypu_cpu_range_t tokens = qz_ypu_cpu_split(c.n, c.token_parts, int64_t(token_part));
  const qz_ypu_cpu_range_t blocks =
      qz_ypu_cpu_split(c.row_blocks, c.block_parts, int64_t(block_part));
  const qz_ypu_cpu_range_t elements =
      qz_ypu_cpu_split(QZ_YPU_LOWBIT_TILE_ROWS, c.element_parts, int64_t(element_part));
  for (int64_t i = tokens.begin; i < tokens.end; ++i)
    for (int64_t rb = blocks.begin; rb < blocks.end; ++rb)
      for (int64_t e = elements.begin; e < elements.end; ++e)
        c.out[i * c.out_row_length + 16 * rb + e] = c.acc[(rb * c.n + i) * 16 + e];
}

void qz_ypu_cpu_lowbit_repack_task(void *context, size_t row_block) {
  const auto &c = *static_cast<const qz_ypu_cpu_lowbit_repack_context_t *>(context);
  const int64_t rb = static_cast<int64_t>(row_block);
  for (int32_t b = 1; b <= QZ_YPU_LOWBIT_MAX_WIDTH; ++b) {
    const int32_t t = c.width_counts[b - 1];
    for (int32_t g = 0; g < t; ++g)
      c.table[b - 1](c.tiles + c.tile_start[b - 1] +
                     (rb * t + g) * qz_ypu_lowbit_tile_bytes(b));
  }
}

namespace {

// Every beam of a search's first step, and beams that end in the same token
// at a layer's first product, give bit-identical input rows. A token's sums
// do not depend on the other tokens, so each distinct row is computed once
// (rows[] lists them; source[i] is row i's place among them). Rows are
// compared only in calls with few tokens: many tokens are a text's own.
constexpr int32_t kDistinctRowsUpTo = 64;

int32_t distinct_rows(const float *in, int32_t n, int32_t columns, int32_t *rows,
                      int32_t *source) {
  const size_t bytes = size_t(columns) * sizeof(float);
  int32_t m = 0;
  for (int32_t i = 0; i < n; ++i) {
    const float *row = in + int64_t{i} * columns;
    int32_t u = 0;
    if (n <= kDistinctRowsUpTo)
      while (u < m && std::memcmp(in + int64_t{rows[u]} * columns, row, bytes) != 0) ++u;
    else
      u = m;
    if (u == m) rows[m++] = i;
    source[i] = u;
  }
  return m;
}

// Spreads the m computed rows, at the start of out, to the n rows they stand
// for. source[i] <= i, so going downwards never overwrites a row still to be
// read.
void spread_rows(float *out, int64_t row_length, int32_t n, const int32_t *source) {
  for (int32_t i = n - 1; i >= 0; --i)
    if (source[i] != i)
      std::memcpy(out + i * row_length, out + source[i] * row_length,
                  size_t(row_length) * sizeof(float));
}

// Matrix-matrix path: the distinct rows of n at once, through [G][m][8]
// activations and an [R][m][16] accumulator (or, for the sets that add into
// them, the output rows themselves).
qz_status_t linear_many_rows(qz_ypu_cpu_device_t *device, const qz_ypu_cpu_lowbit_kernels_t &set,
                             const qz_ypu_lowbit_layout_t &layout, const weight_view &w,
                             int32_t rows_in, const float *in, float *out,
                             qz_ypu_cpu_scratch &scratch) {
  const int64_t groups = layout.groups, row_blocks = layout.row_blocks;
  const int64_t threads = device->threads;
  int32_t *rows = scratch.get<int32_t>(rows_in);
  int32_t *source = scratch.get<int32_t>(rows_in);
  if (!rows || !source) return QZ_STATUS_OUT_OF_MEMORY;
  const int32_t n = distinct_rows(in, rows_in, layout.columns, rows, source);
  float *packed = scratch.get<float>(qz_ypu_cpu_scratch_bytes(groups, 8 * int64_t{n}));
  if (!packed) return QZ_STATUS_OUT_OF_MEMORY;
  const int64_t gather_chunks = qz_ypu_cpu_items(device, qz_ypu_cpu_items_squared(threads, n));
  qz_ypu_cpu_lowbit_gather_context_t gather{
      static_cast<int32_t>(16 * row_blocks), layout.columns, w.perm, layout.groups, n, in, rows,
      packed, static_cast<int32_t>(gather_chunks)};
  qz_ypu_cpu_run_1d(device, qz_ypu_cpu_lowbit_gather_act_task, &gather, gather_chunks);

  const int64_t acc_floats = qz_ypu_cpu_scratch_bytes(row_blocks, 16 * int64_t{n});
  float *acc = set.acc_is_out ? out : scratch.get<float>(acc_floats);
  if (!acc) return QZ_STATUS_OUT_OF_MEMORY;
  void *act = scratch.get(qz_ypu_cpu_scratch_bytes(groups * n, set.act_bytes_per_pair));
  if (!act) return QZ_STATUS_OUT_OF_MEMORY;
  void *slices = nullptr;
  if (set.thread_scratch) {
    // Slices are indexed by the pool's thread index, below its thread count.
    int64_t count = threads;
    if (device->pool)
      count = qz_ypu_cpu_max(count, int64_t(pthreadpool_get_threads_count(device->pool)));
    // Slices are 64-byte aligned for the drivers' aligned vector accesses;
    // scratch blocks are less aligned, so take the difference more and round up.
    constexpr int64_t extra = 64 - int64_t{QZ_YPU_CPU_SCRATCH_ALIGNMENT};
    const int64_t bytes = qz_ypu_cpu_scratch_bytes(count, 64 * int64_t{n});
    auto *block = static_cast<uint8_t *>(scratch.get(bytes < 0 ? bytes : bytes + extra));
    if (!block) return QZ_STATUS_OUT_OF_MEMORY;
    slices = block + (-reinterpret_cast<uintptr_t>(block) & 63);
  }

  // Every scratch block is in hand: the output may change from here on (the
  // activations were gathered first, so an output that is also the input
  // does no harm).
  std::memset(acc, 0, size_t(acc_floats) * sizeof(float));
  for (int32_t b = 1; b <= QZ_YPU_LOWBIT_MAX_WIDTH; ++b) {
    const int32_t t = layout.counts[b - 1];
    if (t <= 0 || row_blocks <= 0) continue;
    set.gemm[b - 1](device, packed + 8 * int64_t{n} * layout.group_start[b - 1],
                    w.scales + 2 * int64_t{layout.pair_start[b - 1]},
                    w.tiles + layout.tile_start[b - 1], t, layout.row_blocks, n, act, slices, acc);
  }

  if (set.acc_is_out) {
    spread_rows(out, 16 * row_blocks, rows_in, source);
    return QZ_STATUS_SUCCESS;
  }
  const bool pool = device->pool != nullptr;
  qz_ypu_cpu_lowbit_scatter_context_t scatter{
      static_cast<int32_t>(16 * row_blocks),
      n,
      layout.row_blocks,
      acc,
      out,
      static_cast<int32_t>(pool ? qz_ypu_cpu_min(n, threads) : 1),
      static_cast<int32_t>(pool ? qz_ypu_cpu_min(row_blocks, threads) : 1),
      // A block's 16 outputs move together: splitting them only adds items.
      1};
  qz_ypu_cpu_run_3d(device, qz_ypu_cpu_lowbit_scatter_out_task, &scatter, scatter.token_parts,
                    scatter.block_parts, scatter.element_parts);
  spread_rows(out, 16 * row_blocks, rows_in, source);
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_ypu_cpu_linear_lowbit(void *opaque, void *, const void *params) {
  qz_ypu_cpu_device_t *device = qz_ypu_cpu_device(opaque);
  const auto &p = *static_cast<const qz_ypu_linear_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  if (!linear_record_ok(p, &layout)) return QZ_YPU_CPU_DECLINE;
  if (p.n == 0) return QZ_STATUS_SUCCESS;

  const weight_view w{qz_ypu_cpu_operand<const int32_t>(p.perm, 0),
                      qz_ypu_cpu_operand<const qz_scale16_t>(p.scales, 0),
                      qz_ypu_cpu_operand<const uint8_t>(p.tiles, 0)};
  qz_ypu_cpu_scratch scratch;
  // perm comes from the model file: every stored column must name a
  // distinct input element, or the gather would read outside the row.
  uint8_t *seen = scratch.get<uint8_t>(layout.columns);
  if (!seen) return QZ_STATUS_OUT_OF_MEMORY;
  if (!qz_ypu_lowbit_perm_valid(w.perm, layout.columns, seen)) return QZ_YPU_CPU_DECLINE;

  const qz_ypu_cpu_lowbit_kernels_t &set =
      qz_ypu_cpu_lowbit_kernels(qz_ypu_cpu_lowbit_choose(device->isa_flags));
  const float *in = qz_ypu_cpu_operand<const float>(p.in, p.in_offset);
  float *out = qz_ypu_cpu_operand<float>(p.out, p.out_offset);
  return p.n == 1 ? linear_one_row(device, set, layout, w, in, out, scratch)
                  : linear_many_rows(device, set, layout, w, p.n, in, out, scratch);
}

qz_status_t qz_ypu_cpu_repack_lowbit(void *opaque, void *, const void *params) {
  qz_ypu_cpu_device_t *device = qz_ypu_cpu_device(opaque);
  const auto &p = *static_cast<const qz_ypu_repack_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  // A record the host would not accept for op 93 leaves the tiles as they
  // are (the host's repack does nothing); op 93 then rejects it as well.
  if (!qz_ypu_lowbit_layout_init(&layout, p.row_blocks, p.width_counts) ||
      !holds(p.tiles, layout.tile_bytes))
    return QZ_YPU_CPU_DECLINE;
  qz_ypu_cpu_lowbit_repack_context_t c{};
  c.row_blocks = layout.row_blocks;
  std::memcpy(c.width_counts, layout.counts, sizeof c.width_counts);
  std::memcpy(c.tile_start, layout.tile_start, sizeof c.tile_start);
  c.tiles = qz_ypu_cpu_operand<uint8_t>(p.tiles, 0);
  c.table = qz_ypu_cpu_lowbit_kernels(qz_ypu_cpu_lowbit_choose(device->isa_flags)).repack;
  qz_ypu_cpu_run_1d(device, qz_ypu_cpu_lowbit_repack_task, &c, layout.row_blocks);
  return QZ_STATUS_SUCCESS;
}
