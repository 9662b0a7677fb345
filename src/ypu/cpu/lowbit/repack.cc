// Tile unpackers and the baseline repack transforms: widths 3, 5, 6 and 7
// are split into power-of-two bit planes so the plain kernels read every
// code from aligned 1-, 2- or 4-byte row units.
#include <cstring>

#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Code i of a canonical tile of width B: bits B·i … B·i + B − 1 of the
// little-endian bit stream. A code spans at most two bytes; the second byte
// is only read when the code reaches into it, so the last code never reads
// past the tile.
template <int B>
void unpack(const uint8_t *tile, int32_t *codes) {
  constexpr uint32_t mask = (1u << B) - 1;
  for (int32_t i = 0; i < QZ_YPU_LOWBIT_TILE_CODES; ++i) {
    const int32_t bit = B * i, byte = bit / 8, shift = bit % 8;
    uint32_t v = uint32_t{tile[byte]} >> shift;
    if (shift + B > 8) v |= uint32_t{tile[byte + 1]} << (8 - shift);
    codes[i] = static_cast<int32_t>(v & mask);
  }
}

// Writes the plane of code bits t0 … t0 + W − 1 as a canonical tile of
// width W at out: row r is the W-byte unit at W·r, column k at bits W·k.
template <int W>
void write_plane(const int32_t *codes, int t0, uint8_t *out) {
  constexpr uint32_t mask = (1u << W) - 1;
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
    uint32_t unit = 0;
    for (int32_t k = 0; k < QZ_YPU_LOWBIT_TILE_COLS; ++k)
      unit |= ((static_cast<uint32_t>(codes[8 * r + k]) >> t0) & mask) << (W * k);
    for (int32_t i = 0; i < W; ++i) out[W * r + i] = static_cast<uint8_t>(unit >> (8 * i));
  }
}

// Planes follow one another widest first; a plane starting at code bit t0
// starts at byte 16·t0.
template <int B>
void to_bit_planes(uint8_t *tile) {
  int32_t codes[QZ_YPU_LOWBIT_TILE_CODES];
  unpack<B>(tile, codes);
  int t0 = 0;
  if constexpr (B >= 4) {
    write_plane<4>(codes, t0, tile + 16 * t0);
    t0 += 4;
  }
  if constexpr (B - (B >= 4 ? 4 : 0) >= 2) {
    write_plane<2>(codes, t0, tile + 16 * t0);
    t0 += 2;
  }
  if constexpr (B % 2 == 1) write_plane<1>(codes, t0, tile + 16 * t0);
}

}  // namespace

void qz_ypu_cpu_lowbit_unpack_2b(const uint8_t *tile, int32_t *codes) { unpack<2>(tile, codes); }
void qz_ypu_cpu_lowbit_unpack_3b(const uint8_t *tile, int32_t *codes) { unpack<3>(tile, codes); }
void qz_ypu_cpu_lowbit_unpack_5b(const uint8_t *tile, int32_t *codes) { unpack<5>(tile, codes); }
void qz_ypu_cpu_lowbit_unpack_6b(const uint8_t *tile, int32_t *codes) { unpack<6>(tile, codes); }
void qz_ypu_cpu_lowbit_unpack_7b(const uint8_t *tile, int32_t *codes) { unpack<7>(tile, codes); }

void qz_ypu_cpu_lowbit_repack_none(uint8_t *) {}

void qz_ypu_cpu_lowbit_repack_base_3b(uint8_t *tile) { to_bit_planes<3>(tile); }
void qz_ypu_cpu_lowbit_repack_base_5b(uint8_t *tile) { to_bit_planes<5>(tile); }
void qz_ypu_cpu_lowbit_repack_base_6b(uint8_t *tile) { to_bit_planes<6>(tile); }
void qz_ypu_cpu_lowbit_repack_base_7b(uint8_t *tile) { to_bit_planes<7>(tile); }
