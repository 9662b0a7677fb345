// The dense layers of the translation model through the float product with a
// transposed right operand: CPU entry (one thread and a pool of four) against
// the host implementation, at the model's shapes (width 256, feed-forward
// 1024, vocabulary 6000; 5 beams per decoder step, 64 source tokens).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

struct bench_context {
  qz_ypu_context_t *context = nullptr;
  explicit bench_context(int threads) {
    const std::string device = "cpu:" + std::to_string(threads > 0 ? threads : 1);
    qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context);
    if (context && threads == 0) context->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  }
  ~bench_context() { qz_ypu_context_destroy(context); }
  qz_ypu_buffer_t *filled(int64_t count) {
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
    qz_ypu_buffer_t *b = ops.buffer_create(context->device, static_cast<int32_t>(count * 4), 0);
    std::vector<float> values(count);
    for (int64_t i = 0; i < count; ++i) values[i] = static_cast<float>((i * 37) % 101) / 101.0f - 0.5f;
    ops.buffer_upload(context->device, b, values.data(), 0, static_cast<int32_t>(count * 4));
    return b;
  }
  void free(qz_ypu_buffer_t *b) { qz_ypu_ops(context).buffer_free(context->device, b); }
};

// Arguments: threads (0 = host implementation), m, n, k.
void BM_MatmulNt(benchmark::State &state) {
  bench_context c(static_cast<int>(state.range(0)));
  const int32_t m = static_cast<int32_t>(state.range(1)), n = static_cast<int32_t>(state.range(2)),
                k = static_cast<int32_t>(state.range(3));
  qz_ypu_buffer_t *a = c.filled(int64_t{m} * k), *b = c.filled(int64_t{n} * k),
                  *out = c.filled(int64_t{m} * n);
  const qz_ypu_matmul_nt_f32_params_t p{.out = out, .a = a, .b = b, .m = m, .n = n, .k = k};
  for (auto _ : state) benchmark::DoNotOptimize(qz_ypu_execute(c.context, QZ_YPU_OP_MATMUL_NT_F32, &p));
  state.counters["GFLOP/s"] = benchmark::Counter(2.0 * m * n * k * state.iterations() / 1e9,
                                                 benchmark::Counter::kIsRate);
  c.free(a), c.free(b), c.free(out);
}

void shapes(benchmark::internal::Benchmark *b) {
  b->ArgNames({"threads", "m", "n", "k"});
  const int64_t layers[][3] = {
      {5, 6000, 256},   // decoder step: logits over the vocabulary
      {5, 1024, 256},   // decoder step: feed-forward up
      {5, 256, 1024},   // decoder step: feed-forward down
      {5, 256, 256},    // decoder step: a projection
      {64, 1024, 256},  // encoder: feed-forward up over 64 tokens
      {64, 256, 1024},  // encoder: feed-forward down
  };
  for (const auto &l : layers)
    for (int threads : {0, 1, 4}) b->Args({threads, l[0], l[1], l[2]});
}
BENCHMARK(BM_MatmulNt)->Apply(shapes)->UseRealTime();

}  // namespace
