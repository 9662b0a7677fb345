// The driver frame shared by the quantising kernel sets: stage 1 prepares
// the activations, stage 2 hands row blocks to the set's task. Plain code:
// the instruction sets reach it through their tasks and preparing routines.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/lowbit/kernels.h"

namespace {

struct prepared {
  uint8_t *codes;
  float *lo;
  float *step;
  float *sum;
};

// Stage 1 over `count` groups of 8 floats.
void prepare_groups(qz_ypu_cpu_device_t *device, const float *x, int64_t count, bool integer,
                    const qz_ypu_cpu_lowbit_preparers_t &prepare, const prepared &out) {
  const int64_t chunks = qz_ypu_cpu_items(device, qz_ypu_cpu_items_squared(device->threads, count));
  if (integer) {
    qz_ypu_cpu_lowbit_quantize_context_t q{x,        out.codes, out.lo, out.step, out.sum,
                                           static_cast<int32_t>(count),
                                           static_cast<int32_t>(chunks)};
    qz_ypu_cpu_run_1d(device, prepare.quantise, &q, chunks);
  } else {
    qz_ypu_cpu_lowbit_group_sums_context_t s{x, out.sum, static_cast<int32_t>(count),
                                             static_cast<int32_t>(chunks)};
    qz_ypu_cpu_run_1d(device, prepare.sums, &s, chunks);
  }
}

}  // namespace

void qz_ypu_cpu_lowbit_run_gemv(qz_ypu_cpu_device_t *device, const float *x,
                                const qz_scale16_t *scales, const uint8_t *tiles, int32_t groups,
                                int32_t row_blocks, float *y, bool integer,
                                const qz_ypu_cpu_lowbit_preparers_t &prepare,
                                void (*task)(void *context, size_t chunk)) {
  constexpr int32_t slab = QZ_YPU_CPU_LOWBIT_GEMV_SLAB;
  alignas(32) uint8_t codes[8 * slab];
  alignas(32) float lo[slab], step[slab], sum[slab];
  const int64_t row_chunks = qz_ypu_cpu_lowbit_gemv_chunks(device, row_blocks);
  for (int32_t begin = 0; begin < groups; begin += slab) {
    const int32_t end = static_cast<int32_t>(qz_ypu_cpu_min(groups, int64_t{begin} + slab));
    prepare_groups(device, x + 8 * int64_t{begin}, end - begin, integer, prepare,
                   {codes, lo, step, sum});
    qz_ypu_cpu_lowbit_task_context_t c{};
    c.x = x;
    c.codes = codes;
    c.sum = sum;
    c.lo = lo;
    c.step = step;
    c.scales = scales;
    c.tiles = tiles;
    c.groups = groups;
    c.row_blocks = row_blocks;
    c.out = y;
    c.chunks = static_cast<int32_t>(row_chunks);
    c.group_begin = begin;
    c.group_end = end;
    qz_ypu_cpu_run_1d(device, task, &c, row_chunks);
  }
}

void qz_ypu_cpu_lowbit_run_gemm(qz_ypu_cpu_device_t *device, const float *x,
                                const qz_scale16_t *scales, const uint8_t *tiles, int32_t groups,
                                int32_t row_blocks, int32_t n, void *act_scratch,
                                void *thread_scratch, float *acc, bool integer,
                                const qz_ypu_cpu_lowbit_preparers_t &prepare,
                                void (*task)(void *context, size_t thread, size_t row_block)) {
  const int64_t pairs = int64_t{groups} * n;
  auto *bytes = static_cast<uint8_t *>(act_scratch);
  const prepared p =
      integer ? prepared{bytes, reinterpret_cast<float *>(bytes + 8 * pairs),
                         reinterpret_cast<float *>(bytes + 12 * pairs),
                         reinterpret_cast<float *>(bytes + 16 * pairs)}
              : prepared{nullptr, nullptr, nullptr, reinterpret_cast<float *>(bytes)};
  prepare_groups(device, x, pairs, integer, prepare, p);
  qz_ypu_cpu_lowbit_task_context_t c{};
  c.x = x;
  c.codes = p.codes;
  c.sum = p.sum;
  c.lo = p.lo;
  c.step = p.step;
  c.scales = scales;
  c.tiles = tiles;
  c.groups = groups;
  c.row_blocks = row_blocks;
  c.tokens = n;
  c.thread_scratch = static_cast<float *>(thread_scratch);
  c.out = acc;
  qz_ypu_cpu_run_1d_with_thread(device, task, &c, row_blocks);
}
