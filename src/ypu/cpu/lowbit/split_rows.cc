// Split-row layout shared by the SSE4.1, AVX and NEON repack tables: each
// canonical row value is cut into a 16- or 32-bit unit holding the low
// columns and one or two narrower units for the rest, with column 7's bits in
// the units' spare top bits, so vector kernels load one unit kind for 4 or 8
// rows at once. Plain code: every one of those instruction sets calls it.
#include <cstring>

#include "ypu/cpu/lowbit/kernels.h"

namespace {

// Row r of a canonical tile of width B: bytes B·r … B·r + B − 1, little-endian.
template <int B>
uint64_t row_value(const uint8_t *tile, int32_t r) {
  uint64_t v = 0;
  for (int i = B - 1; i >= 0; --i) v = (v << 8) | tile[B * r + i];
  return v;
}

template <class U>
void store_unit(uint8_t *at, uint64_t value) {
  const U unit = static_cast<U>(value);
  std::memcpy(at, &unit, sizeof unit);
}

// The whole tile is read before any byte of it is written.
template <int B>
void to_split_rows(uint8_t *tile) {
  uint64_t rows[QZ_YPU_LOWBIT_TILE_ROWS];
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) rows[r] = row_value<B>(tile, r);
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
    const uint64_t v = rows[r];
    if constexpr (B == 3) {
      // Column 7 splits the other way here: its top bit goes to unit 1.
      store_unit<uint16_t>(tile + 2 * r, (v & 0x7FFF) | ((v >> 23) & 1) << 15);
      store_unit<uint8_t>(tile + 32 + r, (v >> 15) & 0xFF);
    } else if constexpr (B == 4) {
      store_unit<uint16_t>(tile + 2 * r, v & 0xFFFF);
      store_unit<uint16_t>(tile + 32 + 2 * r, (v >> 16) & 0xFFFF);
    } else if constexpr (B == 5) {
      store_unit<uint32_t>(tile + 4 * r, (v & 0x3FFFFFFF) | ((v >> 35) & 3) << 30);
      store_unit<uint8_t>(tile + 64 + r, ((v >> 30) & 31) | ((v >> 37) & 7) << 5);
    } else if constexpr (B == 6) {
      store_unit<uint32_t>(tile + 4 * r, (v & 0x3FFFFFFF) | ((v >> 42) & 3) << 30);
      store_unit<uint16_t>(tile + 64 + 2 * r, ((v >> 30) & 0xFFF) | ((v >> 44) & 0xF) << 12);
    } else if constexpr (B == 7) {
      store_unit<uint32_t>(tile + 4 * r, (v & 0xFFFFFFF) | ((v >> 49) & 0xF) << 28);
      store_unit<uint16_t>(tile + 64 + 2 * r, ((v >> 28) & 0x3FFF) | ((v >> 53) & 3) << 14);
      store_unit<uint8_t>(tile + 96 + r, ((v >> 42) & 0x7F) | ((v >> 55) & 1) << 7);
    } else {
      static_assert(B == 8);
      store_unit<uint32_t>(tile + 4 * r, v & 0xFFFFFFFF);
      store_unit<uint32_t>(tile + 64 + 4 * r, v >> 32);
    }
  }
}

}  // namespace

void qz_ypu_cpu_lowbit_split_rows_3b(uint8_t *tile) { to_split_rows<3>(tile); }
void qz_ypu_cpu_lowbit_split_rows_4b(uint8_t *tile) { to_split_rows<4>(tile); }
void qz_ypu_cpu_lowbit_split_rows_5b(uint8_t *tile) { to_split_rows<5>(tile); }
void qz_ypu_cpu_lowbit_split_rows_6b(uint8_t *tile) { to_split_rows<6>(tile); }
void qz_ypu_cpu_lowbit_split_rows_7b(uint8_t *tile) { to_split_rows<7>(tile); }
void qz_ypu_cpu_lowbit_split_rows_8b(uint8_t *tile) { to_split_rows<8>(tile); }
