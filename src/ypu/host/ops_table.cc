#include "ypu/host/host.h"

const qz_ypu_host_fn qz_ypu_host_ops[QZ_YPU_OP_COUNT] = {
#define QZ_YPU_OP(id, NAME, name, cpu, cuda, metal) qz_ypu_host_##name,
#include "ypu/ops.inc"
#undef QZ_YPU_OP
};
