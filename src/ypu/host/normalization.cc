// Host implementations of the normalisations (layer, plain layer, along
// columns, column to int16, RMS) and of the Gaussian-weighted average.
// Sums run in float in index order, as every backend's reference.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ypu/table_exp.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

struct qz_ypu_moments {
  float mean;
  float scale;  // 1 / sqrt(variance + epsilon)
};

// Two-pass mean and variance of n values spaced `stride` apart.
qz_ypu_moments qz_ypu_two_pass(const float *x, int32_t n, ptrdiff_t stride, float epsilon) {
  float sum = 0.f;
  for (int32_t j = 0; j < n; ++j) sum += x[j * stride];
  const float mean = sum / static_cast<float>(n);
  float squares = 0.f;
  for (int32_t j = 0; j < n; ++j) {
    const float d = x[j * stride] - mean;
    squares += d * d;
  }
  const float var = squares / static_cast<float>(n);
  return {mean, 1.f / sqrtf(var + epsilon)};
}

// The same moments for four rows at once: each row's sums keep their own
// order, and the four chains of additions overlap instead of waiting on one
// another.
void qz_ypu_two_pass_rows4(const float *const x[4], int32_t n, float epsilon,
                           qz_ypu_moments m[4]) {
  float sum[4] = {0.f, 0.f, 0.f, 0.f};
  for (int32_t j = 0; j < n; ++j)
    for (int r = 0; r < 4; ++r) sum[r] += x[r][j];
  float mean[4], squares[4] = {0.f, 0.f, 0.f, 0.f};
  for (int r = 0; r < 4; ++r) mean[r] = sum[r] / static_cast<float>(n);
  for (int32_t j = 0; j < n; ++j)
    for (int r = 0; r < 4; ++r) {
      const float d = x[r][j] - mean[r];
      squares[r] += d * d;
    }
  for (int r = 0; r < 4; ++r) {
    const float var = squares[r] / static_cast<float>(n);
    m[r] = {mean[r], 1.f / sqrtf(var + epsilon)};
  }
}

// Q10 from a float, saturated to int16. A NaN (a zero variance with a zero
// epsilon) has no integer value; it becomes 0.
int16_t qz_ypu_q10_saturate(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 32767.f) return 32767;
  if (v <= -32768.f) return -32768;
  return static_cast<int16_t>(v);
}

}  // namespace

qz_status_t qz_ypu_host_layer_norm_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_layer_norm_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  const float *gamma = frame.in<float>(p.gamma, p.gamma_offset);
  const float *beta = frame.in<float>(p.beta, p.beta_offset);
  if (!frame.ok()) return frame.status();
  const int32_t n = p.cols;
  if (n <= 0) return QZ_STATUS_SUCCESS;
  // Rows go four at a time, moments first, when no output row can be the
  // input of a later row of the four: the output is the input itself or
  // apart from it.
  const uintptr_t bytes = static_cast<uintptr_t>(p.rows) * static_cast<uintptr_t>(n) * sizeof(float);
  const uintptr_t at_out = reinterpret_cast<uintptr_t>(out), at_in = reinterpret_cast<uintptr_t>(in);
  const bool grouped = at_out == at_in || at_out + bytes <= at_in || at_in + bytes <= at_out;
  int32_t r = 0;
  for (; grouped && r + 4 <= p.rows; r += 4) {
    const float *x[4];
    for (int i = 0; i < 4; ++i) x[i] = in + static_cast<ptrdiff_t>(r + i) * n;
    qz_ypu_moments m[4];
    qz_ypu_two_pass_rows4(x, n, p.epsilon, m);
    for (int i = 0; i < 4; ++i) {
      float *o = out + static_cast<ptrdiff_t>(r + i) * n;
      for (int32_t j = 0; j < n; ++j)
        o[j] = ((x[i][j] - m[i].mean) * m[i].scale) * gamma[j] + beta[j];
    }
  }
  for (; r < p.rows; ++r) {
    const float *x = in + static_cast<ptrdiff_t>(r) * n;
    float *o = out + static_cast<ptrdiff_t>(r) * n;
    const qz_ypu_moments m = qz_ypu_two_pass(x, n, 1, p.epsilon);
    for (int32_t j = 0; j < n; ++j) o[j] = ((x[j] - m.mean) * m.scale) * gamma[j] + beta[j];
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_layer_norm_plain_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_layer_norm_plain_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  const int32_t n = p.cols;
  if (n <= 0) return QZ_STATUS_SUCCESS;
  for (int32_t r = 0; r < p.rows; ++r) {
    const float *x = in + static_cast<ptrdiff_t>(r) * n;
    float *o = out + static_cast<ptrdiff_t>(r) * n;
    // One pass: the variance is the mean of squares less the squared mean,
    // so rounding can make it negative (the row then becomes NaN).
    float s1 = 0.f, s2 = 0.f;
    for (int32_t j = 0; j < n; ++j) {
      s1 += x[j];
      s2 += x[j] * x[j];
    }
    const float f = 1.f / static_cast<float>(n);
    const float mean = f * s1;
    const float t = f * s2 - mean * mean + p.epsilon;
    const float k = 1.f / sqrtf(t);
    for (int32_t j = 0; j < n; ++j) o[j] = (x[j] - mean) * k;
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_layer_norm_columns_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_layer_norm_columns_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  const float *gamma = frame.in<float>(p.gamma, p.gamma_offset);
  const float *beta = frame.in<float>(p.beta, p.beta_offset);
  if (!frame.ok()) return frame.status();
  const int32_t length = p.length, cols = p.cols;
  if (length <= 0 || cols <= 0) return QZ_STATUS_SUCCESS;
  const ptrdiff_t block = static_cast<ptrdiff_t>(length) * cols;
  for (int32_t b = 0; b < p.batch; ++b) {
    for (int32_t j = 0; j < cols; ++j) {
      const float *x = in + b * block + j;
      float *o = out + b * block + j;
      const qz_ypu_moments m = qz_ypu_two_pass(x, length, cols, p.epsilon);
      // Scale and shift follow the position along the normalised axis.
      for (int32_t l = 0; l < length; ++l) {
        const ptrdiff_t at = static_cast<ptrdiff_t>(l) * cols;
        o[at] = ((x[at] - m.mean) * m.scale) * gamma[l] + beta[l];
      }
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_group_norm_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_group_norm_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  const int32_t length = p.length, cols = p.cols;
  if (length <= 0 || cols <= 0) return QZ_STATUS_SUCCESS;
  for (int32_t j = 0; j < cols; ++j) {
    const qz_ypu_moments m = qz_ypu_two_pass(in + j, length, cols, p.epsilon);
    for (int32_t l = 0; l < length; ++l) {
      const ptrdiff_t at = static_cast<ptrdiff_t>(l) * cols + j;
      out[at] = qz_ypu_q10_saturate((in[at] - m.mean) * m.scale * 1024.f);
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_rms_norm_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rms_norm_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  const float *gamma = frame.in<float>(p.gamma, p.gamma_offset);
  if (!frame.ok()) return frame.status();
  const int32_t n = p.cols;
  if (n <= 0) return QZ_STATUS_SUCCESS;
  for (int32_t r = 0; r < p.rows; ++r) {
    const float *x = in + static_cast<ptrdiff_t>(r) * n;
    float *o = out + static_cast<ptrdiff_t>(r) * n;
    float s = 0.f;
    for (int32_t j = 0; j < n; ++j) s += x[j] * x[j];
    const float k = 1.f / sqrtf(s / static_cast<float>(n) + p.epsilon);
    for (int32_t j = 0; j < n; ++j) o[j] = (x[j] * k) * gamma[j];
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_gaussian_weights_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_gaussian_weights_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *values = frame.in<float>(p.values, 0);
  const float *widths = frame.in<float>(p.widths, 0);
  const float *centres = frame.in<float>(p.centres, 0);
  const int32_t *anchors = frame.in<int32_t>(p.anchors, 0);
  if (!frame.ok()) return frame.status();
  const int32_t channels = p.channels;
  if (channels <= 0) return QZ_STATUS_SUCCESS;
  for (int32_t i = 0; i < p.rows; ++i) {
    float *o = out + static_cast<ptrdiff_t>(i) * channels;
    // The window in 64 bits: anchor plus or minus a reach may pass int32.
    const int64_t a = anchors[i];
    const int64_t lo = std::max<int64_t>(0, a - p.before);
    const int64_t hi = std::min<int64_t>(int64_t{p.positions} - 1, a + p.after);
    // The weighted sums build up in the output row, each channel in
    // position order, which is the order a per-channel loop would use.
    for (int32_t h = 0; h < channels; ++h) o[h] = 0.f;
    if (hi < lo) continue;
    float total = 0.f;
    for (int64_t k = lo; k <= hi; ++k) {
      const float d = static_cast<float>(i) - centres[k];
      const float w = qz_ypu_build_expf(-std::min(100.f, d * d) / ((widths[k] * 2.f) * widths[k]));
      total += w;
      const float *v = values + k * channels;
      for (int32_t h = 0; h < channels; ++h) o[h] = w * v[h] + o[h];
    }
    const double divisor = std::max(1e-8, static_cast<double>(total));
    for (int32_t h = 0; h < channels; ++h) o[h] = static_cast<float>(o[h] / divisor);
  }
  return QZ_STATUS_SUCCESS;
}
