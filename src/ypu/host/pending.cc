// Host implementations still to be written, by family. Each refuses every
// call, so a caller sees QZ_STATUS_INVALID_ARGUMENT; remove a line when its
// operation gets its real implementation.
#include "ypu/host/host.h"

#define QZ_YPU_HOST_PENDING(name) \
  qz_status_t qz_ypu_host_##name(qz_ypu_context_t *, const void *) { return QZ_STATUS_INVALID_ARGUMENT; }

// element-wise arithmetic, conversions and reductions


// normalisation, activations and softmax


// attention primitives and key/value caches

// composite attention

// fixed-point convolution, linear, LSTM and quantisation


// resizes, 2-D convolution, matrix products and spectrum


// low-bit linear and repack

QZ_YPU_HOST_PENDING(linear_lowbit)
QZ_YPU_HOST_PENDING(repack_lowbit)

// rotary position tables, rotary embedding and embedding lookup

QZ_YPU_HOST_PENDING(rope_apply_table_f32)
QZ_YPU_HOST_PENDING(embedding_scale_add_f32)
QZ_YPU_HOST_PENDING(rope_table_3axis_f32)
QZ_YPU_HOST_PENDING(rope_table_scaled_f32)
QZ_YPU_HOST_PENDING(rope_expfreq_f32)
QZ_YPU_HOST_PENDING(rope2d_f32)

// top-k, sorting, copies, fills and transposes

