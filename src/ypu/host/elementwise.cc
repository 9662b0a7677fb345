// Host implementations of the element-wise arithmetic, conversion and
// reduction operations.
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

qz_status_t qz_ypu_host_add_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_add_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.out<float>(p.out, p.out_offset);
  const float *a = frame.in<float>(p.a, p.a_offset);
  const float *b = frame.in<float>(p.b, p.b_offset);
  if (!frame.ok()) return frame.status();
  for (int32_t i = 0; i < p.count; ++i) out[i] = a[i] + b[i];
  return QZ_STATUS_SUCCESS;
}
