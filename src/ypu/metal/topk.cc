// Metal entries of the top-k selections: the single-row top-k that the beam
// search runs every step, and the per-row sorts (one GPU thread per row).
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "common/error.h"
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"
#include "ypu/topk_insert.h"

// The single-row top-k's state: the graph framework's graph and its input
// placeholder where the system has the framework, else both null and the
// selection runs on the host over the shared buffers.
struct qz_ypu_metal_topk_state_t {
  qz_objc_id graph;
  qz_objc_id placeholder;
};

namespace {

constexpr const char *TOPK_SORT_F32_KERNELS[] = {"taabe104"};
constexpr const char *TOPK_SORT_SOFTMAX_F32_KERNELS[] = {"taabe313"};

// Rows of (index, value) pairs, 8 bytes each, sorted in a temporary.
constexpr int64_t SORT_PAIR_BYTES = 8;

// Both sorts: k larger than the row would keep pairs past it, and the
// host implementation reports that.
qz_status_t topk_sort(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const qz_ypu_topk_sort_f32_params_t *>(params);
  if (p.rows <= 0 || p.k <= 0) return QZ_STATUS_SUCCESS;
  const int64_t bytes = int64_t{p.rows} * p.cols * SORT_PAIR_BYTES;
  if (p.k > p.cols || bytes > std::numeric_limits<int32_t>::max())
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_buffer_t *pairs = qz_ypu_metal_buffer_create(device, static_cast<int32_t>(bytes), 0);
  if (!pairs) {
    qz_error_push("", 0, &QZ_YPU_METAL_ERROR_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_begin_compute(device, pipeline);
  qz_ypu_metal_set_bytes(device, &p.rows, 4, 0);
  qz_ypu_metal_set_bytes(device, &p.k, 4, 1);
  qz_ypu_metal_set_bytes(device, &p.cols, 4, 2);  // "num_experts"
  qz_ypu_metal_set_buffer(device, p.in, 0, 3);
  qz_ypu_metal_set_buffer(device, pairs, 0, 4);
  qz_ypu_metal_set_buffer(device, p.indices, 0, 5);
  qz_ypu_metal_set_buffer(device, p.values, 0, 6);
  const qz_status_t status =
      qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(p.rows), 1, 1);
  // The command buffer keeps the temporary alive until the GPU is done.
  qz_ypu_metal_buffer_free(device, pairs);
  return status;
}

}  // namespace

QZ_YPU_METAL_STATE_ENTRIES(topk_sort_f32, TOPK_SORT_F32_KERNELS)
QZ_YPU_METAL_STATE_ENTRIES(topk_sort_softmax_f32, TOPK_SORT_SOFTMAX_F32_KERNELS)

qz_status_t qz_ypu_metal_topk_sort_f32(qz_ypu_metal_device_t *device, void *state,
                                       const void *params) {
  return topk_sort(device, state, params);
}

qz_status_t qz_ypu_metal_topk_sort_softmax_f32(qz_ypu_metal_device_t *device, void *state,
                                               const void *params) {
  return topk_sort(device, state, params);
}

qz_status_t qz_ypu_metal_topk_f32_init(qz_ypu_metal_device_t *, void **state) {
  *state = nullptr;
  auto *s = static_cast<qz_ypu_metal_topk_state_t *>(std::calloc(1, sizeof(qz_ypu_metal_topk_state_t)));
  if (!s) {
    qz_error_push("", 0, &QZ_YPU_METAL_ERROR_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  *state = s;
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_metal_topk_f32_release(qz_ypu_metal_device_t *, void *state) { std::free(state); }

// Waits for everything encoded so far, then selects on the host over the
// shared buffers, so the results are there for every later operation.
qz_status_t qz_ypu_metal_topk_f32(qz_ypu_metal_device_t *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_topk_f32_params_t *>(params);
  qz_ypu_metal_synchronize(device);
  if (p.k <= 0) return QZ_STATUS_SUCCESS;
  const auto *in = reinterpret_cast<const float *>(
      static_cast<const char *>(qz_ypu_metal_buffer_map(device, p.in, 1)) + p.in_offset);
  auto *values = reinterpret_cast<float *>(
      static_cast<char *>(qz_ypu_metal_buffer_map(device, p.values, 1)) + p.values_offset);
  auto *indices = reinterpret_cast<int32_t *>(
      static_cast<char *>(qz_ypu_metal_buffer_map(device, p.indices, 1)) + p.indices_offset);
  qz_ypu_topk_insert(in, p.n, values, indices, p.k);
  return QZ_STATUS_SUCCESS;
}
