// CPU entries still to be written, by family. Each declines every call,
// which sends it to the host implementation; remove a line when its kernel
// lands.
#include "ypu/cpu/ops.h"

#define QZ_YPU_CPU_PENDING(name) \
  qz_status_t qz_ypu_cpu_##name(void *, void *, const void *) { return QZ_STATUS_INVALID_ARGUMENT; }

// element-wise arithmetic, conversions and reductions


// normalisation, activations and softmax


// attention primitives and key/value caches



// resizes, 2-D convolution, matrix products and spectrum


// rotary position tables, rotary embedding and embedding lookup

