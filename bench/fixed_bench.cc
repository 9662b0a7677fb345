// Fixed-point linear layer (op 20) and LSTM cell (op 39): the CPU entries
// against the host implementations at the translation model's sizes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

// Arg 0: threads (0 = the host implementation on one thread).
struct bench_context {
  qz_ypu_context_t *context = nullptr;
  explicit bench_context(int64_t threads) {
    const std::string device = "cpu:" + std::to_string(threads > 0 ? threads : 1);
    qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context);
    if (context && threads == 0) context->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  }
  ~bench_context() {
    for (qz_ypu_buffer_t *b : buffers) qz_ypu_ops(context).buffer_free(context->device, b);
    qz_ypu_context_destroy(context);
  }
  qz_ypu_buffer_t *buffer(int64_t bytes, unsigned char fill) {
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
    qz_ypu_buffer_t *b = ops.buffer_create(context->device, static_cast<int32_t>(bytes), 0);
    std::vector<unsigned char> data(bytes, fill);
    ops.buffer_upload(context->device, b, data.data(), 0, static_cast<int32_t>(bytes));
    buffers.push_back(b);
    return b;
  }
  std::vector<qz_ypu_buffer_t *> buffers;
};

// Args: threads, rows, out_features, in_features.
void BM_LinearI8I16(benchmark::State &state) {
  bench_context c(state.range(0));
  const auto m = static_cast<int32_t>(state.range(1)), n = static_cast<int32_t>(state.range(2)),
             k = static_cast<int32_t>(state.range(3));
  const qz_ypu_linear_i8i16_params_t p{c.buffer(int64_t{m} * n * 2, 0), c.buffer(int64_t{m} * k * 2, 3),
                                       c.buffer(int64_t{n} * k, 5), c.buffer(n, 1), m, n, k, 0, 0};
  for (auto _ : state) benchmark::DoNotOptimize(qz_ypu_execute(c.context, QZ_YPU_OP_LINEAR_I8I16, &p));
  state.SetItemsProcessed(state.iterations() * int64_t{m} * n * k);
}
BENCHMARK(BM_LinearI8I16)
    ->ArgNames({"threads", "rows", "out", "in"})
    ->Args({0, 1, 1024, 256})->Args({1, 1, 1024, 256})->Args({4, 1, 1024, 256})
    ->Args({0, 64, 1024, 256})->Args({1, 64, 1024, 256})->Args({4, 64, 1024, 256});

// Args: threads, hidden.
void BM_LstmCellI16(benchmark::State &state) {
  bench_context c(state.range(0));
  const auto h = static_cast<int32_t>(state.range(1));
  qz_ypu_buffer_t *gates = c.buffer(int64_t{h} * 6, 0);
  const qz_ypu_lstm_cell_i16_params_t p{c.buffer(int64_t{h} * 2, 0), c.buffer(int64_t{h} * 2, 4),
                                        gates, h, 0, 0, 0};
  for (auto _ : state) benchmark::DoNotOptimize(qz_ypu_execute(c.context, QZ_YPU_OP_LSTM_CELL_I16, &p));
  state.SetItemsProcessed(state.iterations() * int64_t{h});
}
BENCHMARK(BM_LstmCellI16)
    ->ArgNames({"threads", "hidden"})
    ->Args({0, 256})->Args({1, 256})->Args({4, 256})->Args({0, 1024})->Args({1, 1024})->Args({4, 1024});

}  // namespace
