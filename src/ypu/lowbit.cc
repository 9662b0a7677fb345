// Decoding and layout arithmetic of the low-bit weight format.
#include "ypu/lowbit.h"

#include <cstring>

bool qz_ypu_lowbit_tile_decode(const uint8_t *bytes, int32_t width, qz_ypu_lowbit_tile_t *tile) {
  if (width < 1 || width > QZ_YPU_LOWBIT_MAX_WIDTH) return false;
  // A code never spans more than two bytes, so 16 bits of pending stream
  // are always enough.
  const uint32_t mask = (1u << width) - 1;
  uint32_t pending = 0;
  int32_t pending_bits = 0;
  int32_t next = 0;
  for (int32_t i = 0; i < qz_ypu_lowbit_tile_bytes(width); ++i) {
    pending |= uint32_t{bytes[i]} << pending_bits;
    pending_bits += 8;
    while (pending_bits >= width) {
      tile->codes[next++] = static_cast<uint8_t>(pending & mask);
      pending >>= width;
      pending_bits -= width;
    }
  }
  return true;
}

bool qz_ypu_lowbit_layout_init(qz_ypu_lowbit_layout_t *layout, int32_t row_blocks,
                               const int32_t counts[QZ_YPU_LOWBIT_MAX_WIDTH]) {
  if (row_blocks < 0) return false;
  int64_t groups = 0;
  int64_t tile_bytes = 0;
  qz_ypu_lowbit_layout_t l{};
  for (int32_t b = 1; b <= QZ_YPU_LOWBIT_MAX_WIDTH; ++b) {
    const int32_t t = counts[b - 1];
    if (t < 0) return false;
    l.counts[b - 1] = t;
    l.group_start[b - 1] = static_cast<int32_t>(groups);
    l.pair_start[b - 1] = static_cast<int32_t>(groups * row_blocks);
    l.tile_start[b - 1] = static_cast<int32_t>(tile_bytes);
    // Each product is checked before it can leave 64 bits: groups stays
    // below 2^26 and a class's tile count below 2^62.
    groups += t;
    if (groups * 32 > INT32_MAX || groups * row_blocks * 4 > INT32_MAX) return false;
    const int64_t class_tiles = int64_t{row_blocks} * t;
    if (class_tiles > (INT32_MAX - tile_bytes) / qz_ypu_lowbit_tile_bytes(b)) return false;
    tile_bytes += class_tiles * qz_ypu_lowbit_tile_bytes(b);
  }
  if (int64_t{row_blocks} * QZ_YPU_LOWBIT_TILE_ROWS * 4 > INT32_MAX) return false;
  l.row_blocks = row_blocks;
  l.groups = static_cast<int32_t>(groups);
  l.tile_bytes = static_cast<int32_t>(tile_bytes);
  l.scale_bytes = static_cast<int32_t>(groups * row_blocks * 4);
  l.columns = static_cast<int32_t>(groups * QZ_YPU_LOWBIT_TILE_COLS);
  *layout = l;
  return true;
}

bool qz_ypu_lowbit_perm_valid(const int32_t *perm, int32_t count, uint8_t *seen) {
  if (count < 0) return false;
  // Three passes without a branch or a dependency between elements, so each
  // runs several values per cycle: every value in range, then one mark per
  // value, then every mark set (count values in range that mark all count
  // places are distinct).
  uint32_t outside = 0;
  for (int32_t j = 0; j < count; ++j) outside |= uint32_t(perm[j]) >= uint32_t(count);
  if (outside) return false;
  std::memset(seen, 0, size_t(count));
  for (int32_t j = 0; j < count; ++j) seen[perm[j]] = 1;
  uint8_t all = 1;
  for (int32_t j = 0; j < count; ++j) all &= seen[j];
  return all != 0;
}
