// The AVX set's two activation-preparation tasks against their SSE4.1
// twins. Its drivers are checked in split_row_sets_test.cc, its repack
// table and its quantiser's worked example with the others in
// repack_test.cc.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "ypu/cpu/lowbit/kernels.h"

namespace {

#define SKIP_WITHOUT_AVX()                                                        \
  do {                                                                            \
    if (!__builtin_cpu_supports("avx")) GTEST_SKIP() << "this processor lacks AVX"; \
  } while (0)

// Groups with NaN, infinities, equal values, signed zeros and denormals,
// among random ones.
std::vector<float> awkward_groups(int32_t groups, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-50.0f, 50.0f);
  std::vector<float> x(8 * size_t(groups));
  for (float &v : x) v = dist(rng);
  const float inf = std::numeric_limits<float>::infinity();
  const float special[] = {NAN, inf, -inf, 0.0f, -0.0f, 1e-40f, -1e-40f, 3.0e38f};
  for (int32_t g = 0; g < groups; g += 3) x[8 * g + g % 8] = special[g % 8];
  if (groups > 1)
    for (int k = 0; k < 8; ++k) x[8 + k] = 7.5f;  // group 1: equal values
  return x;
}

bool same(const void *a, const void *b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

// The AVX quantiser and group sums give their SSE4.1 twins' bits, whatever
// the chunking (the group sums take eight groups at a time, the rest one by
// one).
TEST(LowbitAvxPreparation, SameBitsAsTheSse41Tasks) {
  SKIP_WITHOUT_AVX();
  for (int32_t groups : {1, 7, 8, 9, 16, 27, 64}) {
    const std::vector<float> x = awkward_groups(groups, 60 + groups);
    for (int32_t chunks : {1, 2, 5}) {
      SCOPED_TRACE(testing::Message() << groups << " groups, " << chunks << " chunks");
      std::vector<uint8_t> codes[2];
      std::vector<float> lo[2], step[2], sum[2], sums[2];
      for (int s = 0; s < 2; ++s) {
        codes[s].assign(8 * groups, 0xAB);
        lo[s].assign(groups, -1.0f), step[s].assign(groups, -1.0f), sum[s].assign(groups, -1.0f);
        sums[s].assign(groups, -1.0f);
        qz_ypu_cpu_lowbit_quantize_context_t q{x.data(),    codes[s].data(), lo[s].data(),
                                               step[s].data(), sum[s].data(), groups, chunks};
        qz_ypu_cpu_lowbit_group_sums_context_t g{x.data(), sums[s].data(), groups, chunks};
        for (int32_t c = chunks - 1; c >= 0; --c) {  // the order of chunks does not matter
          (s ? qz_ypu_cpu_lowbit_quantize_act_avx : qz_ypu_cpu_lowbit_quantize_act_sse41)(&q, c);
          (s ? qz_ypu_cpu_lowbit_group_sums_avx : qz_ypu_cpu_lowbit_group_sums_sse41)(&g, c);
        }
      }
      EXPECT_EQ(codes[0], codes[1]);
      EXPECT_TRUE(same(lo[0].data(), lo[1].data(), 4 * groups));
      EXPECT_TRUE(same(step[0].data(), step[1].data(), 4 * groups));
      EXPECT_TRUE(same(sum[0].data(), sum[1].data(), 4 * groups));
      EXPECT_TRUE(same(sums[0].data(), sums[1].data(), 4 * groups));
      EXPECT_TRUE(same(sums[1].data(), sum[1].data(), 4 * groups))
          << "both tasks sum a group the same way";
    }
  }
}

}  // namespace
