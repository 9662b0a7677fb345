// Opening and closing a CUDA device.
#pragma once

#include <cstdint>

#include "ypu/ypu.h"

qz_status_t qz_ypu_cuda_device_open(int32_t index, void **out);
void qz_ypu_cuda_device_close(void *device);
