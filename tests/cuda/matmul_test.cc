// The product kernels against the host implementations: the fixed-point
// linear layers exactly (both kernels of each entry), the float products
// within the bound of their summation order.
#include "twin.h"

#include "ypu/params.h"

namespace {

struct linear_shape {
  int32_t tokens, out_n, in_n, x_offset;
};

// Op 19 takes its vector kernel from 1024 features with in_n % 4 == 0, op 20
// whenever in_n % 4 == 0; an input off an 8-byte boundary takes the
// per-value kernel. Both must give the host's values either way.
constexpr linear_shape kLinearShapes[] = {
    {1, 1, 1, 0},      {3, 17, 33, 2},    {2, 512, 64, 0},  {2, 1024, 64, 0},
    {1, 1030, 68, 2},  {2, 5, 4, 8},      {1, 40, 300, 0},
};

TEST(CudaLinearI8I16, BothKernelsOfBothEntries) {
  for (uint32_t op : {QZ_YPU_OP_LINEAR_ACC_I8I16, QZ_YPU_OP_LINEAR_I8I16}) {
    for (const linear_shape s : kLinearShapes) {
      SCOPED_TRACE(std::to_string(op) + ": " + std::to_string(s.tokens) + "x" +
                   std::to_string(s.out_n) + "x" + std::to_string(s.in_n) + " at " +
                   std::to_string(s.x_offset));
      twin t;
      // Full-range values: long rows saturate, and the accumulating op's old
      // outputs push sums past the int16 range.
      const twin_buffer out = t.buffer(random_ints<int16_t>(s.tokens * s.out_n + 1, -32768, 32767, 1)),
                        x = t.buffer(random_ints<int16_t>(s.x_offset / 2 + s.tokens * s.in_n,
                                                          -32768, 32767, 2)),
                        w = t.buffer(random_ints<int8_t>(s.out_n * s.in_n, -128, 127, 3)),
                        bias = t.buffer(random_ints<int8_t>(s.out_n, -128, 127, 4));
      t.run(op, [&](bool g) {
        return qz_ypu_linear_i8i16_params_t{out.on(g), x.on(g),    w.on(g), bias.on(g),
                                            s.tokens,  s.out_n,    s.in_n,  2,
                                            s.x_offset};
      });
      t.expect_same<int16_t>(out, s.tokens * s.out_n + 1);
    }
  }
}

// Small sums that neither wrap nor saturate: (s + 1024 bias + 64) >> 7 by
// hand, with the old output added by op 19 only.
TEST(CudaLinearI8I16, RoundingAndAccumulation) {
  for (uint32_t op : {QZ_YPU_OP_LINEAR_ACC_I8I16, QZ_YPU_OP_LINEAR_I8I16}) {
    cuda_context c;
    // x . w = 4 * 100 * 3 = 1200; + 1024 * -1 + 64 = 240; >> 7 = 1.
    qz_ypu_buffer_t *out = c.buffer(std::vector<int16_t>{10});
    qz_ypu_buffer_t *x = c.buffer(std::vector<int16_t>(4, 100));
    qz_ypu_buffer_t *w = c.buffer(std::vector<int8_t>(4, 3));
    qz_ypu_buffer_t *bias = c.buffer(std::vector<int8_t>{-1});
    const qz_ypu_linear_i8i16_params_t p{out, x, w, bias, 1, 1, 4, 0, 0};
    ASSERT_EQ(c.run(op, &p), QZ_STATUS_SUCCESS);
    EXPECT_EQ(c.read<int16_t>(out, 1)[0], op == QZ_YPU_OP_LINEAR_ACC_I8I16 ? 11 : 1);
  }
}

// The exact products in double and the magnitudes of their terms.
void dot_reference(const float *a, const float *b, int32_t k, double *value, double *magnitude) {
  *value = *magnitude = 0;
  for (int32_t p = 0; p < k; ++p) {
    *value += double{a[p]} * b[p];
    *magnitude += std::fabs(double{a[p]} * b[p]);
  }
}

TEST(CudaMatmul, TransposedProduct) {
  struct shape {
    int32_t m, n, k;
  };
  for (const shape s : {shape{1, 1, 1}, {3, 5, 31}, {2, 9, 33}, {1, 17, 100}, {2, 3, 0},
                        {5, 64, 257}}) {
    SCOPED_TRACE(std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k));
    twin t;
    const std::vector<float> a = random_floats(2 + s.m * s.k, -1, 1, 1);
    const std::vector<float> b = random_floats(3 + s.n * s.k, -1, 1, 2);
    const twin_buffer out = t.bytes(4 * (1 + s.m * s.n), 0xFF), ta = t.buffer(a), tb = t.buffer(b);
    t.run(QZ_YPU_OP_MATMUL_NT_F32, [&](bool g) {
      return qz_ypu_matmul_nt_f32_params_t{out.on(g), ta.on(g), tb.on(g), s.m, s.n, s.k, 4, 8, 12};
    });
    std::vector<double> ref(s.m * s.n), bound(s.m * s.n);
    for (int32_t i = 0; i < s.m; ++i)
      for (int32_t j = 0; j < s.n; ++j) {
        dot_reference(&a[2 + i * s.k], &b[3 + j * s.k], s.k, &ref[i * s.n + j], &bound[i * s.n + j]);
        bound[i * s.n + j] *= float_gamma(s.k + 1);
      }
    const std::vector<float> got = t.gpu_values<float>(out, 1 + s.m * s.n);
    expect_within(std::vector<float>(got.begin() + 1, got.end()), ref, bound);
  }
}

TEST(CudaMatmul, BatchedTransposedProduct) {
  struct shape {
    int32_t d0, d1, d2, n, k;
  };
  for (const shape s : {shape{1, 1, 1, 1, 1}, {2, 3, 4, 5, 33}, {1, 2, 1, 3, 64}, {3, 1, 2, 7, 5}}) {
    for (uint32_t by_middle : {0u, 1u}) {
      SCOPED_TRACE(std::to_string(s.d0) + "x" + std::to_string(s.d1) + "x" + std::to_string(s.d2) +
                   " by " + (by_middle ? "middle" : "last"));
      twin t;
      const int32_t rows = s.d0 * s.d1 * s.d2, blocks = by_middle ? s.d1 : s.d2;
      const std::vector<float> a = random_floats(rows * s.k, -1, 1, 3);
      const std::vector<float> b = random_floats(blocks * s.n * s.k, -1, 1, 4);
      const twin_buffer out = t.bytes(4 * rows * s.n, 0xFF), ta = t.buffer(a), tb = t.buffer(b);
      t.run(QZ_YPU_OP_MATMUL_NT_BATCHED_F32, [&](bool g) {
        return qz_ypu_matmul_nt_batched_f32_params_t{out.on(g), ta.on(g), tb.on(g), by_middle,
                                                     s.d0,      s.d1,     s.d2,     s.n,
                                                     s.k};
      });
      std::vector<double> ref(rows * s.n), bound(rows * s.n);
      for (int32_t r = 0; r < rows; ++r) {
        const int32_t block = by_middle ? (r / s.d2) % s.d1 : r % s.d2;
        for (int32_t l = 0; l < s.n; ++l) {
          dot_reference(&a[r * s.k], &b[(block * s.n + l) * s.k], s.k, &ref[r * s.n + l],
                        &bound[r * s.n + l]);
          bound[r * s.n + l] *= float_gamma(s.k + 1);
        }
      }
      expect_within(t.gpu_values<float>(out, rows * s.n), ref, bound);
      expect_within(t.host_values<float>(out, rows * s.n), ref, bound);
    }
  }
}

}  // namespace
