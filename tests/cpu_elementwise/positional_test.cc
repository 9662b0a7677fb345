#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_elementwise/runner.h"
#include "ypu/params.h"

namespace {

struct rope_shape {
  int32_t tokens, heads, head_dim, window, window_rows, window_cols;
};

std::vector<float> run_rope(int32_t threads, const rope_shape &s, const std::vector<float> &in,
                            bool in_place, qz_status_t expect = QZ_STATUS_SUCCESS) {
  op_runner r(threads, QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41);
  const slot si = r.input(in, false);
  const slot so = in_place ? si : r.output<float>(in.size(), false);
  const qz_ypu_rope2d_f32_params_t p{so.buffer, si.buffer, s.tokens, s.heads, s.head_dim, 100.0f,
                                     s.window,  s.window_rows, s.window_cols};
  EXPECT_EQ(r.run(QZ_YPU_OP_ROPE2D_F32, &p), expect);
  return r.result<float>(so);
}

TEST(Rope2d, EqualsTheHostBitForBitForAnyThreadCount) {
  const rope_shape shapes[] = {
      {10, 2, 8, 3, 2, 2}, {1, 1, 4, 1, 1, 1}, {37, 3, 16, 2, 3, 4}, {12, 4, 6, 5, 1, 2}, {0, 2, 8, 2, 2, 2},
  };
  for (const rope_shape &s : shapes) {
    const uint32_t seed = 92000u + s.tokens * 10 + s.head_dim;
    const auto in = random_floats(size_t(s.tokens) * s.heads * s.head_dim, seed);
    const auto want = run_rope(0, s, in, false);
    for (float x : want) ASSERT_FALSE(std::isnan(x));
    for (int32_t threads : kThreadCounts)
      for (bool in_place : {false, true}) {
        SCOPED_TRACE(testing::Message() << "tokens=" << s.tokens << " seed=" << seed << " threads="
                                        << threads << " in_place=" << in_place);
        EXPECT_TRUE(same_bits(run_rope(threads, s, in, in_place), want));
      }
  }
}

TEST(Rope2d, ZeroWindowGoesToTheHostsCheck) {
  const rope_shape s{4, 1, 4, 0, 1, 1};
  const auto got = run_rope(4, s, std::vector<float>(16, 1.0f), false, QZ_STATUS_INVALID_ARGUMENT);
  for (float x : got) EXPECT_TRUE(std::isnan(x));
}

}  // namespace
