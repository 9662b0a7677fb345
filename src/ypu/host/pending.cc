// Host implementations still to be written, by family. Each refuses every
// call, so a caller sees QZ_STATUS_INVALID_ARGUMENT; remove a line when its
// operation gets its real implementation.
#include "ypu/host/host.h"

#define QZ_YPU_HOST_PENDING(name) \
  qz_status_t qz_ypu_host_##name(qz_ypu_context_t *, const void *) { return QZ_STATUS_INVALID_ARGUMENT; }

// element-wise arithmetic, conversions and reductions

QZ_YPU_HOST_PENDING(add_sat_i16)
QZ_YPU_HOST_PENDING(add_row_f32)
QZ_YPU_HOST_PENDING(add_col_f32)
QZ_YPU_HOST_PENDING(add_scalar_f32)
QZ_YPU_HOST_PENDING(convert_i32_f32)
QZ_YPU_HOST_PENDING(convert_i16_f32)
QZ_YPU_HOST_PENDING(div_f32)
QZ_YPU_HOST_PENDING(div_row_f32)
QZ_YPU_HOST_PENDING(scalar_div_f32)
QZ_YPU_HOST_PENDING(exp_f32)
QZ_YPU_HOST_PENDING(reverse_rows)
QZ_YPU_HOST_PENDING(log_f32)
QZ_YPU_HOST_PENDING(mean_rows_f32)
QZ_YPU_HOST_PENDING(mul_f32)
QZ_YPU_HOST_PENDING(mul_row_f32)
QZ_YPU_HOST_PENDING(fma_row_f32)
QZ_YPU_HOST_PENDING(mul_col_f32)
QZ_YPU_HOST_PENDING(mul_scalar_f32)
QZ_YPU_HOST_PENDING(scale_bias_i16)
QZ_YPU_HOST_PENDING(relu_f32)
QZ_YPU_HOST_PENDING(relu_i16)
QZ_YPU_HOST_PENDING(sub_f32)
QZ_YPU_HOST_PENDING(sub_row_f32)
QZ_YPU_HOST_PENDING(sub_col_f32)
QZ_YPU_HOST_PENDING(rsub_scalar_f32)
QZ_YPU_HOST_PENDING(sum_rows_i16)

// normalisation, activations and softmax


// attention primitives and key/value caches

QZ_YPU_HOST_PENDING(attention_kv_u8)
QZ_YPU_HOST_PENDING(attention_kv_u16)
QZ_YPU_HOST_PENDING(gather_rows)
QZ_YPU_HOST_PENDING(shift_rows_left)
QZ_YPU_HOST_PENDING(quantize_rows_u8)
QZ_YPU_HOST_PENDING(gather_clamped)
QZ_YPU_HOST_PENDING(add_bias_2d_f32)
QZ_YPU_HOST_PENDING(attention_blocked_f32)
QZ_YPU_HOST_PENDING(mask_window_f32)
QZ_YPU_HOST_PENDING(attention_values_f32)
QZ_YPU_HOST_PENDING(attention_values_cache_u8)
QZ_YPU_HOST_PENDING(attention_scores_f32)
QZ_YPU_HOST_PENDING(attention_scores_cache_u8)
QZ_YPU_HOST_PENDING(quantize_rows_ring_u8)
QZ_YPU_HOST_PENDING(quantize_rows_ring_u16)

// composite attention

QZ_YPU_HOST_PENDING(attention_f32)
QZ_YPU_HOST_PENDING(attention_bias_f32)
QZ_YPU_HOST_PENDING(attention_bias_cache_u8)
QZ_YPU_HOST_PENDING(attention_window_f32)
QZ_YPU_HOST_PENDING(attention_window_cache_u8)
QZ_YPU_HOST_PENDING(attention_cache_u8)

// fixed-point convolution, linear, LSTM and quantisation


// resizes, 2-D convolution, matrix products and spectrum

QZ_YPU_HOST_PENDING(resize_bicubic_f32)
QZ_YPU_HOST_PENDING(resize_bilinear_f32)
QZ_YPU_HOST_PENDING(conv2d_f32)
QZ_YPU_HOST_PENDING(matmul_nt_batched_f32)
QZ_YPU_HOST_PENDING(resize_linear_f32)
QZ_YPU_HOST_PENDING(polar_spectrum_f32)

// low-bit linear and repack


// rotary position tables, rotary embedding and embedding lookup


// top-k, sorting, copies, fills and transposes

QZ_YPU_HOST_PENDING(topk_sort_softmax_f32)
QZ_YPU_HOST_PENDING(topk_sort_f32)
QZ_YPU_HOST_PENDING(copy_bytes)
QZ_YPU_HOST_PENDING(fill_zero)
QZ_YPU_HOST_PENDING(zero_pad_2d)
QZ_YPU_HOST_PENDING(topk_f32)
QZ_YPU_HOST_PENDING(transpose)
QZ_YPU_HOST_PENDING(copy_block)
