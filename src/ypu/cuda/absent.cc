// GPU entry points of a Linux build without the CUDA backend: no device is
// ever found, so "gpu" fails the way it does on a machine without a GPU.
#include "ypu/cuda/device.h"
#include "ypu/records.h"

qz_status_t qz_ypu_cuda_device_open(int32_t index, void **) {
  qz_error_push("", 0, &QZ_YPU_ERROR_GPU_INDEX, index, 0);
  return QZ_STATUS_INVALID_ARGUMENT;
}

void qz_ypu_cuda_device_close(void *) {}
