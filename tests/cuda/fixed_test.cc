// The int16 and table kernels against the host implementations: exact
// integers, and the table activations within the table's resolution.
#include "twin.h"

#include "ypu/params.h"

namespace {

std::vector<int16_t> every_int16() {
  std::vector<int16_t> v(65536);
  for (int i = 0; i < 65536; ++i) v[i] = static_cast<int16_t>(i - 32768);
  return v;
}

TEST(CudaFixed, SaturatingAddOddAndEvenCounts) {
  for (int32_t n : {1, 2, 7, 256, 257, 1000, 1001}) {
    SCOPED_TRACE(n);
    twin t;
    std::vector<int16_t> a = random_ints<int16_t>(n + 2, -32768, 32767, n);
    std::vector<int16_t> b = random_ints<int16_t>(n + 2, -32768, 32767, n + 7);
    if (n >= 2) {
      a[2] = 32767, b[2] = 1;    // 32767 + 1 saturates
      a[3] = -32768, b[3] = -1;  // -32768 - 1 saturates
    }
    const twin_buffer out = t.bytes(2 * (n + 2)), ta = t.buffer(a), tb = t.buffer(b);
    t.run(QZ_YPU_OP_ADD_SAT_I16, [&](bool g) {
      return qz_ypu_add_sat_i16_params_t{out.on(g), ta.on(g), tb.on(g), n, 4, 4, 4};
    });
    t.expect_same<int16_t>(out, n + 2);
    // Operands off a word boundary: the same sums, no misaligned words.
    const twin_buffer shifted = t.bytes(2 * (n + 2));
    t.run(QZ_YPU_OP_ADD_SAT_I16, [&](bool g) {
      return qz_ypu_add_sat_i16_params_t{shifted.on(g), ta.on(g), tb.on(g), n, 2, 2, 0};
    });
    t.expect_same<int16_t>(shifted, n + 1);
    if (n >= 2) {
      const auto v = t.gpu_values<int16_t>(out, 4);
      EXPECT_EQ(v[2], 32767);
      EXPECT_EQ(v[3], -32768);
    }
  }
}

TEST(CudaFixed, EveryInt16ThroughTheTableSigmoids) {
  const std::vector<int16_t> in = every_int16();
  for (uint32_t op : {QZ_YPU_OP_SIGMOID_I16, QZ_YPU_OP_SIGMOID_Q10_I16, QZ_YPU_OP_RELU_I16}) {
    SCOPED_TRACE(op);
    twin t;
    const twin_buffer out = t.bytes(2 * 65536), ti = t.buffer(in);
    t.run(op, [&](bool g) { return qz_ypu_unary_params_t{out.on(g), ti.on(g), 65536, 0, 0}; });
    t.expect_same<int16_t>(out, 65536);
    if (op == QZ_YPU_OP_SIGMOID_I16) {
      const auto v = t.gpu_values<int16_t>(out, 65536);
      EXPECT_EQ(v[32768], 16384);          // S(0)
      EXPECT_EQ(v[32768 + 8128], 32755);   // table entry 127
      EXPECT_EQ(v[65535], 32755);
      EXPECT_EQ(v[32768 - 8192], 11);      // table entry 128
      EXPECT_EQ(v[0], 11);
    }
  }
}

TEST(CudaFixed, ScaleBiasRoundingAndTruncation) {
  const std::vector<int16_t> in = every_int16();
  for (int16_t scale : {1024, 1, -3000, 32767, -32768}) {
    for (uint32_t truncate : {0u, 1u}) {
      SCOPED_TRACE(std::to_string(scale) + (truncate ? " truncated" : " rounded"));
      twin t;
      const twin_buffer out = t.bytes(2 * 65536), ti = t.buffer(in);
      t.run(QZ_YPU_OP_SCALE_BIAS_I16, [&](bool g) {
        return qz_ypu_scale_bias_i16_params_t{out.on(g), ti.on(g), scale, truncate, 65536, 0, 0};
      });
      t.expect_same<int16_t>(out, 65536);
      if (scale == 1024 && !truncate) {
        EXPECT_EQ(t.gpu_values<int16_t>(out, 65536), in);
      }
    }
  }
}

TEST(CudaFixed, TableActivationsOfFloats) {
  std::vector<float> in;
  for (float x = -40.0f; x <= 40.0f; x += 0.01171875f) in.push_back(x);
  in.push_back(0.0f);
  in.push_back(NAN);
  const auto n = static_cast<int32_t>(in.size());
  for (uint32_t op : {QZ_YPU_OP_SIGMOID_TABLE_F32, QZ_YPU_OP_TANH_TABLE_F32}) {
    SCOPED_TRACE(op);
    twin t;
    const twin_buffer out = t.bytes(4 * n), ti = t.buffer(in);
    t.run(op, [&](bool g) { return qz_ypu_unary_params_t{out.on(g), ti.on(g), n, 0, 0}; });
    // The host maps the table's range onto [0, 1] slightly differently; the
    // two agree to the table's resolution.
    const auto gv = t.gpu_values<float>(out, n), hv = t.host_values<float>(out, n);
    for (int32_t i = 0; i + 1 < n; ++i) ASSERT_NEAR(gv[i], hv[i], 1e-3f) << in[i];
    EXPECT_EQ(gv[n - 2], op == QZ_YPU_OP_SIGMOID_TABLE_F32 ? 16384.0f / 32767.0f : 0.0f);
  }
}

TEST(CudaFixed, AffineColumns) {
  for (auto [rows, cols] : {std::pair{1, 1}, {17, 33}, {3, 300}}) {
    SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
    twin t;
    const twin_buffer out = t.bytes(2 * rows * cols + 8),
                      in = t.buffer(random_ints<int16_t>(rows * cols + 4, -32768, 32767, cols)),
                      offsets = t.buffer(random_ints<int16_t>(cols, -2000, 2000, rows)),
                      scales = t.buffer(random_ints<int16_t>(cols, -32768, 32767, rows + cols));
    t.run(QZ_YPU_OP_AFFINE_COLUMNS_I16, [&](bool g) {
      return qz_ypu_affine_columns_i16_params_t{out.on(g),     in.on(g), offsets.on(g),
                                                scales.on(g),  rows,     cols,
                                                8,             8};
    });
    t.expect_same<int16_t>(out, rows * cols + 4);
  }
}

}  // namespace
