// The convolution kernels against the host implementations: the int8 x
// int16 convolutions exactly (32-bit sums wrap the same way in any order),
// the float 2-D convolution within the bound of its summation order.
#include "twin.h"

#include <limits>

#include "support/conv2d_reference.h"
#include "support/ypu_harness.h"
#include "ypu/cuda/ops.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::cuda_call;

// Int32 values that wrap when a few products are added to them.
std::vector<int32_t> wrapping_ints(size_t n, uint32_t seed) {
  std::vector<int32_t> v = random_ints<int32_t>(n, -1000000, 1000000, seed);
  for (size_t i = 0; i < n; i += 3)
    v[i] = i % 2 ? std::numeric_limits<int32_t>::max() : std::numeric_limits<int32_t>::min();
  return v;
}

TEST(CudaConv, DepthwiseAddsIntoTheOutputForEveryTapCount) {
  // 1, 3, 5, 7 and 9 taps take the unrolled kernels, the others the loop.
  for (int32_t taps : {1, 2, 3, 4, 5, 7, 9, 11}) {
    for (auto [rows, ch] : {std::pair{1, 1}, {5, 33}, {6, 64}, {3, 70}}) {
      SCOPED_TRACE(std::to_string(taps) + " taps, " + std::to_string(rows) + "x" +
                   std::to_string(ch));
      twin t;
      const int32_t in_rows = rows + taps - 1;
      const twin_buffer out = t.buffer(wrapping_ints(rows * ch + 1, taps)),
                        w = t.buffer(random_ints<int8_t>(taps * ch + 1, -128, 127, rows)),
                        x = t.buffer(random_ints<int16_t>(in_rows * ch + 1, -32768, 32767, ch));
      t.run(QZ_YPU_OP_DWCONV1D_ACC_I8I16, [&](bool g) {
        return qz_ypu_dwconv1d_acc_i8i16_params_t{out.on(g), w.on(g), x.on(g), rows, ch, taps,
                                                  4, 1, 2};
      });
      t.expect_same<int32_t>(out, rows * ch + 1);
    }
  }
}

TEST(CudaConv, FullConvolutionVectorAndPerValueKernels) {
  struct shape {
    int32_t rows, out_ch, in_ch, taps, x_offset;
  };
  // in_ch % 4 == 0 on an 8-byte boundary takes the staged vector kernel.
  for (const shape s : {shape{1, 1, 1, 1, 0}, {17, 5, 3, 2, 0}, {33, 17, 4, 3, 0},
                        {16, 16, 8, 1, 8}, {40, 33, 12, 3, 0}, {9, 18, 8, 2, 2}}) {
    SCOPED_TRACE(std::to_string(s.rows) + " rows " + std::to_string(s.out_ch) + "x" +
                 std::to_string(s.in_ch) + "x" + std::to_string(s.taps) + " at " +
                 std::to_string(s.x_offset));
    twin t;
    const int32_t x_values = s.x_offset / 2 + (s.rows + s.taps - 1) * s.in_ch;
    const twin_buffer out = t.bytes(4 * s.rows * s.out_ch + 8, 0xFF),
                      w = t.buffer(random_ints<int8_t>(s.out_ch * s.taps * s.in_ch, -128, 127, 1)),
                      x = t.buffer(random_ints<int16_t>(x_values, -32768, 32767, 2));
    t.run(QZ_YPU_OP_CONV1D_I8I16, [&](bool g) {
      return qz_ypu_conv1d_i8i16_params_t{out.on(g), w.on(g), x.on(g),       s.rows, s.out_ch,
                                          s.in_ch,   s.taps,  8,             0,      s.x_offset};
    });
    t.expect_same<int32_t>(out, s.rows * s.out_ch + 2);
  }
}

qz_ypu_dwconv1d_transposed_i8i16_params_t transposed(const twin_buffer &out, const twin_buffer &w,
                                                     const twin_buffer &x, bool g, int32_t rows,
                                                     int32_t ch, int32_t taps, int32_t stride) {
  return {out.on(g), w.on(g), x.on(g), rows, ch, taps, stride, 4, 0, 2};
}

// The kernel writes every output row with the complete sum of its phase, as
// the CPU backend's kernels do, so the two agree on an output that holds
// other values before the call; declined shapes (taps not a multiple of the
// stride, stride 0) run the host code on both, which adds. On a zeroed
// output the host implementation agrees with both.
TEST(CudaConv, TransposedWritesEveryRowAsTheCpuBackend) {
  struct shape {
    int32_t rows, ch, taps, stride;
    bool on_gpu;
  };
  for (const shape s : {shape{4, 16, 4, 2, true}, {5, 17, 5, 2, false}, {3, 40, 3, 1, true},
                        {6, 3, 6, 3, true}, {1, 1, 1, 1, true}, {7, 33, 2, 2, true},
                        {4, 5, 3, 0, false}}) {
    SCOPED_TRACE(std::to_string(s.taps) + " taps, stride " + std::to_string(s.stride));
    const int32_t out_rows = (s.rows - 1) * s.stride + s.taps;
    const std::vector<int32_t> before = wrapping_ints(out_rows * s.ch + 2, 5);
    const std::vector<int8_t> weights = random_ints<int8_t>(s.taps * s.ch, -128, 127, 3);
    const std::vector<int16_t> in = random_ints<int16_t>(s.rows * s.ch + 1, -32768, 32767, 4);
    {  // the harness device and the CPU backend, side by side
      cuda_context gpu;
      ypu_harness cpu(ypu_backend::cpu);
      qz_ypu_buffer_t *g_out = gpu.buffer(before), *c_out = cpu.buffer(before);
      const auto g_params = qz_ypu_dwconv1d_transposed_i8i16_params_t{
          g_out, gpu.buffer(weights), gpu.buffer(in), s.rows, s.ch, s.taps, s.stride, 4, 0, 2};
      const auto c_params = qz_ypu_dwconv1d_transposed_i8i16_params_t{
          c_out, cpu.buffer(weights), cpu.buffer(in), s.rows, s.ch, s.taps, s.stride, 4, 0, 2};
      const int launches = gpu.runtime().calls(cuda_call::launch_kernel);
      ASSERT_EQ(gpu.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, &g_params), QZ_STATUS_SUCCESS);
      ASSERT_EQ(cpu.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16, &c_params), QZ_STATUS_SUCCESS);
      EXPECT_EQ(gpu.read<int32_t>(g_out, before.size()), cpu.read<int32_t>(c_out, before.size()));
      EXPECT_EQ(gpu.runtime().calls(cuda_call::launch_kernel) - launches, s.on_gpu ? 1 : 0);
    }
    twin t;
    const twin_buffer out = t.buffer(std::vector<int32_t>(before.size(), 0)),
                      w = t.buffer(weights), x = t.buffer(in);
    t.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16,
          [&](bool g) { return transposed(out, w, x, g, s.rows, s.ch, s.taps, s.stride); });
    t.expect_same<int32_t>(out, before.size());
  }
}

// Taps not a multiple of the stride (and a stride of 0, which the kernel's
// division cannot take) are declined without a message, and the dispatcher
// runs the host code, which adds into the output.
TEST(CudaConv, TransposedDeclinesToTheHostImplementation) {
  for (int32_t stride : {2, 0}) {
    SCOPED_TRACE(stride);
    twin t;
    const int32_t rows = 3, ch = 5, taps = 5, out_rows = (rows - 1) * stride + taps;
    const twin_buffer out = t.buffer(std::vector<int32_t>(out_rows * ch + 1, 7)),
                      w = t.buffer(random_ints<int8_t>(taps * ch, -128, 127, 5)),
                      x = t.buffer(random_ints<int16_t>(rows * ch + 1, -32768, 32767, 6));
    const int launches = t.gpu().runtime().calls(cuda_call::launch_kernel);
    const auto params = transposed(out, w, x, true, rows, ch, taps, stride);
    EXPECT_EQ(qz_cuda_emu::qz_ypu_cuda_dwconv1d_transposed_i8i16(t.gpu().device(), nullptr, &params),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(take_error_stack().empty());
    t.run(QZ_YPU_OP_DWCONV1D_TRANSPOSED_I8I16,
          [&](bool g) { return transposed(out, w, x, g, rows, ch, taps, stride); });
    t.expect_same<int32_t>(out, out_rows * ch + 1);
    EXPECT_EQ(t.gpu().runtime().calls(cuda_call::launch_kernel), launches);
    EXPECT_NE(t.gpu_values<int32_t>(out, 1)[0], 0);
  }
}

TEST(CudaConv, Conv2dWithinTheBoundOfItsSummationOrder) {
  using qz_gpu_harness::schedule;
  for (const conv2d_shape s : {conv2d_shape{1, 1, 1, 1, 1, 1, 1, 1, 0},
                               {2, 3, 4, 5, 6, 1, 1, 1, 0},    // a per-pixel channel mix
                               {1, 2, 3, 7, 7, 3, 3, 1, 1},    // borders sum the inside taps
                               {1, 2, 30, 5, 5, 3, 3, 2, 1},   // 270 terms: 256 threads loop
                               {2, 1, 1, 9, 4, 2, 3, 3, 2},
                               {1, 1, 1, 1, 65540, 1, 1, 1, 0}}) {  // columns loop by 65535
    SCOPED_TRACE(std::to_string(s.in_ch) + "x" + std::to_string(s.kh) + "x" + std::to_string(s.kw) +
                 " over " + std::to_string(s.in_h) + "x" + std::to_string(s.in_w));
    const std::vector<float> in =
        random_floats(s.batch * s.in_ch * s.in_h * s.in_w, -2.0f, 2.0f, s.in_w);
    const std::vector<float> w = random_floats(s.out_ch * s.in_ch * s.kh * s.kw, -1.0f, 1.0f, s.kh);
    std::vector<double> ref, magnitude;
    conv2d_reference(s, in, w, &ref, &magnitude);
    const int64_t terms = int64_t{s.in_ch} * s.kh * s.kw;
    std::vector<double> bound(ref.size());
    for (size_t i = 0; i < ref.size(); ++i) bound[i] = float_gamma(terms + 1) * magnitude[i];
    std::vector<float> first;
    // The reduction's barriers: every schedule gives the same bits.
    for (schedule order : qz_gpu_harness::kAllSchedules) {
      if (s.in_w > 1000 && order != schedule::forward) continue;
      twin t(order);
      const twin_buffer out = t.bytes(4 * s.out_count(), 0xFF), ti = t.buffer(in), tw = t.buffer(w);
      t.run(QZ_YPU_OP_CONV2D_F32, [&](bool g) {
        return qz_ypu_conv2d_f32_params_t{out.on(g), ti.on(g), tw.on(g), s.stride, s.pad,
                                          s.batch,   s.out_ch, s.in_ch,  s.in_h,   s.in_w,
                                          s.kh,      s.kw};
      });
      const std::vector<float> got = t.gpu_values<float>(out, s.out_count());
      expect_within(got, ref, bound);
      expect_within(t.host_values<float>(out, s.out_count()), ref, bound);
      if (first.empty()) first = got;
      EXPECT_EQ(std::memcmp(first.data(), got.data(), 4 * got.size()), 0);
    }
  }
}

// A stride below 1 would divide by zero on the way to the grid: the host
// implementation reports it.
TEST(CudaConv, Conv2dLeavesABadStrideToTheHost) {
  cuda_context c;
  qz_ypu_buffer_t *b = c.buffer(64);
  const int launches = c.runtime().calls(cuda_call::launch_kernel);
  const qz_ypu_conv2d_f32_params_t p{b, b, b, 0, 0, 1, 1, 1, 2, 2, 1, 1};
  EXPECT_EQ(c.run(QZ_YPU_OP_CONV2D_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{"0633a7d 00000065: Argument `stride` is invalid."});
  EXPECT_EQ(c.runtime().calls(cuda_call::launch_kernel), launches);
}

}  // namespace
