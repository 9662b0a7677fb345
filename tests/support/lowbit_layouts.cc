#include "support/lowbit_layouts.h"

uint64_t lowbit_le(const std::vector<uint8_t> &t, int at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | t[at + i];
  return v;
}

lowbit_codes lowbit_read_canonical(const std::vector<uint8_t> &t, int width) {
  lowbit_codes c{};
  for (int r = 0; r < 16; ++r) {
    const uint64_t v = lowbit_le(t, width * r, width);
    for (int k = 0; k < 8; ++k) c[8 * r + k] = uint8_t((v >> (width * k)) & ((1u << width) - 1));
  }
  return c;
}

lowbit_codes lowbit_read_split_rows(const std::vector<uint8_t> &t, int width) {
  if (width <= 2) return lowbit_read_canonical(t, width);
  lowbit_codes c{};
  for (int r = 0; r < 16; ++r) {
    uint8_t *row = &c[8 * r];
    switch (width) {
      case 3: {
        const uint64_t u = lowbit_le(t, 2 * r, 2), e = t[32 + r], v = e + 256 * (u >> 15);
        for (int k = 0; k < 5; ++k) row[k] = (u >> (3 * k)) & 7;
        row[5] = v & 7, row[6] = (v >> 3) & 7, row[7] = uint8_t(v >> 6);
        break;
      }
      case 4: {
        const uint64_t u1 = lowbit_le(t, 2 * r, 2), u2 = lowbit_le(t, 32 + 2 * r, 2);
        for (int k = 0; k < 4; ++k) row[k] = (u1 >> (4 * k)) & 15, row[4 + k] = (u2 >> (4 * k)) & 15;
        break;
      }
      case 5: {
        const uint64_t w = lowbit_le(t, 4 * r, 4), e = t[64 + r];
        for (int k = 0; k < 6; ++k) row[k] = (w >> (5 * k)) & 31;
        row[6] = e & 31, row[7] = uint8_t((w >> 30) + 4 * (e >> 5));
        break;
      }
      case 6: {
        const uint64_t w = lowbit_le(t, 4 * r, 4), h = lowbit_le(t, 64 + 2 * r, 2);
        for (int k = 0; k < 5; ++k) row[k] = (w >> (6 * k)) & 63;
        row[5] = h & 63, row[6] = (h >> 6) & 63, row[7] = uint8_t((w >> 30) + 4 * (h >> 12));
        break;
      }
      case 7: {
        const uint64_t w = lowbit_le(t, 4 * r, 4), h = lowbit_le(t, 64 + 2 * r, 2), e = t[96 + r];
        for (int k = 0; k < 4; ++k) row[k] = (w >> (7 * k)) & 127;
        row[4] = h & 127, row[5] = (h >> 7) & 127, row[6] = e & 127;
        row[7] = uint8_t((w >> 28) + 16 * (h >> 14) + 64 * (e >> 7));
        break;
      }
      case 8: {
        const uint64_t u1 = lowbit_le(t, 4 * r, 4), u2 = lowbit_le(t, 64 + 4 * r, 4);
        for (int k = 0; k < 4; ++k) row[k] = (u1 >> (8 * k)) & 255, row[4 + k] = (u2 >> (8 * k)) & 255;
        break;
      }
    }
  }
  return c;
}

std::vector<uint8_t> lowbit_repeat(std::initializer_list<uint8_t> unit, int times) {
  std::vector<uint8_t> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), unit);
  return out;
}
