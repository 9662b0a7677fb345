// Cost of the layer's per-call machinery: dispatching an op and taking a
// buffer from the context's cache.
#include <benchmark/benchmark.h>

#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

struct cpu_context {
  qz_ypu_context_t *context = nullptr;
  cpu_context() { qz_ypu_context_from_device_string("cpu:1", "cpu:1", &context); }
  ~cpu_context() { qz_ypu_context_destroy(context); }
};

void BM_ExecuteAddF32(benchmark::State &state) {
  cpu_context c;
  const int32_t count = static_cast<int32_t>(state.range(0));
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(c.context);
  qz_ypu_buffer_t *buffer = ops.buffer_create(c.context->device, count * 4, 0);
  const qz_ypu_add_f32_params_t params{.out = buffer, .a = buffer, .b = buffer, .count = count};
  for (auto _ : state) benchmark::DoNotOptimize(qz_ypu_execute(c.context, QZ_YPU_OP_ADD_F32, &params));
  state.SetItemsProcessed(state.iterations() * count);
  ops.buffer_free(c.context->device, buffer);
}
BENCHMARK(BM_ExecuteAddF32)->Arg(1)->Arg(1024);

void BM_BufferCacheRoundTrip(benchmark::State &state) {
  cpu_context c;
  for (int i = 0; i < 32; ++i)
    qz_ypu_buffer_release(c.context, qz_ypu_buffer_acquire(c.context, 4096 + 64 * i));
  for (auto _ : state)
    qz_ypu_buffer_release(c.context, qz_ypu_buffer_acquire(c.context, 4096 + 64 * 17));
}
BENCHMARK(BM_BufferCacheRoundTrip);

}  // namespace
