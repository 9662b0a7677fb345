// The LSTM cell, the gaussian window weighting and the polar spectrum
// against the host: the cell bit for bit, the other two within the
// documented errors of the GPU's expf, cosf and sinf and the host's own.
#include "twin.h"

#include <algorithm>

#include "gpu_harness/device_maths.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::device_error;
using qz_gpu_harness::device_relative_error;
using qz_gpu_harness::kDeviceMaths;
using qz_gpu_harness::kHostMathsUlps;

// The relative difference of the device's and the host's expf.
constexpr double kExpBoth =
    device_relative_error(kDeviceMaths.expf) + device_relative_error(kHostMathsUlps);

TEST(CudaCell, LstmBitForBitOnBoundaryValues) {
  const int16_t edges[] = {-32768, -32767, -8193, -8192, -1, 0, 1, 8128, 8129, 16383, 32767};
  std::vector<int16_t> gates, state;
  for (int16_t a : edges)
    for (int16_t g : edges)
      for (int16_t o : {int16_t{-8192}, int16_t{0}, int16_t{8128}})
        for (int16_t c : {int16_t{-32767}, int16_t{0}, int16_t{1000}, int16_t{32767}}) {
          gates.push_back(a), gates.push_back(g), gates.push_back(o), state.push_back(c);
        }
  const auto n = static_cast<int32_t>(state.size());
  // The gate file is [input][candidate][output], n each.
  std::vector<int16_t> file(3 * n + 2);
  for (int32_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) file[2 + k * n + i] = gates[3 * i + k];
  twin t;
  const twin_buffer out = t.bytes(2 * n), cells = t.buffer(state), gate_file = t.buffer(file);
  t.run(QZ_YPU_OP_LSTM_CELL_I16, [&](bool g) {
    return qz_ypu_lstm_cell_i16_params_t{out.on(g), cells.on(g), gate_file.on(g), n, 0, 0, 4};
  });
  t.expect_same<int16_t>(out, n);
  t.expect_same<int16_t>(cells, n);
}

TEST(CudaCell, LstmEqualMixAtZeroGate) {
  twin t;
  // Input gate 0 -> S = 16384: old cell and candidate in equal parts.
  const twin_buffer out = t.bytes(2), cells = t.buffer(std::vector<int16_t>{2048}),
                    gate_file = t.buffer(std::vector<int16_t>{0, 0, 8128});
  t.run(QZ_YPU_OP_LSTM_CELL_I16, [&](bool g) {
    return qz_ypu_lstm_cell_i16_params_t{out.on(g), cells.on(g), gate_file.on(g), 1, 0, 0, 0};
  });
  EXPECT_EQ(t.gpu_values<int16_t>(cells, 1), std::vector<int16_t>{1024});
  t.expect_same<int16_t>(out, 1);
}

TEST(CudaCell, GaussianWeightsWithUnequalReaches) {
  struct shape {
    int32_t rows, positions, channels, after, before;
  } shapes[] = {{1, 1, 1, 0, 0}, {6, 9, 5, 1, 3}, {4, 12, 300, 4, 0}, {3, 5, 2, 0, 7}};
  for (const shape &s : shapes) {
    SCOPED_TRACE(std::to_string(s.after) + " after, " + std::to_string(s.before) + " before");
    twin t;
    const twin_buffer out = t.bytes(4 * s.rows * s.channels),
                      values = t.buffer(random_floats(s.positions * s.channels, -2, 2, 1)),
                      widths = t.buffer(random_floats(s.positions, 0.5f, 3, 2)),
                      centres = t.buffer(random_floats(s.positions, 0, float(s.rows), 3)),
                      anchors = t.buffer(random_ints<int32_t>(s.rows, 0, s.positions - 1, 4));
    t.run(QZ_YPU_OP_GAUSSIAN_WEIGHTS_F32, [&](bool g) {
      return qz_ypu_gaussian_weights_f32_params_t{out.on(g),     values.on(g),  widths.on(g),
                                                  centres.on(g), anchors.on(g), s.rows,
                                                  s.positions,   s.channels,    s.after,
                                                  s.before};
    });
    // A weighted mean of values of at most 2 with weights from expf: each
    // weight's relative error moves the sum and the total, at most twice
    // the mean's magnitude bound; then each side's n + 1 rounded steps.
    const int32_t window = s.after + s.before + 1;
    const double bound = 2.0 * (2 * kExpBoth + 2 * float_gamma(window + 1));
    const std::vector<float> g = t.gpu_values<float>(out, s.rows * s.channels),
                             h = t.host_values<float>(out, s.rows * s.channels);
    for (size_t i = 0; i < g.size(); ++i) ASSERT_NEAR(g[i], h[i], bound) << "element " << i;
  }
}

TEST(CudaCell, PolarSpectrum) {
  for (auto [rows, n] : {std::pair{1, 2}, {3, 8}, {2, 9}, {2, 512}}) {
    SCOPED_TRACE(std::to_string(rows) + " rows of " + std::to_string(n));
    twin t;
    const int32_t floats = rows * (n + 2);
    const std::vector<float> x = random_floats(floats, -3, 5, n);
    const twin_buffer out = t.bytes(4 * floats + 4, 0x7F), in = t.buffer(x);
    t.run(QZ_YPU_OP_POLAR_SPECTRUM_F32, [&](bool g) {
      return qz_ypu_polar_spectrum_f32_params_t{out.on(g), in.on(g), rows, n, 4, 0};
    });
    // Bin k is w m cos(phase) and w m sin(phase), m = min(exp(log m), 100):
    // m's relative error and the cosine's or sine's absolute one, times
    // w m, then two products on each side.
    const std::vector<float> g = t.gpu_values<float>(out, floats + 1),
                             h = t.host_values<float>(out, floats + 1);
    ASSERT_EQ(std::memcmp(g.data(), h.data(), 4), 0) << "the float before the offset";
    for (int32_t r = 0; r < rows; ++r)
      for (int32_t k = 0; k <= n / 2; ++k) {
        const double m = std::min(std::exp(double{x[r * (n + 2) + k]}), 100.0);
        const double w = k > 0 && k < n / 2 ? 2.0 / n : 1.0 / n;
        const double trig = device_error(1, std::max(kDeviceMaths.cosf, kDeviceMaths.sinf)) +
                            device_error(1, kHostMathsUlps);
        for (int32_t i : {2 * k, 2 * k + 1}) {
          const size_t at = 1 + size_t(r) * (n + 2) + i;
          ASSERT_NEAR(g[at], h[at], w * m * (kExpBoth + trig) + 4 * 0x1p-24 * std::fabs(h[at]))
              << r << ", " << i;
        }
      }
  }
}

}  // namespace
