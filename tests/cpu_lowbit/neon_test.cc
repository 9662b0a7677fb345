// The ARM64 low-bit kernel sets (NEON, half precision, dot product): their
// tile layouts read back to the codes and checked against worked bytes, the
// choice of a set from the flags and from the processor, and op 93 with each
// set forced through the device's flags against a plain model of the set's
// arithmetic (bit for bit) and against the host implementation (within the
// error of the 8-bit activation quantisation, or of float rounding).
#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/isa_sets.h"
#include "support/lowbit_layouts.h"
#include "support/lowbit_op.h"
#include "support/lowbit_weight.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

using tile_bytes = std::vector<uint8_t>;
using codes_t = lowbit_codes;

// What the processor (or the emulator) offers, as the system reports it.
bool has_dotprod() { return qz_test_processor_has(QZ_YPU_CPU_ISA_NEON_DOTPROD); }
bool has_fp16() { return qz_test_processor_has(QZ_YPU_CPU_ISA_NEON_FP16); }

// ---------------------------------------------------------------------------
// Layout readers, from the layout descriptions.

// Half-precision 2-bit layout: byte r holds columns 0-3 of row r, byte
// 16 + r columns 4-7, two bits each.
codes_t read_fp16_2b(const tile_bytes &t) {
  codes_t c{};
  for (int r = 0; r < 16; ++r)
    for (int k = 0; k < 4; ++k) {
      c[8 * r + k] = uint8_t((t[r] >> (2 * k)) & 3);
      c[8 * r + 4 + k] = uint8_t((t[16 + r] >> (2 * k)) & 3);
    }
  return c;
}

// Dot-product layout: byte j of a word pairs column j (low field) with
// column j + 4 (next field up) of one row.
codes_t read_dot(const tile_bytes &t, int width) {
  codes_t c{};
  const auto set = [&](int r, int j, unsigned low, unsigned high) {
    c[8 * r + j] = uint8_t(low);
    c[8 * r + j + 4] = uint8_t(high);
  };
  for (int j = 0; j < 4; ++j) {
    switch (width) {
      case 4:
        for (int r = 0; r < 16; ++r) set(r, j, t[4 * r + j] & 15, t[4 * r + j] >> 4);
        break;
      case 2:
        for (int h = 0; h < 2; ++h)
          for (int i = 0; i < 4; ++i) {
            const unsigned v = t[16 * h + 4 * i + j];
            set(8 * h + i, j, v & 3, (v >> 2) & 3);
            set(8 * h + i + 4, j, (v >> 4) & 3, v >> 6);
          }
        break;
      case 1:
        for (int i = 0; i < 4; ++i)
          for (int q = 0; q < 4; ++q) {
            const unsigned v = t[4 * i + j];
            set(i + 4 * q, j, (v >> (2 * q)) & 1, (v >> (2 * q + 1)) & 1);
          }
        break;
      case 3:
        for (int i = 0; i < 12; ++i) set(i, j, t[4 * i + j] & 7, (t[4 * i + j] >> 3) & 7);
        for (int i = 0; i < 4; ++i) {
          const unsigned a = t[4 * i + j], b = t[16 + 4 * i + j], e = t[32 + 4 * i + j];
          set(12 + i, j, (a >> 6) | ((e >> 6) & 1) << 2, (b >> 6) | (e >> 7) << 2);
        }
        break;
    }
  }
  return c;
}

struct arm_table {
  const char *name;
  const qz_ypu_cpu_lowbit_repack_fn *table;
  codes_t (*read)(const tile_bytes &, int);
};

const arm_table kTables[] = {
    {"neon", qz_ypu_cpu_lowbit_repack_kernels_neon, lowbit_read_split_rows},
    {"neon_fp16", qz_ypu_cpu_lowbit_repack_kernels_neon_fp16,
     [](const tile_bytes &t, int width) { return width == 2 ? read_fp16_2b(t) : lowbit_read_split_rows(t, width); }},
    {"neon_dot", qz_ypu_cpu_lowbit_repack_kernels_neon_dot,
     [](const tile_bytes &t, int width) { return width <= 4 ? read_dot(t, width) : lowbit_read_split_rows(t, width); }},
};

codes_t random_codes(int width, uint32_t seed) {
  std::mt19937 rng(seed);
  codes_t c{};
  for (auto &v : c) v = uint8_t(rng() & ((1u << width) - 1));
  return c;
}

// Every row r holds `row(r, k)` in column k.
template <class F>
codes_t codes_of(F row) {
  codes_t c{};
  for (int r = 0; r < 16; ++r)
    for (int k = 0; k < 8; ++k) c[8 * r + k] = uint8_t(row(r, k));
  return c;
}

tile_bytes repacked(const qz_ypu_cpu_lowbit_repack_fn *table, const codes_t &codes, int width) {
  tile_bytes t = lowbit_pack_tile(codes, width);
  table[width - 1](t.data());
  return t;
}

tile_bytes concat(tile_bytes a, const tile_bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Random tiles, all-ones and column 7 alone: every table at every width
// gives a tile its reader turns back into the codes; the split-row widths
// equal the shared split-row (SSE4.1) bytes; 1-bit NEON and half-precision
// tiles stay canonical.
TEST(LowbitArmRepack, EveryTableRoundTrips) {
  for (const arm_table &table : kTables)
    for (int width = 1; width <= 8; ++width) {
      const unsigned top = (1u << width) - 1;
      std::vector<codes_t> fixtures = {codes_of([&](int, int) { return top; }),
                                       codes_of([&](int, int k) { return k == 7 ? top : 0; }),
                                       codes_of([&](int r, int) { return r >= 12 ? top : 0; })};
      for (uint32_t seed = 0; seed < 4; ++seed) fixtures.push_back(random_codes(width, 31 * width + seed));
      for (const codes_t &codes : fixtures) {
        SCOPED_TRACE(testing::Message() << table.name << ", " << width << " bits");
        const tile_bytes t = repacked(table.table, codes, width);
        ASSERT_EQ(t.size(), size_t(16 * width));
        EXPECT_EQ(table.read(t, width), codes);
      }
    }
}

TEST(LowbitArmRepack, SplitRowWidthsGiveTheSharedSplitRowBytes) {
  const qz_ypu_cpu_lowbit_repack_fn split_rows[] = {
      qz_ypu_cpu_lowbit_split_rows_3b, qz_ypu_cpu_lowbit_split_rows_4b,
      qz_ypu_cpu_lowbit_split_rows_5b, qz_ypu_cpu_lowbit_split_rows_6b,
      qz_ypu_cpu_lowbit_split_rows_7b, qz_ypu_cpu_lowbit_split_rows_8b};
  for (const arm_table &table : kTables)
    for (int width = 1; width <= 8; ++width) {
      SCOPED_TRACE(testing::Message() << table.name << ", " << width << " bits");
      const codes_t codes = random_codes(width, 500 + width);
      const tile_bytes canonical = lowbit_pack_tile(codes, width);
      const tile_bytes got = repacked(table.table, codes, width);
      const bool dot_layout = table.table == qz_ypu_cpu_lowbit_repack_kernels_neon_dot && width <= 4;
      const bool fp16_layout = table.table == qz_ypu_cpu_lowbit_repack_kernels_neon_fp16 && width == 2;
      if (width <= 2 && !dot_layout && !fp16_layout) {
        EXPECT_EQ(got, canonical);
      }
      if (width >= 3 && !dot_layout) {
        tile_bytes expected = canonical;
        split_rows[width - 3](expected.data());
        EXPECT_EQ(got, expected);
      }
    }
}

// The worked examples: split-row bytes of the NEON table (the SSE4.1 ones),
// the dot-product layout and the half-precision 2-bit layout.
TEST(LowbitArmRepack, WorkedBytes) {
  const auto ramp = [](int, int k) { return k; };
  struct example {
    const char *name;
    const qz_ypu_cpu_lowbit_repack_fn *table;
    int width;
    codes_t codes;
    tile_bytes expected;
  };
  const auto masked = [&](int width) {
    return codes_of([&](int r, int k) { return ramp(r, k) & ((1 << width) - 1); });
  };
  const auto only = [](int row, int col) {
    return codes_of([&](int r, int k) { return r == row && k == col ? 1 : 0; });
  };
  const auto single_byte = [](int at, uint8_t value) {
    tile_bytes t(16, 0);
    t[at] = value;
    return t;
  };
  const example examples[] = {
      {"neon 3 bits", qz_ypu_cpu_lowbit_repack_kernels_neon, 3, masked(3),
       concat(lowbit_repeat({0x88, 0xC6}, 16), lowbit_repeat({0xF5}, 16))},
      {"neon 4 bits", qz_ypu_cpu_lowbit_repack_kernels_neon, 4, masked(4),
       concat(lowbit_repeat({0x10, 0x32}, 16), lowbit_repeat({0x54, 0x76}, 16))},
      {"neon 5 bits", qz_ypu_cpu_lowbit_repack_kernels_neon, 5, masked(5),
       concat(lowbit_repeat({0x20, 0x88, 0x41, 0xCA}, 16), lowbit_repeat({0x26}, 16))},
      {"neon 6 bits", qz_ypu_cpu_lowbit_repack_kernels_neon, 6, masked(6),
       concat(lowbit_repeat({0x40, 0x20, 0x0C, 0xC4}, 16), lowbit_repeat({0x85, 0x11}, 16))},
      {"neon 7 bits", qz_ypu_cpu_lowbit_repack_kernels_neon, 7, masked(7),
       concat(concat(lowbit_repeat({0x80, 0x80, 0x60, 0x70}, 16), lowbit_repeat({0x84, 0x02}, 16)),
              lowbit_repeat({0x06}, 16))},
      {"neon 8 bits", qz_ypu_cpu_lowbit_repack_kernels_neon, 8, masked(8),
       concat(lowbit_repeat({0, 1, 2, 3}, 16), lowbit_repeat({4, 5, 6, 7}, 16))},
      {"dot 4 bits", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 4, masked(4),
       lowbit_repeat({0x40, 0x51, 0x62, 0x73}, 16)},
      {"dot 1 bit, row 0 column 0", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 1, only(0, 0),
       single_byte(0, 0x01)},
      {"dot 1 bit, row 12 column 7", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 1, only(12, 7),
       single_byte(3, 0x80)},
      {"dot 1 bit, row 5 column 2", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 1, only(5, 2),
       single_byte(6, 0x04)},
      {"dot 2 bits, columns", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 2,
       codes_of([](int, int k) { return k % 4; }), lowbit_repeat({0x00, 0x55, 0xAA, 0xFF}, 8)},
      {"dot 2 bits, rows", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 2,
       codes_of([](int r, int) { return r % 4; }),
       concat(concat(lowbit_repeat({0x00}, 4), lowbit_repeat({0x55}, 4)),
              concat(lowbit_repeat({0xAA}, 4), lowbit_repeat({0xFF}, 4)))},
      {"dot 3 bits", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 3, masked(3),
       concat(lowbit_repeat({0x20, 0x69, 0xB2, 0xFB}, 8), lowbit_repeat({0xA0, 0xA9, 0xB2, 0xBB}, 4))},
      {"dot 3 bits, rows 12-15", qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 3,
       codes_of([](int r, int) { return r >= 12 ? 7 : 0; }), lowbit_repeat({0xC0}, 48)},
      {"fp16 2 bits", qz_ypu_cpu_lowbit_repack_kernels_neon_fp16, 2,
       codes_of([](int, int k) { return k < 4 ? k : 7 - k; }),
       concat(lowbit_repeat({0xE4}, 16), lowbit_repeat({0x1B}, 16))},
  };
  for (const example &e : examples) {
    SCOPED_TRACE(e.name);
    if (std::string(e.name) == "dot 2 bits, rows")  // the tile is this block twice
      EXPECT_EQ(repacked(e.table, e.codes, e.width), concat(e.expected, e.expected));
    else
      EXPECT_EQ(repacked(e.table, e.codes, e.width), e.expected);
  }
  // The dot-product table writes the split-row bytes from 5 bits up.
  for (int width = 5; width <= 8; ++width)
    EXPECT_EQ(repacked(qz_ypu_cpu_lowbit_repack_kernels_neon_dot, masked(width), width),
              repacked(qz_ypu_cpu_lowbit_repack_kernels_neon, masked(width), width));
}

TEST(LowbitArmRepack, Unpack2bGivesEveryCode) {
  for (uint32_t seed = 0; seed < 4; ++seed) {
    const codes_t codes = random_codes(2, 70 + seed);
    const tile_bytes t = lowbit_pack_tile(codes, 2);
    std::array<int32_t, 128> got{};
    qz_ypu_cpu_lowbit_unpack_2b(t.data(), got.data());
    for (int i = 0; i < 128; ++i) EXPECT_EQ(got[i], codes[i]) << "code " << i;
  }
}

// ---------------------------------------------------------------------------
// Choice of a set.

TEST(LowbitArmChoice, FlagsPickOneSetForKernelsAndLayout) {
  struct choice {
    uint32_t flags;
    qz_ypu_cpu_lowbit_set_t set;
  };
  const choice cases[] = {
      {0x00, QZ_YPU_CPU_LOWBIT_BASE},      {0x20, QZ_YPU_CPU_LOWBIT_NEON},
      {0x10, QZ_YPU_CPU_LOWBIT_NEON},      {0x30, QZ_YPU_CPU_LOWBIT_NEON},
      {0xA0, QZ_YPU_CPU_LOWBIT_NEON_FP16}, {0x80, QZ_YPU_CPU_LOWBIT_NEON_FP16},
      {0x40, QZ_YPU_CPU_LOWBIT_NEON_DOT},  {0xE0, QZ_YPU_CPU_LOWBIT_NEON_DOT},
      {0x0F, QZ_YPU_CPU_LOWBIT_BASE},  // x86 bits mean nothing here
  };
  for (const choice &c : cases) EXPECT_EQ(qz_ypu_cpu_lowbit_choose(c.flags), c.set) << c.flags;
  struct tables {
    qz_ypu_cpu_lowbit_set_t set;
    const qz_ypu_cpu_lowbit_gemv_fn *gemv;
    const qz_ypu_cpu_lowbit_gemm_fn *gemm;
    const qz_ypu_cpu_lowbit_repack_fn *repack;
    int32_t act_bytes;
    bool thread_scratch;
  };
  const tables sets[] = {
      {QZ_YPU_CPU_LOWBIT_BASE, qz_ypu_cpu_lowbit_gemv_kernels_base, qz_ypu_cpu_lowbit_gemm_kernels_base,
       qz_ypu_cpu_lowbit_repack_kernels_base, 4, false},
      {QZ_YPU_CPU_LOWBIT_NEON, qz_ypu_cpu_lowbit_gemv_kernels_neon, qz_ypu_cpu_lowbit_gemm_kernels_neon,
       qz_ypu_cpu_lowbit_repack_kernels_neon, 20, true},
      {QZ_YPU_CPU_LOWBIT_NEON_FP16, qz_ypu_cpu_lowbit_gemv_kernels_neon_fp16,
       qz_ypu_cpu_lowbit_gemm_kernels_neon_fp16, qz_ypu_cpu_lowbit_repack_kernels_neon_fp16, 20, true},
      {QZ_YPU_CPU_LOWBIT_NEON_DOT, qz_ypu_cpu_lowbit_gemv_kernels_neon_dot,
       qz_ypu_cpu_lowbit_gemm_kernels_neon_dot, qz_ypu_cpu_lowbit_repack_kernels_neon_dot, 20, true},
  };
  for (const tables &t : sets) {
    const qz_ypu_cpu_lowbit_kernels_t &k = qz_ypu_cpu_lowbit_kernels(t.set);
    EXPECT_EQ(k.gemv, t.gemv);
    EXPECT_EQ(k.gemm, t.gemm);
    EXPECT_EQ(k.repack, t.repack);
    EXPECT_EQ(k.act_bytes_per_pair, t.act_bytes);
    EXPECT_EQ(k.thread_scratch, t.thread_scratch);
    for (int slot = 0; slot < 8; ++slot) {
      EXPECT_NE(k.gemv[slot], nullptr);
      EXPECT_NE(k.gemm[slot], nullptr);
      EXPECT_NE(k.repack[slot], nullptr);
    }
  }
  // Slots shared with the NEON set.
  for (int slot = 4; slot < 8; ++slot) {
    EXPECT_EQ(qz_ypu_cpu_lowbit_gemv_kernels_neon_dot[slot], qz_ypu_cpu_lowbit_gemv_kernels_neon[slot]);
    EXPECT_EQ(qz_ypu_cpu_lowbit_gemm_kernels_neon_dot[slot], qz_ypu_cpu_lowbit_gemm_kernels_neon[slot]);
  }
  for (int slot = 2; slot < 8; ++slot) {
    EXPECT_EQ(qz_ypu_cpu_lowbit_gemv_kernels_neon_fp16[slot], qz_ypu_cpu_lowbit_gemv_kernels_neon[slot]);
    EXPECT_EQ(qz_ypu_cpu_lowbit_gemm_kernels_neon_fp16[slot], qz_ypu_cpu_lowbit_gemm_kernels_neon[slot]);
  }
  EXPECT_EQ(qz_ypu_cpu_lowbit_gemv_kernels_neon_fp16[0], qz_ypu_cpu_lowbit_gemv_kernels_neon[0]);
}

// A device opened on this processor never picks a set it lacks: the
// dot-product set exactly when the processor has the dot-product
// instructions, the half-precision set never beside it.
TEST(LowbitArmChoice, TheProcessorsOwnSet) {
  qz_ypu_context_t *context = nullptr;
  ASSERT_EQ(qz_ypu_context_from_device_string("cpu:1", "cpu:1", &context), QZ_STATUS_SUCCESS);
  const uint32_t flags = static_cast<qz_ypu_cpu_device_t *>(context->device)->isa_flags;
  qz_ypu_context_destroy(context);
  const qz_ypu_cpu_lowbit_set_t set = qz_ypu_cpu_lowbit_choose(flags);
  if (has_dotprod()) {
    EXPECT_EQ(set, QZ_YPU_CPU_LOWBIT_NEON_DOT) << flags;
  } else {
    EXPECT_EQ(set, QZ_YPU_CPU_LOWBIT_NEON) << flags;
  }
}

// ---------------------------------------------------------------------------
// Running op 93.


using context = lowbit_context;

enum arm_set { NEON, FP16, DOT };

struct arm_case {
  const char *name;
  arm_set set;
  uint32_t flags;
  bool (*available)();
};

void PrintTo(const arm_case &c, std::ostream *out) { *out << c.name; }

const arm_case kSets[] = {
    {"neon", NEON, 0x20, [] { return true; }},
    {"neon_fp16", FP16, 0xA0, has_fp16},
    {"neon_dot", DOT, 0xE0, has_dotprod},
};

// The activations of one group as the ARM64 sets prepare them.
struct prepared {
  float x[8];
  uint8_t q[8];
  float lo, step, sum;
};

prepared prepare(const float *x) {
  prepared p{};
  std::copy(x, x + 8, p.x);
  float lo = x[0], hi = x[0];
  for (int k = 1; k < 8; ++k) lo = fminf(lo, x[k]), hi = fmaxf(hi, x[k]);
  p.lo = lo;
  p.step = (hi - lo) / 255.0f;
  for (int k = 0; k < 8; ++k) {
    const long q = p.step == 0.0f ? 0 : lroundf((x[k] - lo) / p.step);
    p.q[k] = uint8_t(std::clamp(q, 0L, 255L));
  }
  p.sum = ((x[0] + x[4]) + (x[1] + x[5])) + ((x[2] + x[6]) + (x[3] + x[7]));
  return p;
}

float half(float v) { return float(static_cast<__fp16>(v)); }

// One term of one row onto acc, as the set computes it (fma(a, b, c) =
// a·b + c rounded once):
// - NEON integer: acc = o·sum + fma(s·step, dot, fma(lo·s, csum, acc));
// - dot product: t = o·sum, then fma(lo·s, csum, t) and fma(s·step, dot, t)
//   for columns 0-3 and again for 4-7; acc = acc + t;
// - half precision, matrix-matrix at 1 and 2 bits: term = h(h(h(csum)·h(lo·s))
//   + h(h(dot)·h(s·step))) with h the rounding to half; acc = o·sum + (acc +
//   term);
// - float path: S = c0·x0, S = fma(c_k, x_k, S); acc = o·sum + fma(S, s, acc).
float add_term(arm_set set, bool many, int width, const uint8_t *c, const prepared &p, float o,
               float s, float acc) {
  if (width >= 5) {
    float d = float(c[0]) * p.x[0];
    for (int k = 1; k < 8; ++k) d = std::fma(float(c[k]), p.x[k], d);
    return o * p.sum + std::fma(d, s, acc);
  }
  int dot[2] = {0, 0}, csum[2] = {0, 0};
  for (int k = 0; k < 8; ++k) dot[k / 4] += c[k] * p.q[k], csum[k / 4] += c[k];
  const float a1 = s * p.step, a2 = p.lo * s, a3 = o * p.sum;
  if (set == DOT) {
    float t = a3;
    for (int h = 0; h < 2; ++h) t = std::fma(a1, float(dot[h]), std::fma(a2, float(csum[h]), t));
    return acc + t;
  }
  const float all_dot = float(dot[0] + dot[1]), all_csum = float(csum[0] + csum[1]);
  if (set == FP16 && many && width <= 2) {
    const float term = half(half(half(all_csum) * half(a2)) + half(half(all_dot) * half(a1)));
    return a3 + (acc + term);
  }
  return a3 + std::fma(a1, all_dot, std::fma(a2, all_csum, acc));
}

// The set's outputs for one token, classes and groups ascending, and per
// output the allowed distance from the host's value: the quantisation error
// |s|·Σ c_k·step/2 at 1 to 4 bits, float rounding of every term's parts, and
// for half-precision terms their rounding to 11 bits.
std::vector<float> arm_model(const lowbit_weight &w, const float *x, arm_set set, bool many,
                             std::vector<double> *bound) {
  const int32_t rows = w.rows(), cols = w.columns(), groups = w.groups();
  std::vector<float> y(rows, 0.0f);
  std::vector<double> quant(rows, 0.0), magnitude(rows, 0.0), halves(rows, 0.0);
  int32_t first_group = 0, pair = 0;
  for (int32_t b = 1; b <= 8; ++b) {
    const int32_t t = w.counts[b - 1];
    for (int32_t rb = 0; rb < w.row_blocks; ++rb)
      for (int32_t g = 0; g < t; ++g, ++pair) {
        const int32_t j = first_group + g;
        const float o = float(lowbit_scale_value(w.scales[2 * pair]));
        const float s = float(lowbit_scale_value(w.scales[2 * pair + 1]));
        float xs[8];
        for (int k = 0; k < 8; ++k) xs[k] = x[w.perm[8 * j + k]];
        const prepared p = prepare(xs);
        for (int32_t r = 0; r < 16; ++r) {
          const int32_t row = 16 * rb + r;
          const uint8_t *c = &w.codes[size_t(row) * cols + 8 * j];
          y[row] = add_term(set, many, b, c, p, o, s, y[row]);
          double cx = 0, xabs = 0, csum = 0, dot = 0;
          for (int k = 0; k < 8; ++k)
            cx += c[k] * std::fabs(xs[k]), xabs += std::fabs(xs[k]), csum += c[k], dot += c[k] * p.q[k];
          magnitude[row] += std::fabs(s) * cx + std::fabs(o) * xabs;
          if (b <= 4) {
            const double parts = std::fabs(s) * (csum * std::fabs(p.lo) + dot * p.step);
            quant[row] += std::fabs(s) * csum * p.step / 2;
            magnitude[row] += parts;
            if (set == FP16 && many && b <= 2) halves[row] += parts / 256 + std::ldexp(csum + dot + 4, -24);
          }
        }
      }
    first_group += t;
  }
  bound->resize(rows);
  for (int32_t r = 0; r < rows; ++r)
    (*bound)[r] = 1.001 * quant[r] + 4.0 * (groups + 12) * FLT_EPSILON * magnitude[r] + halves[r];
  return y;
}

const lowbit_weight_case kWeights[] = {
    {"every width", 2, {1, 1, 1, 1, 1, 1, 1, 1}},
    {"mixed classes", 3, {2, 0, 3, 0, 1, 0, 0, 2}},
    {"two classes", 1, {0, 2, 0, 0, 0, 3, 0, 0}},
    {"1 bit", 1, {3, 0, 0, 0, 0, 0, 0, 0}},
    {"2 bits", 5, {0, 4, 0, 0, 0, 0, 0, 0}},
    {"3 bits", 2, {0, 0, 3, 0, 0, 0, 0, 0}},
    {"4 bits, ten row blocks", 10, {0, 0, 0, 4, 0, 0, 0, 0}},
    {"5 bits", 1, {0, 0, 0, 0, 3, 0, 0, 0}},
    {"7 bits", 3, {0, 0, 0, 0, 0, 0, 5, 0}},
    {"8 bits", 1, {0, 0, 0, 0, 0, 0, 0, 3}},
    // More groups than the matrix-vector drivers prepare on the stack at once.
    {"wide 2 and 6 bits", 2, {0, 300, 0, 0, 0, 260, 0, 0}},
};

std::vector<int32_t> shuffled(int32_t count, uint32_t seed) {
  std::vector<int32_t> perm(count);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), std::mt19937(seed));
  return perm;
}

class LowbitArmLinear : public ::testing::TestWithParam<arm_case> {};

// op 94 then op 93 with the set's flags, on cpu:1 to cpu:4, for 1, 2, 5
// and 17 tokens: every output is the set's model value bit for bit
// whatever the thread count and path, and within the model's bound of the
// host implementation.
TEST_P(LowbitArmLinear, MatchesModelAndHost) {
  const arm_case &set = GetParam();
  if (!set.available()) GTEST_SKIP() << "this processor lacks the " << set.name << " set";
  uint32_t seed = 8300;
  for (const lowbit_weight_case &wc : kWeights) {
    const int32_t groups = std::accumulate(wc.counts.begin(), wc.counts.end(), 0);
    const std::vector<int32_t> perm = shuffled(8 * groups, ++seed);
    const lowbit_weight w = make_lowbit_weight(wc.row_blocks, wc.counts, perm, ++seed);
    const int32_t rows = w.rows(), cols = w.columns(), tokens = 17;
    SCOPED_TRACE(testing::Message() << wc.name << ", seed " << seed);
    std::mt19937 rng(++seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    std::vector<float> x(size_t(tokens) * cols);
    for (float &v : x) v = dist(rng);
    // Token 1's first stored group: eight equal activations (step 0).
    for (int k = 0; k < 8; ++k) x[cols + w.perm[k]] = 0.75f;

    std::vector<float> host;
    {
      context h(1, true);
      const qz_ypu_linear_lowbit_params_t p = lowbit_load(h, w);
      host = lowbit_linear(h, p, x, rows, tokens);
    }
    for (bool many : {false, true}) {
      std::vector<std::vector<float>> model(tokens);
      for (int32_t i = 0; i < tokens; ++i) {
        std::vector<double> bound;
        model[i] = arm_model(w, &x[size_t(i) * cols], set.set, many, &bound);
        for (int32_t r = 0; r < rows; ++r)
          ASSERT_NEAR(model[i][r], host[size_t(i) * rows + r], bound[r])
              << (many ? "several tokens" : "one token") << ", token " << i << ", output " << r;
      }
      for (int threads = 1; threads <= 4; ++threads) {
        context c(threads, false, set.flags);
        const qz_ypu_linear_lowbit_params_t p = lowbit_load(c, w);
        for (int32_t n : many ? std::vector<int32_t>{2, 5, 17} : std::vector<int32_t>{1}) {
          const std::vector<float> got = lowbit_linear(c, p, x, rows, n);
          for (int32_t i = 0; i < n; ++i)
            ASSERT_EQ(std::vector<float>(got.begin() + size_t(i) * rows, got.begin() + size_t(i + 1) * rows),
                      model[i])
                << "cpu:" << threads << ", n " << n << ", token " << i;
        }
      }
    }
  }
}

// Worked tiles: a group of x = 0 … 7 quantises to lo 0, step 7/255 and
// sum 28, so a 1-bit row of ones with scale 1 and offset 0 receives 28
// exactly; all-zero codes leave offset·sum; a 6-bit code alone adds c·x·s.
TEST_P(LowbitArmLinear, WorkedTiles) {
  const arm_case &set = GetParam();
  if (!set.available()) GTEST_SKIP() << "this processor lacks the " << set.name << " set";
  const uint16_t one = 0x6A00, half_scale = 0x6600;
  struct fixture {
    const char *name;
    int width;
    int row;  // the row of non-zero codes (−1: none)
    uint8_t code;
    uint16_t offset, scale;
    float at_code_row, elsewhere;
  };
  const fixture cases[] = {
      {"ones against 0 … 7", 1, 4, 1, 0x0000, one, 28.0f, 0.0f},
      {"zero codes", 3, -1, 0, half_scale, one, 14.0f, 14.0f},
      {"6-bit code 63", 6, 15, 63, 0x0000, half_scale, 63 * 28 / 2.0f, 0.0f},
  };
  for (const fixture &f : cases) {
    SCOPED_TRACE(f.name);
    lowbit_weight w;
    w.row_blocks = 1;
    w.counts[f.width - 1] = 1;
    w.perm = {0, 1, 2, 3, 4, 5, 6, 7};
    w.scales = {f.offset, f.scale};
    w.codes.assign(128, 0);
    if (f.row >= 0) std::fill_n(&w.codes[8 * f.row], 8, f.code);
    w.tiles = lowbit_pack_tile(w.codes, f.width);
    for (int32_t n : {1, 3}) {
      context c(2, false, set.flags);
      const qz_ypu_linear_lowbit_params_t p = lowbit_load(c, w);
      std::vector<float> in;
      for (int32_t i = 0; i < n; ++i)
        for (int k = 0; k < 8; ++k) in.push_back(float(k));
      const std::vector<float> got = lowbit_linear(c, p, in, 16, n);
      // The dot-product set adds the row's two halves separately and the
      // half-precision terms round to 11 bits, so only the NEON set's
      // single fused step gives 28 exactly.
      const bool exact = f.width > 2 || set.set == NEON || (set.set == FP16 && n == 1);
      for (int32_t i = 0; i < n; ++i)
        for (int32_t r = 0; r < 16; ++r) {
          const float want = r == f.row ? f.at_code_row : f.elsewhere;
          if (exact)
            EXPECT_EQ(got[16 * i + r], want) << "n " << n << ", row " << r;
          else
            EXPECT_NEAR(got[16 * i + r], want, 0.01f * std::fabs(want)) << "n " << n << ", row " << r;
        }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, LowbitArmLinear, ::testing::ValuesIn(kSets),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
