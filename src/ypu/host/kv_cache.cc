// Host implementations of the key/value cache writers and movers: rows
// quantised into ring caches (ops 90, 91) and linear caches (op 56), the
// left shift that drops a linear cache's oldest positions (op 43) and the row
// gather that reorders caches by beam (op 31).
#include <cmath>
#include <cstring>
#include <limits>

// The row quantiser raises no floating-point exception anyone looks at;
// telling GCC so (for the shared code arithmetic and the quantiser, up to
// pop_options) lets it take the code loop several elements at a time. Every
// element's operations and roundings stay the same.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-trapping-math")
#endif
#include "ypu/affine_code.h"
#include "ypu/host/attention.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

struct row_range {
  float lo, hi;
};

// The minimum and maximum skip NaN elements (unless every element is NaN)
// and, of equal elements, keep the later: of +0 and -0, the sign of the last.
row_range range_in_order(const float *x, int32_t k) {
  row_range r{x[0], x[0]};
  for (int32_t i = 1; i < k; ++i) {
    r.lo = qz_ypu_affine_min(r.lo, x[i]);
    r.hi = qz_ypu_affine_max(r.hi, x[i]);
  }
  return r;
}

// The same range, eight independent chains at a time (lane l takes elements
// l, l + 8, ...), with plain compare-and-select steps that skip NaN elements
// and run as vector minimum and maximum instructions. A finite nonzero
// extreme has one bit pattern whatever the order, so it stands; a zero
// (whose sign depends on which zero came last), an infinity or a row with
// no number sends the row through in order.
row_range range_of(const float *x, int32_t k) {
  constexpr int32_t kLanes = 8;
  if (k < 2 * kLanes) return range_in_order(x, k);
  const float inf = std::numeric_limits<float>::infinity();
  row_range r{inf, -inf};
  int32_t i = 0;
#if defined(__GNUC__)
  // Two four-lane vectors per side: the width of the baseline vector unit.
  typedef float lanes __attribute__((vector_size(16)));
  const lanes up = {inf, inf, inf, inf}, down = -up;
  lanes lo[2] = {up, up}, hi[2] = {down, down};
  for (; i + kLanes <= k; i += kLanes)
    for (int h = 0; h < 2; ++h) {
      lanes v;
      std::memcpy(&v, x + i + 4 * h, sizeof v);
      lo[h] = v < lo[h] ? v : lo[h];
      hi[h] = v > hi[h] ? v : hi[h];
    }
  for (int32_t l = 0; l < kLanes; ++l) {
    r.lo = lo[l / 4][l % 4] < r.lo ? lo[l / 4][l % 4] : r.lo;
    r.hi = hi[l / 4][l % 4] > r.hi ? hi[l / 4][l % 4] : r.hi;
  }
#endif
  for (; i < k; ++i) {
    r.lo = x[i] < r.lo ? x[i] : r.lo;
    r.hi = x[i] > r.hi ? x[i] : r.hi;
  }
  const float most = std::numeric_limits<float>::max();
  const bool settled = r.lo != 0.0f && r.hi != 0.0f && std::fabs(r.lo) <= most &&
                       std::fabs(r.hi) <= most;
  return settled ? r : range_in_order(x, k);
}

template <class Code>
qz_ypu_row_affine_t quantize_row(Code *codes, const float *x, int32_t k, float levels) {
  if (k < 1) return {0.0f, 0.0f};
  const auto [lo, hi] = range_of(x, k);
  const float slope = (hi - lo) / levels;
  for (int32_t i = 0; i < k; ++i)
    codes[i] = static_cast<Code>(qz_ypu_affine_code(x[i], lo, slope, levels));
  return {slope, lo};
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

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
