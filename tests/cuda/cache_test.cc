// The key/value cache writers and movers against the host: the ring and
// linear quantisers give the host's codes bit for bit (their lanes must not
// mix rows), the int16 quantiser likewise, and the in-place shift survives
// lanes that run ahead of each other.
#include "twin.h"

#include "ypu/params.h"

namespace {

using qz_gpu_harness::kAllSchedules;
using qz_gpu_harness::schedule;

struct ring_case {
  const char *name;
  int32_t m, n, k, position, window;
};

class CudaRingQuantize : public ::testing::TestWithParam<ring_case> {};

// Codes, slopes and intercepts equal the host's; ring rows no new position
// maps to keep their old contents.
TEST_P(CudaRingQuantize, MatchesHostBitForBit) {
  const ring_case &c = GetParam();
  for (uint32_t op : {uint32_t{QZ_YPU_OP_QUANTIZE_ROWS_RING_U8},
                      uint32_t{QZ_YPU_OP_QUANTIZE_ROWS_RING_U16}}) {
    SCOPED_TRACE("op " + std::to_string(op));
    const int32_t code_bytes = op == QZ_YPU_OP_QUANTIZE_ROWS_RING_U8 ? 1 : 2;
    const int32_t rows = c.m * c.window;
    std::vector<float> in = random_floats(size_t(c.n) * c.m * c.k, -3, 5, c.k + c.n);
    if (c.k > 2) in[1] = in[2];  // a repeated value
    for (schedule order : {schedule::forward, schedule::last_warp_ahead}) {
      twin t(order);
      const twin_buffer codes = t.bytes(code_bytes * rows * c.k, 0x5A), slope = t.bytes(4 * rows, 0x11),
                        intercept = t.bytes(4 * rows, 0x22), x = t.buffer(in);
      t.run(op, [&](bool g) {
        return qz_ypu_quantize_rows_ring_params_t{codes.on(g), slope.on(g), intercept.on(g),
                                                  x.on(g), c.m, c.n, c.k, c.position, c.window};
      });
      t.expect_same<uint8_t>(codes, size_t(code_bytes) * rows * c.k);
      t.expect_same<float>(slope, rows);
      t.expect_same<float>(intercept, rows);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CudaRingQuantize,
    ::testing::Values(ring_case{"one_element", 1, 1, 1, 0, 1},
                      ring_case{"k8", 2, 3, 8, 0, 4},
                      ring_case{"k20_rows_share_no_warp", 3, 4, 20, 1, 6},
                      ring_case{"k24", 2, 5, 24, 2, 8},
                      ring_case{"k33", 2, 2, 33, 5, 4},
                      ring_case{"k64_grouped", 4, 3, 64, 9, 16},
                      ring_case{"wraps_n4_position3_window5", 2, 4, 16, 3, 5},
                      ring_case{"more_rows_than_ring", 2, 7, 12, 4, 3},
                      ring_case{"many_rows_over_the_grid", 5, 80, 40, 0, 80}),
    [](const auto &info) { return std::string(info.param.name); });

// The ring positions of the text's example: rows 0..3 at position 3 of a
// ring of 5 land in ring rows 3, 4, 0, 1; row 2 keeps its contents.
TEST(CudaRingQuantize, PositionsWrapAroundTheRing) {
  twin t;
  const int32_t k = 4, W = 5;
  std::vector<float> in(4 * k);
  for (int32_t p = 0; p < 4; ++p)
    for (int32_t i = 0; i < k; ++i) in[p * k + i] = float(10 * p + i);
  const twin_buffer codes = t.bytes(W * k, 0x77), slope = t.bytes(4 * W), intercept = t.bytes(4 * W),
                    x = t.buffer(in);
  t.run(QZ_YPU_OP_QUANTIZE_ROWS_RING_U8, [&](bool g) {
    return qz_ypu_quantize_rows_ring_params_t{codes.on(g), slope.on(g), intercept.on(g), x.on(g),
                                              1, 4, k, 3, W};
  });
  EXPECT_EQ(t.gpu_values<float>(intercept, W), (std::vector<float>{20, 30, 0, 0, 10}));
  const std::vector<uint8_t> c = t.gpu_values<uint8_t>(codes, W * k);
  EXPECT_EQ(std::vector<uint8_t>(c.begin() + 2 * k, c.begin() + 3 * k),
            std::vector<uint8_t>(k, 0x77));
  EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.begin() + k), (std::vector<uint8_t>{0, 85, 170, 255}));
}

TEST(CudaLinearQuantize, MatchesHostBitForBit) {
  struct shape {
    int32_t m, n, k, max_length, position, offset;
  } shapes[] = {{1, 1, 1, 1, 0, 0}, {2, 3, 31, 5, 2, 4}, {3, 2, 32, 4, 1, 0}, {2, 4, 100, 9, 5, 8}};
  for (const shape &s : shapes) {
    SCOPED_TRACE(std::to_string(s.k));
    twin t;
    const int32_t rows = s.m * s.max_length;
    std::vector<float> in = random_floats(size_t(s.offset / 4) + size_t(s.m) * s.n * s.k, -2, 7, s.k);
    const twin_buffer codes = t.bytes(rows * s.k, 0x33), pairs = t.bytes(8 * rows, 0x44),
                      x = t.buffer(in);
    t.run(QZ_YPU_OP_QUANTIZE_ROWS_U8, [&](bool g) {
      return qz_ypu_quantize_rows_u8_params_t{codes.on(g), pairs.on(g), x.on(g), s.max_length,
                                              s.position, s.m, s.n, s.k, s.offset};
    });
    t.expect_same<uint8_t>(codes, size_t(rows) * s.k);
    t.expect_same<float>(pairs, 2 * size_t(rows));
  }
}

// Equal values: slope 0, every code 0, the pair {0, value}, which decodes
// to the value again.
TEST(CudaLinearQuantize, EqualRowGivesSlopeZero) {
  twin t;
  const twin_buffer codes = t.bytes(40, 0x33), pairs = t.bytes(8), x = t.buffer(std::vector<float>(40, -1.75f));
  t.run(QZ_YPU_OP_QUANTIZE_ROWS_U8, [&](bool g) {
    return qz_ypu_quantize_rows_u8_params_t{codes.on(g), pairs.on(g), x.on(g), 1, 0, 1, 1, 40, 0};
  });
  EXPECT_EQ(t.gpu_values<uint8_t>(codes, 40), std::vector<uint8_t>(40, 0));
  EXPECT_EQ(t.gpu_values<float>(pairs, 2), (std::vector<float>{0.0f, -1.75f}));
}

TEST(CudaQuantizeI16, MatchesHostBitForBit) {
  const int32_t rows = 6;
  for (int32_t cols : {1, 31, 32, 33, 100}) {
    SCOPED_TRACE(cols);
    std::vector<float> in = random_floats(2 + size_t(rows) * cols, -40, 40, cols);
    // Row 0 all zeros (factor 0); row 1 with max |x| = 31 (t = 1, codes
    // x * 1024, factor 1 / 131072).
    for (int32_t j = 0; j < cols; ++j) in[2 + j] = 0.0f;
    in[2 + cols] = -31.0f;
    for (int32_t j = 1; j < cols; ++j) in[2 + cols + j] = float(j % 31) - 15.5f;
    twin t;
    const twin_buffer out = t.bytes(2 * rows * cols + 4, 0x12), factors = t.bytes(4 * rows + 4, 0x34),
                      x = t.buffer(in);
    t.run(QZ_YPU_OP_QUANTIZE_ROWS_I16, [&](bool g) {
      return qz_ypu_quantize_rows_i16_params_t{out.on(g), factors.on(g), x.on(g), rows, cols,
                                               2, 4, 8};
    });
    t.expect_same<int16_t>(out, size_t(rows) * cols + 2);
    t.expect_same<float>(factors, rows + 1);
    const std::vector<float> f = t.gpu_values<float>(factors, rows + 1);
    EXPECT_EQ(f[1], 0.0f);
    EXPECT_EQ(f[2], 1.0f / 131072.0f);
    const std::vector<int16_t> codes = t.gpu_values<int16_t>(out, 1 + 2 * size_t(cols));
    EXPECT_EQ(codes[1 + cols], -31 * 1024);
  }
}

// The in-place shift against memmove at every schedule: a lane that runs
// ahead into its next pass must not overwrite bytes its warp has yet to read.
TEST(CudaShiftRows, MatchesMemmoveAtEverySchedule) {
  const int32_t rows = 3, row_bytes = 200;
  for (int32_t shift : {1, 31, 32, 33, 40, 199, 200}) {
    SCOPED_TRACE(shift);
    std::vector<uint8_t> in(rows * row_bytes);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 7 + i / 200);
    for (schedule order : kAllSchedules) {
      twin t(order);
      const twin_buffer data = t.buffer(in);
      t.run(QZ_YPU_OP_SHIFT_ROWS_LEFT, [&](bool g) {
        return qz_ypu_shift_rows_left_params_t{data.on(g), rows, row_bytes, shift};
      });
      t.expect_same<uint8_t>(data, in.size());
    }
  }
}

TEST(CudaShiftRows, ShiftPastTheRowChangesNothingAndZeroFails) {
  twin t;
  const std::vector<uint8_t> in = random_ints<uint8_t>(2 * 50, 0, 255, 3);
  const twin_buffer data = t.buffer(in);
  const qz_ypu_shift_rows_left_params_t past{data.gpu, 2, 50, 51};
  ASSERT_EQ(t.gpu().run(QZ_YPU_OP_SHIFT_ROWS_LEFT, &past), QZ_STATUS_SUCCESS);
  EXPECT_EQ(t.gpu_values<uint8_t>(data, in.size()), in);
  const qz_ypu_shift_rows_left_params_t none{data.gpu, 2, 50, 0};
  EXPECT_EQ(t.gpu().run(QZ_YPU_OP_SHIFT_ROWS_LEFT, &none), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kKernelFailed});
}

}  // namespace
