// The AVX2 product task. Every output keeps four 8-lane accumulators; lane
// block q of every 32-value step goes into accumulator q by fused
// multiply-add, and the accumulators are reduced in one fixed order. The
// four accumulator chains are independent, so the kernel runs them one after
// another over a tile of R rows of `a` and C rows of `b`: each loaded vector
// feeds several outputs, and every output still sees exactly the same
// operations in the same order, whatever the tile it falls in.
#include <immintrin.h>

#include "ypu/cpu/matmul.h"
#include "ypu/cpu/isa_local.h"

#define QZ_AVX2_FMA __attribute__((target("avx2,fma")))

namespace {

QZ_AVX2_FMA float reduce(__m256 acc0, __m256 acc1, __m256 acc2, __m256 acc3) {
  const __m256 f = _mm256_add_ps(_mm256_add_ps(acc2, acc3), _mm256_add_ps(acc0, acc1));
  const __m128 g = _mm_add_ps(_mm256_castps256_ps128(f), _mm256_extractf128_ps(f, 1));
  alignas(16) float lane[4];
  _mm_store_ps(lane, g);
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

// out[r][c] for the rows a[r] and b[c] of the tile; k a multiple of 32.
template <int R, int C>
QZ_AVX2_FMA void tile(const float *a, const float *b, float *out, int64_t k, int64_t n) {
  __m256 acc[4][R][C];
  for (int q = 0; q < 4; ++q) {
    __m256 t[R][C];
    for (int r = 0; r < R; ++r)
      for (int c = 0; c < C; ++c) t[r][c] = _mm256_setzero_ps();
    for (int64_t s = 8 * q; s < k; s += 32) {
      __m256 bv[C];
      for (int c = 0; c < C; ++c) bv[c] = _mm256_loadu_ps(b + c * k + s);
      for (int r = 0; r < R; ++r) {
        const __m256 av = _mm256_loadu_ps(a + r * k + s);
        for (int c = 0; c < C; ++c) t[r][c] = _mm256_fmadd_ps(bv[c], av, t[r][c]);
      }
    }
    for (int r = 0; r < R; ++r)
      for (int c = 0; c < C; ++c) acc[q][r][c] = t[r][c];
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < C; ++c)
      out[r * n + c] = reduce(acc[0][r][c], acc[1][r][c], acc[2][r][c], acc[3][r][c]);
}

constexpr int kRows = 4, kCols = 2;

// The outputs of rows [row_lo, row_hi] and columns [col_lo, col_hi): column
// groups outermost, so a group's rows of `b` stay in the first-level cache
// while every row of `a` passes them.
QZ_AVX2_FMA void block(const qz_ypu_cpu_matmul_context_t &c, int64_t row_lo, int64_t row_hi,
                       int64_t col_lo, int64_t col_hi) {
  const int64_t k = c.k, n = c.n;
  auto at = [&](int64_t i, int64_t j) { return c.out + i * n + j; };
  int64_t j = col_lo;
  for (; j + kCols <= col_hi; j += kCols) {
    int64_t i = row_lo;
    for (; i + kRows <= row_hi + 1; i += kRows) tile<kRows, kCols>(c.a + i * k, c.b + j * k, at(i, j), k, n);
    for (; i <= row_hi; ++i) tile<1, kCols>(c.a + i * k, c.b + j * k, at(i, j), k, n);
  }
  for (; j < col_hi; ++j) {
    int64_t i = row_lo;
    for (; i + kRows <= row_hi + 1; i += kRows) tile<kRows, 1>(c.a + i * k, c.b + j * k, at(i, j), k, n);
    for (; i <= row_hi; ++i) tile<1, 1>(c.a + i * k, c.b + j * k, at(i, j), k, n);
  }
}

}  // namespace

// An item's elements form a partial first row, full middle rows and a
// partial last row. Cut at the first row's start column and the last row's
// end column, every column segment has one contiguous set of rows.
void qz_ypu_cpu_matmul_nt_f32_avx2(void *opaque, size_t item) {
  const auto &c = *static_cast<const qz_ypu_cpu_matmul_context_t *>(opaque);
  if (c.k <= 0 || c.k % 32 != 0) return;  // never chosen for such k
  const int64_t n = c.n;
  const qz_ypu_cpu_range_t r = qz_isa_split(int64_t{c.m} * n, c.items, static_cast<int64_t>(item));
  if (r.begin >= r.end) return;
  const int64_t first_row = r.begin / n, last_row = (r.end - 1) / n;
  const int64_t start_col = r.begin - first_row * n;  // first row: columns [start_col, n)
  const int64_t end_col = r.end - last_row * n;       // last row: columns [0, end_col)
  int64_t cuts[4] = {0, start_col, end_col, n};
  if (cuts[1] > cuts[2]) {
    const int64_t t = cuts[1];
    cuts[1] = cuts[2];
    cuts[2] = t;
  }
  for (int s = 0; s < 3; ++s) {
    const int64_t lo = cuts[s], hi = cuts[s + 1];
    if (lo >= hi) continue;
    const int64_t row_lo = first_row + (lo < start_col ? 1 : 0);
    const int64_t row_hi = last_row - (lo >= end_col ? 1 : 0);
    if (row_lo <= row_hi) block(c, row_lo, row_hi, lo, hi);
  }
}
