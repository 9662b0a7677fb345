// Host implementations of the low-bit linear operation and the repack
// operation. The linear operation reads tiles only in their canonical form:
// a backend whose repack entry re-lays tiles also has a linear entry that
// reads them, so the host never sees re-laid tiles.
#include <algorithm>
#include <memory>
#include <new>

#include "ypu/host/frame.h"
#include "ypu/host/host.h"
#include "ypu/lowbit.h"
#include "ypu/params.h"

namespace {

// A scratch buffer taken from the context's cache and given back to it. The
// cache cannot hand out empty buffers, so a zero size becomes one float.
class scratch_buffer {
 public:
  scratch_buffer(qz_ypu_context_t *context, int64_t bytes)
      : context_(context),
        buffer_(qz_ypu_buffer_acquire(context, static_cast<int32_t>(std::max<int64_t>(bytes, 4)))) {}
  ~scratch_buffer() { qz_ypu_buffer_release(context_, buffer_); }
  scratch_buffer(const scratch_buffer &) = delete;
  scratch_buffer &operator=(const scratch_buffer &) = delete;
  qz_ypu_buffer_t *get() const { return buffer_; }

 private:
  qz_ypu_context_t *context_;
  qz_ypu_buffer_t *buffer_;
};

// True when `buffer` holds at least `bytes` bytes.
bool holds(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer, int64_t bytes) {
  return buffer && qz_ypu_ops(context).buffer_size(context->device, buffer) >= bytes;
}

// The counts, R, n and offsets come from the model file and the caller; a
// wrong one must not send a read or write outside the buffers.
qz_status_t check_linear(qz_ypu_context_t *context, const qz_ypu_linear_lowbit_params_t &p,
                         qz_ypu_lowbit_layout_t *layout) {
  if (!qz_ypu_lowbit_layout_init(layout, p.row_blocks, p.width_counts))
    return QZ_STATUS_INVALID_ARGUMENT;
  if (p.n < 0 || p.in_offset < 0 || p.out_offset < 0) return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t in_bytes = int64_t{p.n} * layout->columns * 4;
  const int64_t out_bytes = int64_t{p.n} * layout->row_blocks * QZ_YPU_LOWBIT_TILE_ROWS * 4;
  if (!holds(context, p.perm, int64_t{layout->columns} * 4) ||
      !holds(context, p.scales, layout->scale_bytes) ||
      !holds(context, p.tiles, layout->tile_bytes) ||
      !holds(context, p.in, p.in_offset + in_bytes) ||
      !holds(context, p.out, p.out_offset + out_bytes))
    return QZ_STATUS_INVALID_ARGUMENT;
  return QZ_STATUS_SUCCESS;
}

// Checks that perm uses every input element once; anything else would read
// outside the input row or leave columns of the expanded matrix unwritten.
qz_status_t check_perm(const int32_t *perm, int32_t columns) {
  std::unique_ptr<uint8_t[]> seen(new (std::nothrow) uint8_t[size_t(columns)]);
  if (!seen) return QZ_STATUS_OUT_OF_MEMORY;
  return qz_ypu_lowbit_perm_valid(perm, columns, seen.get()) ? QZ_STATUS_SUCCESS
                                                              : QZ_STATUS_INVALID_ARGUMENT;
}

struct tile_view {
  float offset;
  float scale;
  qz_ypu_lowbit_tile_t codes;
};

void read_tile(const qz_ypu_lowbit_layout_t &layout, const qz_scale16_t *scales,
               const uint8_t *tiles, int32_t width, int32_t rb, int32_t g, tile_view *tile) {
  const int32_t pair = qz_ypu_lowbit_pair_index(layout, width, rb, g);
  tile->offset = qz_scale16_decode(scales[2 * pair]);
  tile->scale = qz_scale16_decode(scales[2 * pair + 1]);
  qz_ypu_lowbit_tile_decode(tiles + qz_ypu_lowbit_tile_offset(layout, width, rb, g), width,
                            &tile->codes);
}

// One input row: every tile's contribution is scale × (codes · inputs) +
// offset × (group sum), in the order the baseline CPU kernels use, so both
// give the same floats.
qz_status_t linear_one_row(qz_ypu_context_t *context, const qz_ypu_linear_lowbit_params_t &p,
                           const qz_ypu_lowbit_layout_t &layout) {
  const int32_t groups = layout.groups;
  scratch_buffer x_buffer(context, int64_t{layout.columns} * 4);
  scratch_buffer y_buffer(context, int64_t{groups} * 4);
  if (!x_buffer.get() || !y_buffer.get()) return QZ_STATUS_OUT_OF_MEMORY;

  // Gather the inputs into stored column order and sum each group.
  {
    qz_ypu_host_frame frame(context);
    float *x = frame.out<float>(x_buffer.get(), 0);
    float *y = frame.out<float>(y_buffer.get(), 0);
    const float *in = frame.in<float>(p.in, p.in_offset);
    const int32_t *perm = frame.in<int32_t>(p.perm, 0);
    if (!frame.ok()) return frame.status();
    if (const qz_status_t status = check_perm(perm, layout.columns); status != QZ_STATUS_SUCCESS)
      return status;
    for (int32_t j = 0; j < groups; ++j) {
      float sum = 0.0f;
      for (int32_t k = 0; k < QZ_YPU_LOWBIT_TILE_COLS; ++k) {
        const int32_t column = QZ_YPU_LOWBIT_TILE_COLS * j + k;
        x[column] = in[perm[column]];
        sum = sum + x[column];
      }
      y[j] = sum;
    }
  }

  qz_ypu_host_frame frame(context);
  float *out = frame.inout<float>(p.out, p.out_offset);
  const float *x = frame.in<float>(x_buffer.get(), 0);
  const float *y = frame.in<float>(y_buffer.get(), 0);
  const qz_scale16_t *scales = frame.in<qz_scale16_t>(p.scales, 0);
  const uint8_t *tiles = frame.in<uint8_t>(p.tiles, 0);
  if (!frame.ok()) return frame.status();
  tile_view tile;
  for (int32_t rb = 0; rb < layout.row_blocks; ++rb) {
    float acc[QZ_YPU_LOWBIT_TILE_ROWS] = {};
    for (int32_t width = 1; width <= QZ_YPU_LOWBIT_MAX_WIDTH; ++width) {
      for (int32_t g = 0; g < layout.counts[width - 1]; ++g) {
        const int32_t j = layout.group_start[width - 1] + g;
        read_tile(layout, scales, tiles, width, rb, g, &tile);
        const float *xj = x + QZ_YPU_LOWBIT_TILE_COLS * j;
        for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
          const uint8_t *codes = tile.codes.codes + QZ_YPU_LOWBIT_TILE_COLS * r;
          float d = 0.0f;
          for (int32_t k = 0; k < QZ_YPU_LOWBIT_TILE_COLS; ++k) {
            const float product = static_cast<float>(codes[k]) * xj[k];
            d = d + product;
          }
          const float coded = d * tile.scale;
          const float shifted = tile.offset * y[j];
          acc[r] = (coded + shifted) + acc[r];
        }
      }
    }
    std::copy(acc, acc + QZ_YPU_LOWBIT_TILE_ROWS, out + int64_t{QZ_YPU_LOWBIT_TILE_ROWS} * rb);
  }
  return QZ_STATUS_SUCCESS;
}

// Several input rows: expand W into a float matrix in input order, then let
// the backend's float product (op 40) multiply it.
qz_status_t linear_many_rows(qz_ypu_context_t *context, const qz_ypu_linear_lowbit_params_t &p,
                             const qz_ypu_lowbit_layout_t &layout) {
  const int64_t rows = int64_t{layout.row_blocks} * QZ_YPU_LOWBIT_TILE_ROWS;
  const int64_t columns = layout.columns;
  if (rows * columns * 4 > INT32_MAX) return QZ_STATUS_OUT_OF_MEMORY;
  scratch_buffer dense_buffer(context, rows * columns * 4);
  if (!dense_buffer.get()) return QZ_STATUS_OUT_OF_MEMORY;

  {
    qz_ypu_host_frame frame(context);
    float *dense = frame.out<float>(dense_buffer.get(), 0);
    const int32_t *perm = frame.in<int32_t>(p.perm, 0);
    const qz_scale16_t *scales = frame.in<qz_scale16_t>(p.scales, 0);
    const uint8_t *tiles = frame.in<uint8_t>(p.tiles, 0);
    if (!frame.ok()) return frame.status();
    // A permutation writes every element once, so the matrix needs no clearing.
    if (const qz_status_t status = check_perm(perm, layout.columns); status != QZ_STATUS_SUCCESS)
      return status;
    tile_view tile;
    for (int32_t rb = 0; rb < layout.row_blocks; ++rb)
      for (int32_t width = 1; width <= QZ_YPU_LOWBIT_MAX_WIDTH; ++width)
        for (int32_t g = 0; g < layout.counts[width - 1]; ++g) {
          const int32_t j = layout.group_start[width - 1] + g;
          read_tile(layout, scales, tiles, width, rb, g, &tile);
          for (int32_t r = 0; r < QZ_YPU_LOWBIT_TILE_ROWS; ++r) {
            float *row = dense + (int64_t{QZ_YPU_LOWBIT_TILE_ROWS} * rb + r) * columns;
            for (int32_t k = 0; k < QZ_YPU_LOWBIT_TILE_COLS; ++k) {
              const float coded = static_cast<float>(tile.codes.codes[QZ_YPU_LOWBIT_TILE_COLS * r + k]) *
                                  tile.scale;
              row[perm[QZ_YPU_LOWBIT_TILE_COLS * j + k]] = coded + tile.offset;
            }
          }
        }
  }

  const qz_ypu_matmul_nt_f32_params_t product{
      .out = p.out,
      .a = p.in,
      .b = dense_buffer.get(),
      .m = p.n,
      .n = static_cast<int32_t>(rows),
      .k = layout.columns,
      .out_offset = p.out_offset,
      .a_offset = p.in_offset,
      .b_offset = 0,
  };
  return qz_ypu_execute(context, QZ_YPU_OP_MATMUL_NT_F32, &product);
}

}  // namespace

qz_status_t qz_ypu_host_linear_lowbit(qz_ypu_context_t *context, const void *params) {
  const auto &p = *static_cast<const qz_ypu_linear_lowbit_params_t *>(params);
  qz_ypu_lowbit_layout_t layout;
  if (const qz_status_t status = check_linear(context, p, &layout); status != QZ_STATUS_SUCCESS)
    return status;
  if (p.n == 0) return QZ_STATUS_SUCCESS;
  return p.n == 1 ? linear_one_row(context, p, layout) : linear_many_rows(context, p, layout);
}

// Tiles stay in the canonical form that the host linear operation reads.
qz_status_t qz_ypu_host_repack_lowbit(qz_ypu_context_t *, const void *) {
  return QZ_STATUS_SUCCESS;
}
