// Declarations of every Metal operation entry listed in entries.inc.
#pragma once

#include "ypu/metal/device.h"

#define QZ_YPU_METAL_BLIT(NAME, name) \
  qz_status_t qz_ypu_metal_##name(qz_ypu_metal_device_t *device, void *state, const void *params);
#define QZ_YPU_METAL_OP(NAME, name)                                                         \
  qz_status_t qz_ypu_metal_##name##_init(qz_ypu_metal_device_t *device, void **state);      \
  void qz_ypu_metal_##name##_release(qz_ypu_metal_device_t *device, void *state);           \
  QZ_YPU_METAL_BLIT(NAME, name)
#include "ypu/metal/entries.inc"
#undef QZ_YPU_METAL_OP
#undef QZ_YPU_METAL_BLIT
