// One token through op 93 with a 4-bit weight larger than the caches, against
// the read bandwidth of the same memory measured in the same process: the
// fraction says how close the kernel comes to streaming the weight at memory
// speed. The weight's bytes (tiles and scales) are what one token must read.
//
//   lowbit_bandwidth [ROWS COLS] [THREADS ...]     (default 65536 16384, 1 4)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ypu/cpu/device.h"
#include "ypu/params.h"
#include "ypu/ypu.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Sums 64-bit words with independent accumulators, which the compiler
// vectorises: loads, not arithmetic, bound it.
uint64_t sum_words(const uint64_t *words, size_t count) {
  uint64_t a = 0, b = 0, c = 0, d = 0;
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    a += words[i];
    b += words[i + 1];
    c += words[i + 2];
    d += words[i + 3];
  }
  for (; i < count; ++i) a += words[i];
  return a + b + c + d;
}

// Best read bandwidth (bytes per second) over a few passes on `threads`
// threads, each summing its own slice.
double read_bandwidth(const std::vector<uint64_t> &data, int threads) {
  double best = 0;
  std::vector<uint64_t> sums(static_cast<size_t>(threads));
  for (int pass = 0; pass < 5; ++pass) {
    const auto start = clock_type::now();
    std::vector<std::thread> workers;
    const size_t slice = data.size() / static_cast<size_t>(threads);
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        sums[static_cast<size_t>(t)] = sum_words(data.data() + slice * static_cast<size_t>(t), slice);
      });
    for (std::thread &w : workers) w.join();
    const double took = seconds_since(start);
    best = std::max(best, static_cast<double>(slice * static_cast<size_t>(threads) * 8) / took);
  }
  volatile uint64_t sink = std::accumulate(sums.begin(), sums.end(), uint64_t{0});
  (void)sink;
  return best;
}

struct lowbit_weight {
  std::vector<uint8_t> tiles;
  std::vector<uint16_t> scales;
  std::vector<int32_t> perm;
  std::vector<float> in;
  int32_t row_blocks, groups;

  lowbit_weight(int32_t rows, int32_t cols) : row_blocks(rows / 16), groups(cols / 8) {
    std::mt19937 rng(1);
    tiles.resize(size_t(row_blocks) * groups * 64);
    for (size_t i = 0; i < tiles.size(); i += 4) {
      const uint32_t r = rng();
      std::memcpy(&tiles[i], &r, 4);
    }
    scales.resize(size_t(row_blocks) * groups * 2);
    for (auto &s : scales) s = uint16_t((rng() & 0x8000) | (24 << 10) | (rng() & 1023));
    perm.resize(size_t(cols));
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    in.resize(size_t(cols));
    for (auto &x : in) x = dist(rng);
  }
  double bytes() const { return double(tiles.size()) + double(scales.size()) * 2; }
};

// Best time of one token through op 93 on cpu:threads with the device's own
// instruction sets.
double op93_seconds(const lowbit_weight &w, int threads, uint32_t *isa) {
  qz_ypu_context_t *context = nullptr;
  const std::string device = "cpu:" + std::to_string(threads);
  if (qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context) != QZ_STATUS_SUCCESS)
    return 0;
  *isa = static_cast<qz_ypu_cpu_device_t *>(context->device)->isa_flags;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  std::vector<qz_ypu_buffer_t *> buffers;
  auto upload = [&](const void *data, size_t bytes) {
    qz_ypu_buffer_t *b = ops.buffer_create(context->device, static_cast<int32_t>(bytes), 0);
    if (data) ops.buffer_upload(context->device, b, data, 0, static_cast<int32_t>(bytes));
    buffers.push_back(b);
    return b;
  };
  qz_ypu_linear_lowbit_params_t params{};
  params.tiles = upload(w.tiles.data(), w.tiles.size());
  params.scales = upload(w.scales.data(), w.scales.size() * 2);
  params.perm = upload(w.perm.data(), w.perm.size() * 4);
  params.in = upload(w.in.data(), w.in.size() * 4);
  params.out = upload(nullptr, size_t(w.row_blocks) * 16 * 4);
  params.n = 1;
  params.row_blocks = w.row_blocks;
  params.width_counts[3] = w.groups;
  qz_ypu_repack_lowbit_params_t repack{.tiles = params.tiles, .row_blocks = w.row_blocks,
                                       .width_counts = {0, 0, 0, w.groups, 0, 0, 0, 0}};
  qz_ypu_execute(context, QZ_YPU_OP_REPACK_LOWBIT, &repack);
  double best = 1e30;
  for (int pass = 0; pass < 8; ++pass) {
    const auto start = clock_type::now();
    qz_ypu_execute(context, QZ_YPU_OP_LINEAR_LOWBIT, &params);
    if (pass > 0) best = std::min(best, seconds_since(start));
  }
  for (qz_ypu_buffer_t *b : buffers) ops.buffer_free(context->device, b);
  qz_ypu_context_destroy(context);
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  int32_t rows = 65536, cols = 16384;
  int first_thread_arg = 1;
  if (argc >= 3) {
    rows = std::atoi(argv[1]);
    cols = std::atoi(argv[2]);
    first_thread_arg = 3;
  }
  if (rows < 16 || rows % 16 || cols < 8 || cols % 8 || int64_t{rows} * cols / 2 > INT32_MAX) {
    std::fprintf(stderr, "rows must be a multiple of 16, cols of 8, the weight under 2 GiB\n");
    return 2;
  }
  std::vector<int> thread_counts;
  for (int i = first_thread_arg; i < argc; ++i) thread_counts.push_back(std::max(1, std::atoi(argv[i])));
  if (thread_counts.empty()) thread_counts = {1, 4};

  const lowbit_weight weight(rows, cols);
  // The probe reads as many bytes as the weight, from a block of its own.
  std::vector<uint64_t> probe(static_cast<size_t>(weight.bytes() / 8), 1);
  std::printf("op 93, one token, 4-bit %d x %d: %.0f MiB of tiles and scales\n", rows, cols,
              weight.bytes() / (1 << 20));
  for (int threads : thread_counts) {
    uint32_t isa = 0;
    const double op = op93_seconds(weight, threads, &isa);
    const double bandwidth = read_bandwidth(probe, threads);
    const double streamed = weight.bytes() / op;
    std::printf("%d thread(s), isa 0x%x: %.2f ms, %.2f GB/s; read probe %.2f GB/s; fraction %.2f\n",
                threads, isa, op * 1e3, streamed / 1e9, bandwidth / 1e9, streamed / bandwidth);
    std::fflush(stdout);
  }
  return 0;
}
