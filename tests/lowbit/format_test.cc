#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/lowbit_weight.h"
#include "ypu/lowbit.h"

namespace {

// Compared bit for bit, so a negative zero is told from a positive one.
TEST(Scale16, DecodesKnownPatterns) {
  const struct {
    uint16_t pattern;
    float value;
  } cases[] = {
      {0x7FFF, 63.9375f},
      {0xFFFF, -63.9375f},
      {0x0001, std::ldexp(1.0f, -35)},
      {0x0401, std::ldexp(1.0f, -34)},
      {0x3C00, 0.0f},  // not IEEE half: no hidden bit
      {0x0400, 0.0f},
      {0x0000, 0.0f},
      {0x8000, -0.0f},
      {0x6A00, 1.0f},
      {0x7C10, 1.0f},
      {0xEA00, -1.0f},
      {0x6A01, 1.0f + 1.0f / 512},
      {0x03FF, 1023 * std::ldexp(1.0f, -35)},
  };
  for (const auto &c : cases)
    EXPECT_EQ(std::bit_cast<uint32_t>(qz_scale16_decode(c.pattern)), std::bit_cast<uint32_t>(c.value))
        << std::hex << c.pattern;
}

TEST(Scale16, EveryPatternMatchesTheDoubleFormula) {
  for (uint32_t u = 0; u <= 0xFFFF; ++u)
    ASSERT_EQ(double(qz_scale16_decode(uint16_t(u))), lowbit_scale_value(uint16_t(u)))
        << std::hex << u;
}

TEST(Scale16, ExponentTableHoldsPowersOfTwo) {
  for (int e = 0; e < 32; ++e) EXPECT_EQ(QZ_SCALE16_EXP_TABLE[e], std::ldexp(1.0f, e - 35)) << e;
  EXPECT_EQ(QZ_SCALE16_EXP_TABLE[0], 2.9103830e-11f);
}

// Codes packed bit by bit come back out of the decoder, for every width.
TEST(TileDecode, RoundTripsRandomCodesAtEveryWidth) {
  std::mt19937 rng(7);
  for (int32_t width = 1; width <= 8; ++width) {
    for (int trial = 0; trial < 4; ++trial) {
      std::vector<uint8_t> codes(128);
      for (auto &c : codes) c = uint8_t(rng() % (1u << width));
      if (trial == 0) std::fill(codes.begin(), codes.end(), uint8_t((1u << width) - 1));
      const std::vector<uint8_t> bytes = lowbit_pack_tile(codes, width);
      ASSERT_EQ(bytes.size(), size_t(qz_ypu_lowbit_tile_bytes(width)));
      qz_ypu_lowbit_tile_t tile;
      ASSERT_TRUE(qz_ypu_lowbit_tile_decode(bytes.data(), width, &tile));
      EXPECT_EQ(std::vector<uint8_t>(tile.codes, tile.codes + 128), codes) << "width " << width;
    }
  }
}

// Hand-made bytes, so the fixture does not depend on the test's packer.
TEST(TileDecode, ReadsCodesThatSpanBytes) {
  struct placed {
    int32_t row, col, code;
  };
  const struct {
    int32_t width;
    std::vector<std::pair<int32_t, uint8_t>> bytes;  // index, value; others 0
    std::vector<placed> nonzero;
  } cases[] = {
      // Width 3, row 5 is bytes 15..17: column 2 is bits 6-7 of byte 15 and
      // bit 0 of byte 16; column 7 is bits 5-7 of byte 17.
      {3, {{15, 0xC0}, {16, 0x01}}, {{5, 2, 7}}},
      {3, {{17, 0xE0}}, {{5, 7, 7}}},
      {3, {{15, 0x40}}, {{5, 2, 1}}},
      // Width 8: code (r, k) is byte 8r + k.
      {8, {{8 * 3 + 5, 0xA7}, {127, 0xFF}}, {{3, 5, 0xA7}, {15, 7, 0xFF}}},
      // Width 7: the last code of the tile is the top 7 bits of byte 111.
      {7, {{111, 0xFE}}, {{15, 7, 127}}},
      // Width 5: row 1 column 1 spans bytes 5 and 6 (stream bits 45..49).
      {5, {{5, 0xE0}, {6, 0x03}}, {{1, 1, 31}}},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes(qz_ypu_lowbit_tile_bytes(c.width), 0);
    for (const auto &[index, value] : c.bytes) bytes[index] = value;
    std::vector<uint8_t> expected(128, 0);
    for (const placed &p : c.nonzero) expected[8 * p.row + p.col] = uint8_t(p.code);
    qz_ypu_lowbit_tile_t tile;
    ASSERT_TRUE(qz_ypu_lowbit_tile_decode(bytes.data(), c.width, &tile));
    EXPECT_EQ(std::vector<uint8_t>(tile.codes, tile.codes + 128), expected) << "width " << c.width;
  }
}

TEST(TileDecode, OneBitAllOnesAndRejectedWidths) {
  const std::vector<uint8_t> ones(16, 0xFF);
  qz_ypu_lowbit_tile_t tile;
  ASSERT_TRUE(qz_ypu_lowbit_tile_decode(ones.data(), 1, &tile));
  for (uint8_t c : tile.codes) EXPECT_EQ(c, 1);

  std::fill(std::begin(tile.codes), std::end(tile.codes), 0x55);
  const std::vector<uint8_t> bytes(256, 0xFF);
  for (int32_t width : {0, 9, -1, INT32_MIN}) EXPECT_FALSE(qz_ypu_lowbit_tile_decode(bytes.data(), width, &tile));
  for (uint8_t c : tile.codes) EXPECT_EQ(c, 0x55);
}

// R = 2 with three 2-bit groups and one 4-bit group.
TEST(Layout, MixedClassesPlaceTilesAndPairs) {
  const int32_t counts[8] = {0, 3, 0, 1, 0, 0, 0, 0};
  qz_ypu_lowbit_layout_t l;
  ASSERT_TRUE(qz_ypu_lowbit_layout_init(&l, 2, counts));
  EXPECT_EQ(l.groups, 4);
  EXPECT_EQ(l.group_start[1], 0);  // S_2
  EXPECT_EQ(l.group_start[3], 3);  // S_4
  EXPECT_EQ(qz_ypu_lowbit_tile_offset(l, 2, 1, 2), 160);
  EXPECT_EQ(l.tile_start[3], 192);  // T_4
  EXPECT_EQ(qz_ypu_lowbit_tile_offset(l, 4, 1, 0), 256);
  EXPECT_EQ(l.tile_bytes, 320);
  EXPECT_EQ(qz_ypu_lowbit_pair_index(l, 4, 1, 0), 7);  // numbers 14 and 15
  EXPECT_EQ(l.scale_bytes, 16 * 2);
  EXPECT_EQ(l.columns, 32);
  EXPECT_EQ(qz_ypu_lowbit_pair_index(l, 2, 1, 2), 5);
  EXPECT_EQ(qz_ypu_lowbit_pair_index(l, 2, 0, 0), 0);
}

// Every class's tiles and pairs, walked through the layout, are exactly the
// storage order the test packer appends in.
TEST(Layout, OffsetsFollowAppendOrderForEveryClass) {
  const lowbit_weight w = make_lowbit_weight(3, {2, 0, 1, 3, 1, 0, 2, 1}, {}, 11);
  qz_ypu_lowbit_layout_t l;
  ASSERT_TRUE(qz_ypu_lowbit_layout_init(&l, w.row_blocks, w.counts.data()));
  EXPECT_EQ(l.tile_bytes, int32_t(w.tiles.size()));
  EXPECT_EQ(l.scale_bytes, int32_t(w.scales.size() * 2));
  int32_t byte = 0, pair = 0, group = 0;
  for (int32_t b = 1; b <= 8; ++b) {
    EXPECT_EQ(l.group_start[b - 1], group);
    for (int32_t rb = 0; rb < w.row_blocks; ++rb)
      for (int32_t g = 0; g < w.counts[b - 1]; ++g) {
        EXPECT_EQ(qz_ypu_lowbit_tile_offset(l, b, rb, g), byte) << b << " " << rb << " " << g;
        EXPECT_EQ(qz_ypu_lowbit_pair_index(l, b, rb, g), pair++);
        byte += 16 * b;
      }
    group += w.counts[b - 1];
  }
}

TEST(Layout, SingleClassStartsAtZero) {
  const int32_t counts[8] = {0, 0, 0, 5, 0, 0, 0, 0};
  qz_ypu_lowbit_layout_t l;
  ASSERT_TRUE(qz_ypu_lowbit_layout_init(&l, 4, counts));
  EXPECT_EQ(l.group_start[3], 0);
  EXPECT_EQ(l.tile_start[3], 0);
  EXPECT_EQ(l.tile_bytes, 4 * 5 * 64);
}

TEST(Layout, RejectsNegativeAndOversizedShapes) {
  const struct {
    int32_t row_blocks;
    int32_t counts[8];
  } bad[] = {
      {-1, {1, 0, 0, 0, 0, 0, 0, 0}},
      {1, {0, 0, -1, 0, 0, 0, 0, 0}},
      {1, {0, 0, 0, 0, 0, 0, 0, INT32_MAX}},                          // 8·G floats wrap
      {INT32_MAX, {1, 0, 0, 0, 0, 0, 0, 0}},                          // 16·R floats
      {1 << 16, {0, 0, 0, 0, 0, 0, 0, 1 << 8}},                       // tiles: 2^31 bytes
      {1 << 26, {0, 0, 0, 0, 0, 0, 0, 0}},                            // 16·R floats
      {1, {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX,
           INT32_MAX}},                                               // the sum itself
  };
  for (const auto &c : bad) {
    qz_ypu_lowbit_layout_t l;
    EXPECT_FALSE(qz_ypu_lowbit_layout_init(&l, c.row_blocks, c.counts)) << c.row_blocks;
  }
  // The largest tile array that still fits.
  const int32_t fits[8] = {0, 0, 0, 0, 0, 0, 0, 1};
  qz_ypu_lowbit_layout_t l;
  EXPECT_TRUE(qz_ypu_lowbit_layout_init(&l, INT32_MAX / 128, fits));
  EXPECT_EQ(l.tile_bytes, INT32_MAX / 128 * 128);
}

TEST(Perm, AcceptsPermutationsOnly) {
  std::vector<int32_t> identity(40), reversed(40);
  std::iota(identity.begin(), identity.end(), 0);
  for (int32_t j = 0; j < 40; ++j) reversed[j] = 39 - j;
  std::vector<int32_t> duplicate = identity, negative = identity, beyond = identity;
  std::vector<int32_t> lowest = identity;
  duplicate[17] = 3;
  negative[5] = -1;
  beyond[39] = 40;
  lowest[0] = INT32_MIN;  // the most negative value, as well as -1
  uint8_t seen[40];
  EXPECT_TRUE(qz_ypu_lowbit_perm_valid(identity.data(), 40, seen));
  EXPECT_TRUE(qz_ypu_lowbit_perm_valid(reversed.data(), 40, seen));
  EXPECT_FALSE(qz_ypu_lowbit_perm_valid(duplicate.data(), 40, seen));
  EXPECT_FALSE(qz_ypu_lowbit_perm_valid(negative.data(), 40, seen));
  EXPECT_FALSE(qz_ypu_lowbit_perm_valid(beyond.data(), 40, seen));
  EXPECT_FALSE(qz_ypu_lowbit_perm_valid(lowest.data(), 40, seen));
  EXPECT_TRUE(qz_ypu_lowbit_perm_valid(identity.data(), 0, seen));
}

}  // namespace
