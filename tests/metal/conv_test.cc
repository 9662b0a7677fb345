// The Metal convolutions against the host implementation: the int8 x int16
// ones bit for bit (sums wrap in 32 bits in both), the float 2-D one within
// a bound from its order of additions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "metal/metal_twin.h"
#include "support/conv2d_reference.h"
#include "support/metal_test.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {


struct conv1d_case {
  const char *name;
  int32_t rows, out_channels, in_channels, taps;
};

class MetalConv1d : public MetalTest, public testing::WithParamInterface<conv1d_case> {};

// Rows not a multiple of 16 leave threads of the last threadgroup idle;
// channels past one SIMD-group width loop; the output starts full of
// garbage, which op 10 adds to and op 11 overwrites.
TEST_P(MetalConv1d, DepthwiseAndFullMatchTheHost) {
  const conv1d_case &c = GetParam();
  for (const qz_gpu_harness::schedule order : kAllSchedules) {
    SCOPED_TRACE(int(order));
    metal_twin t(order);
    const int32_t frames = c.rows + c.taps - 1, offset = 8;
    const auto garbage = random_ints<int32_t>(
        c.rows * std::max(c.in_channels, c.out_channels) + 2, INT32_MIN / 2, INT32_MAX / 2, 1);
    {
      // Extreme values show that the sums wrap rather than saturate.
      auto x = random_ints<int16_t>(frames * c.in_channels + 4, -32768, 32767, 2);
      auto w = random_ints<int8_t>(c.taps * c.in_channels + 4, -128, 127, 3);
      const twin_buffer xb = t.buffer(x), wb = t.buffer(w), out = t.buffer(garbage);
      t.run(QZ_YPU_OP_DWCONV1D_ACC_I8I16, "taabe258", [&](bool gpu) {
        return qz_ypu_dwconv1d_acc_i8i16_params_t{
            out.on(gpu), wb.on(gpu), xb.on(gpu), c.rows, c.in_channels, c.taps, offset, 1, 2};
      });
      t.expect_same<int32_t>(out, garbage.size());
    }
    {
      auto x = random_ints<int16_t>(frames * c.in_channels + 2, -32768, 32767, 4);
      auto w = random_ints<int8_t>(c.out_channels * c.taps * c.in_channels + 3, -128, 127, 5);
      const twin_buffer xb = t.buffer(x), wb = t.buffer(w), out = t.buffer(garbage);
      t.run(QZ_YPU_OP_CONV1D_I8I16, "taabe259", [&](bool gpu) {
        return qz_ypu_conv1d_i8i16_params_t{
            out.on(gpu),   wb.on(gpu), xb.on(gpu), c.rows, c.out_channels,
            c.in_channels, c.taps,     4,          3,      2};
      });
      t.expect_same<int32_t>(out, garbage.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalConv1d,
                         testing::Values(conv1d_case{"one_row_one_tap", 1, 1, 1, 1},
                                         conv1d_case{"rows_17_taps_3", 17, 5, 7, 3},
                                         conv1d_case{"channels_past_simd_width", 9, 3, 70, 2},
                                         conv1d_case{"long_window", 33, 2, 40, 5}),
                         [](const testing::TestParamInfo<conv1d_case> &info) {
                           return info.param.name;
                         });

struct transposed_case {
  const char *name;
  int32_t rows, channels, taps, stride;
};

class MetalDwconvTransposed : public MetalTest,
                              public testing::WithParamInterface<transposed_case> {};

// Every output row is written with its whole sum, as the CPU backend writes
// it (the host implementation adds into the output instead, so the two agree
// only on a zeroed output): on an output full of other values the Metal and
// CPU rows are the same. The operands start at byte offsets; the values
// before the output are kept, and its buffer ends at the last of its
// (rows - 1)*stride + taps rows, so a phase row past it would be an access
// outside the buffer (reported by the sanitizer build).
TEST_P(MetalDwconvTransposed, WritesTheCpuBackendsRowsOverTheOldOutput) {
  const transposed_case &c = GetParam();
  const int32_t out_rows = (c.rows - 1) * c.stride + c.taps, lead = 3;
  const auto x = random_ints<int16_t>(1 + c.rows * c.channels, -32768, 32767, 6);
  const auto w = random_ints<int8_t>(2 + c.taps * c.channels, -128, 127, 7);
  const auto start = random_ints<int32_t>(lead + out_rows * c.channels, INT32_MIN, INT32_MAX, 8);
  const auto run = [&](auto &side) {
    const qz_ypu_dwconv1d_transposed_i8i16_params_t p{
        side.buffer(start), side.buffer(w), side.buffer(x), c.rows, c.channels, c.taps, c.stride,
        4 * lead,           2,              2};
    EXPECT_EQ(side.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, &p), QZ_STATUS_SUCCESS);
    return side.template read<int32_t>(p.out, start.size());
  };
  metal_context gpu;
  const std::vector<int32_t> got = run(gpu);
  ASSERT_EQ(qz_metal_standin::standin().dispatches.size(), 1u);
  EXPECT_EQ(qz_metal_standin::standin().dispatches[0].kernel, "taabe16");
  ypu_harness cpu(ypu_backend::cpu);
  const std::vector<int32_t> want = run(cpu);
  EXPECT_EQ(got, want);
  EXPECT_TRUE(std::equal(start.begin(), start.begin() + lead, got.begin()));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MetalDwconvTransposed,
                         testing::Values(transposed_case{"stride_1", 5, 3, 3, 1},
                                         transposed_case{"stride_2_taps_4", 7, 33, 4, 2},
                                         transposed_case{"stride_3_taps_3", 16, 2, 3, 3},
                                         transposed_case{"one_row", 1, 40, 6, 2},
                                         transposed_case{"channels_16_stride_4", 6, 16, 8, 4}),
                         [](const testing::TestParamInfo<transposed_case> &info) {
                           return info.param.name;
                         });

// Taps that are not a whole number of strides (the phase kernel would drop
// the last ones) and a stride of 0 (the entry divides by it) are left to the
// host implementation, which gives the full result.
TEST_F(MetalDwconvTransposed, UnevenTapsAndStrideZeroRunOnTheHost) {
  struct shape {
    int32_t taps, stride;
  };
  for (const shape s : {shape{5, 2}, shape{3, 0}}) {
    metal_twin t;
    const int32_t rows = 4, channels = 3;
    const int32_t out_rows = (rows - 1) * s.stride + s.taps;
    const auto x = random_ints<int16_t>(rows * channels, -300, 300, 9);
    const auto w = random_ints<int8_t>(s.taps * channels, -100, 100, 10);
    const twin_buffer xb = t.buffer(x), wb = t.buffer(w),
                            out = t.bytes(out_rows * channels * 4);
    const qz_ypu_dwconv1d_transposed_i8i16_params_t p{out.gpu, wb.gpu,   xb.gpu, rows, channels,
                                                      s.taps,  s.stride, 0,      0,    0};
    ASSERT_EQ(t.gpu().run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, &p), QZ_STATUS_SUCCESS);
    EXPECT_TRUE(qz_metal_standin::standin().dispatches.empty());
    const auto got = t.gpu_values<int32_t>(out, size_t(out_rows) * channels);
    std::vector<int32_t> want(got.size(), 0);
    for (int32_t i = 0; i < rows; ++i)
      for (int32_t j = 0; j < s.taps; ++j)
        for (int32_t c = 0; c < channels; ++c)
          want[(i * s.stride + j) * channels + c] +=
              int32_t{w[j * channels + c]} * x[i * channels + c];
    EXPECT_EQ(got, want) << "taps " << s.taps << " stride " << s.stride;
  }
}

struct conv2d_case {
  const char *name;
  int32_t stride, pad, batch, out_ch, in_ch, h, w, kh, kw;
};

class MetalConv2d : public MetalTest, public testing::WithParamInterface<conv2d_case> {};

// Each output is a sum of L = in_ch·kh·kw products (the padded taps add 0)
// that the kernel adds per thread, then per SIMD-group in lane order, then
// over the SIMD-groups; the host adds them one by one. Two orders of the
// same L terms differ by at most 2·L·u·Σ|term| (each order within (L-1)·u
// of the exact sum, to first order).
TEST_P(MetalConv2d, MatchesTheHostWithinTheOrderBound) {
  const conv2d_case &c = GetParam();
  for (const qz_gpu_harness::schedule order : kAllSchedules) {
    SCOPED_TRACE(int(order));
    metal_twin t(order);
    const auto in = random_floats(size_t(c.batch) * c.in_ch * c.h * c.w, -2, 2, 11);
    const auto w = random_floats(size_t(c.out_ch) * c.in_ch * c.kh * c.kw, -1, 1, 12);
    const int32_t oh = (c.h + 2 * c.pad - c.kh) / c.stride + 1;
    const int32_t ow = (c.w + 2 * c.pad - c.kw) / c.stride + 1;
    const size_t count = size_t(c.batch) * c.out_ch * oh * ow;
    const twin_buffer ib = t.buffer(in), wb = t.buffer(w),
                            out = t.bytes(int32_t(count * 4), 0xFF);
    t.run(QZ_YPU_OP_CONV2D_F32, "taabe328", [&](bool gpu) {
      return qz_ypu_conv2d_f32_params_t{out.on(gpu), ib.on(gpu), wb.on(gpu), c.stride,
                                        c.pad,       c.batch,    c.out_ch,   c.in_ch,
                                        c.h,         c.w,        c.kh,       c.kw};
    });
    const int32_t length = c.in_ch * c.kh * c.kw;
    std::vector<double> exact, bound;
    conv2d_reference({c.batch, c.out_ch, c.in_ch, c.h, c.w, c.kh, c.kw, c.stride, c.pad}, in, w,
                     &exact, &bound);
    for (double &b : bound) b *= 2.0 * length * kUnitRoundoff;
    t.expect_within(out, bound);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MetalConv2d,
    testing::Values(conv2d_case{"pointwise", 1, 0, 2, 3, 5, 4, 3, 1, 1},
                    conv2d_case{"same_3x3", 1, 1, 1, 4, 3, 6, 5, 3, 3},
                    conv2d_case{"stride_2", 2, 1, 2, 2, 4, 7, 8, 3, 3},
                    // 600 terms: more than 8 SIMD-groups' worth, so threads loop.
                    conv2d_case{"long_reduction", 1, 0, 1, 2, 24, 5, 5, 5, 5}),
    [](const testing::TestParamInfo<conv2d_case> &info) { return info.param.name; });

// A pipeline allowing 64 threads per threadgroup gets threadgroups of 64
// (two SIMD-groups, each thread looping over the 600 products), with the
// same sums.
TEST_F(MetalConv2d, ThreadgroupsStayWithinThePipelinesLimit) {
  qz_metal_standin::standin().max_threads_per_threadgroup = 64;
  metal_twin t;
  const int32_t in_ch = 24, h = 5, w = 5, k = 5;
  const auto in = random_floats(size_t(in_ch) * h * w, -2, 2, 13);
  const auto weights = random_floats(size_t(2) * in_ch * k * k, -1, 1, 14);
  const twin_buffer ib = t.buffer(in), wb = t.buffer(weights), out = t.bytes(8, 0xFF);
  t.run(QZ_YPU_OP_CONV2D_F32, "taabe328", [&](bool gpu) {
    return qz_ypu_conv2d_f32_params_t{out.on(gpu), ib.on(gpu), wb.on(gpu), 1, 0, 1,
                                      2,           in_ch,      h,          w, k, k};
  });
  EXPECT_EQ(qz_metal_standin::standin().dispatches.back().group[0], 64u);
  std::vector<double> bound(2);
  for (int32_t o = 0; o < 2; ++o)
    for (size_t l = 0; l < in.size(); ++l)
      bound[o] += 2.0 * 600 * kUnitRoundoff * std::fabs(double{in[l]} * weights[o * in.size() + l]);
  t.expect_within(out, bound);
}

}  // namespace
