// The low-bit linear operation with 4-bit weights: the CPU entry (baseline,
// SSE4.1, AVX and AVX2 kernels, one and four threads) against the host implementation,
// for one token and for 16 tokens; the AVX-512F set also at 8 bits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "ypu/cpu/device.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

enum mode { host = 0, cpu_base = 1, cpu_sse41 = 2, cpu_avx2 = 3, cpu_avx = 4 };

struct setup {
  qz_ypu_context_t *context = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers;
  qz_ypu_linear_lowbit_params_t params{};

  qz_ypu_buffer_t *buffer(const void *data, size_t bytes) {
    const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
    qz_ypu_buffer_t *b = ops.buffer_create(context->device, static_cast<int32_t>(bytes), 0);
    ops.buffer_upload(context->device, b, data, 0, static_cast<int32_t>(bytes));
    buffers.push_back(b);
    return b;
  }

  setup(int m, int threads, int32_t rows, int32_t cols, int32_t n, int32_t width = 4) {
    const std::string device = "cpu:" + std::to_string(threads);
    qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context);
    if (m == host) context->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
    if (m == cpu_base) static_cast<qz_ypu_cpu_device_t *>(context->device)->isa_flags = 0;
    if (m == cpu_sse41) static_cast<qz_ypu_cpu_device_t *>(context->device)->isa_flags = 0x1;
    if (m == cpu_avx2) static_cast<qz_ypu_cpu_device_t *>(context->device)->isa_flags = 0x7;
    if (m == cpu_avx) static_cast<qz_ypu_cpu_device_t *>(context->device)->isa_flags = 0x3;
    const int32_t row_blocks = rows / 16, groups = cols / 8;
    std::mt19937 rng(1);
    std::vector<uint8_t> tiles(size_t(row_blocks) * groups * 16 * width);
    for (auto &b : tiles) b = uint8_t(rng());
    std::vector<uint16_t> scales(size_t(row_blocks) * groups * 2);
    for (auto &s : scales) s = uint16_t((rng() & 0x8000) | (24 << 10) | (rng() & 1023));
    std::vector<int32_t> perm(cols);
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> in(size_t(n) * cols);
    for (auto &x : in) x = dist(rng);
    std::vector<float> out(size_t(n) * rows);
    params.tiles = buffer(tiles.data(), tiles.size());
    params.scales = buffer(scales.data(), scales.size() * 2);
    params.perm = buffer(perm.data(), perm.size() * 4);
    params.in = buffer(in.data(), in.size() * 4);
    params.out = buffer(out.data(), out.size() * 4);
    params.n = n;
    params.row_blocks = row_blocks;
    params.width_counts[width - 1] = groups;
    qz_ypu_repack_lowbit_params_t repack{.tiles = params.tiles, .row_blocks = row_blocks};
    repack.width_counts[width - 1] = groups;
    qz_ypu_execute(context, QZ_YPU_OP_REPACK_LOWBIT, &repack);
  }
  ~setup() {
    for (qz_ypu_buffer_t *b : buffers) qz_ypu_ops(context).buffer_free(context->device, b);
    qz_ypu_context_destroy(context);
  }
};

// Arguments: mode, threads, output rows, input columns, tokens.
void BM_LinearLowbit4(benchmark::State &state) {
  const int32_t rows = int32_t(state.range(2)), cols = int32_t(state.range(3)),
                n = int32_t(state.range(4));
  if (state.range(0) == cpu_avx2 && !__builtin_cpu_supports("avx2")) {
    state.SkipWithError("this processor lacks AVX2");
    return;
  }
  if (state.range(0) == cpu_avx && !__builtin_cpu_supports("avx")) {
    state.SkipWithError("this processor lacks AVX");
    return;
  }
  setup s(int(state.range(0)), int(state.range(1)), rows, cols, n);
  for (auto _ : state)
    benchmark::DoNotOptimize(qz_ypu_execute(s.context, QZ_YPU_OP_LINEAR_LOWBIT, &s.params));
  state.SetItemsProcessed(state.iterations() * int64_t{rows} * cols * n);
}
BENCHMARK(BM_LinearLowbit4)
    ->ArgNames({"mode", "threads", "rows", "cols", "n"})
    ->ArgsProduct({{host, cpu_base, cpu_sse41, cpu_avx, cpu_avx2}, {1, 4}, {256, 1024}, {256}, {1, 16}});

}  // namespace

namespace {

// The AVX-512F set (flag 0x8 alone) at the same sizes. The weight is loaded
// through the baseline set, which leaves 4- and 8-bit tiles canonical; the
// AVX-512F repack then re-lays the widths it reads differently (it keeps
// 4-bit tiles as they are).
// Arguments: threads, output rows, input columns, tokens, code width.
void BM_LinearLowbitAvx512(benchmark::State &state) {
  if (!__builtin_cpu_supports("avx512f")) {
    state.SkipWithError("this processor lacks AVX-512F");
    return;
  }
  const int32_t rows = int32_t(state.range(1)), cols = int32_t(state.range(2)),
                n = int32_t(state.range(3));
  setup s(cpu_base, int(state.range(0)), rows, cols, n, int32_t(state.range(4)));
  static_cast<qz_ypu_cpu_device_t *>(s.context->device)->isa_flags = 0x8;
  qz_ypu_repack_lowbit_params_t repack{.tiles = s.params.tiles, .row_blocks = s.params.row_blocks};
  std::copy(std::begin(s.params.width_counts), std::end(s.params.width_counts), repack.width_counts);
  qz_ypu_execute(s.context, QZ_YPU_OP_REPACK_LOWBIT, &repack);
  for (auto _ : state)
    benchmark::DoNotOptimize(qz_ypu_execute(s.context, QZ_YPU_OP_LINEAR_LOWBIT, &s.params));
  state.SetItemsProcessed(state.iterations() * int64_t{rows} * cols * n);
}
BENCHMARK(BM_LinearLowbitAvx512)
    ->ArgNames({"threads", "rows", "cols", "n", "bits"})
    ->ArgsProduct({{1, 4}, {256, 1024}, {256}, {1, 16}, {4}})
    // The committed model's decoder shapes: beam 4 through the 256-wide
    // layers, the feed-forward widening and the 6000-word output projection,
    // and its 8-bit rows.
    ->ArgsProduct({{1, 4}, {256, 1024, 6000}, {256}, {4}, {4, 8}});

}  // namespace
