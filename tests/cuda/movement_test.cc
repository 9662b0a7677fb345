// Data movement against the host: embedding lookup, row reversal, gathers,
// transposes, and the kernel-less copies and fills.
#include "twin.h"

#include <numeric>

#include "ypu/params.h"

namespace {

TEST(CudaMovement, EmbeddingScaleAdd) {
  for (auto [batch, tokens, width] : {std::tuple{1, 1, 1}, {2, 3, 300}, {3, 7, 17}}) {
    twin t;
    const int32_t vocab = 11, start = 2;
    const twin_buffer out = t.bytes(4 * batch * tokens * width),
                      ids = t.buffer(random_ints<int32_t>(batch * tokens, 0, vocab - 1, width)),
                      table = t.buffer(random_floats(vocab * width, -1, 1, 1)),
                      add = t.buffer(random_floats((tokens + start) * width, -1, 1, 2));
    t.run(QZ_YPU_OP_EMBEDDING_SCALE_ADD_F32, [&](bool g) {
      return qz_ypu_embedding_scale_add_f32_params_t{out.on(g), ids.on(g), table.on(g), add.on(g),
                                                     2.5f,      start,     batch,       tokens,
                                                     width};
    });
    // One fused multiply-add on the device, two roundings on the host.
    t.expect_close(out, batch * tokens * width, 2e-7f, 1e-7f);
  }
}

TEST(CudaMovement, ReverseRows) {
  for (auto [rows, length] : {std::pair{1, 1}, {2, 7}, {3, 8}, {2, 1001}}) {
    SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(length));
    twin t;
    const twin_buffer data = t.buffer(random_floats(rows * length + 1, -1, 1, length));
    t.run(QZ_YPU_OP_REVERSE_ROWS, [&](bool g) {
      return qz_ypu_reverse_rows_params_t{data.on(g), rows, length, 4};
    });
    t.expect_same<float>(data, rows * length + 1);
  }
}

TEST(CudaMovement, GatherRows) {
  for (auto [m, row_bytes] : {std::pair{1, 1}, {5, 3}, {4, 600}}) {
    twin t;
    const int32_t source_rows = 6;
    const twin_buffer out = t.bytes(m * row_bytes),
                      in = t.buffer(random_ints<uint8_t>(source_rows * row_bytes, 0, 255, m)),
                      index = t.buffer(random_ints<int32_t>(m, 0, source_rows - 1, row_bytes));
    t.run(QZ_YPU_OP_GATHER_ROWS, [&](bool g) {
      return qz_ypu_gather_rows_params_t{out.on(g), in.on(g), index.on(g), m, row_bytes};
    });
    t.expect_same<uint8_t>(out, m * row_bytes);
  }
}

TEST(CudaMovement, GatherClamped) {
  struct shape {
    int32_t count, n, words, source_rows;
  } shapes[] = {{1, 1, 1, 1}, {4, 4, 3, 3}, {2, 6, 5, 20}, {6, 2, 300, 7}, {65537, 1, 1, 65537}};
  for (const shape &s : shapes) {
    SCOPED_TRACE(std::to_string(s.count) + " blocks of " + std::to_string(s.n));
    twin t;
    const twin_buffer out = t.bytes(4 * s.count * s.n * s.words),
                      in = t.buffer(random_floats(s.source_rows * s.words, -1, 1, s.n));
    t.run(QZ_YPU_OP_GATHER_CLAMPED, [&](bool g) {
      return qz_ypu_gather_clamped_params_t{out.on(g), in.on(g), s.count, s.n, s.words,
                                            s.source_rows};
    });
    t.expect_same<float>(out, s.count * s.n * s.words);
  }
}

TEST(CudaMovement, Transpose) {
  struct shape {
    int32_t batch, cols, rows, bytes;
  } shapes[] = {{1, 1, 1, 4}, {2, 3, 5, 1}, {3, 17, 9, 2}, {1, 4, 6, 300}, {1, 65537, 2, 4}};
  for (const shape &s : shapes) {
    SCOPED_TRACE(std::to_string(s.cols) + "x" + std::to_string(s.rows) + "x" +
                 std::to_string(s.bytes));
    twin t;
    const int32_t total = s.batch * s.cols * s.rows * s.bytes;
    const twin_buffer out = t.bytes(total), in = t.buffer(random_ints<uint8_t>(total, 0, 255, 9));
    t.run(QZ_YPU_OP_TRANSPOSE, [&](bool g) {
      return qz_ypu_transpose_params_t{out.on(g), in.on(g), s.batch, s.cols, s.rows, s.bytes};
    });
    t.expect_same<uint8_t>(out, total);
  }
}

TEST(CudaMovement, CopyAndFillBytes) {
  twin t;
  const twin_buffer out = t.bytes(64, 7), in = t.buffer(random_ints<uint8_t>(64, 0, 255, 1));
  t.run(QZ_YPU_OP_COPY_BYTES,
        [&](bool g) { return qz_ypu_copy_bytes_params_t{out.on(g), in.on(g), 21, 5, 9}; });
  t.run(QZ_YPU_OP_FILL_ZERO,
        [&](bool g) { return qz_ypu_fill_zero_params_t{out.on(g), 13, 40}; });
  t.expect_same<uint8_t>(out, 64);
}

TEST(CudaMovement, ZeroPadAndCopyBlock) {
  struct shape {
    int32_t batch, out_rows, out_cols, in_rows, in_cols, depth;
  } shapes[] = {{1, 1, 1, 1, 1, 1}, {2, 3, 4, 3, 4, 2}, {3, 5, 6, 2, 4, 3}, {2, 4, 7, 4, 3, 1}};
  for (const shape &s : shapes) {
    twin t;
    const int32_t in_n = s.batch * s.in_rows * s.in_cols * s.depth;
    const int32_t out_n = s.batch * s.out_rows * s.out_cols * s.depth;
    const twin_buffer out = t.bytes(4 * out_n, 0xAB), in = t.buffer(random_floats(in_n, -1, 1, 4));
    t.run(QZ_YPU_OP_ZERO_PAD_2D, [&](bool g) {
      return qz_ypu_zero_pad_2d_params_t{out.on(g), in.on(g),  s.batch, s.out_rows,
                                         s.out_cols, s.in_rows, s.in_cols, s.depth};
    });
    t.expect_same<float>(out, out_n);
    // And back: the leading block of the padded output is the input.
    const twin_buffer back = t.bytes(4 * in_n, 0xCD);
    t.run(QZ_YPU_OP_COPY_BLOCK, [&](bool g) {
      return qz_ypu_copy_block_params_t{back.on(g), out.on(g),  s.batch,   s.in_rows,
                                        s.in_cols,  s.out_rows, s.out_cols, s.depth};
    });
    t.expect_same<float>(back, in_n);
  }
}

TEST(CudaMovement, WiderInputThanOutputIsACopyFailure) {
  cuda_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(64), *in = gpu.buffer(64);
  const qz_ypu_zero_pad_2d_params_t pad{out, in, 1, 2, 2, 2, 3, 1};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ZERO_PAD_2D, &pad), QZ_STATUS_RUNTIME_ERROR);
  const qz_ypu_copy_block_params_t block{out, in, 1, 2, 3, 2, 2, 1};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_COPY_BLOCK, &block), QZ_STATUS_RUNTIME_ERROR);
  const std::string copy = "0633a7d 0000033A: Failed to copy memory to device.";
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{copy, copy}));
}

TEST(CudaMovement, FailedCopiesAndFills) {
  cuda_context gpu;
  qz_ypu_buffer_t *out = gpu.buffer(64), *in = gpu.buffer(64);
  gpu.runtime().fail(qz_gpu_harness::cuda_call::memcpy_async);
  const qz_ypu_copy_bytes_params_t copy{out, in, 8, 0, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_COPY_BYTES, &copy), QZ_STATUS_RUNTIME_ERROR);
  gpu.runtime().fail(qz_gpu_harness::cuda_call::memset_async);
  const qz_ypu_fill_zero_params_t fill{out, 8, 0};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_FILL_ZERO, &fill), QZ_STATUS_RUNTIME_ERROR);
  gpu.runtime().fail(qz_gpu_harness::cuda_call::memset_2d_async);
  const qz_ypu_zero_pad_2d_params_t pad{out, in, 2, 2, 2, 1, 1, 1};
  EXPECT_EQ(gpu.run(QZ_YPU_OP_ZERO_PAD_2D, &pad), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{"0633a7d 0000033A: Failed to copy memory to device.",
                                      kKernelFailed, kKernelFailed}));
  EXPECT_EQ(gpu.runtime().last_error, 0);
}

}  // namespace
