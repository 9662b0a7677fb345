// CPU entry of the two-axis rotary embedding: one item per token, each
// computed by the host's per-token routine, so the results are the host's.
#include "ypu/cpu/frame.h"
#include "ypu/cpu/ops.h"
#include "ypu/host/positional.h"
#include "ypu/params.h"

void qz_ypu_cpu_rope2d_f32_task(void *opaque, size_t t) {
  const auto &p = *static_cast<const qz_ypu_rope2d_f32_params_t *>(opaque);
  qz_ypu_rope2d_token(p, qz_ypu_cpu_operand<const float>(p.in, 0), qz_ypu_cpu_operand<float>(p.out, 0),
                      static_cast<int32_t>(t));
}

qz_status_t qz_ypu_cpu_rope2d_f32(void *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope2d_f32_params_t *>(params);
  // Windows that cannot divide token numbers, and missing operands, are the
  // host's to reject.
  if (p.window <= 0 || p.window_rows <= 0 || p.window_cols <= 0 || !p.out || !p.in)
    return QZ_YPU_CPU_DECLINE;
  if (p.head_dim < 2) return QZ_STATUS_SUCCESS;
  // The record is the tasks' context; one item per token, pool or not.
  qz_ypu_cpu_run_1d(qz_ypu_cpu_device(device), qz_ypu_cpu_rope2d_f32_task, const_cast<void *>(params),
                    p.tokens);
  return QZ_STATUS_SUCCESS;
}
