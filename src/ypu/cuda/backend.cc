// The CUDA backend: column 1 of the dispatch tables. Every entry that
// reaches the GPU passes through one of the wrappers below first, which make
// the context's device current on the calling thread (the runtime keeps the
// current device per thread, and a context may be used from any thread and
// after other devices were opened) and decline operands the GPU could not
// read.
#include <array>
#include <cstddef>
#include <cstring>

#include "ypu/cuda/device.h"
#include "ypu/cuda/ops.h"
#include "ypu/params.h"

QZ_CUDA_BEGIN

namespace {

// The byte offsets of an op's record that its entry turns into pointers to
// elements wider than a byte, with the element size.
struct qz_ypu_cuda_offset_t {
  uint16_t at;    // offsetof the int32 offset field in the record
  uint8_t bytes;  // element size
};
struct qz_ypu_cuda_offsets_t {
  qz_ypu_cuda_offset_t offset[4];
};

#define QZ_AT(record, field, bytes) \
  qz_ypu_cuda_offset_t { static_cast<uint16_t>(offsetof(record, field)), bytes }
#define QZ_OFFSETS(NAME, ...) table[QZ_YPU_OP_##NAME] = {{__VA_ARGS__}}
#define QZ_TWO(NAME, record, o, a, b) \
  QZ_OFFSETS(NAME, QZ_AT(record, out_offset, o), QZ_AT(record, a_offset, a), \
             QZ_AT(record, b_offset, b))
#define QZ_BROADCAST(NAME)                                                               \
  QZ_OFFSETS(NAME, QZ_AT(broadcast, out_offset, 4), QZ_AT(broadcast, a_offset, 4), \
             QZ_AT(broadcast, v_offset, 4))
#define QZ_OUT_IN(NAME, record, o, i) \
  QZ_OFFSETS(NAME, QZ_AT(record, out_offset, o), QZ_AT(record, in_offset, i))

constexpr std::array<qz_ypu_cuda_offsets_t, QZ_YPU_OP_COUNT> qz_ypu_cuda_offset_table() {
  std::array<qz_ypu_cuda_offsets_t, QZ_YPU_OP_COUNT> table{};
  using two = qz_ypu_two_input_params_t;
  using unary = qz_ypu_unary_params_t;
  using scalar = qz_ypu_scalar_params_t;
  using broadcast = qz_ypu_broadcast_params_t;
  using matrix = qz_ypu_matrix_params_t;
  QZ_TWO(ADD_F32, two, 4, 4, 4);
  QZ_TWO(DIV_F32, two, 4, 4, 4);
  QZ_TWO(MUL_F32, two, 4, 4, 4);
  QZ_TWO(SUB_F32, two, 4, 4, 4);
  QZ_TWO(ADD_SAT_I16, two, 2, 2, 2);
  QZ_OUT_IN(ADD_SCALAR_F32, scalar, 4, 4);
  QZ_OUT_IN(SCALAR_DIV_F32, scalar, 4, 4);
  QZ_OUT_IN(MUL_SCALAR_F32, scalar, 4, 4);
  QZ_OUT_IN(RSUB_SCALAR_F32, scalar, 4, 4);
  QZ_OUT_IN(CONVERT_I32_F32, unary, 4, 4);
  QZ_OUT_IN(CONVERT_I16_F32, unary, 4, 2);
  QZ_OUT_IN(EXP_F32, unary, 4, 4);
  QZ_OUT_IN(LOG_F32, unary, 4, 4);
  QZ_OUT_IN(RELU_F32, unary, 4, 4);
  QZ_OUT_IN(GELU_TANH_F32, unary, 4, 4);
  QZ_OUT_IN(GELU_SIGMOID_F32, unary, 4, 4);
  QZ_OUT_IN(GELU_ERF_F32, unary, 4, 4);
  QZ_OUT_IN(SILU_F32, unary, 4, 4);
  QZ_OUT_IN(RELU_I16, unary, 2, 2);
  QZ_OUT_IN(SIGMOID_I16, unary, 2, 2);
  QZ_OUT_IN(SIGMOID_Q10_I16, unary, 2, 2);
  QZ_OUT_IN(SIGMOID_TABLE_F32, unary, 4, 4);
  QZ_OUT_IN(TANH_TABLE_F32, unary, 4, 4);
  QZ_OUT_IN(SCALE_BIAS_I16, qz_ypu_scale_bias_i16_params_t, 2, 2);
  QZ_OUT_IN(AFFINE_COLUMNS_I16, qz_ypu_affine_columns_i16_params_t, 2, 2);
  QZ_BROADCAST(ADD_ROW_F32);
  QZ_BROADCAST(ADD_COL_F32);
  QZ_BROADCAST(FMA_ROW_F32);
  QZ_BROADCAST(DIV_ROW_F32);
  QZ_BROADCAST(MUL_ROW_F32);
  QZ_BROADCAST(MUL_COL_F32);
  QZ_BROADCAST(SUB_ROW_F32);
  QZ_BROADCAST(SUB_COL_F32);
  QZ_OFFSETS(REVERSE_ROWS, QZ_AT(qz_ypu_reverse_rows_params_t, offset, 4));
  using layer_norm = qz_ypu_layer_norm_f32_params_t;
  QZ_OFFSETS(LAYER_NORM_F32, QZ_AT(layer_norm, out_offset, 4), QZ_AT(layer_norm, in_offset, 4),
             QZ_AT(layer_norm, gamma_offset, 4), QZ_AT(layer_norm, beta_offset, 4));
  QZ_OUT_IN(LAYER_NORM_PLAIN_F32, qz_ypu_layer_norm_plain_f32_params_t, 4, 4);
  using rms = qz_ypu_rms_norm_f32_params_t;
  QZ_OFFSETS(RMS_NORM_F32, QZ_AT(rms, out_offset, 4), QZ_AT(rms, in_offset, 4),
             QZ_AT(rms, gamma_offset, 4));
  using columns = qz_ypu_layer_norm_columns_f32_params_t;
  QZ_OFFSETS(LAYER_NORM_COLUMNS_F32, QZ_AT(columns, out_offset, 4), QZ_AT(columns, in_offset, 4),
             QZ_AT(columns, gamma_offset, 4), QZ_AT(columns, beta_offset, 4));
  QZ_OUT_IN(MEAN_ROWS_F32, matrix, 4, 4);
  QZ_OUT_IN(SOFTMAX_F32, matrix, 4, 4);
  QZ_OUT_IN(SOFTMAX_FIXED_I16, matrix, 4, 2);
  QZ_OUT_IN(POLAR_SPECTRUM_F32, matrix, 4, 4);
  using lstm = qz_ypu_lstm_cell_i16_params_t;
  QZ_OFFSETS(LSTM_CELL_I16, QZ_AT(lstm, out_offset, 2), QZ_AT(lstm, state_offset, 2),
             QZ_AT(lstm, gates_offset, 2));
  QZ_OUT_IN(DWCONV1D_ACC_I8I16, qz_ypu_dwconv1d_acc_i8i16_params_t, 4, 2);
  QZ_OUT_IN(CONV1D_I8I16, qz_ypu_conv1d_i8i16_params_t, 4, 2);
  QZ_OUT_IN(DWCONV1D_TRANSPOSED_I8I16, qz_ypu_dwconv1d_transposed_i8i16_params_t, 4, 2);
  QZ_OUT_IN(LINEAR_ACC_I8I16, qz_ypu_linear_acc_i8i16_params_t, 2, 2);
  QZ_OUT_IN(LINEAR_I8I16, qz_ypu_linear_i8i16_params_t, 2, 2);
  QZ_OFFSETS(ROPE_TABLE_3AXIS_F32, QZ_AT(qz_ypu_rope_table_3axis_f32_params_t, out_offset, 4));
  QZ_TWO(MATMUL_NT_F32, qz_ypu_matmul_nt_f32_params_t, 4, 4, 4);
  using scaled = qz_ypu_rope_table_scaled_f32_params_t;
  QZ_OFFSETS(ROPE_TABLE_SCALED_F32, QZ_AT(scaled, out_offset, 4),
             QZ_AT(scaled, factors_offset, 4));
  QZ_OUT_IN(LINEAR_LOWBIT, qz_ypu_linear_lowbit_params_t, 4, 4);
  using quantize = qz_ypu_quantize_rows_i16_params_t;
  QZ_OFFSETS(QUANTIZE_ROWS_I16, QZ_AT(quantize, out_offset, 2),
             QZ_AT(quantize, factors_offset, 4), QZ_AT(quantize, in_offset, 4));
  QZ_OFFSETS(QUANTIZE_ROWS_U8, QZ_AT(qz_ypu_quantize_rows_u8_params_t, xf_offset, 4));
  using topk = qz_ypu_topk_f32_params_t;
  QZ_OFFSETS(TOPK_F32, QZ_AT(topk, in_offset, 4), QZ_AT(topk, values_offset, 4),
             QZ_AT(topk, indices_offset, 4));
  return table;
}

#undef QZ_OUT_IN
#undef QZ_BROADCAST
#undef QZ_TWO
#undef QZ_OFFSETS
#undef QZ_AT

constexpr std::array<qz_ypu_cuda_offsets_t, QZ_YPU_OP_COUNT> QZ_YPU_CUDA_OFFSETS =
    qz_ypu_cuda_offset_table();

qz_ypu_cuda_device_t *cuda_device(void *device) {
  return static_cast<qz_ypu_cuda_device_t *>(device);
}

template <qz_ypu_execute_fn entry, uint32_t op>
qz_status_t qz_ypu_cuda_execute(void *device, void *state, const void *params) {
  // Declined without a message: the dispatcher runs the host implementation.
  if (!qz_ypu_cuda_offsets_aligned(op, params)) return QZ_STATUS_INVALID_ARGUMENT;
  const qz_status_t status = qz_ypu_cuda_make_current(cuda_device(device));
  return status == QZ_STATUS_SUCCESS ? entry(device, state, params) : status;
}

constexpr std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> qz_ypu_cuda_execute_table() {
  std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> table{};
#define QZ_YPU_CUDA_ENTRY(NAME, name, family) \
  table[QZ_YPU_OP_##NAME] = qz_ypu_cuda_execute<qz_ypu_cuda_##name, QZ_YPU_OP_##NAME>;
#include "ypu/cuda/entries.inc"
#undef QZ_YPU_CUDA_ENTRY
  return table;
}

constexpr std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> QZ_YPU_CUDA_EXECUTE =
    qz_ypu_cuda_execute_table();

// The device and buffer entries on the context's device. A buffer entry
// without a device (none to select) runs as it is.
bool on_device(void *device) {
  return !device || qz_ypu_cuda_make_current(cuda_device(device)) == QZ_STATUS_SUCCESS;
}

void device_close(void *device) {
  // The streams and events belong to the device; the records go whatever
  // happens.
  on_device(device);
  qz_ypu_cuda_device_release(device);
}

qz_status_t buffer_upload(void *device, qz_ypu_buffer_t *buffer, const void *source,
                          int32_t offset, int32_t length) {
  if (!on_device(device)) return QZ_STATUS_RUNTIME_ERROR;
  return qz_ypu_cuda_buffer_upload(device, buffer, source, offset, length);
}

qz_status_t buffer_download(void *device, qz_ypu_buffer_t *buffer, void *destination,
                            int32_t offset, int32_t length) {
  if (!on_device(device)) return QZ_STATUS_RUNTIME_ERROR;
  return qz_ypu_cuda_buffer_download(device, buffer, destination, offset, length);
}

qz_ypu_buffer_t *buffer_create(void *device, int32_t size, int32_t flags) {
  return on_device(device) ? qz_ypu_cuda_buffer_create(device, size, flags) : nullptr;
}

void *buffer_map(void *device, qz_ypu_buffer_t *buffer, int32_t mode) {
  return on_device(device) ? qz_ypu_cuda_buffer_map(device, buffer, mode) : nullptr;
}

// Unmap and free always release the host side; their copies and frees then
// go wherever the runtime can take them.
void buffer_unmap(void *device, qz_ypu_buffer_t *buffer, int32_t mode) {
  on_device(device);
  qz_ypu_cuda_buffer_unmap(device, buffer, mode);
}

void buffer_free(void *device, qz_ypu_buffer_t *buffer) {
  on_device(device);
  qz_ypu_cuda_buffer_free(device, buffer);
}

}  // namespace

bool qz_ypu_cuda_offsets_aligned(uint32_t op, const void *params) {
  if (op >= QZ_YPU_OP_COUNT) return true;
  for (const qz_ypu_cuda_offset_t &o : QZ_YPU_CUDA_OFFSETS[op].offset) {
    if (o.bytes < 2) continue;
    int32_t offset;
    std::memcpy(&offset, static_cast<const char *>(params) + o.at, sizeof offset);
    if (offset % o.bytes != 0) return false;
  }
  return true;
}

extern const qz_ypu_backend_t QZ_YPU_CUDA_BACKEND = {
    .device =
        {
            .device_close = device_close,
            .buffer_upload = buffer_upload,
            .buffer_download = buffer_download,
            .device_list_free = qz_ypu_cuda_device_list_free,
            .device_list = qz_ypu_cuda_device_list,
            .buffer_create = buffer_create,
            .buffer_map = buffer_map,
            .buffer_unmap = buffer_unmap,
            .buffer_free = buffer_free,
            .host_alloc = qz_ypu_cuda_host_alloc,
            .host_free = qz_ypu_cuda_host_free,
            .buffer_size = qz_ypu_cuda_buffer_size,
        },
    .execute = QZ_YPU_CUDA_EXECUTE.data(),
    .state_init = nullptr,
    .state_release = nullptr,
};

QZ_CUDA_END
