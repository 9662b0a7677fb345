// Low-bit weights: a matrix of 16·R rows and 8·G columns whose entries are
// unsigned codes of 1 to 8 bits, stored in tiles of 16 rows by 8 columns with
// one offset and one scale per tile. Every column group of 8 has one width;
// groups are stored sorted by width, and a permutation maps stored columns
// back to input elements.
//
// Storage is three arrays, each holding the width classes one after another
// in ascending width (absent classes take no space), row-block major inside
// a class:
//   tiles   class b: R × t[b−1] tiles of 16·b bytes (canonical bit stream, or
//           re-laid in place for one instruction set);
//   scales  class b: R × t[b−1] {offset, scale} pairs of qz_scale16_t;
//   perm    8·G int32, stored column → input element.
//
// This header is the one definition of the format; the host reference, the
// CPU kernels and the GPU kernels' tests all decode through it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// The scale array is read as 16-bit numbers and the formats' words are
// little-endian; every target of the library is.
static_assert(std::endian::native == std::endian::little);

inline constexpr int32_t QZ_YPU_LOWBIT_TILE_ROWS = 16;
inline constexpr int32_t QZ_YPU_LOWBIT_TILE_COLS = 8;
inline constexpr int32_t QZ_YPU_LOWBIT_TILE_CODES = QZ_YPU_LOWBIT_TILE_ROWS * QZ_YPU_LOWBIT_TILE_COLS;
inline constexpr int32_t QZ_YPU_LOWBIT_MAX_WIDTH = 8;

// Bytes of one tile of `width` bits: one row of 8 codes fills `width` bytes.
constexpr int32_t qz_ypu_lowbit_tile_bytes(int32_t width) {
  return QZ_YPU_LOWBIT_TILE_ROWS * width;
}

// ---------------------------------------------------------------------------
// qz_scale16_t: sign (bit 15), exponent e (bits 14..10), mantissa m (bits
// 9..0); value = (−1)^s · m · 2^(e − 35). No hidden bit and no special
// patterns: every pattern is finite, and m = 0 is zero whatever e is.

using qz_scale16_t = uint16_t;

// Entry e is 2^(e − 35); every entry is an exact power of two.
inline constexpr float QZ_SCALE16_EXP_TABLE[32] = {
    0x1p-35f, 0x1p-34f, 0x1p-33f, 0x1p-32f, 0x1p-31f, 0x1p-30f, 0x1p-29f, 0x1p-28f,
    0x1p-27f, 0x1p-26f, 0x1p-25f, 0x1p-24f, 0x1p-23f, 0x1p-22f, 0x1p-21f, 0x1p-20f,
    0x1p-19f, 0x1p-18f, 0x1p-17f, 0x1p-16f, 0x1p-15f, 0x1p-14f, 0x1p-13f, 0x1p-12f,
    0x1p-11f, 0x1p-10f, 0x1p-9f, 0x1p-8f, 0x1p-7f, 0x1p-6f, 0x1p-5f, 0x1p-4f,
};
static_assert(QZ_SCALE16_EXP_TABLE[26] == 0.001953125f);
static_assert(QZ_SCALE16_EXP_TABLE[31] == 0.0625f);

// Each step is exact in single precision: m has at most 10 bits and the
// factors are powers of two.
// The sign goes in as a bit, which is what multiplying by -1 does to every
// finite value and zero; no branch, as kernels decode a pair per tile and the
// signs of real weights do not follow a pattern a predictor could learn.
constexpr float qz_scale16_decode(qz_scale16_t u) {
  const float magnitude = static_cast<float>(u & 0x3FF) * QZ_SCALE16_EXP_TABLE[(u >> 10) & 31];
  return std::bit_cast<float>(std::bit_cast<uint32_t>(magnitude) |
                              (static_cast<uint32_t>(u & 0x8000) << 16));
}
static_assert(qz_scale16_decode(0x7FFF) == 63.9375f);
static_assert(qz_scale16_decode(0x6A00) == 1.0f);

// A tile's offset and scale. In the scale array they are numbers 2i and 2i+1,
// which on the little-endian targets is one 32-bit word with the offset in
// its low half.
struct qz_ypu_lowbit_scale_pair_t {
  qz_scale16_t offset;
  qz_scale16_t scale;
};
static_assert(sizeof(qz_ypu_lowbit_scale_pair_t) == 4);
static_assert(offsetof(qz_ypu_lowbit_scale_pair_t, offset) == 0);
static_assert(offsetof(qz_ypu_lowbit_scale_pair_t, scale) == 2);

// ---------------------------------------------------------------------------
// A tile's 128 codes, decoded: code (r, k) is codes[8·r + k]. The canonical
// stored form is a little-endian bit stream of these codes in row-major
// order, `width` bits each, least significant bit first.
struct qz_ypu_lowbit_tile_t {
  uint8_t codes[QZ_YPU_LOWBIT_TILE_CODES];
};
static_assert(sizeof(qz_ypu_lowbit_tile_t) == 128);

// Decodes the 16·width bytes of a canonical tile. Returns false (and writes
// nothing) when width is not 1 to 8.
bool qz_ypu_lowbit_tile_decode(const uint8_t *bytes, int32_t width, qz_ypu_lowbit_tile_t *tile);

// ---------------------------------------------------------------------------
// Where each width class starts in the three arrays. Index b − 1 describes
// width b; absent classes have count 0 and start where the next one does.
struct qz_ypu_lowbit_layout_t {
  int32_t row_blocks;                           // R
  int32_t groups;                               // G, the sum of the counts
  int32_t counts[QZ_YPU_LOWBIT_MAX_WIDTH];      // t[b−1]
  int32_t group_start[QZ_YPU_LOWBIT_MAX_WIDTH]; // S_b: first stored group
  int32_t pair_start[QZ_YPU_LOWBIT_MAX_WIDTH];  // P_b = R·S_b: first scale pair
  int32_t tile_start[QZ_YPU_LOWBIT_MAX_WIDTH];  // T_b: first tile byte
  int32_t tile_bytes;                           // the whole tile array
  int32_t scale_bytes;                          // 4·R·G
  int32_t columns;                              // 8·G, also the perm length
};

// Fills `layout` from R and the eight counts. Returns false when R or a
// count is negative, or when any array (tiles, scales, perm, an 8·G float
// row or a 16·R float row) would not fit in INT32_MAX bytes; sizes are
// summed in 64 bits, so nothing wraps on the way.
bool qz_ypu_lowbit_layout_init(qz_ypu_lowbit_layout_t *layout, int32_t row_blocks,
                               const int32_t counts[QZ_YPU_LOWBIT_MAX_WIDTH]);

// Byte position of the tile of row block rb and class group g of width b.
inline int32_t qz_ypu_lowbit_tile_offset(const qz_ypu_lowbit_layout_t &layout, int32_t width,
                                         int32_t rb, int32_t g) {
  const int32_t t = layout.counts[width - 1];
  return layout.tile_start[width - 1] + (rb * t + g) * qz_ypu_lowbit_tile_bytes(width);
}

// Index of that tile's {offset, scale} pair in the scale array.
inline int32_t qz_ypu_lowbit_pair_index(const qz_ypu_lowbit_layout_t &layout, int32_t width,
                                        int32_t rb, int32_t g) {
  return layout.pair_start[width - 1] + rb * layout.counts[width - 1] + g;
}

// True when perm[0..count) holds every value 0 .. count−1 exactly once.
// `seen` is caller scratch of at least count bytes.
bool qz_ypu_lowbit_perm_valid(const int32_t *perm, int32_t count, uint8_t *seen);
