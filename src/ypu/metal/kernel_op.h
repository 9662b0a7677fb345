// Operations that run one compute kernel over a binding table: the macro
// that defines such an operation's state and execute entries, and the
// unary record's binding (count, out and in at argument indices 0, 1 and 2,
// grid (count, 1, 1)) that the element-wise and activation kernels share.
#pragma once

#include "ypu/metal/ops.h"
#include "ypu/metal/state.h"

extern const qz_ypu_metal_call_t QZ_YPU_METAL_UNARY_CALL;

// qz_ypu_metal_<name>_init / _release over the one kernel, and
// qz_ypu_metal_<name>, which encodes it with `call` and returns the
// dispatch's status. The QUIET form's init is that of
// QZ_YPU_METAL_QUIET_STATE_ENTRIES.
#define QZ_YPU_METAL_ONE_KERNEL_OP_OF(name, kernel, call, quiet)                             \
  namespace {                                                                               \
  constexpr const char *name##_KERNELS[] = {kernel};                                        \
  }                                                                                         \
  QZ_YPU_METAL_STATE_ENTRIES_OF(name, name##_KERNELS, quiet)                                \
  qz_status_t qz_ypu_metal_##name(qz_ypu_metal_device_t *device, void *state,               \
                                  const void *params) {                                     \
    return qz_ypu_metal_encode(device, qz_ypu_metal_pipeline(state, 0), params, call);      \
  }
#define QZ_YPU_METAL_ONE_KERNEL_OP(name, kernel, call) \
  QZ_YPU_METAL_ONE_KERNEL_OP_OF(name, kernel, call, false)
#define QZ_YPU_METAL_QUIET_ONE_KERNEL_OP(name, kernel, call) \
  QZ_YPU_METAL_ONE_KERNEL_OP_OF(name, kernel, call, true)
