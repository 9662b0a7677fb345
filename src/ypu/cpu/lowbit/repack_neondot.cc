// Dot-product repack transforms (1 to 4 bits). The tile becomes 4-byte
// words whose byte j holds column j of a row in its low field and column
// j + 4 in the next field up, so masking (or shifting) a 16-byte load gives
// four rows' columns 0-3 (or 4-7) as the bytes the 8-bit dot-product
// instruction sums per 32-bit lane. Narrow widths put several rows in a
// word; at 3 bits rows 12-15 fill the two spare top bits of every byte.
#include <cstring>

#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Column k of row r of a canonical tile of the given width.
inline uint32_t canonical_code(const uint8_t *tile, int32_t width, int32_t r, int32_t k) {
  const int32_t bit = width * (8 * r + k);
  uint32_t v = tile[bit / 8] >> (bit % 8);
  if (bit % 8 + width > 8) v |= uint32_t{tile[bit / 8 + 1]} << (8 - bit % 8);
  return v & ((1u << width) - 1);
}

}  // namespace

// Word i holds rows i, i + 4, i + 8, i + 12: bit 2q of byte 4i + j is
// column j of row i + 4q, bit 2q + 1 column j + 4.
void qz_ypu_cpu_lowbit_repack_neon_dot_1b(uint8_t *tile) {
  uint8_t out[16] = {};
  for (int32_t i = 0; i < 4; ++i)
    for (int32_t j = 0; j < 4; ++j)
      for (int32_t q = 0; q < 4; ++q) {
        const int32_t r = i + 4 * q;
        out[4 * i + j] |= static_cast<uint8_t>(canonical_code(tile, 1, r, j) << (2 * q) |
                                               canonical_code(tile, 1, r, j + 4) << (2 * q + 1));
      }
  std::memcpy(tile, out, sizeof out);
}

// The word at 16h + 4i holds rows 8h + i (bits 0-3 of each byte) and
// 8h + i + 4 (bits 4-7).
void qz_ypu_cpu_lowbit_repack_neon_dot_2b(uint8_t *tile) {
  int32_t codes[QZ_YPU_LOWBIT_TILE_CODES];
  qz_ypu_cpu_lowbit_unpack_2b(tile, codes);
  const auto code = [&](int32_t r, int32_t k) { return static_cast<uint32_t>(codes[8 * r + k]); };
  for (int32_t h = 0; h < 2; ++h)
    for (int32_t i = 0; i < 4; ++i)
      for (int32_t j = 0; j < 4; ++j) {
        const int32_t a = 8 * h + i, b = a + 4;
        tile[16 * h + 4 * i + j] = static_cast<uint8_t>(
            code(a, j) | code(a, j + 4) << 2 | code(b, j) << 4 | code(b, j + 4) << 6);
      }
}

// Words 0-11 hold rows 0-11 (column j at bits 0-2, column j + 4 at bits
// 3-5 of byte 4i + j); bits 6-7 of bytes 0-15 carry the low two bits of
// columns 0-3 of rows 12-15, of bytes 16-31 those of columns 4-7, and of
// bytes 32-47 the top bits of both.
void qz_ypu_cpu_lowbit_repack_neon_dot_3b(uint8_t *tile) {
  int32_t codes[QZ_YPU_LOWBIT_TILE_CODES];
  qz_ypu_cpu_lowbit_unpack_3b(tile, codes);
  const auto code = [&](int32_t r, int32_t k) { return static_cast<uint32_t>(codes[8 * r + k]); };
  for (int32_t i = 0; i < 12; ++i)
    for (int32_t j = 0; j < 4; ++j)
      tile[4 * i + j] = static_cast<uint8_t>(code(i, j) | code(i, j + 4) << 3);
  for (int32_t i = 0; i < 4; ++i)
    for (int32_t j = 0; j < 4; ++j) {
      const uint32_t low = code(12 + i, j), high = code(12 + i, j + 4);
      tile[4 * i + j] |= static_cast<uint8_t>((low & 3) << 6);
      tile[16 + 4 * i + j] |= static_cast<uint8_t>((high & 3) << 6);
      tile[32 + 4 * i + j] |= static_cast<uint8_t>((low >> 2) << 6 | (high >> 2) << 7);
    }
}

// Word r holds row r: byte 4r + j = column j | column j + 4 << 4.
void qz_ypu_cpu_lowbit_repack_neon_dot_4b(uint8_t *tile) {
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
    uint8_t *row = tile + 4 * r;
    const uint32_t v = uint32_t{row[0]} | uint32_t{row[1]} << 8 | uint32_t{row[2]} << 16 |
                       uint32_t{row[3]} << 24;
    for (int32_t j = 0; j < 4; ++j)
      row[j] = static_cast<uint8_t>((v >> (4 * j) & 15) | (v >> (4 * (j + 4)) & 15) << 4);
  }
}
