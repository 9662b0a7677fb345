// Tile layouts written by the repack transforms, checked against worked
// byte examples and against readers written here from the layout tables.
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/lowbit_layouts.h"
#include "support/lowbit_weight.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

using tile_bytes = std::vector<uint8_t>;
using codes_t = lowbit_codes;
constexpr auto le = lowbit_le;
constexpr auto read_canonical = lowbit_read_canonical;
constexpr auto read_split_rows = lowbit_read_split_rows;
constexpr auto repeat = lowbit_repeat;

// Every row holds codes 0, 1, …, 7 in columns 0 to 7.
codes_t ramp_codes(int width) {
  codes_t c{};
  for (int i = 0; i < 128; ++i) c[i] = uint8_t((i % 8) & ((1 << width) - 1));
  return c;
}

codes_t random_codes(int width, uint32_t seed) {
  std::mt19937 rng(seed);
  codes_t c{};
  for (auto &v : c) v = uint8_t(rng() & ((1u << width) - 1));
  return c;
}

tile_bytes canonical(const codes_t &c, int width) { return lowbit_pack_tile(c, width); }

tile_bytes concat(tile_bytes a, const tile_bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Reader of the bit-plane layout, from its table.
codes_t read_bit_planes(const tile_bytes &t, int width) {
  if (width == 1 || width == 2 || width == 4 || width == 8) return read_canonical(t, width);
  codes_t c{};
  int t0 = 0;
  for (int plane : {4, 2, 1}) {
    if ((width - t0) < plane) continue;
    for (int r = 0; r < 16; ++r) {
      const uint64_t v = le(t, 16 * t0 + plane * r, plane);
      for (int k = 0; k < 8; ++k)
        c[8 * r + k] |= uint8_t(((v >> (plane * k)) & ((1u << plane) - 1)) << t0);
    }
    t0 += plane;
  }
  return c;
}

struct table_case {
  const char *name;
  const qz_ypu_cpu_lowbit_repack_fn *table;
  // Which reader reads the table's result at each width.
  bool split_rows;
  bool canonical_4bit;
  uint32_t isa;  // instruction sets its transforms are built for
};

// Whether this processor can run a table's transforms; tables it cannot run
// are left out of the loops (their own test programs report them skipped).
bool runnable(const table_case &table) {
  const uint32_t flags = qz_ypu_cpu_detect_isa();
  return (flags & table.isa) == table.isa;
}

const table_case kTables[] = {
    {"base", qz_ypu_cpu_lowbit_repack_kernels_base, false, true, 0},
    {"sse41", qz_ypu_cpu_lowbit_repack_kernels_sse41, true, false, QZ_YPU_CPU_ISA_SSE41},
    {"avx", qz_ypu_cpu_lowbit_repack_kernels_avx, true, false, QZ_YPU_CPU_ISA_AVX},
    {"avx2", qz_ypu_cpu_lowbit_repack_kernels_avx2, true, false, QZ_YPU_CPU_ISA_AVX2},
    {"avx512", qz_ypu_cpu_lowbit_repack_kernels_avx512, true, true, QZ_YPU_CPU_ISA_AVX512F},
};

tile_bytes repacked(const table_case &table, const tile_bytes &tile, int width) {
  tile_bytes t = tile;
  table.table[width - 1](t.data());
  return t;
}

codes_t read_back(const table_case &table, const tile_bytes &t, int width) {
  if (width == 4 && table.canonical_4bit) return read_canonical(t, width);
  return table.split_rows ? read_split_rows(t, width) : read_bit_planes(t, width);
}

TEST(LowbitRepack, WorkedExamples) {
  const struct {
    int width;
    bool split_rows;
    tile_bytes expected;
  } cases[] = {
      {3, false, concat(repeat({0xE4}, 32), repeat({0xF0}, 16))},
      {3, true, concat(repeat({0x88, 0xC6}, 16), repeat({0xF5}, 16))},
      {5, false, concat(repeat({0x10, 0x32, 0x54, 0x76}, 16), repeat({0x00}, 16))},
      {5, true, concat(repeat({0x20, 0x88, 0x41, 0xCA}, 16), repeat({0x26}, 16))},
      {6, false, concat(repeat({0x10, 0x32, 0x54, 0x76}, 16), repeat({0x00}, 32))},
      {6, true, concat(repeat({0x40, 0x20, 0x0C, 0xC4}, 16), repeat({0x85, 0x11}, 16))},
      {7, false, concat(repeat({0x10, 0x32, 0x54, 0x76}, 16), repeat({0x00}, 48))},
      {7, true,
       concat(concat(repeat({0x80, 0x80, 0x60, 0x70}, 16), repeat({0x84, 0x02}, 16)),
              repeat({0x06}, 16))},
      {4, true, concat(repeat({0x10, 0x32}, 16), repeat({0x54, 0x76}, 16))},
      {8, true, concat(repeat({0, 1, 2, 3}, 16), repeat({4, 5, 6, 7}, 16))},
  };
  for (const auto &c : cases) {
    // The ARM64 tables' split-row bytes are checked with their own kernels.
    if (c.split_rows && !runnable(kTables[1])) continue;
    SCOPED_TRACE(testing::Message() << c.width << " bits, " << (c.split_rows ? "split-row" : "bit-plane"));
    const tile_bytes tile = canonical(ramp_codes(c.width), c.width);
    EXPECT_EQ(repacked(kTables[c.split_rows ? 1 : 0], tile, c.width), c.expected);
  }
}

// Every table, every width: the result reads back to the canonical codes,
// and the widths a table keeps are byte-for-byte unchanged.
TEST(LowbitRepack, EveryTableReadsBackToTheCanonicalCodes) {
  for (const table_case &table : kTables) {
    if (!runnable(table)) continue;
    for (int width = 1; width <= 8; ++width)
      for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(testing::Message() << table.name << ", " << width << " bits, seed " << seed);
        const codes_t codes = random_codes(width, seed * 31 + width);
        const tile_bytes tile = canonical(codes, width);
        const tile_bytes out = repacked(table, tile, width);
        ASSERT_EQ(read_back(table, out, width), codes);
        const bool kept = width <= 2 || (width == 4 && table.canonical_4bit) ||
                          (width == 8 && !table.split_rows);
        if (kept) {
          EXPECT_EQ(out, tile);
        }
        // All-zero and all-one tiles are fixed points of every transform.
        for (uint8_t fill : {uint8_t{0}, uint8_t{0xFF}}) {
          const tile_bytes flat(16 * width, fill);
          EXPECT_EQ(repacked(table, flat, width), flat);
        }
      }
  }
}

// The wide sets write the split-row bytes too (except AVX-512F at 4 bits).
TEST(LowbitRepack, WideTablesWriteTheSplitRowBytes) {
  if (!runnable(kTables[1])) GTEST_SKIP() << "no x86 split-row tables in this build";
  for (int width = 3; width <= 8; ++width) {
    const tile_bytes tile = canonical(random_codes(width, 77 + width), width);
    const tile_bytes expected = repacked(kTables[1], tile, width);
    for (int t = 2; t < 5; ++t) {
      if ((width == 4 && kTables[t].canonical_4bit) || !runnable(kTables[t])) continue;
      EXPECT_EQ(repacked(kTables[t], tile, width), expected) << kTables[t].name << " " << width;
    }
  }
}

TEST(LowbitRepack, UnpackersZeroExtendEveryCode) {
  const struct {
    int width;
    void (*unpack)(const uint8_t *, int32_t *);
  } unpackers[] = {{3, qz_ypu_cpu_lowbit_unpack_3b},
                   {5, qz_ypu_cpu_lowbit_unpack_5b},
                   {6, qz_ypu_cpu_lowbit_unpack_6b},
                   {7, qz_ypu_cpu_lowbit_unpack_7b}};
  for (const auto &u : unpackers) {
    for (uint32_t seed : {1u, 2u, 3u}) {
      codes_t codes = random_codes(u.width, seed);
      codes[127] = uint8_t((1 << u.width) - 1);  // top code, last position
      const tile_bytes tile = canonical(codes, u.width);
      std::array<int32_t, 128> got{};
      u.unpack(tile.data(), got.data());
      for (int i = 0; i < 128; ++i) ASSERT_EQ(got[i], codes[i]) << u.width << " bits, code " << i;
    }
  }
}

// The op-93 and op-94 entries both ask this choice: the highest flag wins.
TEST(LowbitKernelChoice, HighestBuiltSetWins) {
  const struct {
    uint32_t flags;
    qz_ypu_cpu_lowbit_set_t set;
  } cases[] = {
      {0x0, QZ_YPU_CPU_LOWBIT_BASE},   {0x1, QZ_YPU_CPU_LOWBIT_SSE41},
      {0x3, QZ_YPU_CPU_LOWBIT_AVX},    {0x2, QZ_YPU_CPU_LOWBIT_AVX},
      {0x7, QZ_YPU_CPU_LOWBIT_AVX2},
      {0x4, QZ_YPU_CPU_LOWBIT_AVX2},   {0x8, QZ_YPU_CPU_LOWBIT_AVX512},
      {0xF, QZ_YPU_CPU_LOWBIT_AVX512}, {0x20, QZ_YPU_CPU_LOWBIT_BASE},
      {0xF0, QZ_YPU_CPU_LOWBIT_BASE},
  };
  if (!(QZ_YPU_CPU_ISA_BUILT & QZ_YPU_CPU_ISA_SSE41)) {
    // ARM64: x86 flags mean nothing (the ARM64 sets' choice is tested
    // with their kernels).
    for (uint32_t flags : {0x0u, 0x1u, 0x4u, 0x8u, 0xFu})
      EXPECT_EQ(qz_ypu_cpu_lowbit_choose(flags), QZ_YPU_CPU_LOWBIT_BASE) << flags;
    return;
  }
  for (const auto &c : cases) EXPECT_EQ(qz_ypu_cpu_lowbit_choose(c.flags), c.set) << c.flags;
  const auto &base = qz_ypu_cpu_lowbit_kernels(QZ_YPU_CPU_LOWBIT_BASE);
  const auto &sse41 = qz_ypu_cpu_lowbit_kernels(QZ_YPU_CPU_LOWBIT_SSE41);
  EXPECT_EQ(base.gemv, qz_ypu_cpu_lowbit_gemv_kernels_base);
  EXPECT_EQ(base.repack, qz_ypu_cpu_lowbit_repack_kernels_base);
  EXPECT_EQ(sse41.gemm, qz_ypu_cpu_lowbit_gemm_kernels_sse41);
  EXPECT_EQ(sse41.repack, qz_ypu_cpu_lowbit_repack_kernels_sse41);
  const auto &avx = qz_ypu_cpu_lowbit_kernels(QZ_YPU_CPU_LOWBIT_AVX);
  EXPECT_EQ(avx.gemv, qz_ypu_cpu_lowbit_gemv_kernels_avx);
  EXPECT_EQ(avx.gemm, qz_ypu_cpu_lowbit_gemm_kernels_avx);
  EXPECT_EQ(avx.repack, qz_ypu_cpu_lowbit_repack_kernels_avx);
  EXPECT_EQ(avx.act_bytes_per_pair, 20);
}

#if defined(__x86_64__)
// x = 0 … 7 and a group of equal values, through the SSE4.1 quantiser and
// its AVX build.
TEST(LowbitQuantiser, WorkedGroups) {
  const struct {
    const char *name;
    void (*quantise)(void *, size_t);
    bool runnable;
  } quantisers[] = {
      {"sse41", qz_ypu_cpu_lowbit_quantize_act_sse41, true},
      {"avx", qz_ypu_cpu_lowbit_quantize_act_avx, bool(__builtin_cpu_supports("avx"))},
  };
  for (const auto &q : quantisers) {
    if (!q.runnable) continue;
    SCOPED_TRACE(q.name);
    float x[16] = {0, 1, 2, 3, 4, 5, 6, 7};
    for (int k = 8; k < 16; ++k) x[k] = -2.5f;
    uint8_t codes[16];
    float lo[2], step[2], sum[2];
    qz_ypu_cpu_lowbit_quantize_context_t c{x, codes, lo, step, sum, 2, 1};
    q.quantise(&c, 0);
    EXPECT_EQ(lo[0], 0.0f);
    EXPECT_EQ(step[0], 7.0f / 255.0f);
    EXPECT_EQ(sum[0], 28.0f);
    const uint8_t want[8] = {0, 36, 73, 109, 146, 182, 219, 255};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(codes[k], want[k]) << k;
    EXPECT_EQ(lo[1], -2.5f);
    EXPECT_EQ(step[1], 0.0f);
    EXPECT_EQ(sum[1], -20.0f);
    for (int k = 8; k < 16; ++k) EXPECT_EQ(codes[k], 0) << k;
  }
}
#endif

}  // namespace
