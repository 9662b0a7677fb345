// Row softmax of the translation model: attention scores (5 beams x 4 heads
// rows of up to 64 keys; 64 x 4 rows of 64 in the encoder) and the logits
// (5 rows of 6000). CPU entry, one thread and a pool of four, against the
// host implementation.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

// Arguments: threads (0 = host implementation), rows, cols.
void BM_SoftmaxF32(benchmark::State &state) {
  const int threads = static_cast<int>(state.range(0));
  const int32_t rows = static_cast<int32_t>(state.range(1)), cols = static_cast<int32_t>(state.range(2));
  qz_ypu_context_t *context = nullptr;
  const std::string device = "cpu:" + std::to_string(threads > 0 ? threads : 1);
  qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context);
  if (threads == 0) context->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  const int32_t bytes = rows * cols * 4;
  qz_ypu_buffer_t *in = ops.buffer_create(context->device, bytes, 0);
  qz_ypu_buffer_t *out = ops.buffer_create(context->device, bytes, 0);
  std::vector<float> values(size_t(rows) * cols);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>((i * 53) % 97) / 9.0f - 5.0f;
  ops.buffer_upload(context->device, in, values.data(), 0, bytes);
  const qz_ypu_softmax_f32_params_t p{.out = out, .in = in, .rows = rows, .cols = cols};
  for (auto _ : state) benchmark::DoNotOptimize(qz_ypu_execute(context, QZ_YPU_OP_SOFTMAX_F32, &p));
  state.SetItemsProcessed(state.iterations() * rows * cols);
  ops.buffer_free(context->device, in);
  ops.buffer_free(context->device, out);
  qz_ypu_context_destroy(context);
}

void shapes(benchmark::internal::Benchmark *b) {
  b->ArgNames({"threads", "rows", "cols"});
  const int64_t cases[][2] = {{20, 64}, {20, 24}, {256, 64}, {5, 6000}};
  for (const auto &c : cases)
    for (int threads : {0, 1, 4}) b->Args({threads, c[0], c[1]});
}
BENCHMARK(BM_SoftmaxF32)->Apply(shapes)->UseRealTime();

}  // namespace
