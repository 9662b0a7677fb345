// Half-precision repack transform at 2 bits: row r's columns 0-3 go to byte
// r and its columns 4-7 to byte 16 + r, so one 16-byte load gives the low or
// the high half of all 16 rows.
#include "ypu/cpu/lowbit/kernels.h"

void qz_ypu_cpu_lowbit_repack_neon_fp16_2b(uint8_t *tile) {
  int32_t codes[QZ_YPU_LOWBIT_TILE_CODES];
  qz_ypu_cpu_lowbit_unpack_2b(tile, codes);
  for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
    uint32_t low = 0, high = 0;
    for (int32_t k = 0; k < 4; ++k) {
      low |= static_cast<uint32_t>(codes[8 * r + k]) << (2 * k);
      high |= static_cast<uint32_t>(codes[8 * r + 4 + k]) << (2 * k);
    }
    tile[r] = static_cast<uint8_t>(low);
    tile[16 + r] = static_cast<uint8_t>(high);
  }
}
