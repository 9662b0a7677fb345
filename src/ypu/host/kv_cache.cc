// Host implementations of the key/value cache writers and movers: rows
// quantised into ring caches (ops 90, 91) and linear caches (op 56), the
// left shift that drops a linear cache's oldest positions (op 43) and the row
// gather that reorders caches by beam (op 31).
#include <cmath>
#include <cstring>

#include "ypu/affine_code.h"
#include "ypu/host/attention.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

template <class Code>
qz_ypu_row_affine_t quantize_row(Code *codes, const float *x, int32_t k, float levels) {
  if (k < 1) return {0.0f, 0.0f};
  // The minimum and maximum skip NaN elements (unless every element is NaN).
  float lo = x[0], hi = x[0];
  for (int32_t i = 1; i < k; ++i) {
    lo = qz_ypu_affine_min(lo, x[i]);
    hi = qz_ypu_affine_max(hi, x[i]);
  }
  const float slope = (hi - lo) / levels;
  for (int32_t i = 0; i < k; ++i)
    codes[i] = static_cast<Code>(qz_ypu_affine_code(x[i], lo, slope, levels));
  return {slope, lo};
}

template <class Code>
qz_status_t quantize_rows_ring(qz_ypu_context_t *context,
                               const qz_ypu_quantize_rows_ring_params_t &p,
                               qz_ypu_row_affine_t (*quantize)(Code *, const float *, int32_t)) {
  const bool work = p.m > 0 && p.n > 0 && p.k > 0;
  // A ring needs a row, and a position before the start would index before it.
  if (work && (p.window < 1 || p.position < 0)) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  Code *xq = frame.inout<Code>(p.xq, 0);
  float *slope = frame.inout<float>(p.slope, 0);
  float *intercept = frame.inout<float>(p.intercept, 0);
  const float *xf = frame.in<float>(p.xf, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;
  for (int64_t i = 0; i < p.m; ++i) {
    for (int64_t j = 0; j < p.n; ++j) {
      // Later rows that share a ring row overwrite earlier ones.
      const int64_t r = i * p.window + (p.position + j) % p.window;
      const qz_ypu_row_affine_t a = quantize(xq + r * p.k, xf + (j * p.m + i) * p.k, p.k);
      slope[r] = a.slope;
      intercept[r] = a.intercept;
    }
  }
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_ypu_row_affine_t qz_ypu_quantize_row_u8(uint8_t *codes, const float *x, int32_t k) {
  return quantize_row(codes, x, k, 255.0f);
}

qz_ypu_row_affine_t qz_ypu_quantize_row_u16(uint16_t *codes, const float *x, int32_t k) {
  return quantize_row(codes, x, k, 65535.0f);
}

qz_status_t qz_ypu_host_quantize_rows_ring_u8(qz_ypu_context_t *context, const void *params) {
  return quantize_rows_ring<uint8_t>(
      context, *static_cast<const qz_ypu_quantize_rows_ring_u8_params_t *>(params),
      qz_ypu_quantize_row_u8);
}

qz_status_t qz_ypu_host_quantize_rows_ring_u16(qz_ypu_context_t *context, const void *params) {
  return quantize_rows_ring<uint16_t>(
      context, *static_cast<const qz_ypu_quantize_rows_ring_u16_params_t *>(params),
      qz_ypu_quantize_row_u16);
}

qz_status_t qz_ypu_host_quantize_rows_u8(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_quantize_rows_u8_params_t *>(params);
  qz_ypu_host_frame frame(context);
  uint8_t *xq = frame.inout<uint8_t>(p.xq, 0);
  float *xm = frame.inout<float>(p.xm, 0);
  const float *xf = frame.in<float>(p.xf, p.xf_offset);
  if (!frame.ok()) return frame.status();
  if (p.k < 1) return QZ_STATUS_SUCCESS;
  for (int64_t i = 0; i < p.m; ++i) {
    for (int64_t j = 0; j < p.n; ++j) {
      const int64_t f = i * p.max_length + p.position + j;
      const qz_ypu_row_affine_t a =
          qz_ypu_quantize_row_u8(xq + f * p.k, xf + (i * p.n + j) * p.k, p.k);
      xm[2 * f] = a.slope;
      xm[2 * f + 1] = a.intercept;
    }
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_shift_rows_left(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_shift_rows_left_params_t *>(params);
  // A shift outside the row would move a negative byte count.
  if (p.rows > 0 && (p.shift_bytes < 0 || p.shift_bytes > p.row_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_host_frame frame(context);
  unsigned char *data = frame.inout<unsigned char>(p.data, 0);
  if (!frame.ok()) return frame.status();
  for (int64_t r = 0; r < p.rows; ++r) {
    unsigned char *row = data + r * p.row_bytes;
    std::memmove(row, row + p.shift_bytes, size_t(p.row_bytes - p.shift_bytes));
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_gather_rows(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_gather_rows_params_t *>(params);
  qz_ypu_host_frame frame(context);
  unsigned char *output = frame.inout<unsigned char>(p.output, 0);
  const unsigned char *input = frame.in<unsigned char>(p.input, 0);
  const int32_t *index = frame.in<int32_t>(p.index, 0);
  if (!frame.ok()) return frame.status();
  if (p.n < 1) return QZ_STATUS_SUCCESS;
  for (int64_t i = 0; i < p.m; ++i)
    std::memcpy(output + i * p.n, input + int64_t{index[i]} * p.n, size_t(p.n));
  return QZ_STATUS_SUCCESS;
}
