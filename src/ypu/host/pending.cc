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


// rotary position tables, rotary embedding and embedding lookup


// top-k, sorting, copies, fills and transposes

