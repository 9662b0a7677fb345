// Host implementations of the operations that encode positions: rotary
// table builders, rotary embeddings and the scaled embedding lookup. Every
// output is fetched before it is written, since several of them leave parts
// of their rows untouched.
#include <cmath>
#include <cstdint>

#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/host/positional.h"
#include "ypu/params.h"

namespace {

void sin_cos(float angle, float *s, float *c) {
#if defined(__GLIBC__)
  sincosf(angle, s, c);
#else
  *s = std::sin(angle);
  *c = std::cos(angle);
#endif
}

// Rotates (x0, x1) by the angle whose cosine and sine are c and s.
void rotate(float *x0, float *x1, float c, float s) {
  const float a = *x0, b = *x1;
  *x0 = c * a - s * b;
  *x1 = s * a + c * b;
}

int32_t buffer_size(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer) {
  return qz_ypu_ops(context).buffer_size(context->device, buffer);
}

}  // namespace

qz_status_t qz_ypu_host_rope_apply_table_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_apply_table_f32_params_t *>(params);
  if (p.table_stride < 0 || p.position_offset < 0) return QZ_STATUS_INVALID_ARGUMENT;
  // Half-split pairs reach table_stride/2 elements ahead; a stride longer
  // than the head would rotate the next head's elements.
  if (!p.adjacent && p.table_stride > p.head_dim) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  float *data = frame.inout<float>(p.data, 0);
  const float *table = frame.in<float>(p.table, 0);
  if (!frame.ok()) return frame.status();
  const int32_t pairs = p.adjacent ? p.head_dim / 2 : p.table_stride / 2;
  const int32_t distance = p.adjacent ? 1 : pairs;
  for (int32_t b = 0; b < p.batch; ++b)
    for (int32_t position = 0; position < p.positions; ++position) {
      const float *row = table + (int64_t{p.position_offset} + position) * p.table_stride;
      for (int32_t h = 0; h < p.heads; ++h) {
        float *x = data + ((int64_t{b} * p.positions + position) * p.heads + h) * p.head_dim;
        for (int32_t q = 0; q < pairs; ++q) {
          float *first = p.adjacent ? x + 2 * q : x + q;
          rotate(first, first + distance, row[2 * q], row[2 * q + 1]);
        }
      }
    }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_embedding_scale_add_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_embedding_scale_add_f32_params_t *>(params);
  if (p.batch <= 0 || p.tokens <= 0 || p.width <= 0) return QZ_STATUS_SUCCESS;
  // Token ids and the first positional row index tables: check them against
  // the rows the buffers really hold.
  const int64_t row_bytes = int64_t{p.width} * 4;
  const int64_t table_rows = p.table ? buffer_size(context, p.table) / row_bytes : 0;
  const int64_t add_rows = p.add ? buffer_size(context, p.add) / row_bytes : 0;
  if (p.start < 0 || int64_t{p.start} + p.tokens > add_rows) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const int32_t *ids = frame.in<int32_t>(p.ids, 0);
  const float *table = frame.in<float>(p.table, 0);
  const float *add = frame.in<float>(p.add, 0);
  if (!frame.ok()) return frame.status();
  const int64_t count = int64_t{p.batch} * p.tokens;
  for (int64_t i = 0; i < count; ++i)
    if (ids[i] < 0 || ids[i] >= table_rows) return QZ_STATUS_INVALID_ARGUMENT;
  for (int64_t i = 0; i < count; ++i) {
    const int32_t t = static_cast<int32_t>(i % p.tokens);
    const float *source = table + int64_t{ids[i]} * p.width;
    const float *positional = add + (int64_t{p.start} + t) * p.width;
    float *target = out + i * p.width;
    for (int32_t j = 0; j < p.width; ++j) target[j] = p.scale * source[j] + positional[j];
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_rope_table_3axis_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_table_3axis_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const int32_t *positions = frame.in<int32_t>(p.positions, 0);
  if (!frame.ok()) return frame.status();
  const int32_t pairs = p.width / 2;
  for (int32_t t = 0; t < p.tokens; ++t) {
    const int32_t *axes = positions + int64_t{3} * t;
    float *row = out + int64_t{t} * p.width;
    for (int32_t w = 0; w < pairs; ++w) {
      int32_t position = axes[0];
      if (w % 3 == 1 && w < p.limit1) position = axes[1];
      if (w % 3 == 2 && w < p.limit2) position = axes[2];
      const float angle = static_cast<float>(position) /
                          powf(p.base, static_cast<float>(2 * w) / static_cast<float>(p.width));
      sin_cos(angle, &row[2 * w + 1], &row[2 * w]);
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_rope_table_scaled_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_table_scaled_f32_params_t *>(params);
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *factors = frame.in<float>(p.factors, p.factors_offset);
  if (!frame.ok()) return frame.status();
  // Whole pairs only: with an odd width the last float of a row has no
  // partner, and writing one would spill into the next row or past the table.
  const int32_t pairs = p.width / 2;
  for (int32_t t = 0; t < p.tokens; ++t) {
    float *row = out + int64_t{t} * p.width;
    for (int32_t w = 0; w < pairs; ++w) {
      const int32_t i = 2 * w;
      const float divisor =
          powf(p.base, static_cast<float>(i) / static_cast<float>(p.width)) * factors[w];
      float s, c;
      sin_cos(static_cast<float>(t) / divisor, &s, &c);
      row[i] = p.magnitude * c;
      row[i + 1] = p.magnitude * s;
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_rope_expfreq_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope_expfreq_f32_params_t *>(params);
  if (p.head_dim < 2) return QZ_STATUS_SUCCESS;
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  const int32_t half = p.head_dim / 2;
  for (int32_t b = 0; b < p.batch; ++b)
    for (int32_t q = 0; q < p.positions; ++q) {
      const float position = static_cast<float>(int64_t{p.start} + q);
      const int64_t first_row = (int64_t{b} * p.positions + q) * p.heads;
      for (int32_t i = 0; i < half; ++i) {
        const float angle = expf(static_cast<float>(i) * p.log_step) * position;
        float s, c;
        sin_cos(angle, &s, &c);
        for (int32_t h = 0; h < p.heads; ++h) {
          const int64_t base = (first_row + h) * p.head_dim;
          const float x0 = in[base + i], x1 = in[base + i + half];
          out[base + i] = c * x0 - s * x1;
          out[base + i + half] = x0 * s + x1 * c;
        }
      }
    }
  return QZ_STATUS_SUCCESS;
}

// Token t of the two-axis rotary embedding; the CPU entry runs the same
// function per token, so both give the same bits.
void qz_ypu_rope2d_token(const qz_ypu_rope2d_f32_params_t &p, const float *in, float *out,
                         int32_t t) {
  const int64_t e = p.window, rows = p.window_rows, cols = p.window_cols;
  // E² fits in 63 bits; E²·K may not, but a token number (below 2^31) divided
  // by anything beyond 2^31 is 0 either way.
  const int64_t square = e * e;
  const int64_t block = square > INT32_MAX ? INT64_MAX : square * cols;
  const int32_t half = p.head_dim / 2, quarter = p.head_dim / 4;
  const int64_t row_position = (t / e) % e + e * ((t / block) % rows);
  const int64_t col_position = t % e + e * ((t / square) % cols);
  for (int32_t i = 0; i < half; ++i) {
    const int32_t step = i < quarter ? i : i - quarter;
    const float position = static_cast<float>(i < quarter ? row_position : col_position);
    const float frequency =
        1.0f / powf(p.base, static_cast<float>(2 * step) / static_cast<float>(half));
    float s, c;
    sin_cos(frequency * position, &s, &c);
    for (int32_t h = 0; h < p.heads; ++h) {
      const int64_t base = (int64_t{t} * p.heads + h) * p.head_dim;
      const float x0 = in[base + i], x1 = in[base + i + half];
      out[base + i] = c * x0 - s * x1;
      out[base + i + half] = s * x0 + c * x1;
    }
  }
}

qz_status_t qz_ypu_host_rope2d_f32(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_rope2d_f32_params_t *>(params);
  // The window sizes divide token numbers.
  if (p.window <= 0 || p.window_rows <= 0 || p.window_cols <= 0) return QZ_STATUS_INVALID_ARGUMENT;
  if (p.head_dim < 2) return QZ_STATUS_SUCCESS;
  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, 0);
  const float *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  for (int32_t t = 0; t < p.tokens; ++t) qz_ypu_rope2d_token(p, in, out, t);
  return QZ_STATUS_SUCCESS;
}
