// Host implementations of the fixed-point convolutions, linear layers, LSTM
// cell, row quantisation and column affine map. These define the exact
// integers every backend must reproduce: sums wrap in 32 bits (done through
// unsigned arithmetic, so C++ sees no signed overflow), right shifts of
// signed values are arithmetic, and results saturate to int16 only where
// noted.
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "common/error.h"
#include "ypu/fixed_point.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int16_t sat16(int32_t v) {
  return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : v > INT16_MAX ? INT16_MAX : v);
}

// Element count of an operand shaped by `dims`, or kTooMany once the count
// passes what any buffer could hold. Each dimension is a non-negative int32,
// so no intermediate product leaves 64 bits.
constexpr int64_t kTooMany = std::numeric_limits<int64_t>::max();
int64_t elements(std::initializer_list<int64_t> dims) {
  int64_t n = 1;
  for (int64_t d : dims) {
    if (d < 0) return kTooMany;
    n *= d;
    if (n > INT32_MAX) return kTooMany;
  }
  return n;
}

// Buffers are addressed by int32 byte offsets and sizes, so an operand that
// starts before its buffer or ends past INT32_MAX bytes cannot be valid;
// indexing it would wrap or leave the buffer.
bool fits(int32_t offset, int64_t count, int64_t element_bytes) {
  return offset >= 0 && count != kTooMany && count <= (INT32_MAX - offset) / element_bytes;
}

qz_status_t invalid(const char *argument) {
  qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, argument);
  return QZ_STATUS_INVALID_ARGUMENT;
}

}  // namespace

qz_status_t qz_ypu_host_dwconv1d_acc_i8i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_dwconv1d_acc_i8i16_params_t *>(params);
  const bool work = p.rows > 0 && p.channels > 0 && p.taps > 0;
  if (work) {
    if (!fits(p.out_offset, elements({p.rows, p.channels}), 4)) return invalid("out");
    if (!fits(p.weights_offset, elements({p.taps, p.channels}), 1)) return invalid("weights");
    if (!fits(p.in_offset, elements({int64_t{p.rows} + p.taps - 1, p.channels}), 2))
      return invalid("in");
  }
  qz_ypu_host_frame frame(context);
  int32_t *out = frame.inout<int32_t>(p.out, p.out_offset);
  const int8_t *weights = frame.in<int8_t>(p.weights, p.weights_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  const int64_t k_count = p.channels;
  for (int64_t i = 0; i < p.rows; ++i)
    for (int64_t j = 0; j < p.taps; ++j)
      for (int64_t k = 0; k < k_count; ++k) {
        const int32_t product = int32_t{in[(i + j) * k_count + k]} * weights[j * k_count + k];
        out[i * k_count + k] = wrap_add(out[i * k_count + k], product);
      }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_conv1d_i8i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_conv1d_i8i16_params_t *>(params);
  const bool write = p.rows > 0 && p.out_channels > 0;
  // With no taps or no input channels every output is the empty sum, 0, and
  // the weights and input are not read.
  const bool read = write && p.taps > 0 && p.in_channels > 0;
  if (write && !fits(p.out_offset, elements({p.rows, p.out_channels}), 4)) return invalid("out");
  if (read) {
    if (!fits(p.weights_offset, elements({p.out_channels, p.taps, p.in_channels}), 1))
      return invalid("weights");
    if (!fits(p.in_offset, elements({int64_t{p.rows} + p.taps - 1, p.in_channels}), 2))
      return invalid("in");
  }
  qz_ypu_host_frame frame(context);
  int32_t *out = frame.inout<int32_t>(p.out, p.out_offset);
  const int8_t *weights = frame.in<int8_t>(p.weights, p.weights_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  if (!write) return QZ_STATUS_SUCCESS;

  // Input rows i .. i + taps - 1 are contiguous, so each output is a single
  // dot product of length taps x in_channels.
  const int64_t length = read ? int64_t{p.taps} * p.in_channels : 0;
  const int64_t in_stride = p.in_channels;
  const int64_t m_count = p.out_channels;
  for (int64_t i = 0; i < p.rows; ++i)
    for (int64_t m = 0; m < m_count; ++m) {
      const int16_t *x = in + i * in_stride;
      const int8_t *w = weights + m * length;
      int32_t sum = 0;
      for (int64_t t = 0; t < length; ++t) sum = wrap_add(sum, int32_t{w[t]} * x[t]);
      out[i * m_count + m] = sum;
    }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_dwconv1d_transposed_i8i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_dwconv1d_transposed_i8i16_params_t *>(params);
  // A negative stride would place later input rows before the output's start.
  // A stride of 0 is well defined: every input row lands on the same taps rows.
  if (p.stride < 0) return invalid("stride");
  const bool work = p.rows > 0 && p.channels > 0 && p.taps > 0;
  if (work) {
    const int64_t out_rows = (int64_t{p.rows} - 1) * p.stride + p.taps;
    if (!fits(p.out_offset, elements({out_rows, p.channels}), 4)) return invalid("out");
    if (!fits(p.weights_offset, elements({p.taps, p.channels}), 1)) return invalid("weights");
    if (!fits(p.in_offset, elements({p.rows, p.channels}), 2)) return invalid("in");
  }
  qz_ypu_host_frame frame(context);
  int32_t *out = frame.inout<int32_t>(p.out, p.out_offset);
  const int8_t *weights = frame.in<int8_t>(p.weights, p.weights_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  // Contributions are added into whatever the output holds; a caller wanting
  // the plain convolution clears it first.
  const int64_t k_count = p.channels;
  for (int64_t i = 0; i < p.rows; ++i)
    for (int64_t j = 0; j < p.taps; ++j)
      for (int64_t k = 0; k < k_count; ++k) {
        const int32_t product = int32_t{weights[j * k_count + k]} * in[i * k_count + k];
        int32_t &o = out[(i * p.stride + j) * k_count + k];
        o = wrap_add(o, product);
      }
  return QZ_STATUS_SUCCESS;
}

namespace {

// Ops 19 and 20: v = (bias x 1024 + dot + 64) >> 7 per output, the sum
// wrapping in 32 bits; `accumulate` adds v to the old output before the
// saturation.
qz_status_t linear_i8i16(qz_ypu_context_t *context, const qz_ypu_linear_i8i16_params_t &p,
                         bool accumulate) {
  const bool work = p.rows > 0 && p.out_features > 0;
  const bool dot = work && p.in_features > 0;
  if (work) {
    if (!fits(p.out_offset, elements({p.rows, p.out_features}), 2)) return invalid("out");
    if (!fits(0, elements({p.out_features}), 1)) return invalid("bias");
  }
  if (dot) {
    if (!fits(p.in_offset, elements({p.rows, p.in_features}), 2)) return invalid("in");
    if (!fits(0, elements({p.out_features, p.in_features}), 1)) return invalid("weights");
  }
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, p.out_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  const int8_t *weights = frame.in<int8_t>(p.weights, 0);
  const int8_t *bias = frame.in<int8_t>(p.bias, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  const int64_t n_count = p.out_features;
  const int64_t k_count = dot ? p.in_features : 0;
  for (int64_t i = 0; i < p.rows; ++i)
    for (int64_t n = 0; n < n_count; ++n) {
      const int16_t *x = in + i * k_count;
      const int8_t *w = weights + n * k_count;
      int32_t acc = int32_t{bias[n]} * 1024;
      for (int64_t k = 0; k < k_count; ++k) acc = wrap_add(acc, int32_t{x[k]} * w[k]);
      const int32_t v = wrap_add(acc, 64) >> 7;  // |v| < 2^24
      int16_t &o = out[i * n_count + n];
      o = sat16(accumulate ? o + v : v);
    }
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_ypu_host_linear_acc_i8i16(qz_ypu_context_t *context, const void *params) {
  return linear_i8i16(context, *static_cast<const qz_ypu_linear_acc_i8i16_params_t *>(params),
                      true);
}

qz_status_t qz_ypu_host_linear_i8i16(qz_ypu_context_t *context, const void *params) {
  return linear_i8i16(context, *static_cast<const qz_ypu_linear_i8i16_params_t *>(params), false);
}

qz_status_t qz_ypu_host_lstm_cell_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_lstm_cell_i16_params_t *>(params);
  const bool work = p.hidden > 0;
  if (work) {
    if (!fits(p.out_offset, elements({p.hidden}), 2)) return invalid("out");
    if (!fits(p.state_offset, elements({p.hidden}), 2)) return invalid("state");
    if (!fits(p.gates_offset, elements({3, p.hidden}), 2)) return invalid("gates");
  }
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, p.out_offset);
  int16_t *state = frame.inout<int16_t>(p.state, p.state_offset);
  // The gates serve as scratch: fetched and overwritten, but not written
  // back, so a backend whose mapping is a copy keeps the pre-activations.
  int16_t *input = const_cast<int16_t *>(frame.in<int16_t>(p.gates, p.gates_offset));
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  const int64_t h = p.hidden;
  int16_t *candidate = input + h;
  int16_t *output = input + 2 * h;
  for (int64_t k = 0; k < h; ++k) input[k] = qz_ypu_fixed_sigmoid(input[k]);
  for (int64_t k = 0; k < h; ++k) candidate[k] = qz_ypu_fixed_tanh(candidate[k]);
  for (int64_t k = 0; k < h; ++k) output[k] = qz_ypu_fixed_sigmoid(output[k]);
  // Gates lie in [11, 32755] and tanh in [-32746, 32742], so every product
  // below stays under 2^30 and 32-bit arithmetic is exact.
  for (int64_t k = 0; k < h; ++k) {
    const int32_t gate = input[k];
    const int32_t kept = (int32_t{state[k]} * (32767 - gate) + 16384) >> 15;  // Q10
    const int32_t added = (gate * candidate[k] + 524288) >> 20;            // Q30 to Q10
    state[k] = sat16(kept + added);
  }
  for (int64_t k = 0; k < h; ++k) input[k] = qz_ypu_fixed_tanh(state[k]);
  // The Q30 product turns into Q10 within [-1023, 1023]: no saturation needed.
  for (int64_t k = 0; k < h; ++k)
    out[k] = static_cast<int16_t>((int32_t{input[k]} * output[k] + 524288) >> 20);
  return QZ_STATUS_SUCCESS;
}

namespace {

// q(y): saturate to int16, truncating towards zero in between. NaN, which a
// row holding an infinity or a magnitude too small for 31 / m produces, maps
// to 0 rather than reaching an undefined float-to-int conversion.
int16_t quantize(float y) {
  if (std::isnan(y)) return 0;
  if (y >= 32767.0f) return INT16_MAX;
  if (y <= -32768.0f) return INT16_MIN;
  return static_cast<int16_t>(y);
}

}  // namespace

qz_status_t qz_ypu_host_quantize_rows_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_quantize_rows_i16_params_t *>(params);
  const bool rows = p.rows > 0;
  const bool cols = rows && p.cols > 0;
  if (rows && !fits(p.factors_offset, elements({p.rows}), 4)) return invalid("factors");
  if (cols) {
    if (!fits(p.out_offset, elements({p.rows, p.cols}), 2)) return invalid("out");
    if (!fits(p.in_offset, elements({p.rows, p.cols}), 4)) return invalid("in");
  }
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, p.out_offset);
  float *factors = frame.inout<float>(p.factors, p.factors_offset);
  const float *in = frame.in<float>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  if (!rows) return QZ_STATUS_SUCCESS;
  if (!cols) {
    for (int64_t r = 0; r < p.rows; ++r) factors[r] = 0.0f;
    return QZ_STATUS_SUCCESS;
  }

  const int64_t w = p.cols;
  for (int64_t r = 0; r < p.rows; ++r) {
    const float *x = in + r * w;
    int16_t *y = out + r * w;
    float m = 0.0f;
    for (int64_t j = 0; j < w; ++j) {
      const float a = std::fabs(x[j]);
      if (a > m) m = a;  // NaN never compares greater
    }
    if (m == 0.0f) {
      // 31 / 0 is infinite and 0 x infinity NaN: give the zero row directly.
      for (int64_t j = 0; j < w; ++j) y[j] = 0;
      factors[r] = 0.0f;
      continue;
    }
    const float t = 31.0f / m;
    for (int64_t j = 0; j < w; ++j) y[j] = quantize(x[j] * t * 1024.0f);
    factors[r] = 1.0f / (t * 131072.0f);
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_affine_columns_i16(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_affine_columns_i16_params_t *>(params);
  const bool work = p.rows > 0 && p.cols > 0;
  if (work) {
    if (!fits(p.out_offset, elements({p.rows, p.cols}), 2)) return invalid("out");
    if (!fits(p.in_offset, elements({p.rows, p.cols}), 2)) return invalid("in");
    if (!fits(0, elements({p.cols}), 2)) return invalid("offsets");
  }
  qz_ypu_host_frame frame(context);
  int16_t *out = frame.inout<int16_t>(p.out, p.out_offset);
  const int16_t *in = frame.in<int16_t>(p.in, p.in_offset);
  const int16_t *offsets = frame.in<int16_t>(p.offsets, 0);
  const int16_t *scales = frame.in<int16_t>(p.scales, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;

  // The difference spans [-65535, 65535] and the product stays within
  // 65535 x 32768 < 2^31, so 32-bit arithmetic is exact here.
  const int64_t w = p.cols;
  for (int64_t j = 0; j < w; ++j) {
    const int32_t o = offsets[j], s = scales[j];
    for (int64_t r = 0; r < p.rows; ++r)
      out[r * w + j] = sat16(((int32_t{in[r * w + j]} - o) * s) >> 10);
  }
  return QZ_STATUS_SUCCESS;
}
