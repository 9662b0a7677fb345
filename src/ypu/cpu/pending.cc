// CPU entries still to be written, by family. Each declines every call,
// which sends it to the host implementation; remove a line when its kernel
// lands.
#include "ypu/cpu/ops.h"

#define QZ_YPU_CPU_PENDING(name) \
  qz_status_t qz_ypu_cpu_##name(void *, void *, const void *) { return QZ_STATUS_INVALID_ARGUMENT; }

// element-wise arithmetic, conversions and reductions

QZ_YPU_CPU_PENDING(add_f32)
QZ_YPU_CPU_PENDING(add_sat_i16)
QZ_YPU_CPU_PENDING(mul_row_f32)

// normalisation, activations and softmax

QZ_YPU_CPU_PENDING(gelu_tanh_f32)
QZ_YPU_CPU_PENDING(gelu_erf_f32)
QZ_YPU_CPU_PENDING(silu_f32)
QZ_YPU_CPU_PENDING(softmax_f32)
QZ_YPU_CPU_PENDING(softmax_fixed_i16)

// attention primitives and key/value caches

QZ_YPU_CPU_PENDING(attention_kv_u8)
QZ_YPU_CPU_PENDING(attention_kv_u16)
QZ_YPU_CPU_PENDING(attention_blocked_f32)
QZ_YPU_CPU_PENDING(attention_values_f32)
QZ_YPU_CPU_PENDING(attention_values_cache_u8)
QZ_YPU_CPU_PENDING(attention_scores_f32)
QZ_YPU_CPU_PENDING(attention_scores_cache_u8)


// resizes, 2-D convolution, matrix products and spectrum

QZ_YPU_CPU_PENDING(conv2d_f32)
QZ_YPU_CPU_PENDING(matmul_nt_batched_f32)
QZ_YPU_CPU_PENDING(matmul_nt_f32)

// low-bit linear and repack

QZ_YPU_CPU_PENDING(linear_lowbit)
QZ_YPU_CPU_PENDING(repack_lowbit)

// rotary position tables, rotary embedding and embedding lookup

QZ_YPU_CPU_PENDING(rope2d_f32)
