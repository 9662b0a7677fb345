// Operations without a CUDA entry run their host implementations on the
// device's buffers through map and unmap, calling back into the device's
// kernels where their steps have one: the results are the host's.
#include "twin.h"

#include "ypu/cuda/device.h"
#include "ypu/params.h"

namespace {

void expect_unmapped(const twin_buffer &b) {
  const auto *raw = reinterpret_cast<const qz_cuda_emu::qz_ypu_cuda_buffer_t *>(b.gpu);
  EXPECT_EQ(raw->map_count, 0);
  EXPECT_EQ(raw->host_copy, nullptr);
}

TEST(CudaComposite, AttentionThroughScoresSoftmaxAndValues) {
  for (int32_t quantize : {0, 1}) {
    SCOPED_TRACE(quantize ? "through the uint8 caches" : "in float");
    const int32_t B = 2, Sq = 3, Skv = 5, H = 4, Q = 2, D = 8;
    twin t;
    const twin_buffer out = t.bytes(4 * B * Sq * H * D),
                      query = t.buffer(random_floats(B * Sq * H * D, -1, 1, 1)),
                      key = t.buffer(random_floats(B * Skv * Q * D, -1, 1, 2)),
                      value = t.buffer(random_floats(B * Skv * Q * D, -1, 1, 3));
    t.run(QZ_YPU_OP_ATTENTION_F32, [&](bool g) {
      return qz_ypu_attention_f32_params_t{out.on(g), query.on(g), key.on(g), value.on(g), B,
                                           Sq,        Skv,         H,         Q,           D,
                                           quantize};
    });
    t.expect_close(out, B * Sq * H * D, 1e-5f, 1e-6f + softmax_maths_error(1, 1));
    for (const twin_buffer *b : {&out, &query, &key, &value}) expect_unmapped(*b);
    EXPECT_GE(t.gpu().runtime().calls(qz_gpu_harness::cuda_call::launch_kernel), 2)
        << "the softmax step ran as a kernel";
  }
}

TEST(CudaComposite, HostOnlyOperationOnDeviceBuffers) {
  twin t;
  const int32_t rows = 5, cols = 7;
  const twin_buffer out = t.bytes(4 * cols + 8),
                    in = t.buffer(random_ints<int16_t>(rows * cols, -32768, 32767, 5));
  t.run(QZ_YPU_OP_SUM_ROWS_I16, [&](bool g) {
    return qz_ypu_sum_rows_i16_params_t{out.on(g), in.on(g), rows, cols, 8, 0};
  });
  t.expect_same<float>(out, cols + 2);
  expect_unmapped(out);
  expect_unmapped(in);
}

}  // namespace
