// The CUDA execute entries (see entries.inc for the list).
#pragma once

#include "ypu/ypu.h"
#include "ypu/cuda/runtime.h"

QZ_CUDA_BEGIN
#define QZ_YPU_CUDA_ENTRY(NAME, name, family) \
  qz_status_t qz_ypu_cuda_##name(void *device, void *state, const void *params);
#include "ypu/cuda/entries.inc"
#undef QZ_YPU_CUDA_ENTRY
QZ_CUDA_END
