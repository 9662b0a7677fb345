// Kernel-less data movement: copies and fills queued on the default stream.
// Each op's module holds only the fixed-point tables every module carries.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

namespace {

const qz_ypu_cuda_runtime_t &rt() { return *qz_ypu_cuda_runtime(); }

size_t bytes(int64_t n) { return static_cast<size_t>(n); }

}  // namespace

#if QZ_CUDA_BUILDS(COPY_BYTES)
qz_status_t qz_ypu_cuda_copy_bytes(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_copy_bytes_params_t *>(params);
  if (rt().memcpy_async(qz_ypu_cuda_operand<char>(p.out, p.out_offset),
                        qz_ypu_cuda_operand<char>(p.in, p.in_offset),
                        bytes(static_cast<intptr_t>(p.count)), QZ_CUDA_DEVICE_TO_DEVICE,
                        nullptr) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_TO_DEVICE);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  return QZ_STATUS_SUCCESS;
}
#endif

#if QZ_CUDA_BUILDS(FILL_ZERO)
qz_status_t qz_ypu_cuda_fill_zero(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_fill_zero_params_t *>(params);
  if (rt().memset_async(qz_ypu_cuda_operand<char>(p.data, p.offset), 0,
                        bytes(static_cast<intptr_t>(p.count)), nullptr) != 0) {
    qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_KERNEL);
    return QZ_STATUS_RUNTIME_ERROR;
  }
  return QZ_STATUS_SUCCESS;
}
#endif

// Each batch: the input rows into the top-left of the output block, zeros
// to the right of them, zeros below them.
#if QZ_CUDA_BUILDS(ZERO_PAD_2D)
qz_status_t qz_ypu_cuda_zero_pad_2d(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_zero_pad_2d_params_t *>(params);
  const int64_t out_pitch = int64_t{p.depth} * p.out_cols * 4;
  const int64_t in_pitch = int64_t{p.depth} * p.in_cols * 4;
  auto *out = qz_ypu_cuda_operand<char>(p.out);
  auto *in = qz_ypu_cuda_operand<char>(p.in);
  for (int32_t i = 0; i < p.batch; ++i) {
    char *block = out + int64_t{i} * p.out_rows * out_pitch;
    if (rt().memcpy_2d_async(block, bytes(out_pitch), in + int64_t{i} * p.in_rows * in_pitch,
                             bytes(in_pitch), bytes(in_pitch), bytes(p.in_rows),
                             QZ_CUDA_DEVICE_TO_DEVICE, nullptr) != 0) {
      qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_TO_DEVICE);
      return QZ_STATUS_RUNTIME_ERROR;
    }
    if (rt().memset_2d_async(block + in_pitch, bytes(out_pitch), 0, bytes(out_pitch - in_pitch),
                             bytes(p.in_rows), nullptr) != 0 ||
        rt().memset_async(block + p.in_rows * out_pitch, 0,
                          bytes((int64_t{p.out_rows} - p.in_rows) * out_pitch), nullptr) != 0) {
      qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_KERNEL);
      return QZ_STATUS_RUNTIME_ERROR;
    }
  }
  return QZ_STATUS_SUCCESS;
}
#endif

// Each batch: the leading rows x sub_rows x width floats of its input block.
#if QZ_CUDA_BUILDS(COPY_BLOCK)
qz_status_t qz_ypu_cuda_copy_block(void *, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_copy_block_params_t *>(params);
  const int64_t out_pitch = int64_t{p.width} * p.sub_rows * 4;
  const int64_t in_pitch = int64_t{p.width} * p.in_sub_rows * 4;
  auto *out = qz_ypu_cuda_operand<char>(p.out);
  auto *in = qz_ypu_cuda_operand<char>(p.in);
  for (int32_t i = 0; i < p.batch; ++i) {
    if (rt().memcpy_2d_async(out + int64_t{i} * p.rows * out_pitch, bytes(out_pitch),
                             in + int64_t{i} * p.in_rows * in_pitch, bytes(in_pitch), bytes(out_pitch),
                             bytes(p.rows), QZ_CUDA_DEVICE_TO_DEVICE, nullptr) != 0) {
      qz_ypu_cuda_fail(QZ_YPU_CUDA_ERROR_TO_DEVICE);
      return QZ_STATUS_RUNTIME_ERROR;
    }
  }
  return QZ_STATUS_SUCCESS;
}
#endif

QZ_CUDA_END
