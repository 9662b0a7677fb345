#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "host/operand.h"
#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

using host_test::expect_guards;
using host_test::fetch;
using host_test::operand;
using host_test::place;
using host_test::place_blank;

class Spectrum : public testing::TestWithParam<ypu_backend> {
 protected:
  ypu_harness h{GetParam()};

  // Runs op 54 over `frames` frames of n + 2 floats each.
  std::vector<float> run(const std::vector<float> &in, int32_t frames, int32_t n) {
    const operand oi = place(h, in, 8), out = place_blank<float>(h, in.size(), 4);
    const qz_ypu_polar_spectrum_f32_params_t p{.out = out.buffer, .in = oi.buffer,
                                               .rows = frames, .cols = n,
                                               .out_offset = out.offset, .in_offset = oi.offset};
    EXPECT_EQ(h.run(QZ_YPU_OP_POLAR_SPECTRUM_F32, &p), QZ_STATUS_SUCCESS);
    expect_guards(h, out);
    return fetch<float>(h, out);
  }
};

// n = 4: three bins; the middle one is scaled by 2/n, the outer two by 1/n,
// and the outer two lose their imaginary parts.
TEST_P(Spectrum, ScalesBinsAndClearsOuterImaginaryParts) {
  const float half_pi = float(M_PI / 2);
  // log-magnitudes 0, 0, 0 (magnitude 1), phases pi/2, 0, pi/2.
  const std::vector<float> out = run({0, 0, 0, half_pi, 0, half_pi}, 1, 4);
  const std::vector<double> expected = {std::cos(double(half_pi)) * 0.25, 0, 0.5, 0,
                                        std::cos(double(half_pi)) * 0.25, 0};
  ASSERT_EQ(out.size(), expected.size());
  for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], expected[i], 1e-7) << i;
  EXPECT_EQ(std::signbit(out[1]) + std::signbit(out[5]), 0);
}

TEST_P(Spectrum, MatchesDoubleReferenceAcrossFrames) {
  const int32_t n = 6, frames = 2, bins = n / 2 + 1;
  std::vector<float> in;
  for (int f = 0; f < frames; ++f) {
    // log-magnitudes, then phases
    for (int j = 0; j < bins; ++j) in.push_back(0.3f * float(j) - 0.7f * float(f));
    for (int j = 0; j < bins; ++j) in.push_back(0.9f * float(j + 1) + float(f));
  }
  const std::vector<float> out = run(in, frames, n);
  for (int f = 0; f < frames; ++f)
    for (int j = 0; j < bins; ++j) {
      const double magnitude = std::min(std::exp(double(in[f * (n + 2) + j])), 100.0);
      const double phase = in[f * (n + 2) + bins + j];
      const double s = (j > 0 && j < n / 2 ? 2.0 : 1.0) / n;
      const bool outer = j == 0 || j == n / 2;
      EXPECT_NEAR(out[f * (n + 2) + 2 * j], std::cos(phase) * magnitude * s, 1e-6);
      const double imaginary = outer ? 0.0 : std::sin(phase) * magnitude * s;
      EXPECT_NEAR(out[f * (n + 2) + 2 * j + 1], imaginary, 1e-6);
    }
}

// Log-magnitudes above ln 100 give a magnitude of 100.
TEST_P(Spectrum, CapsMagnitudesAt100) {
  const std::vector<float> out = run({5.0f, 88.0f, 200.0f, 0, 0, 0}, 1, 4);
  EXPECT_EQ(out, (std::vector<float>{25.0f, 0, 50.0f, 0, 25.0f, 0}));
}

TEST_P(Spectrum, EmptyShapesWriteNothing) {
  const std::vector<float> in = {1, 2, 3, 4, 5, 6};
  for (const auto &[frames, n] : {std::pair{0, 4}, {-1, 4}, {1, 0}, {1, -2}}) {
    const operand oi = place(h, in, 8), out = place(h, in, 4);
    const qz_ypu_polar_spectrum_f32_params_t p{.out = out.buffer, .in = oi.buffer,
                                               .rows = frames, .cols = n,
                                               .out_offset = out.offset, .in_offset = oi.offset};
    ASSERT_EQ(h.run(QZ_YPU_OP_POLAR_SPECTRUM_F32, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(fetch<float>(h, out), in);
    expect_guards(h, out);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Spectrum, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

TEST(SpectrumFake, FailedMapIsAFailure) {
  ypu_harness h(ypu_backend::fake);
  const operand in = place<float>(h, {0, 0, 0, 0, 0, 0}), out = place<float>(h, {7, 7, 7, 7, 7, 7});
  h.fake()->fail_map = true;
  const qz_ypu_polar_spectrum_f32_params_t p{out.buffer, in.buffer, 1, 4, out.offset, in.offset};
  EXPECT_NE(h.run(QZ_YPU_OP_POLAR_SPECTRUM_F32, &p), QZ_STATUS_SUCCESS);
  h.fake()->fail_map = false;
  EXPECT_EQ(fetch<float>(h, out), std::vector<float>(6, 7.0f));
}

}  // namespace
