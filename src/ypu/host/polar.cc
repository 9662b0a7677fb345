// Host implementation of the polar-to-complex spectrum conversion: each frame
// of log-magnitudes and phases becomes interleaved complex bins, scaled for
// an inverse real transform of size n.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ypu/table_exp.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

constexpr float kMaxMagnitude = 100.0f;

}  // namespace

qz_status_t qz_ypu_host_polar_spectrum_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_polar_spectrum_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  // Fetched: the frames need not fill the buffer.
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  // A transform of no points has no bins; the final zeroing below would
  // otherwise land before the frame.
  const int32_t n = p.cols;
  if (n <= 0) return QZ_STATUS_SUCCESS;
  const int32_t bins = n / 2 + 1;
  const ptrdiff_t frame_floats = ptrdiff_t{n} + 2;
  const float inner = 2.0f / static_cast<float>(n), outer = 1.0f / static_cast<float>(n);
  for (int32_t r = 0; r < p.rows; ++r) {
    const float *log_magnitude = in + r * frame_floats, *phase = log_magnitude + bins;
    float *bin = out + r * frame_floats;
    for (int32_t j = 0; j < bins; ++j) {
      const float magnitude = fminf(qz_ypu_build_expf(log_magnitude[j]), kMaxMagnitude);
      const float s = j > 0 && j < n / 2 ? inner : outer;
      bin[2 * j] = cosf(phase[j]) * magnitude * s;
      bin[2 * j + 1] = sinf(phase[j]) * magnitude * s;
    }
    bin[1] = 0.0f;
    bin[n + 1] = 0.0f;
  }
  return QZ_STATUS_SUCCESS;
}
