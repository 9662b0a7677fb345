// CPU entries still to be written, by family. Each declines every call,
// which sends it to the host implementation; remove a line when its kernel
// lands.
#include "ypu/cpu/ops.h"

#define QZ_YPU_CPU_PENDING(name) \
  qz_status_t qz_ypu_cpu_##name(void *, void *, const void *) { return QZ_STATUS_INVALID_ARGUMENT; }

// element-wise arithmetic, conversions and reductions


// normalisation, activations and softmax


// attention primitives and key/value caches


// fixed-point convolution, linear, LSTM and quantisation

QZ_YPU_CPU_PENDING(dwconv1d_acc_i8i16)
QZ_YPU_CPU_PENDING(conv1d_i8i16)
QZ_YPU_CPU_PENDING(dwconv1d_transposed_i8i16)
QZ_YPU_CPU_PENDING(linear_acc_i8i16)
QZ_YPU_CPU_PENDING(linear_i8i16)
QZ_YPU_CPU_PENDING(lstm_cell_i16)
QZ_YPU_CPU_PENDING(quantize_rows_i16)
QZ_YPU_CPU_PENDING(affine_columns_i16)

// resizes, 2-D convolution, matrix products and spectrum


// rotary position tables, rotary embedding and embedding lookup

