// Metal entries of the low-bit linear operation (op 93) and its load-time
// repack (op 94). Op 94 splits the 3-, 5-, 6- and 7-bit tiles in place into
// bit planes of 4, 2 and 1 bits (the layout the CPU baseline repack leaves);
// op 93 reads them with one kernel per non-empty width class, one token
// (matrix-vector) or several (matrix-matrix), adding with float atomics.
//
// The record's counts, sizes and offsets come from the model file: a record
// whose arrays do not fit its buffers goes back to the host implementation
// (QZ_STATUS_INVALID_ARGUMENT), which reports it, before any kernel indexes
// with it; so do the empty shapes (n, G or R of 0), which need no GPU work.
#include "ypu/lowbit.h"

#include <cstdint>

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

// Op 94: slot b - 1 re-lays width b; widths 1, 2, 4 and 8 keep their form.
constexpr const char *REPACK_KERNELS[] = {nullptr,   nullptr,   "taabe207", nullptr,
                                          "taabe28", "taabe61", "taabe11",  nullptr};

// Op 93's slots: the one-token kernels by width, the many-token kernels by
// width, then the helpers; made in the order one-token then many-token
// kernel of each width, b ascending, then the helpers.
constexpr int32_t GEMV_SLOT = 0, GEMM_SLOT = 8, GATHER_ONE = 16, GATHER_MANY = 17, SCATTER = 18,
                  ZERO_FILL = 19, LINEAR_SLOTS = 20;
constexpr const char *LINEAR_KERNELS[LINEAR_SLOTS] = {
    "taabe327", "taabe89",  "taabe66",  "taabe298", "taabe265", "taabe92", "taabe73",
    "taabe166", "taabe130", "taabe124", "taabe289", "taabe59",  "taabe78", "taabe55",
    "taabe271", "taabe39",  "taabe139", "taabe21",  "taabe107", "taabe219"};
constexpr int32_t LINEAR_ORDER[LINEAR_SLOTS] = {0, 8,  1, 9,  2, 10, 3,  11, 4,  12,
                                                5, 13, 6, 14, 7, 15, 16, 17, 18, 19};

int32_t buffer_bytes(const qz_ypu_buffer_t *buffer) {
  return buffer ? reinterpret_cast<const qz_ypu_metal_buffer_t *>(buffer)->length : -1;
}

bool holds(const qz_ypu_buffer_t *buffer, int64_t offset, int64_t bytes) {
  return offset >= 0 && offset + bytes <= buffer_bytes(buffer);
}

// Keeps the first failure of a sequence of passes; the later passes are
// still encoded, so each pass's buffers stay consistent.
struct first_failure {
  qz_status_t status = QZ_STATUS_SUCCESS;
  void operator()(qz_status_t s) {
    if (status == QZ_STATUS_SUCCESS) status = s;
  }
};

// Clears `count` floats of `buffer` from byte `offset`, 16 per thread.
void zero_fill(qz_ypu_metal_device_t *device, const qz_ypu_metal_pipeline_t *pipeline,
               const qz_ypu_buffer_t *buffer, int32_t offset, int32_t count,
               first_failure &failure) {
  qz_ypu_metal_begin_compute(device, pipeline);
  qz_ypu_metal_set_buffer(device, buffer, offset, 0);
  qz_ypu_metal_set_int(device, count, 1);
  failure(qz_ypu_metal_dispatch_threads(device, pipeline,
                                        static_cast<uint32_t>((int64_t{count} + 15) / 16), 1, 1));
}

// One width class's kernel on the stored weights: x from `xx` at byte
// `x_offset`, y the atomic output.
void bind_class(qz_ypu_metal_device_t *device, const qz_ypu_metal_pipeline_t *pipeline,
                const qz_ypu_linear_lowbit_params_t &p, const qz_ypu_lowbit_layout_t &layout,
                int32_t width, const qz_ypu_buffer_t *xx, int32_t x_offset) {
  qz_ypu_metal_begin_compute(device, pipeline);
  qz_ypu_metal_set_buffer(device, xx, x_offset, 0);
  qz_ypu_metal_set_buffer(device, p.scales, 4 * layout.pair_start[width - 1], 1);
  qz_ypu_metal_set_buffer(device, p.tiles, layout.tile_start[width - 1], 2);
  qz_ypu_metal_set_int(device, layout.counts[width - 1], 3);
  qz_ypu_metal_set_int(device, layout.row_blocks, 4);
}

qz_status_t linear_one_token(qz_ypu_metal_device_t *device, qz_ypu_metal_pipeline_t *const *slots,
                             const qz_ypu_linear_lowbit_params_t &p,
                             const qz_ypu_lowbit_layout_t &layout) {
  const int32_t columns = layout.columns, rows = 16 * layout.row_blocks;
  qz_ypu_metal_temporary xx(device, int64_t{columns} * 4);
  if (!xx.get()) return qz_ypu_metal_out_of_memory();
  first_failure failure;

  qz_ypu_metal_begin_compute(device, slots[GATHER_ONE]);
  qz_ypu_metal_set_buffer(device, p.in, p.in_offset, 0);
  qz_ypu_metal_set_buffer(device, p.perm, 0, 1);
  qz_ypu_metal_set_int(device, columns, 2);
  qz_ypu_metal_set_buffer(device, xx.get(), 0, 3);
  failure(qz_ypu_metal_dispatch_threads(device, slots[GATHER_ONE], static_cast<uint32_t>(columns),
                                        1, 1));

  zero_fill(device, slots[ZERO_FILL], p.out, p.out_offset, rows, failure);

  for (int32_t width = 1; width <= QZ_YPU_LOWBIT_MAX_WIDTH; ++width) {
    const int32_t count = layout.counts[width - 1];
    if (count == 0) continue;
    const qz_ypu_metal_pipeline_t *pipeline = slots[GEMV_SLOT + width - 1];
    bind_class(device, pipeline, p, layout, width, xx.get(), 32 * layout.group_start[width - 1]);
    qz_ypu_metal_set_buffer(device, p.out, p.out_offset, 5);
    failure(qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(rows),
                                          (count + 3) / 4, 1));
  }
  return failure.status;
}

qz_status_t linear_many_tokens(qz_ypu_metal_device_t *device, qz_ypu_metal_pipeline_t *const *slots,
                               const qz_ypu_linear_lowbit_params_t &p,
                               const qz_ypu_lowbit_layout_t &layout) {
  const int32_t n = p.n, columns = layout.columns, rows = 16 * layout.row_blocks;
  qz_ypu_metal_temporary xx(device, int64_t{n} * columns * 4);
  qz_ypu_metal_temporary yy(device, int64_t{n} * rows * 4);
  if (!xx.get() || !yy.get()) return qz_ypu_metal_out_of_memory();
  first_failure failure;

  qz_ypu_metal_begin_compute(device, slots[GATHER_MANY]);
  qz_ypu_metal_set_buffer(device, p.in, p.in_offset, 0);
  qz_ypu_metal_set_buffer(device, p.perm, 0, 1);
  qz_ypu_metal_set_int(device, n, 2);
  qz_ypu_metal_set_int(device, columns, 3);
  qz_ypu_metal_set_buffer(device, xx.get(), 0, 4);
  failure(qz_ypu_metal_dispatch_threads(device, slots[GATHER_MANY], static_cast<uint32_t>(columns),
                                        n, 1));

  zero_fill(device, slots[ZERO_FILL], yy.get(), 0, n * rows, failure);

  for (int32_t width = 1; width <= QZ_YPU_LOWBIT_MAX_WIDTH; ++width) {
    const int32_t count = layout.counts[width - 1];
    if (count == 0) continue;
    const qz_ypu_metal_pipeline_t *pipeline = slots[GEMM_SLOT + width - 1];
    bind_class(device, pipeline, p, layout, width, xx.get(),
               32 * n * layout.group_start[width - 1]);
    qz_ypu_metal_set_int(device, n, 5);
    qz_ypu_metal_set_buffer(device, yy.get(), 0, 6);
    failure(qz_ypu_metal_dispatch_threadgroups(device, pipeline, 256, 1, 1,
                                               static_cast<uint32_t>((layout.row_blocks + 15) / 16),
                                               static_cast<uint32_t>((n + 31) / 32), 1));
  }

  qz_ypu_metal_begin_compute(device, slots[SCATTER]);
  qz_ypu_metal_set_buffer(device, yy.get(), 0, 0);
  qz_ypu_metal_set_int(device, n, 1);
  qz_ypu_metal_set_int(device, rows, 2);
  qz_ypu_metal_set_buffer(device, p.out, p.out_offset, 3);
  failure(qz_ypu_metal_dispatch_threads(device, slots[SCATTER], static_cast<uint32_t>(rows), n, 1));
  return failure.status;
}

}  // namespace

qz_status_t qz_ypu_metal_repack_lowbit_init(qz_ypu_metal_device_t *device, void **state) {
  return qz_ypu_metal_state_init(device, state, REPACK_KERNELS, QZ_YPU_LOWBIT_MAX_WIDTH);
}

void qz_ypu_metal_repack_lowbit_release(qz_ypu_metal_device_t *device, void *state) {
  qz_ypu_metal_state_release(device, state, QZ_YPU_LOWBIT_MAX_WIDTH);
}

qz_status_t qz_ypu_metal_repack_lowbit(qz_ypu_metal_device_t *device, void *state,
                                       const void *params) {
  const auto &p = *static_cast<const qz_ypu_repack_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  if (!qz_ypu_lowbit_layout_init(&layout, p.row_blocks, p.width_counts) ||
      !holds(p.tiles, 0, layout.tile_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  auto *const *slots = static_cast<qz_ypu_metal_pipeline_t *const *>(state);
  first_failure failure;
  for (int32_t width = 1; width <= QZ_YPU_LOWBIT_MAX_WIDTH; ++width) {
    const int32_t count = layout.counts[width - 1];
    const qz_ypu_metal_pipeline_t *pipeline = slots[width - 1];
    if (!pipeline || count == 0 || layout.row_blocks == 0) continue;
    qz_ypu_metal_begin_compute(device, pipeline);
    qz_ypu_metal_set_buffer(device, p.tiles, 0, 0);
    qz_ypu_metal_set_int(device, layout.tile_start[width - 1], 1);
    qz_ypu_metal_set_int(device, count, 2);
    qz_ypu_metal_set_int(device, layout.row_blocks, 3);
    failure(qz_ypu_metal_dispatch_threads(device, pipeline,
                                          static_cast<uint32_t>(layout.row_blocks), count, 1));
  }
  return failure.status;
}

qz_status_t qz_ypu_metal_linear_lowbit_init(qz_ypu_metal_device_t *device, void **state) {
  return qz_ypu_metal_state_init_ordered(device, state, LINEAR_KERNELS, LINEAR_ORDER, LINEAR_SLOTS);
}

void qz_ypu_metal_linear_lowbit_release(qz_ypu_metal_device_t *device, void *state) {
  qz_ypu_metal_state_release(device, state, LINEAR_SLOTS);
}

qz_status_t qz_ypu_metal_linear_lowbit(qz_ypu_metal_device_t *device, void *state,
                                       const void *params) {
  const auto &p = *static_cast<const qz_ypu_linear_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  if (!qz_ypu_lowbit_layout_init(&layout, p.row_blocks, p.width_counts) || p.n <= 0 ||
      layout.groups == 0 || layout.row_blocks == 0)
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t in_bytes = int64_t{p.n} * layout.columns * 4;
  const int64_t out_bytes = int64_t{p.n} * layout.row_blocks * 64;
  if (!holds(p.perm, 0, int64_t{layout.columns} * 4) || !holds(p.scales, 0, layout.scale_bytes) ||
      !holds(p.tiles, 0, layout.tile_bytes) || !holds(p.in, p.in_offset, in_bytes) ||
      !holds(p.out, p.out_offset, out_bytes) || in_bytes > INT32_MAX || out_bytes > INT32_MAX)
    return QZ_STATUS_INVALID_ARGUMENT;
  auto *const *slots = static_cast<qz_ypu_metal_pipeline_t *const *>(state);
  return p.n == 1 ? linear_one_token(device, slots, p, layout)
                  : linear_many_tokens(device, slots, p, layout);
}
