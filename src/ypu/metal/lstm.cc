// Metal entries of the fixed-point LSTM cell.
#include "ypu/metal/kernel_op.h"
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

}  // namespace

QZ_YPU_METAL_QUIET_ONE_KERNEL_OP(lstm_cell_i16, "taabe221", LSTM_CELL)
