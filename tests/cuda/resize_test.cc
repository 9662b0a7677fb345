// The resize kernels against the host implementations. The kernels fuse
// their multiply-adds where the host rounds each product, so values agree to
// a few units in the last place of the sum of the taps' magnitudes.
#include "twin.h"

#include "ypu/params.h"

namespace {

struct size_case {
  int32_t out, in;
};
// One output, the same size, twice, a third, and sizes that do not divide.
constexpr size_case kSizes[] = {{1, 4}, {5, 5}, {10, 5}, {3, 9}, {7, 3}, {1, 1}};

TEST(CudaResize, BicubicAndBilinear) {
  for (uint32_t op : {QZ_YPU_OP_RESIZE_BICUBIC_F32, QZ_YPU_OP_RESIZE_BILINEAR_F32}) {
    for (const size_case h : kSizes) {
      for (const size_case w : {size_case{4, 2}, {3, 7}}) {
        for (int32_t ch : {1, 3, 300}) {
          SCOPED_TRACE(std::to_string(op) + ": " + std::to_string(h.in) + "x" + std::to_string(w.in) +
                       " to " + std::to_string(h.out) + "x" + std::to_string(w.out) + " x" +
                       std::to_string(ch));
          twin t;
          const int32_t count = h.out * w.out * ch;
          const twin_buffer out = t.bytes(4 * count, 0xFF),
                            in = t.buffer(random_floats(h.in * w.in * ch, -1, 1, ch));
          // Both records have the same fields.
          t.run(op, [&](bool g) {
            return qz_ypu_resize_bicubic_f32_params_t{out.on(g), in.on(g), h.out, w.out,
                                                      h.in,      w.in,     ch};
          });
          // 16 taps whose weights' magnitudes sum to at most 1.6 per axis,
          // on inputs of magnitude 1: both sides within 17 roundings of 2.6.
          t.expect_close(out, count, 0.0f, 8e-6f);
        }
      }
    }
  }
}

// Corner-aligned with one output row: source row 0 only, exactly.
TEST(CudaResize, BilinearSingleRowReadsRowZero) {
  cuda_context c;
  const std::vector<float> in = random_floats(4 * 3 * 2, -1, 1, 9);
  qz_ypu_buffer_t *out = c.buffer(4 * 3 * 2), *b = c.buffer(in);
  const qz_ypu_resize_bilinear_f32_params_t p{out, b, 1, 3, 4, 3, 2};
  ASSERT_EQ(c.run(QZ_YPU_OP_RESIZE_BILINEAR_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(c.read<float>(out, 6), std::vector<float>(in.begin(), in.begin() + 6));
}

TEST(CudaResize, Linear) {
  for (const size_case s : kSizes) {
    for (int32_t ch : {1, 2, 257}) {
      SCOPED_TRACE(std::to_string(s.in) + " to " + std::to_string(s.out) + " x" + std::to_string(ch));
      twin t;
      const std::vector<float> values = random_floats(s.in * ch, -1, 1, s.out);
      const twin_buffer out = t.bytes(4 * s.out * ch, 0xFF), in = t.buffer(values);
      t.run(QZ_YPU_OP_RESIZE_LINEAR_F32, [&](bool g) {
        return qz_ypu_resize_linear_f32_params_t{out.on(g), in.on(g), s.out, s.in, ch};
      });
      t.expect_close(out, s.out * ch, 0.0f, 2e-7f);
      // Equal sizes reproduce the input (src = o, fraction 0).
      if (s.in == s.out) {
        EXPECT_EQ(t.gpu_values<float>(out, s.out * ch), values);
      }
    }
  }
}

// An empty input cannot feed an output: the host implementation reports it.
TEST(CudaResize, EmptyInputIsTheHostsToReport) {
  cuda_context c;
  qz_ypu_buffer_t *b = c.buffer(64);
  const qz_ypu_resize_linear_f32_params_t p{b, b, 4, 0, 1};
  EXPECT_EQ(c.run(QZ_YPU_OP_RESIZE_LINEAR_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000065: Argument `in_length` is invalid."});
}

}  // namespace
