// Host (reference) implementations of every operation. They reach operand
// memory only through the backend's map/unmap, so they run on any backend.
#pragma once

#include "ypu/ypu.h"

#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) \
  qz_status_t qz_ypu_host_##name(qz_ypu_context_t *context, const void *params);
#include "ypu/ops.inc"
#undef QZ_YPU_OP
