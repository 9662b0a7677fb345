// NEON kernels of the element-wise additions (4 floats, 8 int16 values per
// step); the remainder one element at a time.
#include <arm_neon.h>

#include "ypu/cpu/elementwise.h"

void qz_ypu_cpu_add_f32_neon(float *out, const float *a, const float *b, int64_t first,
                             int64_t end) {
  int64_t i = first;
  for (; i + 4 <= end; i += 4) vst1q_f32(out + i, vaddq_f32(vld1q_f32(a + i), vld1q_f32(b + i)));
  for (; i < end; ++i) out[i] = a[i] + b[i];
}

// The saturating 16-bit add gives the scalar saturating sum.
void qz_ypu_cpu_add_sat_i16_neon(int16_t *out, const int16_t *a, const int16_t *b, int64_t first,
                                 int64_t end) {
  int64_t i = first;
  for (; i + 8 <= end; i += 8) vst1q_s16(out + i, vqaddq_s16(vld1q_s16(a + i), vld1q_s16(b + i)));
  for (; i < end; ++i) out[i] = qz_ypu_cpu_saturate_i16(int32_t{a[i]} + b[i]);
}
