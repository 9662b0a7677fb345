// Metal entries of the top-k selections: the single-row top-k that the beam
// search runs every step, and the per-row sorts (one GPU thread per row).
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>

#include "common/error.h"
#include "ypu/metal/ops.h"
#include "ypu/metal/runtime.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"
#include "ypu/topk_insert.h"

// The single-row top-k's state: the graph framework's graph, its input
// placeholder (shape [1, -1], 32-bit floats, named "input") and the top-k
// node of the last k asked for, all null where the system has no graph
// framework (the selection then runs on the host over the shared buffers).
struct qz_ypu_metal_topk_state_t {
  qz_objc_id graph;
  qz_objc_id placeholder;
  qz_objc_id values;   // the top-k node's outputs for k = `k`, or null
  qz_objc_id indices;
  int32_t k;
};

namespace {

constexpr const char *TOPK_SORT_F32_KERNELS[] = {"taabe104"};
constexpr const char *TOPK_SORT_SOFTMAX_F32_KERNELS[] = {"taabe313"};

// Rows of (index, value) pairs, 8 bytes each, sorted in a temporary.
constexpr int64_t SORT_PAIR_BYTES = 8;

// Argument 4 is the temporary of pairs.
using row_sort = qz_ypu_topk_sort_f32_params_t;
constexpr qz_ypu_metal_binding_t SORT_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(row_sort, rows, 0),
    QZ_YPU_METAL_BYTES(row_sort, k, 1),
    QZ_YPU_METAL_BYTES(row_sort, cols, 2),  // "num_experts"
    QZ_YPU_METAL_BUFFER_AT_ZERO(row_sort, in, 3),
    QZ_YPU_METAL_BUFFER_AT_ZERO(row_sort, indices, 5),
    QZ_YPU_METAL_BUFFER_AT_ZERO(row_sort, values, 6),
};

// Both sorts: k larger than the row would keep pairs past it, and the
// host implementation reports that.
qz_status_t topk_sort(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const row_sort *>(params);
  if (p.rows <= 0 || p.k <= 0) return QZ_STATUS_SUCCESS;
  const int64_t bytes = int64_t{p.rows} * p.cols * SORT_PAIR_BYTES;
  if (p.k > p.cols || bytes > std::numeric_limits<int32_t>::max())
    return QZ_STATUS_INVALID_ARGUMENT;
  const qz_ypu_metal_temporary pairs(device, bytes);
  if (!pairs.get()) return qz_ypu_metal_out_of_memory();
  const qz_ypu_metal_pipeline_t *pipeline = qz_ypu_metal_pipeline(state, 0);
  qz_ypu_metal_bind(device, pipeline, params, SORT_BINDINGS);
  qz_ypu_metal_set_buffer(device, pairs.get(), 0, 4);
  return qz_ypu_metal_dispatch_threads(device, pipeline, static_cast<uint32_t>(p.rows), 1, 1);
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

namespace {

constexpr uintptr_t MPS_DATA_TYPE_FLOAT32 = 0x10000000u | 32;

// An NSArray of NSNumbers from ints.
qz_objc_id number_array(const qz_ypu_metal_runtime_t &rt, std::initializer_list<int32_t> values) {
  qz_objc_id numbers[2] = {};
  size_t count = 0;
  for (const int32_t v : values)
    numbers[count++] = rt.send_u(rt.get_class("NSNumber"), rt.sel("numberWithInt:"),
                                 static_cast<uintptr_t>(static_cast<intptr_t>(v)));
  return rt.send_ptr_u(rt.get_class("NSArray"), rt.sel("arrayWithObjects:count:"), numbers, count);
}

qz_objc_id ns_string(const qz_ypu_metal_runtime_t &rt, const char *text) {
  return rt.send_str(rt.get_class("NSString"), rt.sel("stringWithUTF8String:"), text);
}

void release_object(const qz_ypu_metal_runtime_t &rt, qz_objc_id object) {
  if (object) rt.send(object, rt.sel("release"));
}

// The top-k node for k, made once per k and kept (a node per call would
// grow the graph every decoding step).
void ensure_top_k_node(const qz_ypu_metal_runtime_t &rt, qz_ypu_metal_topk_state_t *s, int32_t k) {
  if (s->values && s->k == k) return;
  qz_objc_id outputs =
      rt.send_id_u_id(s->graph, rt.sel("topKWithSourceTensor:k:name:"), s->placeholder,
                      static_cast<uintptr_t>(k), ns_string(rt, "topk"));
  release_object(rt, s->values);
  release_object(rt, s->indices);
  const qz_objc_sel at = rt.sel("objectAtIndexedSubscript:");
  s->values = rt.send(rt.send_u(outputs, at, 0), rt.sel("retain"));
  s->indices = rt.send(rt.send_u(outputs, at, 1), rt.sel("retain"));
  s->k = k;
}

// The graph's top-k over the input, read straight into the outputs. False
// (nothing written) when the platform does not wrap the input without a
// copy, which it does only over whole pages.
bool graph_top_k(qz_ypu_metal_device_t *device, qz_ypu_metal_topk_state_t *s,
                 const qz_ypu_topk_f32_params_t &p) {
  const qz_ypu_metal_runtime_t &rt = QZ_YPU_METAL_RUNTIME;
  void *pool = rt.pool_push();
  qz_objc_id input = qz_ypu_metal_buffer_object(p.in);
  auto *contents = static_cast<char *>(rt.send(input, rt.sel("contents")));
  const uintptr_t length = rt.send_uint(input, rt.sel("length"));
  const uintptr_t options = rt.send_uint(input, rt.sel("resourceOptions"));
  qz_objc_id wrapped = rt.send_ptr_u_u_id(
      qz_ypu_metal_get_device(device), rt.sel("newBufferWithBytesNoCopy:length:options:deallocator:"),
      contents + p.in_offset, length - static_cast<uintptr_t>(p.in_offset), options, nullptr);
  if (!wrapped) {
    rt.pool_pop(pool);
    return false;
  }
  qz_objc_id data = rt.send_id_id_u(rt.send(rt.get_class("MPSGraphTensorData"), rt.sel("alloc")),
                                    rt.sel("initWithMTLBuffer:shape:dataType:"), wrapped,
                                    number_array(rt, {1, p.n}), MPS_DATA_TYPE_FLOAT32);
  ensure_top_k_node(rt, s, p.k);
  qz_objc_id feeds = rt.send_ptr_ptr_u(rt.get_class("NSDictionary"),
                                       rt.sel("dictionaryWithObjects:forKeys:count:"), &data,
                                       &s->placeholder, 1);
  const qz_objc_id target_list[2] = {s->values, s->indices};
  qz_objc_id targets =
      rt.send_ptr_u(rt.get_class("NSArray"), rt.sel("arrayWithObjects:count:"), target_list, 2);
  qz_objc_id results = rt.send_id_id_id_id(
      s->graph, rt.sel("runWithMTLCommandQueue:feeds:targetTensors:targetOperations:"),
      qz_ypu_metal_get_queue(device), feeds, targets, nullptr);
  const qz_objc_sel lookup = rt.sel("objectForKeyedSubscript:"), ndarray = rt.sel("mpsndarray");
  const qz_objc_sel read = rt.sel("readBytes:strideBytes:");
  rt.send_ptr_ptr(rt.send(rt.send_id(results, lookup, s->values), ndarray), read,
                  static_cast<char *>(qz_ypu_metal_buffer_map(device, p.values, 1)) + p.values_offset,
                  nullptr);
  rt.send_ptr_ptr(rt.send(rt.send_id(results, lookup, s->indices), ndarray), read,
                  static_cast<char *>(qz_ypu_metal_buffer_map(device, p.indices, 1)) +
                      p.indices_offset,
                  nullptr);
  release_object(rt, data);
  release_object(rt, wrapped);
  rt.pool_pop(pool);
  return true;
}

}  // namespace

// Where the system has the graph framework (macOS 11 and later), a graph
// with its input placeholder; else an empty state.
qz_status_t qz_ypu_metal_topk_f32_init(qz_ypu_metal_device_t *, void **state) {
  *state = nullptr;
  auto *s = static_cast<qz_ypu_metal_topk_state_t *>(std::calloc(1, sizeof(qz_ypu_metal_topk_state_t)));
  if (!s) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  const qz_ypu_metal_runtime_t &rt = QZ_YPU_METAL_RUNTIME;
  if (rt.graph_available()) {
    void *pool = rt.pool_push();
    s->graph = rt.send(rt.send(rt.get_class("MPSGraph"), rt.sel("alloc")), rt.sel("init"));
    if (s->graph)
      s->placeholder = rt.send(rt.send_id_u_id(s->graph, rt.sel("placeholderWithShape:dataType:name:"),
                                               number_array(rt, {1, -1}), MPS_DATA_TYPE_FLOAT32,
                                               ns_string(rt, "input")),
                               rt.sel("retain"));
    rt.pool_pop(pool);
    if (!s->graph) {
      std::free(s);
      qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
      return QZ_STATUS_OUT_OF_MEMORY;
    }
  }
  *state = s;
  return QZ_STATUS_SUCCESS;
}

void qz_ypu_metal_topk_f32_release(qz_ypu_metal_device_t *, void *state) {
  if (!state) return;
  auto *s = static_cast<qz_ypu_metal_topk_state_t *>(state);
  const qz_ypu_metal_runtime_t &rt = QZ_YPU_METAL_RUNTIME;
  release_object(rt, s->values);
  release_object(rt, s->indices);
  release_object(rt, s->placeholder);
  release_object(rt, s->graph);
  std::free(s);
}

// Waits for everything encoded so far, then selects with the graph
// framework where it can, else on the host over the shared buffers; either
// way the results are there for every later operation. A k beyond the row
// takes the host selection, which defines the entries past the row.
qz_status_t qz_ypu_metal_topk_f32(qz_ypu_metal_device_t *device, void *state, const void *params) {
  const auto &p = *static_cast<const qz_ypu_topk_f32_params_t *>(params);
  auto *s = static_cast<qz_ypu_metal_topk_state_t *>(state);
  qz_ypu_metal_synchronize(device);
  if (p.k <= 0) return QZ_STATUS_SUCCESS;
  if (s && s->graph && p.k <= p.n && graph_top_k(device, s, p)) return QZ_STATUS_SUCCESS;
  const auto *in = reinterpret_cast<const float *>(
      static_cast<const char *>(qz_ypu_metal_buffer_map(device, p.in, 1)) + p.in_offset);
  auto *values = reinterpret_cast<float *>(
      static_cast<char *>(qz_ypu_metal_buffer_map(device, p.values, 1)) + p.values_offset);
  auto *indices = reinterpret_cast<int32_t *>(
      static_cast<char *>(qz_ypu_metal_buffer_map(device, p.indices, 1)) + p.indices_offset);
  qz_ypu_topk_insert(in, p.n, values, indices, p.k);
  return QZ_STATUS_SUCCESS;
}
