// The data-movement operations that need no kernel: byte copies, zero fills,
// zero padding and sub-block copies, recorded on the blit encoder. They keep
// no state.
//
// On macOS a blit's offsets and sizes must be multiples of 4 bytes and a
// fill must not be empty: calls that cannot meet that are declined (the
// layer then runs the host implementation over the mapped buffers), and
// empty commands are not recorded.
#include <cstdint>

#include "ypu/metal/device.h"
#include "ypu/metal/ops.h"
#include "ypu/params.h"

namespace {

bool word_aligned(int64_t value) { return value % 4 == 0; }

void copy(qz_ypu_metal_device_t *device, const qz_ypu_buffer_t *source, int64_t source_offset,
          const qz_ypu_buffer_t *destination, int64_t destination_offset, int64_t size) {
  if (size <= 0) return;
  const qz_ypu_metal_runtime_t &rt = QZ_YPU_METAL_RUNTIME;
  rt.send_copy(qz_ypu_metal_get_blit_encoder(device),
               rt.sel("copyFromBuffer:sourceOffset:toBuffer:destinationOffset:size:"),
               qz_ypu_metal_buffer_object(source), static_cast<uintptr_t>(source_offset),
               qz_ypu_metal_buffer_object(destination), static_cast<uintptr_t>(destination_offset),
               static_cast<uintptr_t>(size));
}

void fill_zero(qz_ypu_metal_device_t *device, const qz_ypu_buffer_t *buffer, int64_t offset,
               int64_t size) {
  if (size <= 0) return;
  const qz_ypu_metal_runtime_t &rt = QZ_YPU_METAL_RUNTIME;
  rt.send_fill(qz_ypu_metal_get_blit_encoder(device), rt.sel("fillBuffer:range:value:"),
               qz_ypu_metal_buffer_object(buffer),
               qz_ns_range_t{static_cast<uintptr_t>(offset), static_cast<uintptr_t>(size)}, 0);
}

}  // namespace

qz_status_t qz_ypu_metal_copy_bytes(qz_ypu_metal_device_t *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_copy_bytes_params_t *>(params);
  if (p.count <= 0) return QZ_STATUS_SUCCESS;
  if (!word_aligned(p.count) || !word_aligned(p.out_offset) || !word_aligned(p.in_offset))
    return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_metal_begin_blit(device);
  copy(device, p.in, p.in_offset, p.out, p.out_offset, p.count);
  return qz_ypu_metal_end_blit(device);
}

qz_status_t qz_ypu_metal_fill_zero(qz_ypu_metal_device_t *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_fill_zero_params_t *>(params);
  if (p.count <= 0) return QZ_STATUS_SUCCESS;
  if (!word_aligned(p.count) || !word_aligned(p.offset)) return QZ_STATUS_INVALID_ARGUMENT;
  qz_ypu_metal_begin_blit(device);
  fill_zero(device, p.data, p.offset, p.count);
  return qz_ypu_metal_end_blit(device);
}

// Each [in_rows][in_cols][depth] block into the top-left corner of its
// [out_rows][out_cols][depth] block, the rest of that block 0.
qz_status_t qz_ypu_metal_zero_pad_2d(qz_ypu_metal_device_t *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_zero_pad_2d_params_t *>(params);
  if (p.batch <= 0 || p.out_rows <= 0 || p.out_cols <= 0 || p.depth <= 0) return QZ_STATUS_SUCCESS;
  // An input larger than the output block is clipped by the host; the
  // blits here would write across block boundaries.
  if (p.in_rows < 0 || p.in_cols < 0 || p.in_rows > p.out_rows || p.in_cols > p.out_cols)
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t out_row = int64_t{p.out_cols} * p.depth * 4;
  const int64_t in_row = int64_t{p.in_cols} * p.depth * 4;
  qz_ypu_metal_begin_blit(device);
  for (int64_t i = 0; i < p.batch; ++i) {
    for (int64_t r = 0; r < p.in_rows; ++r) {
      const int64_t at = (i * p.out_rows + r) * out_row;
      copy(device, p.in, (i * p.in_rows + r) * in_row, p.out, at, in_row);
      fill_zero(device, p.out, at + in_row, out_row - in_row);
    }
    fill_zero(device, p.out, (i * p.out_rows + p.in_rows) * out_row,
              (p.out_rows - p.in_rows) * out_row);
  }
  return qz_ypu_metal_end_blit(device);
}

// The leading [rows][sub_rows][width] of every [in_rows][in_sub_rows][width]
// input block, packed.
qz_status_t qz_ypu_metal_copy_block(qz_ypu_metal_device_t *device, void *, const void *params) {
  const auto &p = *static_cast<const qz_ypu_copy_block_params_t *>(params);
  if (p.batch <= 0 || p.rows <= 0 || p.sub_rows <= 0 || p.width <= 0) return QZ_STATUS_SUCCESS;
  // Reading past the input's rows or sub-rows would leave its block: the
  // host implementation refuses such a call with its message.
  if (p.rows > p.in_rows || p.sub_rows > p.in_sub_rows) return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t out_row = int64_t{p.sub_rows} * p.width * 4;
  const int64_t in_row = int64_t{p.in_sub_rows} * p.width * 4;
  qz_ypu_metal_begin_blit(device);
  for (int64_t i = 0; i < p.batch; ++i)
    for (int64_t j = 0; j < p.rows; ++j)
      copy(device, p.in, (i * p.in_rows + j) * in_row, p.out, (i * p.rows + j) * out_row, out_row);
  return qz_ypu_metal_end_blit(device);
}
