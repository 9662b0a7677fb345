// Attention over quantised ring caches (uint8 and uint16 codes): every
// kernel variant against the host code, over visible ranges that wrap the
// ring, rows before the sequence start, grouped heads, head sizes around the
// 8-wide step, a window too long for the task's stack rows, and several
// thread counts.
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

struct ring_case {
  const char *what;
  int32_t position, W, Q, H, G, D;
};

const ring_case kCases[] = {
    {"first row sees itself only", 0, 8, 1, 8, 8, 16},
    {"one row, visible rows wrap: 2..7 then 0..1", 9, 8, 1, 8, 4, 12},
    {"three rows, one kv head for all", 5, 8, 3, 8, 1, 64},
    {"far position, odd head size", 100, 8, 3, 4, 2, 33},
    {"rows start wrapping part way", 6, 8, 4, 2, 1, 7},
    {"window of one", 0, 1, 3, 2, 2, 8},
    {"rows before the sequence start stay 0", -3, 8, 5, 2, 1, 9},
    {"window longer than the stack rows", 5000, 3000, 2, 4, 2, 24},
};

struct width_case {
  const char *name;
  uint32_t op;
  test_context::entry_fn entry;
  int bytes;  // per code
};

const width_case kWidths[] = {
    {"u8", QZ_YPU_OP_ATTENTION_KV_U8, qz_ypu_cpu_attention_kv_u8, 1},
    {"u16", QZ_YPU_OP_ATTENTION_KV_U16, qz_ypu_cpu_attention_kv_u16, 2},
};

void PrintTo(const width_case &c, std::ostream *os) { *os << c.name; }

struct inputs {
  std::vector<float> query;                                                       // H x Q x D
  std::vector<uint16_t> keys, values;                                             // G x W x D codes
  std::vector<float> key_intercepts, key_slopes, value_intercepts, value_slopes;  // G x W
};

inputs make_inputs(const ring_case &r, int bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> sym(-1.0f, 1.0f), unit(0.0f, 1.0f);
  inputs in;
  in.query.resize(size_t(r.H) * r.Q * r.D);
  for (float &x : in.query) x = sym(rng);
  const size_t rows = size_t(r.G) * r.W;
  const uint32_t top = bytes == 1 ? 255 : 65535;
  for (auto *codes : {&in.keys, &in.values}) {
    codes->resize(rows * r.D);
    for (uint16_t &c : *codes) c = static_cast<uint16_t>(rng() % (top + 1));
  }
  // Dequantised values within [-1, 1].
  for (auto *slopes : {&in.key_slopes, &in.value_slopes}) {
    slopes->resize(rows);
    for (float &x : *slopes) x = unit(rng) / float(top);
  }
  for (auto *intercepts : {&in.key_intercepts, &in.value_intercepts}) {
    intercepts->resize(rows);
    for (float &x : *intercepts) x = -unit(rng);
  }
  return in;
}

std::vector<uint8_t> narrow(const std::vector<uint16_t> &codes) {
  return std::vector<uint8_t>(codes.begin(), codes.end());
}

size_t output_count(const ring_case &r) { return size_t(r.Q) * r.H * r.D; }

qz_status_t run(test_context &c, const width_case &w, const ring_case &r, const inputs &in,
                std::vector<float> *out) {
  qz_ypu_buffer_t *dst = c.output(output_count(r));
  qz_ypu_buffer_t *keys = w.bytes == 1 ? c.input(narrow(in.keys)) : c.input(in.keys);
  qz_ypu_buffer_t *values = w.bytes == 1 ? c.input(narrow(in.values)) : c.input(in.values);
  const qz_ypu_attention_kv_params_t p{dst,
                                       c.input(in.query),
                                       keys,
                                       c.input(in.key_intercepts),
                                       c.input(in.key_slopes),
                                       values,
                                       c.input(in.value_intercepts),
                                       c.input(in.value_slopes),
                                       r.Q,
                                       r.W,
                                       r.position,
                                       r.H,
                                       r.G,
                                       r.D};
  const qz_status_t status = c.run(w.op, w.entry, &p);
  *out = c.result(dst, output_count(r));
  return status;
}

// Reordered score sums move a score by at most
// delta = (D + 2) x FLT_EPSILON x scale x sum|k q| (k dequantised), so each
// normalised weight by a relative 2 delta and an output by 2 delta x max|v|;
// the softmax's division where the host multiplies by the reciprocal, and
// the weighted sum over count positions, add (count + 4) x FLT_EPSILON x max|v|.
std::vector<double> bounds(const ring_case &r, const inputs &in) {
  std::vector<double> bound(output_count(r), 0.0);
  const double scale = 1.0 / std::sqrt(double(r.D));
  for (int32_t q = 0; q < r.Q; ++q) {
    const int64_t last = int64_t{r.position} + q;
    const int64_t first = std::max<int64_t>(0, last + 1 - r.W);
    if (last < first) continue;
    for (int32_t h = 0; h < r.H; ++h) {
      const int32_t g = h / (r.H / r.G);
      const float *qr = in.query.data() + (size_t(h) * r.Q + q) * r.D;
      double delta = 0, vmax = 0;
      for (int64_t p = first; p <= last; ++p) {
        const size_t row = size_t(g) * r.W + size_t(p % r.W);
        double sum = 0;
        for (int32_t d = 0; d < r.D; ++d) {
          const float k =
              float(in.keys[row * r.D + d]) * in.key_slopes[row] + in.key_intercepts[row];
          const float v =
              float(in.values[row * r.D + d]) * in.value_slopes[row] + in.value_intercepts[row];
          sum += std::fabs(double(k) * qr[d]);
          vmax = std::max(vmax, double(std::fabs(v)));
        }
        delta = std::max(delta, (r.D + 2) * double(FLT_EPSILON) * scale * sum);
      }
      const double allowed = (2 * delta + double(last - first + 5) * FLT_EPSILON) * vmax;
      for (int32_t d = 0; d < r.D; ++d) bound[(size_t(q) * r.H + h) * r.D + d] = allowed;
    }
  }
  return bound;
}

#if defined(__aarch64__)
const variant_case kVariants[] = {QZ_TEST_ARM64_VARIANTS};
#else
const variant_case kVariants[] = {
    {"plain", 0},
    {"avx", QZ_YPU_CPU_ISA_AVX | QZ_YPU_CPU_ISA_SSE41},
    {"avx2", QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_AVX | QZ_YPU_CPU_ISA_SSE41}};
#endif

class RingVsHost : public testing::TestWithParam<std::tuple<width_case, variant_case>> {};

TEST_P(RingVsHost, AgreesOnEveryCaseAndThreadCount) {
  const auto &[width, variant] = GetParam();
  if (!processor_has(variant.isa_flags))
    GTEST_SKIP() << "this processor lacks the " << variant.name << " instructions";
  uint32_t seed = 500;
  for (const ring_case &r : kCases) {
    ++seed;
    SCOPED_TRACE(testing::Message() << r.what << ", seed " << seed);
    const inputs in = make_inputs(r, width.bytes, seed);
    std::vector<float> want, got;
    {
      test_context host(kHostOnly, 0);
      ASSERT_EQ(run(host, width, r, in, &want), QZ_STATUS_SUCCESS);
    }
    {
      test_context cpu(1, variant.isa_flags);
      ASSERT_EQ(run(cpu, width, r, in, &got), QZ_STATUS_SUCCESS);
    }
    expect_within(got, want, bounds(r, in), "one thread");
    for (int threads : {2, 3, 8}) {
      test_context pool(threads, variant.isa_flags);
      std::vector<float> other;
      ASSERT_EQ(run(pool, width, r, in, &other), QZ_STATUS_SUCCESS);
      EXPECT_TRUE(same_bytes(other, got)) << threads << " threads differ from one";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, RingVsHost,
                         testing::Combine(testing::ValuesIn(kWidths), testing::ValuesIn(kVariants)),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

// The first row at position 0 has one visible position whose weight is
// exactly 1, so every variant gives the dequantised value row itself.
TEST(RingFixture, FirstRowIsItsValueRow) {
  const ring_case r{"", 0, 4, 1, 2, 1, 12};
  for (const width_case &w : kWidths) {
    const inputs in = make_inputs(r, w.bytes, 3);
    for (const variant_case &v : kVariants) {
      if (!processor_has(v.isa_flags)) continue;
      SCOPED_TRACE(testing::Message() << w.name << " " << v.name);
      test_context cpu(2, v.isa_flags);
      std::vector<float> got;
      ASSERT_EQ(run(cpu, w, r, in, &got), QZ_STATUS_SUCCESS);
      for (int32_t h = 0; h < r.H; ++h)
        for (int32_t d = 0; d < r.D; ++d)
          EXPECT_EQ(got[size_t(h) * r.D + d],
                    float(in.values[d]) * in.value_slopes[0] + in.value_intercepts[0]);
    }
  }
}

// Windows and head groupings the host refuses, negative head sizes and
// score rows beyond the buffer cache's reach: declined before any output is
// written, and the call as a whole reports what the host reports.
TEST(RingDeclines, BeforeWritingAndLikeTheHost) {
  struct bad_case {
    const char *what;
    int32_t position, W, H, G, D;
    bool host_fails;
  };
  const bad_case cases[] = {
      {"window of zero", 0, 0, 2, 2, 8, true},
      {"heads not a multiple of kv heads", 0, 4, 3, 2, 8, true},
      {"no kv heads", 0, 4, 2, 0, 8, true},
      {"negative head size", 0, 4, 2, 2, -8, false},
      {"score rows past 2 GiB", INT32_MAX - 1, 4, 2, 2, 8, true},
  };
  const std::vector<float> zeros(256, 0.0f);
  for (const width_case &w : kWidths) {
    for (const bad_case &bad : cases) {
      SCOPED_TRACE(testing::Message() << w.name << ": " << bad.what);
      test_context host(kHostOnly, 0), cpu(1, 0);
      qz_status_t statuses[2];
      int n = 0;
      for (test_context *c : {&host, &cpu}) {
        qz_ypu_buffer_t *dst = c->output(16), *in = c->input(zeros);
        const qz_ypu_attention_kv_params_t p{dst, in, in,    in,           in,    in,    in,
                                             in,  1,  bad.W, bad.position, bad.H, bad.G, bad.D};
        if (c == &cpu) {
          EXPECT_EQ(w.entry(c->device(), nullptr, &p), QZ_YPU_CPU_DECLINE);
        }
        statuses[n++] = c->execute(w.op, &p);
        if (c == &cpu) {
          for (float x : c->result(dst, 16)) ASSERT_TRUE(std::isnan(x));
        }
      }
      EXPECT_EQ(statuses[0] != QZ_STATUS_SUCCESS, bad.host_fails);
      EXPECT_EQ(statuses[1], statuses[0]);
    }
  }
}

}  // namespace
