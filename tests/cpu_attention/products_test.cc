// Score and value products over float keys and uint8 linear caches: every
// kernel variant against the host code, on shapes around the register tiles
// (4 queries, 2 keys, 8 or 16 dimensions), with grouped heads, one query per
// beam, unread cache positions poisoned, and several thread counts.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "cpu_context.h"
#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/params.h"

namespace {

struct shape_case {
  int32_t B, Q, K, M, H, G, D;
};

const shape_case kShapes[] = {
    {1, 1, 1, 1, 1, 1, 1},     // the smallest
    {1, 9, 3, 3, 2, 2, 12},    // one query tile and a key pair, then every remainder
    {2, 8, 17, 20, 4, 1, 33},  // every head reads one kv head; odd keys and dimensions
    {1, 5, 64, 70, 4, 4, 64},  // the translation model's head size
    {4, 1, 37, 64, 8, 2, 40},  // a decoder step: one query per beam, grouped heads
    {3, 13, 7, 9, 6, 3, 7},    // dimensions below one vector
    {1, 4, 2, 2, 3, 3, 16},    // exactly one tile
    {2, 3, 0, 4, 2, 2, 8},     // no keys: value products give 0, score products write nothing
};

const int kThreads[] = {2, 3, 8};

enum class product { scores_f32, values_f32, scores_cache, values_cache };

struct op_case {
  const char *name;
  product kind;
  uint32_t op;
  test_context::entry_fn entry;
  // Which variants must give the host's bits (the others: within the bound
  // of a reordered sum).
  bool sse41_exact;
};

const op_case kOps[] = {
    {"scores_f32", product::scores_f32, QZ_YPU_OP_ATTENTION_SCORES_F32,
     qz_ypu_cpu_attention_scores_f32, false},
    {"values_f32", product::values_f32, QZ_YPU_OP_ATTENTION_VALUES_F32,
     qz_ypu_cpu_attention_values_f32, true},
    {"scores_cache_u8", product::scores_cache, QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8,
     qz_ypu_cpu_attention_scores_cache_u8, false},
    {"values_cache_u8", product::values_cache, QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8,
     qz_ypu_cpu_attention_values_cache_u8, true},
};

bool is_scores(product kind) {
  return kind == product::scores_f32 || kind == product::scores_cache;
}
bool is_cache(product kind) {
  return kind == product::scores_cache || kind == product::values_cache;
}

void PrintTo(const op_case &c, std::ostream *os) { *os << c.name; }

struct inputs {
  std::vector<float> first;    // queries (B x Q x H x D) or weights (B x H x Q x K)
  std::vector<float> keys;     // float keys or values, B x K x G x D
  std::vector<uint8_t> codes;  // cache, B x M x G x D
  std::vector<float> metas;    // B x M pairs {slope, intercept}
};

inputs make_inputs(const shape_case &s, product kind, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> sym(-1.0f, 1.0f), unit(0.0f, 1.0f);
  inputs in;
  const size_t bqhd = size_t(s.B) * s.Q * s.H * s.D, bhqk = size_t(s.B) * s.H * s.Q * s.K;
  in.first.resize(is_scores(kind) ? bqhd : bhqk);
  for (float &x : in.first) x = is_scores(kind) ? sym(rng) : unit(rng);
  in.keys.resize(size_t(s.B) * s.K * s.G * s.D);
  for (float &x : in.keys) x = sym(rng);
  in.codes.resize(size_t(s.B) * s.M * s.G * s.D);
  in.metas.resize(size_t(s.B) * s.M * 2);
  for (int32_t b = 0; b < s.B; ++b) {
    for (int32_t t = 0; t < s.M; ++t) {
      uint8_t *row = in.codes.data() + (size_t(b) * s.M + t) * s.G * s.D;
      float *meta = in.metas.data() + 2 * (size_t(b) * s.M + t);
      if (t < s.K) {
        for (int32_t e = 0; e < s.G * s.D; ++e) row[e] = static_cast<uint8_t>(rng());
        meta[0] = 0.002f + 0.008f * unit(rng);
        meta[1] = -unit(rng);
      } else {
        // Positions past the keys must not be read: they would give NaN.
        for (int32_t e = 0; e < s.G * s.D; ++e) row[e] = 0xFF;
        meta[0] = meta[1] = std::numeric_limits<float>::quiet_NaN();
      }
    }
  }
  return in;
}

size_t output_count(const shape_case &s, product kind) {
  return is_scores(kind) ? size_t(s.B) * s.H * s.Q * s.K : size_t(s.B) * s.Q * s.H * s.D;
}

// Runs one product on `c`; returns its status and output.
qz_status_t run(test_context &c, const op_case &op, const shape_case &s, const inputs &in,
                std::vector<float> *out) {
  qz_ypu_buffer_t *dst = c.output(output_count(s, op.kind));
  qz_ypu_buffer_t *first = c.input(in.first);
  qz_ypu_buffer_t *kv = is_cache(op.kind) ? c.input(in.codes) : c.input(in.keys);
  qz_ypu_buffer_t *metas = c.input(in.metas);
  qz_status_t status = QZ_STATUS_SUCCESS;
  switch (op.kind) {
    case product::scores_f32: {
      const qz_ypu_attention_scores_f32_params_t p{dst, first, kv, s.B, s.Q, s.K, s.H, s.G, s.D};
      status = c.run(op.op, op.entry, &p);
      break;
    }
    case product::values_f32: {
      const qz_ypu_attention_values_f32_params_t p{dst, first, kv, s.B, s.Q, s.K, s.H, s.G, s.D};
      status = c.run(op.op, op.entry, &p);
      break;
    }
    case product::scores_cache: {
      const qz_ypu_attention_scores_cache_u8_params_t p{dst, first, kv,  metas, s.B, s.Q,
                                                        s.K, s.M,   s.H, s.G,   s.D};
      status = c.run(op.op, op.entry, &p);
      break;
    }
    case product::values_cache: {
      const qz_ypu_attention_values_cache_u8_params_t p{dst, first, kv,  metas, s.B, s.Q,
                                                        s.K, s.M,   s.H, s.G,   s.D};
      status = c.run(op.op, op.entry, &p);
      break;
    }
  }
  *out = c.result(dst, output_count(s, op.kind));
  return status;
}

// How far a reordered float sum may move: both the host's and the kernel's
// sums of n products lie within n x 2^-24 x sum|products| of the exact one
// (plus one rounding for the scale), so they differ by at most
// (n + 2) x FLT_EPSILON x sum|products|.
std::vector<double> bounds(const shape_case &s, product kind, const inputs &in) {
  std::vector<double> bound(output_count(s, kind), 0.0);
  const int32_t per_kv = s.H / s.G;
  const double scale = 1.0 / std::sqrt(double(s.D));
  auto key = [&](int32_t b, int32_t t, int32_t g, int32_t d) -> double {
    const size_t e = ((size_t(b) * (is_cache(kind) ? s.M : s.K) + t) * s.G + g) * s.D + d;
    if (!is_cache(kind)) return in.keys[e];
    const float *meta = in.metas.data() + 2 * (size_t(b) * s.M + t);
    return static_cast<float>(in.codes[e]) * meta[0] + meta[1];
  };
  for (int32_t b = 0; b < s.B; ++b)
    for (int32_t h = 0; h < s.H; ++h)
      for (int32_t q = 0; q < s.Q; ++q) {
        const int32_t g = h / per_kv;
        if (is_scores(kind)) {
          for (int32_t t = 0; t < s.K; ++t) {
            double sum = 0;
            for (int32_t d = 0; d < s.D; ++d)
              sum += std::fabs(in.first[((size_t(b) * s.Q + q) * s.H + h) * s.D + d] *
                               key(b, t, g, d));
            bound[((size_t(b) * s.H + h) * s.Q + q) * s.K + t] =
                (s.D + 2) * double(FLT_EPSILON) * scale * sum;
          }
        } else {
          for (int32_t d = 0; d < s.D; ++d) {
            double sum = 0;
            for (int32_t t = 0; t < s.K; ++t)
              sum += std::fabs(in.first[((size_t(b) * s.H + h) * s.Q + q) * s.K + t] *
                               key(b, t, g, d));
            bound[((size_t(b) * s.Q + q) * s.H + h) * s.D + d] =
                (s.K + 2) * double(FLT_EPSILON) * sum;
          }
        }
      }
  return bound;
}

#if defined(__aarch64__)
const variant_case kVariants[] = {QZ_TEST_ARM64_VARIANTS};
#else
const variant_case kVariants[] = {{"plain", 0},
                                  {"sse41", QZ_YPU_CPU_ISA_SSE41},
                                  {"avx2", QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41}};
#endif

class ProductVsHost : public testing::TestWithParam<std::tuple<op_case, variant_case>> {};

TEST_P(ProductVsHost, AgreesOnEveryShapeAndThreadCount) {
  const auto &[op, variant] = GetParam();
  if (!processor_has(variant.isa_flags))
    GTEST_SKIP() << "this processor lacks the " << variant.name << " instructions";
  const bool exact =
      variant.isa_flags == 0 ||
      (op.sse41_exact && (variant.isa_flags == QZ_YPU_CPU_ISA_SSE41 ||
                          (variant.isa_flags & QZ_YPU_CPU_ISA_NEON_MASK)));
  uint32_t seed = 1000;
  for (const shape_case &s : kShapes) {
    ++seed;
    SCOPED_TRACE(testing::Message()
                 << "B " << s.B << " Q " << s.Q << " K " << s.K << " M " << s.M << " H " << s.H
                 << " G " << s.G << " D " << s.D << " seed " << seed);
    const inputs in = make_inputs(s, op.kind, seed);
    std::vector<float> want, got;
    {
      test_context host(kHostOnly, 0);
      ASSERT_EQ(run(host, op, s, in, &want), QZ_STATUS_SUCCESS);
    }
    {
      test_context cpu(1, variant.isa_flags);
      ASSERT_EQ(run(cpu, op, s, in, &got), QZ_STATUS_SUCCESS);
    }
    if (exact)
      expect_equal_bits(got, want, "one thread");
    else
      expect_within(got, want, bounds(s, op.kind, in), "one thread");
    for (int threads : kThreads) {
      test_context pool(threads, variant.isa_flags);
      std::vector<float> other;
      ASSERT_EQ(run(pool, op, s, in, &other), QZ_STATUS_SUCCESS);
      EXPECT_TRUE(same_bytes(other, got)) << threads << " threads differ from one";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ProductVsHost,
                         testing::Combine(testing::ValuesIn(kOps), testing::ValuesIn(kVariants)),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

// Shapes the host refuses (head grouping) or must handle itself (negative
// head size): the CPU entry declines before writing, and the call as a
// whole reports what the host reports.
TEST(ProductDeclines, BeforeWritingAndLikeTheHost) {
  struct bad_case {
    const char *what;
    shape_case s;
  };
  const bad_case cases[] = {{"heads not a multiple of kv heads", {1, 2, 3, 3, 3, 2, 8}},
                            {"no kv heads", {1, 2, 3, 3, 2, 0, 8}}};
  for (const op_case &op : kOps) {
    for (const bad_case &bad : cases) {
      SCOPED_TRACE(testing::Message() << op.name << ": " << bad.what);
      shape_case s = bad.s;
      const inputs in = make_inputs({s.B, s.Q, s.K, s.M, s.H, 1, s.D}, op.kind, 7);
      std::vector<float> want, got;
      test_context host(kHostOnly, 0), cpu(1, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41);
      const qz_status_t host_status = run(host, op, s, in, &want);
      EXPECT_NE(host_status, QZ_STATUS_SUCCESS);
      EXPECT_EQ(run(cpu, op, s, in, &got), host_status);
      for (float x : got) EXPECT_TRUE(std::isnan(x)) << "output written";
    }
  }
}

// A negative head size reaches the score products' host code, which writes
// scores of an empty sum; the CPU entry leaves that to it.
TEST(ProductDeclines, NegativeHeadSizeGoesToTheHost) {
  test_context cpu(1, 0);
  std::vector<float> none(1);
  qz_ypu_buffer_t *out = cpu.output(1), *in = cpu.input(none);
  const qz_ypu_attention_scores_f32_params_t p{out, in, in, 1, 1, 1, 1, 1, -4};
  EXPECT_EQ(qz_ypu_cpu_attention_scores_f32(cpu.device(), nullptr, &p), QZ_YPU_CPU_DECLINE);
  const qz_ypu_attention_scores_cache_u8_params_t pc{out, in, in, in, 1, 1, 1, 1, 1, 1, -4};
  EXPECT_EQ(qz_ypu_cpu_attention_scores_cache_u8(cpu.device(), nullptr, &pc), QZ_YPU_CPU_DECLINE);
  EXPECT_TRUE(std::isnan(cpu.result(out, 1)[0]));
}

}  // namespace
