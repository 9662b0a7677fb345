// The rotary-position kernels against the host implementations. The kernels
// fuse one multiply-add per rotated pair and op 53 forms its power through
// a base-2 logarithm; the angles come from the GPU's powf, expf, exp2f and
// the fast logarithm, and their cosines and sines from its sincosf, each
// within its documented error (which the harness applies): the tolerances
// follow from those bounds and the host's own.
#include "twin.h"
#include "rotary_bounds.h"

#include <algorithm>

#include "gpu_harness/device_maths.h"
#include "ypu/params.h"

namespace {

using qz_gpu_harness::cuda_call;
using qz_gpu_harness::device_relative_error;
using qz_gpu_harness::kDeviceMaths;
using qz_gpu_harness::kHostMathsUlps;

// A table of (cos, sin) pairs for `rows` rows of `stride` floats.
std::vector<float> rotary_table(int32_t rows, int32_t stride, uint32_t seed) {
  const std::vector<float> angles = random_floats(rows * stride, -3, 3, seed);
  std::vector<float> table(rows * stride);
  for (int32_t i = 0; i + 1 < rows * stride; i += 2) {
    table[i] = std::cos(angles[i]);
    table[i + 1] = std::sin(angles[i]);
  }
  return table;
}

TEST(CudaRope, ApplyTableAdjacentSplitAndPartial) {
  struct shape {
    int32_t head_dim, table_stride, adjacent;
  };
  // A table narrower than the head rotates its first table_stride values
  // and leaves the tail (the split pairs are table_stride / 2 apart).
  for (const shape s : {shape{8, 8, 1}, {8, 8, 0}, {6, 6, 0}, {64, 64, 1}, {64, 32, 0},
                        {10, 4, 0}, {600, 600, 0}}) {
    SCOPED_TRACE(std::to_string(s.head_dim) + " / " + std::to_string(s.table_stride) +
                 (s.adjacent ? " adjacent" : " split"));
    twin t;
    const int32_t batch = 2, positions = 3, heads = 3, offset = 2;
    const int32_t count = batch * positions * heads * s.head_dim;
    const twin_buffer x = t.buffer(random_floats(count, -1, 1, s.head_dim)),
                      table = t.buffer(rotary_table(positions + offset, s.table_stride, 1));
    t.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, [&](bool g) {
      return qz_ypu_rope_apply_table_f32_params_t{x.on(g),         table.on(g), batch,
                                                  positions,       heads,       s.head_dim,
                                                  s.table_stride,  offset,      s.adjacent};
    });
    t.expect_close(x, count, 0.0f, 3e-7f);
  }
}

// Pairs reaching into the next head are refused by the host code; the CUDA
// entry leaves the call to it instead of launching.
TEST(CudaRope, ApplyTableRefusalsStayTheHosts) {
  cuda_context c;
  qz_ypu_buffer_t *b = c.buffer(4096);
  const int launches = c.runtime().calls(cuda_call::launch_kernel);
  for (const auto &p : {qz_ypu_rope_apply_table_f32_params_t{b, b, 1, 1, 1, 8, 16, 0, 0},
                        qz_ypu_rope_apply_table_f32_params_t{b, b, 1, 1, 1, 8, 8, -1, 1}}) {
    EXPECT_EQ(c.run(QZ_YPU_OP_ROPE_APPLY_TABLE_F32, &p), QZ_STATUS_INVALID_ARGUMENT);
  }
  EXPECT_EQ(c.runtime().calls(cuda_call::launch_kernel), launches);
}

TEST(CudaRope, ThreeAxisTable) {
  for (int32_t width : {2, 8, 12, 64, 601}) {
    for (auto [limit1, limit2] : {std::pair{100, 100}, {4, 2}, {0, 0}}) {
      SCOPED_TRACE(std::to_string(width) + " limits " + std::to_string(limit1) + "," +
                   std::to_string(limit2));
      twin t;
      const int32_t tokens = 5;
      const float base = 10000.0f;
      const std::vector<int32_t> positions = random_ints<int32_t>(3 * tokens, 0, 40, width);
      const twin_buffer out = t.bytes(4 * (tokens * width + 2), 0xFF), pos = t.buffer(positions);
      t.run(QZ_YPU_OP_ROPE_TABLE_3AXIS_F32, [&](bool g) {
        return qz_ypu_rope_table_3axis_f32_params_t{out.on(g), pos.on(g), limit1, limit2,
                                                    base,      tokens,    width,  8};
      });
      // angle = position / powf(base, 2w / width), one division.
      const std::vector<float> gpu = t.gpu_values<float>(out, tokens * width + 2);
      const std::vector<float> host = t.host_values<float>(out, tokens * width + 2);
      for (int32_t k = 0; k < tokens; ++k) {
        const double position = *std::max_element(&positions[3 * k], &positions[3 * k + 3]);
        for (int32_t w = 0; w < width / 2; ++w) {
          const double angle = position / std::pow(double{base}, 2.0 * w / width);
          const double bound = trig_bound(angle, angle_rel(kDeviceMaths.powf, 1));
          for (int32_t i : {2 + k * width + 2 * w, 3 + k * width + 2 * w})
            ASSERT_NEAR(gpu[i], host[i], bound) << k << ", " << w;
        }
      }
    }
  }
}

TEST(CudaRope, ScaledTable) {
  for (int32_t width : {2, 8, 64, 600}) {
    SCOPED_TRACE(width);
    twin t;
    const int32_t tokens = 40;
    const float base = 10000.0f, magnitude = 1.5f;
    const std::vector<float> factors = random_floats(width / 2 + 1, 0.5f, 2.0f, width);
    const twin_buffer out = t.bytes(4 * (tokens * width + 1), 0xFF), f = t.buffer(factors);
    t.run(QZ_YPU_OP_ROPE_TABLE_SCALED_F32, [&](bool g) {
      return qz_ypu_rope_table_scaled_f32_params_t{out.on(g), f.on(g), base, magnitude,
                                                   tokens,    width,   4,    4};
    });
    // r = exp2f(e * L) with L = __log2f(base) (outside [0.5, 2]): L's
    // relative error and the product's rounding move the exponent by up to
    // e L times their sum, and r by ln 2 times that, then exp2f's own
    // error; the host's powf instead; then a product and a division on each
    // side, and the magnitude.
    const std::vector<float> gpu = t.gpu_values<float>(out, tokens * width + 1);
    const std::vector<float> host = t.host_values<float>(out, tokens * width + 1);
    const double log2_base = std::log2(double{base});
    for (int32_t p = 0; p < tokens; ++p)
      for (int32_t w = 0; w < width / 2; ++w) {
        const double e = 2.0 * w / width;
        const double angle = p / (std::pow(double{base}, e) * factors[w + 1]);
        const double rel =
            std::log(2.0) * e * log2_base *
                (device_relative_error(kDeviceMaths.log2f_intrinsic) + 0x1p-24) +
            angle_rel(kDeviceMaths.exp2f, 2);
        const double bound = magnitude * (trig_bound(angle, rel) + 0x1p-23);
        for (int32_t i : {2 * w, 2 * w + 1})
          ASSERT_NEAR(gpu[1 + p * width + i], host[1 + p * width + i], bound) << p << ", " << i;
      }
  }
}

TEST(CudaRope, ExponentialFrequencies) {
  for (int32_t head_dim : {2, 7, 8, 64}) {
    for (int32_t heads : {1, 300}) {
      SCOPED_TRACE(std::to_string(head_dim) + " x " + std::to_string(heads) + " heads");
      twin t;
      const int32_t batch = 2, positions = 3, count = batch * positions * heads * head_dim;
      const twin_buffer out = t.bytes(4 * count, 0xFF),
                        in = t.buffer(random_floats(count, -1, 1, head_dim));
      t.run(QZ_YPU_OP_ROPE_EXPFREQ_F32, [&](bool g) {
        return qz_ypu_rope_expfreq_f32_params_t{out.on(g), in.on(g), batch,  positions,
                                                heads,     head_dim, 5,      -0.3f};
      });
      // angle = (p + start) * expf(j * step), one product; an odd head's
      // last value has no pair and is not written by either.
      const std::vector<float> gpu = t.gpu_values<float>(out, count);
      const std::vector<float> host = t.host_values<float>(out, count);
      const int32_t half = head_dim / 2;
      for (int32_t row = 0; row < batch * positions * heads; ++row) {
        const int32_t p = row / heads % positions;
        for (int32_t i = 0; i < head_dim; ++i) {
          const size_t at = size_t(row) * head_dim + i;
          if (i >= 2 * half) {
            ASSERT_EQ(std::memcmp(&gpu[at], &host[at], 4), 0) << at;
            continue;
          }
          const double angle = (p + 5) * std::exp(-0.3 * (i % half));
          ASSERT_NEAR(gpu[at], host[at], rotated_bound(angle, angle_rel(kDeviceMaths.expf, 1)))
              << at;
        }
      }
    }
  }
}

// Rows without a pair: nothing is launched and nothing written.
TEST(CudaRope, ExponentialFrequenciesWithoutPairs) {
  cuda_context c;
  qz_ypu_buffer_t *out = c.buffer(16, 0x7F), *in = c.buffer(16);
  const int launches = c.runtime().calls(cuda_call::launch_kernel);
  const qz_ypu_rope_expfreq_f32_params_t p{out, in, 1, 2, 2, 1, 0, 0.5f};
  EXPECT_EQ(c.run(QZ_YPU_OP_ROPE_EXPFREQ_F32, &p), QZ_STATUS_SUCCESS);
  EXPECT_EQ(c.runtime().calls(cuda_call::launch_kernel), launches);
  EXPECT_EQ(c.read<uint8_t>(out, 16), std::vector<uint8_t>(16, 0x7F));
}

TEST(CudaRope, TwoAxes) {
  struct shape {
    int32_t window, rows, cols, tokens, heads, head_dim;
  };
  // More tokens than one window pattern holds, so the positions wrap.
  for (const shape s : {shape{2, 2, 3, 48, 2, 8}, {3, 1, 2, 40, 1, 12}, {1, 1, 1, 5, 3, 4},
                        {4, 2, 2, 70, 2, 6}, {2, 1, 1, 9, 1, 600}}) {
    SCOPED_TRACE(std::to_string(s.window) + "/" + std::to_string(s.rows) + "/" +
                 std::to_string(s.cols) + " d " + std::to_string(s.head_dim));
    twin t;
    const int32_t count = s.tokens * s.heads * s.head_dim;
    const twin_buffer out = t.bytes(4 * count, 0xFF),
                      in = t.buffer(random_floats(count, -1, 1, s.tokens));
    t.run(QZ_YPU_OP_ROPE2D_F32, [&](bool g) {
      return qz_ypu_rope2d_f32_params_t{out.on(g), in.on(g), s.tokens, s.heads, s.head_dim,
                                        100.0f,    s.window, s.rows,   s.cols};
    });
    // angle = position * (1 / powf(base, 2k / half)): a division and a
    // product; positions stay below window * max(rows, cols).
    const std::vector<float> gpu = t.gpu_values<float>(out, count);
    const std::vector<float> host = t.host_values<float>(out, count);
    const int32_t half = s.head_dim / 2, quarter = s.head_dim / 4;
    const double position = double(s.window) * std::max(s.rows, s.cols);
    for (int32_t row = 0; row < s.tokens * s.heads; ++row)
      for (int32_t i = 0; i < s.head_dim; ++i) {
        const int32_t pair = i % half, k = pair < quarter ? pair : pair - quarter;
        const double angle = position / std::pow(100.0, 2.0 * k / half);
        const size_t at = size_t(row) * s.head_dim + i;
        ASSERT_NEAR(gpu[at], host[at], rotated_bound(angle, angle_rel(kDeviceMaths.powf, 2))) << at;
      }
  }
}

// Windows the kernel's 32-bit arithmetic cannot take, and windows of 0
// (which divide), go to the host implementation.
TEST(CudaRope, TwoAxesUnusualWindowsStayTheHosts) {
  for (int32_t window : {0, 50000}) {
    SCOPED_TRACE(window);
    twin t;
    const int launches = t.gpu().runtime().calls(cuda_call::launch_kernel);
    const int32_t count = 3 * 4;
    const twin_buffer out = t.bytes(4 * count), in = t.buffer(random_floats(count, -1, 1, 3));
    const qz_ypu_rope2d_f32_params_t p{out.gpu, in.gpu, 3, 1, 4, 100.0f, window, 1, 2};
    const qz_status_t status = t.gpu().run(QZ_YPU_OP_ROPE2D_F32, &p);
    EXPECT_EQ(status, window == 0 ? QZ_STATUS_INVALID_ARGUMENT : QZ_STATUS_SUCCESS);
    EXPECT_EQ(t.gpu().runtime().calls(cuda_call::launch_kernel), launches);
    if (window != 0) {
      t.run(QZ_YPU_OP_ROPE2D_F32, [&](bool g) {
        return qz_ypu_rope2d_f32_params_t{out.on(g), in.on(g), 3, 1, 4, 100.0f, window, 1, 2};
      });
      t.expect_same<float>(out, count);
    }
  }
}

}  // namespace
