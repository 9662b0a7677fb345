// Metal entries of the fixed-point LSTM cell.
#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"
#include "ypu/params.h"

namespace {

using cell = qz_ypu_lstm_cell_i16_params_t;
constexpr qz_ypu_metal_binding_t LSTM_CELL_BINDINGS[] = {
    QZ_YPU_METAL_BYTES(cell, hidden, 0),  // "length"
    QZ_YPU_METAL_BUFFER(cell, out, out_offset, 1),
    QZ_YPU_METAL_BUFFER(cell, state, state_offset, 2),
    QZ_YPU_METAL_BUFFER(cell, gates, gates_offset, 3),
};
constexpr qz_ypu_metal_call_t LSTM_CELL{LSTM_CELL_BINDINGS, QZ_YPU_METAL_GRID_X(cell, hidden)};

constexpr const char *LSTM_CELL_I16_KERNELS[] = {"taabe221"};

}  // namespace

QZ_YPU_METAL_QUIET_STATE_ENTRIES(lstm_cell_i16, LSTM_CELL_I16_KERNELS)

qz_status_t qz_ypu_metal_lstm_cell_i16(qz_ypu_metal_device_t *device, void *state,
                                       const void *params) {
  return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, LSTM_CELL);
}
