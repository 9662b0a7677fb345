// Host implementations of the data-movement operations: byte copies, zero
// fills, the zero-extending block copy, the batched transpose and the
// sub-block copy. Every written buffer is fetched before it is written, so
// the bytes outside the written range keep their values on every backend.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/error.h"
#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/params.h"

namespace {

qz_status_t invalid(const char *name) {
  qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, name);
  return QZ_STATUS_INVALID_ARGUMENT;
}

}  // namespace

// memmove rather than memcpy: callers promise disjoint ranges, but an
// overlap then costs a slower copy instead of undefined behaviour.
qz_status_t qz_ypu_host_copy_bytes(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_copy_bytes_params_t *>(params);
  qz_ypu_host_frame frame(context);
  auto *out = frame.inout<unsigned char>(p.out, p.out_offset);
  const auto *in = frame.in<unsigned char>(p.in, p.in_offset);
  if (!frame.ok()) return frame.status();
  if (p.count > 0) std::memmove(out, in, static_cast<size_t>(p.count));
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_fill_zero(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_fill_zero_params_t *>(params);
  qz_ypu_host_frame frame(context);
  auto *data = frame.inout<unsigned char>(p.data, p.offset);
  if (!frame.ok()) return frame.status();
  if (p.count > 0) std::memset(data, 0, static_cast<size_t>(p.count));
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_zero_pad_2d(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_zero_pad_2d_params_t *>(params);
  qz_ypu_host_frame frame(context);
  auto *out = frame.inout<uint32_t>(p.out, 0);
  const auto *in = frame.in<uint32_t>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (p.batch <= 0 || p.out_rows <= 0 || p.out_cols <= 0 || p.depth <= 0) return QZ_STATUS_SUCCESS;
  const size_t depth = static_cast<size_t>(p.depth), bytes = depth * sizeof(uint32_t);
  for (int64_t b = 0; b < p.batch; ++b)
    for (int64_t r = 0; r < p.out_rows; ++r)
      for (int64_t q = 0; q < p.out_cols; ++q) {
        uint32_t *cell = out + ((b * p.out_rows + r) * p.out_cols + q) * depth;
        if (r < p.in_rows && q < p.in_cols)
          std::memcpy(cell, in + ((b * p.in_rows + r) * p.in_cols + q) * depth, bytes);
        else
          std::memset(cell, 0, bytes);
      }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_transpose(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_transpose_params_t *>(params);
  qz_ypu_host_frame frame(context);
  auto *out = frame.inout<unsigned char>(p.out, 0);
  const auto *in = frame.in<unsigned char>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (p.element_bytes <= 0) return QZ_STATUS_SUCCESS;
  const size_t size = static_cast<size_t>(p.element_bytes);
  for (int64_t b = 0; b < p.batch; ++b)
    for (int64_t k = 0; k < p.rows; ++k)
      for (int64_t j = 0; j < p.cols; ++j)
        std::memcpy(out + ((b * p.cols + j) * p.rows + k) * size,
                    in + ((b * p.rows + k) * p.cols + j) * size, size);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_ypu_host_copy_block(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_copy_block_params_t *>(params);
  const bool work = p.batch > 0 && p.rows > 0 && p.sub_rows > 0 && p.width > 0;
  // Reading past the input's rows or sub-rows would leave its block.
  if (work && p.rows > p.in_rows) return invalid("rows");
  if (work && p.sub_rows > p.in_sub_rows) return invalid("sub_rows");
  qz_ypu_host_frame frame(context);
  auto *out = frame.inout<float>(p.out, 0);
  const auto *in = frame.in<float>(p.in, 0);
  if (!frame.ok()) return frame.status();
  if (!work) return QZ_STATUS_SUCCESS;
  const int64_t length = int64_t{p.sub_rows} * p.width;
  const int64_t in_row = int64_t{p.in_sub_rows} * p.width;
  for (int64_t b = 0; b < p.batch; ++b)
    for (int64_t r = 0; r < p.rows; ++r)
      std::memcpy(out + (b * p.rows + r) * length, in + (b * p.in_rows + r) * in_row,
                  static_cast<size_t>(length) * sizeof(float));
  return QZ_STATUS_SUCCESS;
}
