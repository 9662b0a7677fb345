// The CPU entries of ops 93 and 94 against the host implementation and
// against a plain model of the kernels' arithmetic, for every built kernel
// set forced through the device's flags and several thread counts.
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

#include "common/alloc.h"
#include "support/isa_sets.h"
#include "support/lowbit_weight.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

constexpr unsigned char kGuard = 0xC7;
constexpr int32_t kLead = 16, kTrail = 16;

// A context on "cpu:T" (or the host code only) with buffers made from vectors.
class context {
 public:
  context(int threads, bool host_only, uint32_t isa_flags = 0) {
    const std::string device = "cpu:" + std::to_string(threads);
    EXPECT_EQ(qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context_),
              QZ_STATUS_SUCCESS);
    if (host_only) context_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
    static_cast<qz_ypu_cpu_device_t *>(context_->device)->isa_flags = isa_flags;
  }
  ~context() {
    for (qz_ypu_buffer_t *b : buffers_) qz_ypu_ops(context_).buffer_free(context_->device, b);
    qz_ypu_context_destroy(context_);
  }
  context(const context &) = delete;
  context &operator=(const context &) = delete;

  qz_ypu_buffer_t *buffer(const void *data, int32_t bytes, int32_t lead = 0) {
    qz_ypu_buffer_t *b = qz_ypu_ops(context_).buffer_create(context_->device, lead + bytes + kTrail, 0);
    buffers_.push_back(b);
    std::vector<uint8_t> all(lead + bytes + kTrail, kGuard);
    if (bytes) std::memcpy(all.data() + lead, data, bytes);
    write(b, all);
    return b;
  }
  template <class T>
  qz_ypu_buffer_t *buffer(const std::vector<T> &v, int32_t lead = 0) {
    return buffer(v.data(), int32_t(v.size() * sizeof(T)), lead);
  }
  void write(qz_ypu_buffer_t *b, const std::vector<uint8_t> &bytes) {
    ASSERT_EQ(qz_ypu_ops(context_).buffer_upload(context_->device, b, bytes.data(), 0,
                                                 int32_t(bytes.size())),
              QZ_STATUS_SUCCESS);
  }
  std::vector<uint8_t> bytes(qz_ypu_buffer_t *b) {
    std::vector<uint8_t> out(qz_ypu_ops(context_).buffer_size(context_->device, b));
    qz_ypu_ops(context_).buffer_download(context_->device, b, out.data(), 0, int32_t(out.size()));
    return out;
  }
  qz_status_t run(uint32_t op, const void *params) { return qz_ypu_execute(context_, op, params); }

 private:
  qz_ypu_context_t *context_ = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers_;
};

// A weight loaded into a context, canonical tiles.
struct loaded {
  qz_ypu_linear_lowbit_params_t params{};
  qz_ypu_repack_lowbit_params_t repack{};

  loaded(context &c, const lowbit_weight &w) {
    params.perm = c.buffer(w.perm);
    params.scales = c.buffer(w.scales);
    params.tiles = c.buffer(w.tiles);
    params.row_blocks = w.row_blocks;
    std::copy(w.counts.begin(), w.counts.end(), params.width_counts);
    repack.tiles = params.tiles;
    repack.row_blocks = w.row_blocks;
    std::copy(w.counts.begin(), w.counts.end(), repack.width_counts);
  }
};

// Runs op 93 on n rows of x starting at row `first`; the output sits after
// kLead guard bytes, pre-filled with NaN. Returns the output floats; the
// guards are checked.
std::vector<float> linear(context &c, loaded &l, const std::vector<float> &x, int32_t cols,
                          int32_t rows, int32_t first, int32_t n,
                          qz_status_t want = QZ_STATUS_SUCCESS) {
  qz_ypu_buffer_t *in = c.buffer(x, kLead);
  // A record with a negative n still gets an output to keep untouched.
  const std::vector<float> nan(size_t(std::max(n, 1)) * rows, NAN);
  qz_ypu_buffer_t *out = c.buffer(nan, kLead);
  l.params.in = in;
  l.params.in_offset = kLead + first * cols * 4;
  l.params.out = out;
  l.params.out_offset = kLead;
  l.params.n = n;
  EXPECT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params), want);
  const std::vector<uint8_t> bytes = c.bytes(out);
  for (int32_t i = 0; i < kLead; ++i) EXPECT_EQ(bytes[i], kGuard) << "lead byte " << i;
  for (int32_t i = 0; i < kTrail; ++i)
    EXPECT_EQ(bytes[bytes.size() - 1 - i], kGuard) << "trail byte " << i;
  std::vector<float> got(nan.size());
  std::memcpy(got.data(), bytes.data() + kLead, got.size() * 4);
  return got;
}

std::vector<float> random_inputs(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
  std::vector<float> v(count);
  for (float &x : v) x = dist(rng);
  return v;
}

std::vector<int32_t> shuffled(int32_t count, uint32_t seed) {
  std::vector<int32_t> perm(count);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), std::mt19937(seed));
  return perm;
}

// ---------------------------------------------------------------------------
// Plain model of the kernels' arithmetic for one token: classes ascending,
// groups ascending; with `quantise`, widths 1 to 4 use 8-bit activations.

struct model_output {
  std::vector<float> values;
  std::vector<double> quantisation_bound;  // |Σ s·c·(x̂ − x)| at most this
  std::vector<double> magnitude;           // sizes of the rounded terms
};

model_output model(const lowbit_weight &w, const float *x, bool quantise) {
  const int32_t rows = w.rows(), cols = w.columns();
  model_output m{std::vector<float>(rows, 0.0f), std::vector<double>(rows, 0.0),
                 std::vector<double>(rows, 0.0)};
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
        float sum = xs[0], lo = xs[0], hi = xs[0];
        for (int k = 1; k < 8; ++k) sum = sum + xs[k], lo = std::fmin(lo, xs[k]), hi = std::fmax(hi, xs[k]);
        const float step = (hi - lo) / 255.0f;
        int q[8];
        for (int k = 0; k < 8; ++k) q[k] = step == 0.0f ? 0 : int(std::lround((xs[k] - lo) / step));
        for (int32_t r = 0; r < 16; ++r) {
          const int32_t row = 16 * rb + r;
          const uint8_t *c = &w.codes[size_t(row) * cols + 8 * j];
          float term;
          double csum_abs = 0, xabs = 0;
          for (int k = 0; k < 8; ++k) csum_abs += c[k], xabs += c[k] * (std::fabs(xs[k]) + step);
          if (quantise && b <= 4) {
            int dot = 0, csum = 0;
            for (int k = 0; k < 8; ++k) dot += c[k] * q[k], csum += c[k];
            const float a1 = s * step, a2 = lo * s, a3 = o * sum;
            term = float(dot) * a1;
            term = term + float(csum) * a2;
            term = term + a3;
            m.quantisation_bound[row] += std::fabs(double(s)) * csum_abs * step * (0.5 + 1.0 / 256);
          } else {
            float d = float(c[0]) * xs[0];
            for (int k = 1; k < 8; ++k) d = d + float(c[k]) * xs[k];
            term = d * s;
            term = term + o * sum;
          }
          m.values[row] = m.values[row] + term;
          m.magnitude[row] += std::fabs(double(s)) * xabs + std::fabs(double(o)) * 8 * 2.0;
        }
      }
    first_group += t;
  }
  return m;
}

const lowbit_weight_case kWeights[] = {
    {"every width", 2, {1, 1, 1, 1, 1, 1, 1, 1}},
    {"mixed classes", 3, {2, 0, 3, 0, 1, 0, 0, 2}},
    {"1 bit", 1, {3, 0, 0, 0, 0, 0, 0, 0}},
    {"2 bits", 1, {0, 3, 0, 0, 0, 0, 0, 0}},
    {"3 bits", 2, {0, 0, 3, 0, 0, 0, 0, 0}},
    {"4 bits only", 1, {0, 0, 0, 4, 0, 0, 0, 0}},
    {"5 bits", 1, {0, 0, 0, 0, 3, 0, 0, 0}},
    {"6 bits", 2, {0, 0, 0, 0, 0, 3, 0, 0}},
    {"7 bits", 1, {0, 0, 0, 0, 0, 0, 3, 0}},
    {"8 bits", 1, {0, 0, 0, 0, 0, 0, 0, 3}},
    // More groups than the matrix-vector kernels keep on the stack at once.
    {"wide 4 and 8 bits", 1, {0, 0, 0, 150, 0, 0, 0, 150}},
};

struct set_case {
  const char *name;
  uint32_t flags;
  const char *cpu_feature;  // the sets' names; null for none
  bool quantises;           // widths 1 to 4 use 8-bit activations
};
void PrintTo(const set_case &s, std::ostream *out) { *out << s.name; }

// Each flag word runs the set of its highest flag.
#if defined(__aarch64__)
// The ARM64 sets' own arithmetic is checked in neon_test.cc.
const set_case kSets[] = {
    {"baseline", 0x0, nullptr, false},
};
#else
const set_case kSets[] = {
    {"baseline", 0x0, nullptr, false},   {"sse4.1", 0x1, "sse4.1", true},
    {"avx flag", 0x3, "avx", true},      {"avx2 flag", 0x7, "avx2", true},
};
#endif

bool supported(const set_case &s) { return qz_test_processor_has(s.flags); }

class LowbitCpuLinear : public testing::TestWithParam<set_case> {
 protected:
  void SetUp() override {
    if (!supported(GetParam())) GTEST_SKIP() << "this processor lacks " << GetParam().cpu_feature;
  }
};

// op 94 then op 93 on cpu:1, 2, 3 and 8 for 1, 2 and 5 tokens:
// - every thread count and token count gives the bits of one token on cpu:1;
// - those bits are the plain model's (baseline: the host implementation's);
// - against the host implementation the quantising set stays within
//   Σ |s|·Σ_k c_k·step·(1/2 + 2^-8) per output (each activation moves by at
//   most half a step when quantised), plus 4·(G + 16)·FLT_EPSILON times the
//   size of the rounded terms.
TEST_P(LowbitCpuLinear, MatchesHostAndModel) {
  const set_case &set = GetParam();
  uint32_t seed = 500;
  for (const lowbit_weight_case &wc : kWeights) {
    SCOPED_TRACE(wc.name);
    const int32_t groups = std::accumulate(wc.counts.begin(), wc.counts.end(), 0);
    const uint32_t order_seed = ++seed, weight_seed = ++seed;
    const lowbit_weight w =
        make_lowbit_weight(wc.row_blocks, wc.counts, shuffled(8 * groups, order_seed), weight_seed);
    const int32_t rows = w.rows(), cols = w.columns(), tokens = 5;
    std::vector<float> x = random_inputs(size_t(tokens) * cols, ++seed);
    // Token 1's first stored group gets eight equal activations (step 0).
    for (int k = 0; k < 8; ++k) x[cols + w.perm[k]] = 0.75f;

    // The host per token, and the model.
    std::vector<std::vector<float>> host(tokens);
    {
      context h(1, true);
      loaded l(h, w);
      ASSERT_EQ(h.run(QZ_YPU_OP_REPACK_LOWBIT, &l.repack), QZ_STATUS_SUCCESS);
      for (int32_t i = 0; i < tokens; ++i) host[i] = linear(h, l, x, cols, rows, i, 1);
    }
    for (int32_t i = 0; i < tokens; ++i) {
      SCOPED_TRACE(testing::Message() << "token " << i);
      const model_output m = model(w, &x[size_t(i) * cols], set.quantises);
      if (!set.quantises) {
        EXPECT_EQ(m.values, host[i]) << "model of the host arithmetic";
        continue;
      }
      for (int32_t r = 0; r < rows; ++r) {
        const double bound = m.quantisation_bound[r] + 4.0 * (groups + 16) * FLT_EPSILON * m.magnitude[r];
        EXPECT_NEAR(m.values[r], host[i][r], bound) << "output " << r;
      }
    }

    std::vector<std::vector<float>> reference;
    for (int threads : {1, 2, 3, 8}) {
      SCOPED_TRACE(testing::Message() << "cpu:" << threads);
      context c(threads, false, set.flags);
      loaded l(c, w);
      ASSERT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &l.repack), QZ_STATUS_SUCCESS);
      if (threads == 1) {
        for (int32_t i = 0; i < tokens; ++i) {
          reference.push_back(linear(c, l, x, cols, rows, i, 1));
          const model_output m = model(w, &x[size_t(i) * cols], set.quantises);
          ASSERT_EQ(reference[i], m.values) << "token " << i;
          if (!set.quantises) {
            ASSERT_EQ(reference[i], host[i]) << "token " << i;
          }
        }
      }
      for (int32_t n : {1, 2, 5}) {
        const std::vector<float> got = linear(c, l, x, cols, rows, 0, n);
        for (int32_t i = 0; i < n; ++i)
          ASSERT_EQ(std::vector<float>(got.begin() + i * rows, got.begin() + (i + 1) * rows),
                    reference[i])
              << "n " << n << ", token " << i;
      }
    }
  }
}

// op 94 re-lays every tile of every class and row block with the chosen
// set's transform, and nothing else.
TEST_P(LowbitCpuLinear, RepackRelaysEveryTile) {
  const set_case &set = GetParam();
  const lowbit_weight w = make_lowbit_weight(3, {1, 2, 1, 1, 2, 1, 1, 2}, {}, 42);
  const auto &table = qz_ypu_cpu_lowbit_kernels(qz_ypu_cpu_lowbit_choose(set.flags)).repack;
  std::vector<uint8_t> expected = w.tiles;
  size_t at = 0;
  for (int b = 1; b <= 8; ++b)
    for (int32_t i = 0; i < w.row_blocks * w.counts[b - 1]; ++i, at += 16 * b) table[b - 1](&expected[at]);
  ASSERT_EQ(at, expected.size());
  for (int threads : {1, 3, 8}) {
    context c(threads, false, set.flags);
    loaded l(c, w);
    ASSERT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &l.repack), QZ_STATUS_SUCCESS);
    std::vector<uint8_t> got = c.bytes(l.params.tiles);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + expected.size()), expected) << threads;
    EXPECT_TRUE(std::all_of(got.begin() + expected.size(), got.end(), [](uint8_t v) { return v == kGuard; }));
  }
}

// Every scratch allocation that fails makes op 93 report it and leave the
// output as it was.
TEST_P(LowbitCpuLinear, AllocationFailureLeavesTheOutput) {
  const set_case &set = GetParam();
  const lowbit_weight w = make_lowbit_weight(2, {0, 1, 0, 1, 0, 0, 0, 1}, shuffled(24, 3), 7);
  const std::vector<float> x = random_inputs(3 * 24, 8);
  for (int threads : {1, 3})
    for (int32_t n : {1, 3}) {
      context c(threads, false, set.flags);
      loaded l(c, w);
      ASSERT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &l.repack), QZ_STATUS_SUCCESS);
      int failures = 0;
      for (int k = 1;; ++k) {
        ASSERT_LT(k, 20);
        qz_ypu_buffer_t *in = c.buffer(x);
        const std::vector<float> nan(size_t(n) * 32, NAN);
        qz_ypu_buffer_t *out = c.buffer(nan);
        qz_alloc_fail_at(k);
        l.params.in = in, l.params.in_offset = 0, l.params.out = out, l.params.out_offset = 0, l.params.n = n;
        const qz_status_t status = c.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params);
        qz_alloc_fail_at(0);
        if (status == QZ_STATUS_SUCCESS) break;
        ASSERT_EQ(status, QZ_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        ++failures;
        const std::vector<uint8_t> bytes = c.bytes(out);
        for (int32_t i = 0; i < n * 32; ++i) {
          float v;
          std::memcpy(&v, &bytes[4 * i], 4);
          ASSERT_TRUE(std::isnan(v)) << "allocation " << k << ", output " << i;
        }
      }
      EXPECT_GE(failures, n == 1 ? 2 : 4) << "threads " << threads << ", n " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, LowbitCpuLinear, testing::ValuesIn(kSets),
                         [](const testing::TestParamInfo<set_case> &info) {
                           std::string name = info.param.name;
                           for (char &ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// Rows equal bit for bit (every beam of a search's first step) are computed
// once and copied: each output row must still be its own input row's, in
// every set, with the pattern's copies going both ways across the block,
// and when the output is the input itself. The reference is the same set on
// the distinct rows alone.
TEST(LowbitCpuLinearRepeatedRows, EveryRowGetsItsOwnInputsResult) {
#if defined(__aarch64__)
  const uint32_t sets[] = {0, QZ_YPU_CPU_ISA_NEON,
                           QZ_YPU_CPU_ISA_NEON | QZ_YPU_CPU_ISA_NEON_DOTPROD | QZ_YPU_CPU_ISA_NEON_FP16};
#else
  const uint32_t sets[] = {0, QZ_YPU_CPU_ISA_SSE41, QZ_YPU_CPU_ISA_AVX, QZ_YPU_CPU_ISA_AVX2,
                           QZ_YPU_CPU_ISA_AVX512F};
#endif
  const struct {
    const char *name;
    std::vector<int32_t> pattern;  // the distinct row each input row copies
  } patterns[] = {
      {"all equal", {0, 0, 0, 0}},
      {"interleaved", {0, 1, 0, 2, 1, 0}},
      {"equal pairs at the end", {0, 1, 2, 2, 1}},
      {"none equal", {0, 1, 2}},
  };
  // 16 columns and 16 rows, so the output can be the input.
  const lowbit_weight w = make_lowbit_weight(1, {0, 0, 0, 1, 0, 0, 0, 1}, shuffled(16, 11), 12);
  const int32_t cols = w.columns(), rows = w.rows();
  ASSERT_EQ(cols, rows);
  const std::vector<float> distinct = random_inputs(3 * size_t(cols), 13);
  for (uint32_t flags : sets) {
    if (!qz_test_processor_has(flags)) continue;
    for (int threads : {1, 3}) {
      context c(threads, false, flags);
      loaded l(c, w);
      ASSERT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &l.repack), QZ_STATUS_SUCCESS);
      const std::vector<float> reference = linear(c, l, distinct, cols, rows, 0, 3);
      for (const auto &p : patterns) {
        SCOPED_TRACE(testing::Message() << p.name << ", flags " << flags << ", cpu:" << threads);
        const int32_t n = int32_t(p.pattern.size());
        std::vector<float> x, want;
        for (int32_t u : p.pattern) {
          x.insert(x.end(), distinct.begin() + u * cols, distinct.begin() + (u + 1) * cols);
          want.insert(want.end(), reference.begin() + u * rows, reference.begin() + (u + 1) * rows);
        }
        EXPECT_EQ(linear(c, l, x, cols, rows, 0, n), want);

        qz_ypu_buffer_t *both = c.buffer(x);
        l.params.in = l.params.out = both;
        l.params.in_offset = l.params.out_offset = 0;
        l.params.n = n;
        ASSERT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &l.params), QZ_STATUS_SUCCESS);
        const std::vector<uint8_t> bytes = c.bytes(both);
        std::vector<float> in_place(want.size());
        std::memcpy(in_place.data(), bytes.data(), in_place.size() * 4);
        EXPECT_EQ(in_place, want) << "output over the input";
      }
    }
  }
}

// Records the host rejects are declined before anything is touched, so the
// host's answer (invalid argument) comes back and the output stays as it
// was; a record with no rows succeeds without writing.
TEST(LowbitCpuLinearRecords, InvalidRecordsTouchNothing) {
  const lowbit_weight good = make_lowbit_weight(1, {0, 0, 0, 2, 0, 0, 0, 0}, {}, 4);
  const std::vector<float> x = random_inputs(16, 5);
  const struct {
    const char *name;
    void (*spoil)(lowbit_weight &, qz_ypu_linear_lowbit_params_t &);
    qz_status_t want;
  } cases[] = {
      {"repeated perm entry", [](lowbit_weight &w, qz_ypu_linear_lowbit_params_t &) { w.perm[3] = w.perm[4]; },
       QZ_STATUS_INVALID_ARGUMENT},
      {"perm entry past the row", [](lowbit_weight &w, qz_ypu_linear_lowbit_params_t &) { w.perm[0] = 16; },
       QZ_STATUS_INVALID_ARGUMENT},
      {"negative class count",
       [](lowbit_weight &, qz_ypu_linear_lowbit_params_t &p) { p.width_counts[0] = -1, p.width_counts[4] = 1; },
       QZ_STATUS_INVALID_ARGUMENT},
      {"more groups than the buffers hold",
       [](lowbit_weight &, qz_ypu_linear_lowbit_params_t &p) { p.width_counts[3] = 3; },
       QZ_STATUS_INVALID_ARGUMENT},
      {"negative n", [](lowbit_weight &, qz_ypu_linear_lowbit_params_t &p) { p.n = -1; },
       QZ_STATUS_INVALID_ARGUMENT},
      {"no rows", [](lowbit_weight &, qz_ypu_linear_lowbit_params_t &p) { p.n = 0; }, QZ_STATUS_SUCCESS},
  };
  for (uint32_t flags : {0u, 1u})
    for (const auto &c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", flags " << flags);
      lowbit_weight w = good;
      qz_ypu_linear_lowbit_params_t spoiled{};
      spoiled.n = 1;
      std::copy(w.counts.begin(), w.counts.end(), spoiled.width_counts);
      c.spoil(w, spoiled);
      context ctx(3, false, flags);
      loaded l(ctx, w);
      std::copy(std::begin(spoiled.width_counts), std::end(spoiled.width_counts), l.params.width_counts);
      std::copy(std::begin(spoiled.width_counts), std::end(spoiled.width_counts), l.repack.width_counts);
      // The repack of a rejected record leaves the tiles canonical.
      ASSERT_EQ(ctx.run(QZ_YPU_OP_REPACK_LOWBIT, &l.repack), QZ_STATUS_SUCCESS);
      const std::vector<uint8_t> tiles = ctx.bytes(l.params.tiles);
      const bool counts_spoiled = !std::equal(w.counts.begin(), w.counts.end(), spoiled.width_counts);
      if (counts_spoiled) {
        EXPECT_TRUE(std::equal(w.tiles.begin(), w.tiles.end(), tiles.begin()));
      }
      const std::vector<float> got = linear(ctx, l, x, 16, 16, 0, spoiled.n, c.want);
      for (float v : got) EXPECT_TRUE(std::isnan(v));
    }
}

}  // namespace
