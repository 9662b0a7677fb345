// Attention products on the translation path: the encoder's scores and
// values over 64 tokens (ops 71 and 69) and one decoder step of four beams
// over a 64-row uint8 cache (ops 72 and 70); width 256, 4 heads of 64. Each
// runs on the CPU entries ("cpu:1", "cpu:4") and on the host code.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

constexpr int32_t kTokens = 64, kHeads = 4, kHeadDim = 64, kBeams = 4, kCacheRows = 64;

struct bench_context {
  qz_ypu_context_t *context = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers;
  // threads 0: the host code on a one-thread CPU context.
  explicit bench_context(int threads) {
    const std::string device = "cpu:" + std::to_string(threads == 0 ? 1 : threads);
    qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context);
    if (threads == 0) context->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  }
  ~bench_context() {
    for (qz_ypu_buffer_t *b : buffers) qz_ypu_ops(context).buffer_free(context->device, b);
    qz_ypu_context_destroy(context);
  }
  qz_ypu_buffer_t *buffer(int64_t bytes) {
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
    qz_ypu_buffer_t *b = ops.buffer_create(context->device, static_cast<int32_t>(bytes), 0);
    std::vector<unsigned char> data(bytes);
    std::mt19937 rng(static_cast<uint32_t>(bytes));
    // Small floats (and any byte pattern as codes): no NaN, no overflow.
    for (size_t i = 0; i < data.size(); ++i) data[i] = (i % 4 == 3) ? 0x3E : rng() & 0xFF;
    ops.buffer_upload(context->device, b, data.data(), 0, static_cast<int32_t>(bytes));
    buffers.push_back(b);
    return b;
  }
};

void encoder_scores(benchmark::State &state) {
  bench_context c(static_cast<int>(state.range(0)));
  const int64_t rows = int64_t{kTokens} * kHeads * kHeadDim * 4;
  const qz_ypu_attention_scores_f32_params_t p{
      c.buffer(int64_t{kHeads} * kTokens * kTokens * 4), c.buffer(rows), c.buffer(rows), 1,
      kTokens, kTokens, kHeads, kHeads, kHeadDim};
  for (auto _ : state) qz_ypu_execute(c.context, QZ_YPU_OP_ATTENTION_SCORES_F32, &p);
}

void encoder_values(benchmark::State &state) {
  bench_context c(static_cast<int>(state.range(0)));
  const int64_t rows = int64_t{kTokens} * kHeads * kHeadDim * 4;
  const qz_ypu_attention_values_f32_params_t p{
      c.buffer(rows), c.buffer(int64_t{kHeads} * kTokens * kTokens * 4), c.buffer(rows), 1,
      kTokens, kTokens, kHeads, kHeads, kHeadDim};
  for (auto _ : state) qz_ypu_execute(c.context, QZ_YPU_OP_ATTENTION_VALUES_F32, &p);
}

void decoder_scores(benchmark::State &state) {
  bench_context c(static_cast<int>(state.range(0)));
  const qz_ypu_attention_scores_cache_u8_params_t p{
      c.buffer(int64_t{kBeams} * kHeads * kCacheRows * 4),
      c.buffer(int64_t{kBeams} * kHeads * kHeadDim * 4),
      c.buffer(int64_t{kBeams} * kCacheRows * kHeads * kHeadDim),
      c.buffer(int64_t{kBeams} * kCacheRows * 8),
      kBeams, 1, kCacheRows, kCacheRows, kHeads, kHeads, kHeadDim};
  for (auto _ : state) qz_ypu_execute(c.context, QZ_YPU_OP_ATTENTION_SCORES_CACHE_U8, &p);
}

void decoder_values(benchmark::State &state) {
  bench_context c(static_cast<int>(state.range(0)));
  const qz_ypu_attention_values_cache_u8_params_t p{
      c.buffer(int64_t{kBeams} * kHeads * kHeadDim * 4),
      c.buffer(int64_t{kBeams} * kHeads * kCacheRows * 4),
      c.buffer(int64_t{kBeams} * kCacheRows * kHeads * kHeadDim),
      c.buffer(int64_t{kBeams} * kCacheRows * 8),
      kBeams, 1, kCacheRows, kCacheRows, kHeads, kHeads, kHeadDim};
  for (auto _ : state) qz_ypu_execute(c.context, QZ_YPU_OP_ATTENTION_VALUES_CACHE_U8, &p);
}

// Argument: 0 = host code, otherwise the CPU entry on that many threads.
BENCHMARK(encoder_scores)->ArgName("threads")->Arg(0)->Arg(1)->Arg(4);
BENCHMARK(encoder_values)->ArgName("threads")->Arg(0)->Arg(1)->Arg(4);
BENCHMARK(decoder_scores)->ArgName("threads")->Arg(0)->Arg(1)->Arg(4);
BENCHMARK(decoder_values)->ArgName("threads")->Arg(0)->Arg(1)->Arg(4);

}  // namespace
