// Host implementations of the image and sequence resizes: bicubic with
// half-pixel centres, bilinear with aligned corners and 1-D linear with
// half-pixel centres. Images are channel-last, one per call.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

// A source index from a float position, clamped to [0, size - 1]. The clamp
// is done before the conversion so that no float outside the int range is
// ever converted.
int64_t clamp_index(float position, int32_t size) {
  if (!(position > 0.0f)) return 0;
  if (position >= static_cast<float>(size - 1)) return size - 1;
  return static_cast<int64_t>(position);
}

// Every tap reads the input, so an input without elements cannot feed a
// non-empty output.
qz_status_t check_input(int32_t size, const char *name) {
  if (size > 0) return QZ_STATUS_SUCCESS;
  qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, name);
  return QZ_STATUS_INVALID_ARGUMENT;
}

// The cubic convolution kernel with a = -0.75.
float cubic_weight(float d) {
  if (d <= 1.0f) return (1.25f * d - 2.25f) * d * d + 1.0f;
  if (d < 2.0f) return ((-0.75f * d + 3.75f) * d - 6.0f) * d + 3.0f;
  return 0.0f;
}

// The four taps of one output coordinate: source indices clamped to the
// input, weights from the unclamped distances (not renormalised).
struct cubic_taps {
  int64_t index[4];
  float weight[4];
};

cubic_taps cubic_taps_at(float position, int32_t size) {
  const float base = floorf(position);
  cubic_taps t;
  for (int q = 0; q < 4; ++q) {
    const float source = base + static_cast<float>(q - 1);
    t.index[q] = clamp_index(source, size);
    t.weight[q] = cubic_weight(fabsf(position - source));
  }
  return t;
}

// One bilinear coordinate: the lower source index, the fraction towards the
// next one and that next index clamped to the input.
struct linear_tap {
  int64_t lower, upper;
  float fraction;
};

linear_tap corner_aligned_tap(int32_t i, int32_t out_size, int32_t in_size) {
  if (out_size == 1) return {0, clamp_index(1.0f, in_size), 0.0f};
  const float position =
      static_cast<float>(i) * static_cast<float>(in_size - 1) / static_cast<float>(out_size - 1);
  const float base = floorf(position);
  return {clamp_index(base, in_size), clamp_index(base + 1.0f, in_size), position - base};
}

}  // namespace

qz_status_t qz_ypu_host_resize_bicubic_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_resize_bicubic_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (p.out_height <= 0 || p.out_width <= 0 || p.channels <= 0) return QZ_STATUS_SUCCESS;
  if (check_input(p.in_height, "in_height") || check_input(p.in_width, "in_width"))
    return QZ_STATUS_INVALID_ARGUMENT;
  const float sy = static_cast<float>(p.in_height) / static_cast<float>(p.out_height);
  const float sx = static_cast<float>(p.in_width) / static_cast<float>(p.out_width);
  const ptrdiff_t channels = p.channels;
  for (int32_t i = 0; i < p.out_height; ++i) {
    const cubic_taps ty = cubic_taps_at(sy * (static_cast<float>(i) + 0.5f) - 0.5f, p.in_height);
    for (int32_t j = 0; j < p.out_width; ++j) {
      const cubic_taps tx = cubic_taps_at((static_cast<float>(j) + 0.5f) * sx - 0.5f, p.in_width);
      float *pixel = out + (ptrdiff_t{i} * p.out_width + j) * channels;
      for (ptrdiff_t c = 0; c < channels; ++c) {
        float sum = 0.0f;
        for (int r = 0; r < 4; ++r)
          for (int q = 0; q < 4; ++q) {
            const float w = ty.weight[r] * tx.weight[q];
            sum += w * in[(ty.index[r] * p.in_width + tx.index[q]) * channels + c];
          }
        pixel[c] = sum;
      }
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_resize_bilinear_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_resize_bilinear_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (p.out_height <= 0 || p.out_width <= 0 || p.channels <= 0) return QZ_STATUS_SUCCESS;
  if (check_input(p.in_height, "in_height") || check_input(p.in_width, "in_width"))
    return QZ_STATUS_INVALID_ARGUMENT;
  const ptrdiff_t channels = p.channels, width = p.in_width;
  for (int32_t i = 0; i < p.out_height; ++i) {
    const linear_tap ty = corner_aligned_tap(i, p.out_height, p.in_height);
    const float fy = ty.fraction;
    for (int32_t j = 0; j < p.out_width; ++j) {
      const linear_tap tx = corner_aligned_tap(j, p.out_width, p.in_width);
      const float fx = tx.fraction;
      const float *r0 = in + ty.lower * width * channels, *r1 = in + ty.upper * width * channels;
      float *pixel = out + (ptrdiff_t{i} * p.out_width + j) * channels;
      for (ptrdiff_t c = 0; c < channels; ++c) {
        const float v00 = r0[tx.lower * channels + c], v01 = r0[tx.upper * channels + c];
        const float v10 = r1[tx.lower * channels + c], v11 = r1[tx.upper * channels + c];
        pixel[c] = ((1.0f - fy) * fx) * v01 + ((1.0f - fy) * (1.0f - fx)) * v00 +
                   (fy * (1.0f - fx)) * v10 + (fy * fx) * v11;
      }
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_resize_linear_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_resize_linear_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (p.out_length <= 0 || p.channels <= 0) return QZ_STATUS_SUCCESS;
  if (check_input(p.in_length, "in_length")) return QZ_STATUS_INVALID_ARGUMENT;
  const float s = static_cast<float>(p.in_length) / static_cast<float>(p.out_length);
  const ptrdiff_t channels = p.channels;
  for (int32_t i = 0; i < p.out_length; ++i) {
    const float x = s * (static_cast<float>(i) + 0.5f) - 0.5f;
    const float x0 = floorf(x), f = x - x0;
    const float *v0 = in + clamp_index(x0, p.in_length) * channels;
    const float *v1 = in + clamp_index(x0 + 1.0f, p.in_length) * channels;
    for (ptrdiff_t c = 0; c < channels; ++c) out[i * channels + c] = v1[c] * f + v0[c] * (1.0f - f);
  }
  return QZ_STATUS_SUCCESS;
}
