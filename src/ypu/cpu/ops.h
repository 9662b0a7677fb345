// CPU execute entries: every op the CPU backend runs itself.
#pragma once

#include "ypu/ypu.h"

#define QZ_YPU_CPU_DECLARE_0(name)
#define QZ_YPU_CPU_DECLARE_1(name) \
  qz_status_t qz_ypu_cpu_##name(void *device, void *state, const void *params);
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) QZ_YPU_CPU_DECLARE_##cpu(name)
#include "ypu/ops.inc"
#undef QZ_YPU_OP
#undef QZ_YPU_CPU_DECLARE_0
#undef QZ_YPU_CPU_DECLARE_1
