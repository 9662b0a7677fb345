// Element-wise float operations: one thread per element, grid (n + 255) >> 8
// of 256 threads.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

// Each launcher is kept only in the modules of the ops that use it.
namespace {

#if QZ_CUDA_BUILDS(ADD_F32) || QZ_CUDA_BUILDS(DIV_F32) || QZ_CUDA_BUILDS(MUL_F32) || \
    QZ_CUDA_BUILDS(SUB_F32)
qz_status_t launch_two(void (*kernel)(int, float *, float *, float *), const void *params) {
  const auto &p = *static_cast<const qz_ypu_two_input_params_t *>(params);
  qz_cuda_launch(kernel, {qz_cuda_blocks_256(p.count)}, {256}, p.count,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<float>(p.a, p.a_offset),
                 qz_ypu_cuda_operand<float>(p.b, p.b_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

#if QZ_CUDA_BUILDS(ADD_SCALAR_F32) || QZ_CUDA_BUILDS(SCALAR_DIV_F32) || \
    QZ_CUDA_BUILDS(MUL_SCALAR_F32) || QZ_CUDA_BUILDS(RSUB_SCALAR_F32)
qz_status_t launch_scalar(void (*kernel)(int, float *, float, float *), const void *params) {
  const auto &p = *static_cast<const qz_ypu_scalar_params_t *>(params);
  qz_cuda_launch(kernel, {qz_cuda_blocks_256(p.count)}, {256}, p.count,
                 qz_ypu_cuda_operand<float>(p.out, p.out_offset), p.scalar,
                 qz_ypu_cuda_operand<float>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}
#endif

}  // namespace

#define QZ_CUDA_ENTRY(name, launcher, kernel)                                      \
  qz_status_t qz_ypu_cuda_##name(void *, void *, const void *params) {             \
    return launcher(kernel, params);                                               \
  }

#define QZ_CUDA_INDEX_OR_RETURN(n)                  \
  const int i = blockIdx.x * blockDim.x + threadIdx.x; \
  if (i >= (n)) return

// Two operands.
#if QZ_CUDA_BUILDS(ADD_F32)
QZ_CUDA_KERNEL void taabe187(int n, float *out, float *a, float *b) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = a[i] + b[i];
}
QZ_CUDA_ENTRY(add_f32, launch_two, taabe187)
#endif
#if QZ_CUDA_BUILDS(DIV_F32)
QZ_CUDA_KERNEL void taabe184(int n, float *out, float *a, float *b) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = a[i] / b[i];
}
QZ_CUDA_ENTRY(div_f32, launch_two, taabe184)
#endif
#if QZ_CUDA_BUILDS(MUL_F32)
QZ_CUDA_KERNEL void taabe340(int n, float *out, float *a, float *b) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = a[i] * b[i];
}
QZ_CUDA_ENTRY(mul_f32, launch_two, taabe340)
#endif
#if QZ_CUDA_BUILDS(SUB_F32)
QZ_CUDA_KERNEL void taabe239(int n, float *out, float *a, float *b) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = a[i] - b[i];
}
QZ_CUDA_ENTRY(sub_f32, launch_two, taabe239)
#endif

// A scalar and one operand.
#if QZ_CUDA_BUILDS(ADD_SCALAR_F32)
QZ_CUDA_KERNEL void taabe248(int n, float *out, float s, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = in[i] + s;
}
QZ_CUDA_ENTRY(add_scalar_f32, launch_scalar, taabe248)
#endif
#if QZ_CUDA_BUILDS(SCALAR_DIV_F32)
QZ_CUDA_KERNEL void taabe18(int n, float *out, float s, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = s / in[i];
}
QZ_CUDA_ENTRY(scalar_div_f32, launch_scalar, taabe18)
#endif
#if QZ_CUDA_BUILDS(MUL_SCALAR_F32)
QZ_CUDA_KERNEL void taabe270(int n, float *out, float s, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = in[i] * s;
}
QZ_CUDA_ENTRY(mul_scalar_f32, launch_scalar, taabe270)
#endif
#if QZ_CUDA_BUILDS(RSUB_SCALAR_F32)
QZ_CUDA_KERNEL void taabe169(int n, float *out, float s, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = s - in[i];
}
QZ_CUDA_ENTRY(rsub_scalar_f32, launch_scalar, taabe169)
#endif

// Conversions and functions of one operand.
#if QZ_CUDA_BUILDS(CONVERT_I32_F32)
QZ_CUDA_KERNEL void taabe271(int n, float *out, int *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = static_cast<float>(in[i]);
}
QZ_CUDA_ENTRY(convert_i32_f32, qz_cuda_launch_unary, taabe271)
#endif
#if QZ_CUDA_BUILDS(CONVERT_I16_F32)
QZ_CUDA_KERNEL void taabe164(int n, float *out, short *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = static_cast<float>(in[i]) * 0.0009765625f;
}
QZ_CUDA_ENTRY(convert_i16_f32, qz_cuda_launch_unary, taabe164)
#endif
#if QZ_CUDA_BUILDS(EXP_F32)
QZ_CUDA_KERNEL void taabe124(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = expf(in[i]);
}
QZ_CUDA_ENTRY(exp_f32, qz_cuda_launch_unary, taabe124)
#endif
#if QZ_CUDA_BUILDS(LOG_F32)
QZ_CUDA_KERNEL void taabe137(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = logf(in[i]);
}
QZ_CUDA_ENTRY(log_f32, qz_cuda_launch_unary, taabe137)
#endif
#if QZ_CUDA_BUILDS(RELU_F32)
QZ_CUDA_KERNEL void taabe42(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  out[i] = fmaxf(in[i], 0.0f);
}
QZ_CUDA_ENTRY(relu_f32, qz_cuda_launch_unary, taabe42)
#endif
#if QZ_CUDA_BUILDS(GELU_TANH_F32)
QZ_CUDA_KERNEL void taabe22(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  const float x = in[i];
  const float u = fmaf(x * x * x, 0.044715f, x);
  const float v = static_cast<float>(static_cast<double>(u) * 0.7978845608028654);
  out[i] = (0.5f * x) * (1.0f + tanhf(v));
}
QZ_CUDA_ENTRY(gelu_tanh_f32, qz_cuda_launch_unary, taabe22)
#endif
#if QZ_CUDA_BUILDS(GELU_SIGMOID_F32)
QZ_CUDA_KERNEL void taabe56(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  const float x = in[i];
  out[i] = x / (1.0f + expf(x * -1.702f));
}
QZ_CUDA_ENTRY(gelu_sigmoid_f32, qz_cuda_launch_unary, taabe56)
#endif
#if QZ_CUDA_BUILDS(GELU_ERF_F32)
QZ_CUDA_KERNEL void taabe318(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  const float x = in[i];
  out[i] = (0.5f * x) * (1.0f + erff(x * 0.70710677f));
}
QZ_CUDA_ENTRY(gelu_erf_f32, qz_cuda_launch_unary, taabe318)
#endif
#if QZ_CUDA_BUILDS(SILU_F32)
QZ_CUDA_KERNEL void taabe0(int n, float *out, float *in) {
  QZ_CUDA_INDEX_OR_RETURN(n);
  const float x = in[i];
  out[i] = x / (1.0f + expf(-x));
}
QZ_CUDA_ENTRY(silu_f32, qz_cuda_launch_unary, taabe0)
#endif

#undef QZ_CUDA_ENTRY

QZ_CUDA_END
