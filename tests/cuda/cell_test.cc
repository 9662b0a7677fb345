// The LSTM cell, the gaussian window weighting and the polar spectrum
// against the host.
#include "twin.h"

#include "ypu/params.h"

namespace {

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
    t.expect_close(out, s.rows * s.channels, 2e-6f, 1e-7f);
  }
}

TEST(CudaCell, PolarSpectrum) {
  for (auto [rows, n] : {std::pair{1, 2}, {3, 8}, {2, 9}, {2, 512}}) {
    SCOPED_TRACE(std::to_string(rows) + " rows of " + std::to_string(n));
    twin t;
    const int32_t floats = rows * (n + 2);
    const twin_buffer out = t.bytes(4 * floats + 4, 0x7F),
                      in = t.buffer(random_floats(floats, -3, 5, n));
    t.run(QZ_YPU_OP_POLAR_SPECTRUM_F32, [&](bool g) {
      return qz_ypu_polar_spectrum_f32_params_t{out.on(g), in.on(g), rows, n, 4, 0};
    });
    t.expect_close(out, floats + 1, 2e-6f, 1e-6f);
  }
}

}  // namespace
