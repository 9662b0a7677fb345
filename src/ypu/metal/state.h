// What every Metal operation entry shares: the per-operation state (an array
// of compute pipelines made when a context is created, released when it is
// destroyed) and a table-driven way to bind a parameter record's fields to a
// kernel's argument indices and dispatch it.
//
// An operation's entries, in src/ypu/metal/<family>.cc:
//
//   namespace {
//   constexpr const char *ADD_F32_KERNELS[] = {"taabe69"};
//   constexpr qz_ypu_metal_binding_t ADD_F32_BINDINGS[] = {
//       QZ_YPU_METAL_BYTES(qz_ypu_two_input_params_t, count, 0),
//       QZ_YPU_METAL_BUFFER(qz_ypu_two_input_params_t, out, out_offset, 1), ...};
//   constexpr qz_ypu_metal_call_t ADD_F32{ADD_F32_BINDINGS, QZ_YPU_METAL_GRID_X(..., count)};
//   }
//   QZ_YPU_METAL_STATE_ENTRIES(add_f32, ADD_F32_KERNELS)
//   qz_status_t qz_ypu_metal_add_f32(qz_ypu_metal_device_t *device, void *state,
//                                    const void *params) {
//     return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, ADD_F32);
//   }
//
// and one line in src/ypu/metal/entries.inc.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <iterator>
#include <span>

#include "ypu/metal/device.h"

// Makes the pipelines of kernels names[0 .. count-1], in that order, into a
// new array in *state (null on failure); a slot whose name is null stays
// empty (release accepts empty slots). Failures: 0xC8 when the array
// cannot be had; after a failed pipeline (its own 0x341 or 0xC8) the record
// 0x320, every pipeline made so far released, and the pipeline's status.
// `quiet` leaves out the 0xC8 and 0x320 records (ops 39 and 81).
qz_status_t qz_ypu_metal_state_init(qz_ypu_metal_device_t *device, void **state,
                                    const char *const *names, int32_t count, bool quiet = false);
// The same for a state whose pipelines are made in another order than their
// slots: order[0 .. count-1] lists the slots in the order of creation (null:
// slot order).
qz_status_t qz_ypu_metal_state_init_ordered(qz_ypu_metal_device_t *device, void **state,
                                            const char *const *names, const int32_t *order,
                                            int32_t count, bool quiet = false);
// Releases the `count` pipelines of a state and the array; null does nothing.
void qz_ypu_metal_state_release(qz_ypu_metal_device_t *device, void *state, int32_t count);

// The pipeline in slot `slot` of a state.
inline const qz_ypu_metal_pipeline_t *qz_ypu_metal_pipeline(void *state, int32_t slot) {
  return static_cast<qz_ypu_metal_pipeline_t **>(state)[slot];
}

// One kernel argument taken from a parameter record.
enum qz_ypu_metal_binding_kind_t : uint8_t {
  QZ_YPU_METAL_BIND_BYTES,        // 4 bytes of the record, set_bytes
  QZ_YPU_METAL_BIND_BUFFER,       // a buffer handle at the record's byte offset
  QZ_YPU_METAL_BIND_BUFFER_ZERO,  // a buffer handle at byte 0
};

struct qz_ypu_metal_binding_t {
  qz_ypu_metal_binding_kind_t kind;
  uint8_t index;          // the kernel's argument-table index
  uint16_t field;         // offsetof the value or handle in the record
  uint16_t offset_field;  // offsetof the int32 byte offset (BIND_BUFFER)
};

#define QZ_YPU_METAL_BYTES(Record, field, index) \
  qz_ypu_metal_binding_t { QZ_YPU_METAL_BIND_BYTES, index, offsetof(Record, field), 0 }
#define QZ_YPU_METAL_BUFFER(Record, field, offset, index)                          \
  qz_ypu_metal_binding_t {                                                          \
    QZ_YPU_METAL_BIND_BUFFER, index, offsetof(Record, field), offsetof(Record, offset) \
  }
#define QZ_YPU_METAL_BUFFER_AT_ZERO(Record, field, index) \
  qz_ypu_metal_binding_t { QZ_YPU_METAL_BIND_BUFFER_ZERO, index, offsetof(Record, field), 0 }

// A dispatch_threads grid read from the record: each dimension the int32
// field at that offset, or 1 for QZ_YPU_METAL_ONE.
inline constexpr uint16_t QZ_YPU_METAL_ONE = 0xFFFF;
struct qz_ypu_metal_grid_t {
  uint16_t width, height, depth;
};
#define QZ_YPU_METAL_GRID_X(Record, x) \
  qz_ypu_metal_grid_t { offsetof(Record, x), QZ_YPU_METAL_ONE, QZ_YPU_METAL_ONE }
#define QZ_YPU_METAL_GRID_XY(Record, x, y) \
  qz_ypu_metal_grid_t { offsetof(Record, x), offsetof(Record, y), QZ_YPU_METAL_ONE }
#define QZ_YPU_METAL_GRID_XYZ(Record, x, y, z) \
  qz_ypu_metal_grid_t { offsetof(Record, x), offsetof(Record, y), offsetof(Record, z) }

// A kernel's bindings and grid.
struct qz_ypu_metal_call_t {
  std::span<const qz_ypu_metal_binding_t> bindings;
  qz_ypu_metal_grid_t grid;
};

// Begins a compute pass with `pipeline` and binds `bindings` from `params`,
// without dispatching: entries with computed arguments (or another grid)
// then set theirs and dispatch themselves.
void qz_ypu_metal_bind(qz_ypu_metal_device_t *device, const qz_ypu_metal_pipeline_t *pipeline,
                       const void *params, std::span<const qz_ypu_metal_binding_t> bindings);
// The whole pass: begin, bind, dispatch_threads over the record's grid.
qz_status_t qz_ypu_metal_encode(qz_ypu_metal_device_t *device,
                                const qz_ypu_metal_pipeline_t *pipeline, const void *params,
                                const qz_ypu_metal_call_t &call);

// A 4-byte int argument computed by the entry (set_bytes copies it at once).
inline void qz_ypu_metal_set_int(qz_ypu_metal_device_t *device, int32_t value, int32_t index) {
  qz_ypu_metal_set_bytes(device, &value, 4, index);
}
// dispatch_threadgroups with threadgroups one SIMD-group wide (the
// pipeline's threadExecutionWidth) and `rows` tall.
inline qz_status_t qz_ypu_metal_dispatch_simd_rows(qz_ypu_metal_device_t *device,
                                                   const qz_ypu_metal_pipeline_t *pipeline,
                                                   uint32_t rows, uint32_t groups_x,
                                                   uint32_t groups_y, uint32_t groups_z) {
  const auto w = static_cast<uint32_t>(qz_ypu_metal_thread_execution_width(device, pipeline));
  return qz_ypu_metal_dispatch_threadgroups(device, pipeline, w, rows, 1, groups_x, groups_y,
                                            groups_z);
}

// A temporary device buffer of an entry (null when it cannot be had), freed
// when the entry returns: the command buffer keeps it alive until the GPU
// is done with it.
class qz_ypu_metal_temporary {
 public:
  qz_ypu_metal_temporary(qz_ypu_metal_device_t *device, int64_t bytes)
      : device_(device),
        buffer_(qz_ypu_metal_buffer_create(device, static_cast<int32_t>(bytes), 0)) {}
  ~qz_ypu_metal_temporary() { qz_ypu_metal_buffer_free(device_, buffer_); }
  qz_ypu_metal_temporary(const qz_ypu_metal_temporary &) = delete;
  qz_ypu_metal_temporary &operator=(const qz_ypu_metal_temporary &) = delete;
  qz_ypu_buffer_t *get() const { return buffer_; }

 private:
  qz_ypu_metal_device_t *device_;
  qz_ypu_buffer_t *buffer_;
};

// What an entry returns when a temporary cannot be had, its record pushed.
inline qz_status_t qz_ypu_metal_out_of_memory() {
  qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
  return QZ_STATUS_OUT_OF_MEMORY;
}

// The fixed-point kernels' threadgroups: one SIMD group wide and 16 rows
// tall, enough of them along x to cover `rows`, and `groups_y` along y.
inline qz_status_t qz_ypu_metal_dispatch_rows16(qz_ypu_metal_device_t *device,
                                                const qz_ypu_metal_pipeline_t *pipeline,
                                                int64_t rows, uint32_t groups_y) {
  return qz_ypu_metal_dispatch_simd_rows(device, pipeline, 16,
                                         static_cast<uint32_t>((rows + 15) / 16), groups_y, 1);
}

// The state-init and state-release entries of op `name` over its kernel list;
// a quiet init (ops 39 and 81) pushes neither 0xC8 nor 0x320.
#define QZ_YPU_METAL_STATE_ENTRIES_OF(name, kernels, quiet)                                  \
  qz_status_t qz_ypu_metal_##name##_init(qz_ypu_metal_device_t *device, void **state) {      \
    return qz_ypu_metal_state_init(device, state, kernels, std::size(kernels), quiet);       \
  }                                                                                          \
  void qz_ypu_metal_##name##_release(qz_ypu_metal_device_t *device, void *state) {           \
    qz_ypu_metal_state_release(device, state, std::size(kernels));                           \
  }
#define QZ_YPU_METAL_STATE_ENTRIES(name, kernels) QZ_YPU_METAL_STATE_ENTRIES_OF(name, kernels, false)
#define QZ_YPU_METAL_QUIET_STATE_ENTRIES(name, kernels) \
  QZ_YPU_METAL_STATE_ENTRIES_OF(name, kernels, true)
