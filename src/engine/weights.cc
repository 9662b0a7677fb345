// Weight objects: the readers for every storage kind of the model file, the
// load-time repack of low-bit weights, and the callbacks through which the
// layers use a weight without knowing how it is stored.
#include <cstring>

#include "engine/model.h"
#include "ypu/lowbit.h"
#include "ypu/params.h"

namespace {

// Site codes.
constexpr const char *SITE_SHORT_TENSOR = "5143e09";
constexpr const char *SITE_OFFSET_TABLE = "bf3018f";
constexpr const char *SITE_OFFSET_ROW = "d134232";
constexpr const char *SITE_OFFSET_UPLOAD = "aba5af0";
constexpr const char *SITE_REPACK = "e2c6070";

constexpr qz_status_t kShortRead = QZ_STATUS_IO_ERROR;

// Reads count elements into a fresh device buffer; a short read pushes the
// site code of device arrays.
qz_status_t qz_norvo_read_device_array(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer,
                                       int32_t element_size, int32_t count, FILE *file) {
  if (qz_norvo_read_tensor(context, buffer, element_size, count, file) == QZ_STATUS_SUCCESS)
    return QZ_STATUS_SUCCESS;
  qz_error_site(SITE_SHORT_TENSOR);
  return kShortRead;
}

// Shape of a matrix: both sizes at least 1 and the f32 array a valid buffer size.
qz_status_t qz_norvo_matrix_bytes(int32_t rows, int32_t cols, int32_t *bytes) {
  qz_status_t status = qz_norvo_check_positive(rows, "rows");
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(cols, "cols");
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(int64_t{rows} * cols, sizeof(float), "rows", bytes);
  return status;
}

void qz_norvo_linear_head(qz_norvo_weight_t *head, int32_t format, int32_t rows, int32_t cols) {
  head->tag = QZ_NORVO_WEIGHT_TAG_LINEAR;
  head->format = format;
  head->rows = rows;
  head->cols = cols;
}

void qz_norvo_table_head(qz_norvo_weight_t *head, int32_t format, int32_t rows, int32_t cols) {
  head->tag = QZ_NORVO_WEIGHT_TAG_EMBEDDING;
  head->format = format;
  head->rows = rows;
  head->cols = cols;
}

// Checks a row index against a table before it is read.
qz_status_t qz_norvo_check_row(const qz_norvo_weight_t *weight, int32_t row) {
  if (row >= 0 && row < weight->rows) return QZ_STATUS_SUCCESS;
  return qz_norvo_invalid("row");
}

}  // namespace

// ---------------------------------------------------------------------------
// Dense weights (kinds 0 and -666).

qz_status_t qz_norvo_dense_weight_load(qz_ypu_context_t *context, FILE *file,
                                       qz_norvo_weight_t **out) {
  int32_t rows = 0, cols = 0, bytes = 0;
  qz_status_t status = qz_norvo_read_i32(file, &rows);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, &cols);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_matrix_bytes(rows, cols, &bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  auto weight = qz_norvo_record_new<qz_norvo_dense_weight_t>(context);
  if (!weight) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_dense_weight_free(context, &weight->head); });
  qz_norvo_linear_head(&weight->head, QZ_NORVO_WEIGHT_DENSE, rows, cols);
  weight->head.free = qz_norvo_dense_weight_free;
  weight->head.forward = qz_norvo_dense_weight_forward;

  weight->data = qz_norvo_buffer_new(context, bytes);
  if (!weight->data) return QZ_STATUS_OUT_OF_MEMORY;
  status = qz_norvo_read_device_array(context, weight->data, sizeof(float), rows * cols, file);
  if (status != QZ_STATUS_SUCCESS) return status;

  cleanup.dismiss();
  *out = &weight->head;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_named_dense_weight_load(qz_ypu_context_t *context, FILE *file,
                                             qz_norvo_weight_t **out) {
  const qz_status_t status = qz_norvo_skip_name(file);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_dense_weight_load(context, file, out);
}

void qz_norvo_dense_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  if (!weight) return;
  auto dense = reinterpret_cast<qz_norvo_dense_weight_t *>(weight);
  qz_norvo_buffer_delete(context, &dense->data);
  qz_norvo_record_delete(context, dense);
}

qz_status_t qz_norvo_dense_weight_forward(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                          qz_ypu_buffer_t *in, qz_norvo_weight_t *weight, int32_t n,
                                          int32_t out_offset, int32_t in_offset) {
  auto dense = reinterpret_cast<qz_norvo_dense_weight_t *>(weight);
  const qz_ypu_matmul_nt_f32_params_t params{.out = out,
                                             .a = in,
                                             .b = dense->data,
                                             .m = n,
                                             .n = weight->rows,
                                             .k = weight->cols,
                                             .out_offset = out_offset,
                                             .a_offset = in_offset,
                                             .b_offset = 0};
  return qz_norvo_execute(context, QZ_YPU_OP_MATMUL_NT_F32, &params);
}

// ---------------------------------------------------------------------------
// 2-D convolution kernels (kind -656).

qz_status_t qz_norvo_conv2d_weight_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_weight_t **out) {
  int32_t dropped = 0, rows = 0, cols = 0, kernel_height = 0, kernel_width = 0, bytes = 0;
  qz_status_t status = qz_norvo_skip_name(file);
  for (int32_t *field : {&dropped, &dropped, &rows, &cols, &kernel_height, &kernel_width})
    if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, field);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(rows, "rows");
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(cols, "cols");
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(kernel_height, "kernel_height");
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(kernel_width, "kernel_width");
  const int64_t count = int64_t{rows} * cols * kernel_height * kernel_width;
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(count, sizeof(float), "kernel_width", &bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  auto weight = qz_norvo_record_new<qz_norvo_conv2d_weight_t>(context);
  if (!weight) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_conv2d_weight_free(context, &weight->head); });
  qz_norvo_linear_head(&weight->head, QZ_NORVO_WEIGHT_CONV2D, rows, cols);
  weight->kernel_height = kernel_height;
  weight->kernel_width = kernel_width;
  weight->head.free = qz_norvo_conv2d_weight_free;
  weight->head.forward_conv2d = qz_norvo_conv2d_weight_forward;

  weight->data = qz_norvo_buffer_new(context, bytes);
  if (!weight->data) return QZ_STATUS_OUT_OF_MEMORY;
  status = qz_norvo_read_device_array(context, weight->data, sizeof(float),
                                      static_cast<int32_t>(count), file);
  if (status != QZ_STATUS_SUCCESS) return status;

  cleanup.dismiss();
  *out = &weight->head;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_conv2d_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  if (!weight) return;
  auto conv = reinterpret_cast<qz_norvo_conv2d_weight_t *>(weight);
  qz_norvo_buffer_delete(context, &conv->data);
  qz_norvo_record_delete(context, conv);
}

qz_status_t qz_norvo_conv2d_weight_forward(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                           qz_ypu_buffer_t *in, qz_norvo_weight_t *weight,
                                           int32_t batch, int32_t height, int32_t width,
                                           int32_t stride, int32_t padding) {
  auto conv = reinterpret_cast<qz_norvo_conv2d_weight_t *>(weight);
  const qz_ypu_conv2d_f32_params_t params{.out = out,
                                          .in = in,
                                          .weights = conv->data,
                                          .stride = stride,
                                          .pad = padding,
                                          .batch = batch,
                                          .out_channels = weight->rows,
                                          .in_channels = weight->cols,
                                          .in_height = height,
                                          .in_width = width,
                                          .kernel_height = conv->kernel_height,
                                          .kernel_width = conv->kernel_width};
  return qz_norvo_execute(context, QZ_YPU_OP_CONV2D_F32, &params);
}

// ---------------------------------------------------------------------------
// Low-bit weights (kinds -665 and -664).

namespace {

// The tile shape op 93 computes with, and a matrix made of whole tiles.
qz_status_t qz_norvo_lowbit_check_shape(int32_t rows, int32_t cols, int32_t tile_rows,
                                        int32_t tile_cols) {
  if (tile_rows != QZ_NORVO_LOWBIT_TILE_ROWS) return qz_norvo_invalid("tile_rows");
  if (tile_cols != QZ_NORVO_LOWBIT_TILE_COLS) return qz_norvo_invalid("tile_cols");
  if (rows < 1 || rows % tile_rows != 0) return qz_norvo_invalid("rows");
  if (cols < 1 || cols % tile_cols != 0) return qz_norvo_invalid("cols");
  int32_t bytes = 0;
  return qz_norvo_byte_size(cols, sizeof(int32_t), "cols", &bytes);
}

// Width counts from the (width, start) pairs of a mixed weight: groups of one
// width are contiguous, ordered by width, and together cover all G groups.
qz_status_t qz_norvo_lowbit_width_table(const int32_t *widths, const int32_t *starts, int32_t n,
                                        int32_t groups, uint32_t *width_counts) {
  int32_t table[QZ_NORVO_LOWBIT_WIDTHS + 1];
  for (int32_t &entry : table) entry = -1;
  table[QZ_NORVO_LOWBIT_WIDTHS] = groups;
  for (int32_t i = 0; i < n; ++i) {
    if (widths[i] < 1 || widths[i] > QZ_NORVO_LOWBIT_WIDTHS || table[widths[i] - 1] != -1)
      return qz_norvo_invalid("widths");
    if (starts[i] < 0 || starts[i] > groups) return qz_norvo_invalid("starts");
    table[widths[i] - 1] = starts[i];
  }
  for (int k = QZ_NORVO_LOWBIT_WIDTHS - 1; k >= 0; --k)
    if (table[k] == -1) table[k] = table[k + 1];
  // Every group needs a width: the narrowest present class starts at 0, and
  // starts never decrease with the width.
  if (table[0] != 0) return qz_norvo_invalid("starts");
  for (int k = 0; k < QZ_NORVO_LOWBIT_WIDTHS; ++k) {
    if (table[k + 1] < table[k]) return qz_norvo_invalid("starts");
    width_counts[k] = static_cast<uint32_t>(table[k + 1] - table[k]);
  }
  return QZ_STATUS_SUCCESS;
}

// The column order must use every input column exactly once.
qz_status_t qz_norvo_lowbit_check_perm(qz_ypu_context_t *context,
                                       qz_norvo_lowbit_weight_t *weight) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  const int32_t cols = weight->head.cols;
  auto seen = static_cast<uint8_t *>(qz_norvo_record_alloc(context, cols));
  if (!seen) return QZ_STATUS_OUT_OF_MEMORY;
  auto perm = static_cast<const int32_t *>(ops.buffer_map(context->device, weight->perm, 1));
  bool ok = perm != nullptr;
  for (int32_t j = 0; ok && j < cols; ++j) {
    ok = perm[j] >= 0 && perm[j] < cols && !seen[perm[j]];
    if (ok) seen[perm[j]] = 1;
  }
  if (perm) ops.buffer_unmap(context->device, weight->perm, 0);
  qz_norvo_record_delete(context, seen);
  if (!perm) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  return ok ? QZ_STATUS_SUCCESS : qz_norvo_invalid("perm");
}

qz_status_t qz_norvo_lowbit_identity_perm(qz_ypu_context_t *context,
                                          qz_norvo_lowbit_weight_t *weight) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  auto perm = static_cast<int32_t *>(ops.buffer_map(context->device, weight->perm, 0));
  if (!perm) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  for (int32_t j = 0; j < weight->head.cols; ++j) perm[j] = j;
  ops.buffer_unmap(context->device, weight->perm, 1);
  return QZ_STATUS_SUCCESS;
}

// The optional per-output offset: an embedding table whose row 0 holds one
// float per output row.
qz_status_t qz_norvo_lowbit_offset_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_lowbit_weight_t *weight) {
  qz_norvo_weight_t *table = nullptr;
  qz_status_t status = qz_norvo_embedding_weight_load(context, file, &table);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_OFFSET_TABLE);
    return status;
  }
  qz_norvo_guard free_table([&] { qz_norvo_weight_free(context, table); });
  // Op 2 reads one float per output row from the offset buffer.
  if (table->cols != weight->head.rows) {
    status = qz_norvo_invalid("offset");
    qz_error_site(SITE_OFFSET_TABLE);
    return status;
  }
  const int32_t bytes = table->cols * static_cast<int32_t>(sizeof(float));
  auto row = static_cast<float *>(qz_norvo_record_alloc(context, bytes));
  if (!row) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard free_row([&] { qz_norvo_record_delete(context, row); });
  status = table->lookup_row(context, table, row, 0);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site(SITE_OFFSET_ROW);
    return status;
  }
  weight->offset = qz_norvo_buffer_new(context, bytes);
  if (!weight->offset) return QZ_STATUS_OUT_OF_MEMORY;
  status = qz_ypu_ops(context).buffer_upload(context->device, weight->offset, row, 0, bytes);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_OFFSET_UPLOAD);
  return status;
}

// Everything after the column order and the width counts: scales, tiles,
// the optional offset, and the repack.
qz_status_t qz_norvo_lowbit_tail_load(qz_ypu_context_t *context, FILE *file,
                                      qz_norvo_lowbit_weight_t *weight) {
  const int64_t row_blocks = weight->head.rows / weight->tile_rows;
  const int64_t groups = weight->head.cols / weight->tile_cols;
  int64_t code_bits = 0;  // bits of one tile row across all groups
  for (int w = 1; w <= QZ_NORVO_LOWBIT_WIDTHS; ++w)
    code_bits += int64_t{w} * weight->width_counts[w - 1];
  int32_t scale_bytes = 0, tile_bytes = 0;
  qz_status_t status = qz_norvo_byte_size(row_blocks * groups, 4, "cols", &scale_bytes);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(row_blocks * code_bits, weight->tile_rows * weight->tile_cols / 8,
                                "cols", &tile_bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  weight->scales = qz_norvo_buffer_new(context, scale_bytes);
  if (!weight->scales) return QZ_STATUS_OUT_OF_MEMORY;
  status =
      qz_norvo_read_device_array(context, weight->scales, sizeof(uint16_t), scale_bytes / 2, file);
  if (status != QZ_STATUS_SUCCESS) return status;

  weight->tiles = qz_norvo_buffer_new(context, tile_bytes);
  if (!weight->tiles) return QZ_STATUS_OUT_OF_MEMORY;
  status = qz_norvo_read_device_array(context, weight->tiles, 1, tile_bytes, file);
  if (status != QZ_STATUS_SUCCESS) return status;

  int32_t offset_flag = 0;
  status = qz_norvo_read_i32(file, &offset_flag);
  if (status == QZ_STATUS_SUCCESS && offset_flag != 0)
    status = qz_norvo_lowbit_offset_load(context, file, weight);
  if (status != QZ_STATUS_SUCCESS) return status;

  // Only 16 x 8 tiles get this far.
  status = qz_norvo_lowbit_weight_repack(context, &weight->head);
  if (status != QZ_STATUS_SUCCESS) qz_error_site(SITE_REPACK);
  return status;
}

// Reads the name, the shape and the tile shape and makes the record.
qz_status_t qz_norvo_lowbit_head_load(qz_ypu_context_t *context, FILE *file,
                                      qz_norvo_lowbit_weight_t **out) {
  int32_t rows = 0, cols = 0, tile_rows = 0, tile_cols = 0;
  qz_status_t status = qz_norvo_skip_name(file);
  for (int32_t *field : {&rows, &cols, &tile_rows, &tile_cols})
    if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, field);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_lowbit_check_shape(rows, cols, tile_rows, tile_cols);
  if (status != QZ_STATUS_SUCCESS) return status;

  auto weight = qz_norvo_record_new<qz_norvo_lowbit_weight_t>(context);
  if (!weight) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_linear_head(&weight->head, QZ_NORVO_WEIGHT_LOWBIT, rows, cols);
  weight->tile_rows = tile_rows;
  weight->tile_cols = tile_cols;
  weight->head.free = qz_norvo_lowbit_weight_free;
  weight->head.forward = qz_norvo_lowbit_weight_forward;
  weight->perm = qz_norvo_buffer_new(context, cols * static_cast<int32_t>(sizeof(int32_t)));
  if (!weight->perm) {
    qz_norvo_lowbit_weight_destroy(context, weight);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  *out = weight;
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_norvo_lowbit_weight_load(qz_ypu_context_t *context, FILE *file,
                                        qz_norvo_weight_t **out) {
  qz_norvo_lowbit_weight_t *weight = nullptr;
  qz_status_t status = qz_norvo_lowbit_head_load(context, file, &weight);
  if (status != QZ_STATUS_SUCCESS) return status;
  qz_norvo_guard cleanup([&] { qz_norvo_lowbit_weight_destroy(context, weight); });

  status = qz_norvo_lowbit_identity_perm(context, weight);
  if (status != QZ_STATUS_SUCCESS) return status;
  int32_t bits = 0, dropped = 0;
  status = qz_norvo_read_i32(file, &bits);
  if (status == QZ_STATUS_SUCCESS && (bits < 1 || bits > QZ_NORVO_LOWBIT_WIDTHS))
    status = qz_norvo_invalid("bits");
  if (status != QZ_STATUS_SUCCESS) return status;
  weight->width_counts[bits - 1] = static_cast<uint32_t>(weight->head.cols / weight->tile_cols);
  status = qz_norvo_read_i32(file, &dropped);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_lowbit_tail_load(context, file, weight);
  if (status != QZ_STATUS_SUCCESS) return status;

  cleanup.dismiss();
  *out = &weight->head;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_lowbit_mixed_weight_load(qz_ypu_context_t *context, FILE *file,
                                              qz_norvo_weight_t **out) {
  qz_norvo_lowbit_weight_t *weight = nullptr;
  qz_status_t status = qz_norvo_lowbit_head_load(context, file, &weight);
  if (status != QZ_STATUS_SUCCESS) return status;
  qz_norvo_guard cleanup([&] { qz_norvo_lowbit_weight_destroy(context, weight); });

  status =
      qz_norvo_read_device_array(context, weight->perm, sizeof(int32_t), weight->head.cols, file);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_lowbit_check_perm(context, weight);
  int32_t n = 0;
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, &n);
  if (status == QZ_STATUS_SUCCESS && (n < 1 || n > QZ_NORVO_LOWBIT_WIDTHS))
    status = qz_norvo_invalid("n");
  int32_t widths[QZ_NORVO_LOWBIT_WIDTHS] = {}, starts[QZ_NORVO_LOWBIT_WIDTHS] = {}, dropped = 0;
  for (int32_t i = 0; i < n && status == QZ_STATUS_SUCCESS; ++i)
    status = qz_norvo_read_i32(file, &widths[i]);
  for (int32_t i = 0; i < n && status == QZ_STATUS_SUCCESS; ++i)
    status = qz_norvo_read_i32(file, &starts[i]);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_lowbit_width_table(widths, starts, n, weight->head.cols / weight->tile_cols,
                                         weight->width_counts);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, &dropped);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_lowbit_tail_load(context, file, weight);
  if (status != QZ_STATUS_SUCCESS) return status;

  cleanup.dismiss();
  *out = &weight->head;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_lowbit_weight_repack(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  auto lowbit = reinterpret_cast<qz_norvo_lowbit_weight_t *>(weight);
  qz_ypu_repack_lowbit_params_t params{.tiles = lowbit->tiles,
                                       .row_blocks = weight->rows / lowbit->tile_rows};
  for (int k = 0; k < QZ_NORVO_LOWBIT_WIDTHS; ++k)
    params.width_counts[k] = static_cast<int32_t>(lowbit->width_counts[k]);
  return qz_norvo_execute(context, QZ_YPU_OP_REPACK_LOWBIT, &params);
}

void qz_norvo_lowbit_weight_destroy(qz_ypu_context_t *context, qz_norvo_lowbit_weight_t *weight) {
  if (!weight) return;
  qz_norvo_buffer_delete(context, &weight->offset);
  qz_norvo_buffer_delete(context, &weight->tiles);
  qz_norvo_buffer_delete(context, &weight->scales);
  qz_norvo_buffer_delete(context, &weight->perm);
  qz_norvo_record_delete(context, weight);
}

void qz_norvo_lowbit_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  qz_norvo_lowbit_weight_destroy(context, reinterpret_cast<qz_norvo_lowbit_weight_t *>(weight));
}

qz_status_t qz_norvo_lowbit_weight_forward(qz_ypu_context_t *context, qz_ypu_buffer_t *out,
                                           qz_ypu_buffer_t *in, qz_norvo_weight_t *weight,
                                           int32_t n, int32_t out_offset, int32_t in_offset) {
  auto lowbit = reinterpret_cast<qz_norvo_lowbit_weight_t *>(weight);
  qz_ypu_linear_lowbit_params_t params{.out = out,
                                       .in = in,
                                       .perm = lowbit->perm,
                                       .scales = lowbit->scales,
                                       .tiles = lowbit->tiles,
                                       .n = n,
                                       .row_blocks = weight->rows / lowbit->tile_rows,
                                       .out_offset = out_offset,
                                       .in_offset = in_offset};
  for (int k = 0; k < QZ_NORVO_LOWBIT_WIDTHS; ++k)
    params.width_counts[k] = static_cast<int32_t>(lowbit->width_counts[k]);
  qz_status_t status = qz_norvo_execute(context, QZ_YPU_OP_LINEAR_LOWBIT, &params);
  if (status != QZ_STATUS_SUCCESS || !lowbit->offset) return status;
  const qz_ypu_add_row_f32_params_t add{.out = out,
                                        .a = out,
                                        .v = lowbit->offset,
                                        .rows = n,
                                        .cols = weight->rows,
                                        .out_offset = out_offset,
                                        .a_offset = out_offset,
                                        .v_offset = 0};
  return qz_norvo_execute(context, QZ_YPU_OP_ADD_ROW_F32, &add);
}

// ---------------------------------------------------------------------------
// Float embedding tables (embedding kinds 0 and -666).

qz_status_t qz_norvo_embedding_table_load(qz_ypu_context_t *context, FILE *file,
                                          qz_norvo_weight_t **out) {
  int32_t rows = 0, cols = 0, bytes = 0;
  qz_status_t status = qz_norvo_read_i32(file, &rows);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, &cols);
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_matrix_bytes(rows, cols, &bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  auto table = qz_norvo_record_new<qz_norvo_embedding_table_t>(context);
  if (!table) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_embedding_table_free(context, &table->head); });
  qz_norvo_table_head(&table->head, QZ_NORVO_TABLE_FLOAT, rows, cols);
  table->head.free = qz_norvo_embedding_table_free;
  table->head.lookup_row = qz_norvo_embedding_table_lookup_row;

  table->data = static_cast<float *>(qz_ypu_ops(context).host_alloc(context->device, bytes));
  if (!table->data) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  if (std::fread(table->data, sizeof(float), count, file) != count) {
    qz_error_push("", 0, &QZ_ERROR_READ_FILE);
    return QZ_STATUS_IO_ERROR;
  }

  cleanup.dismiss();
  *out = &table->head;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_named_embedding_table_load(qz_ypu_context_t *context, FILE *file,
                                                qz_norvo_weight_t **out) {
  const qz_status_t status = qz_norvo_skip_name(file);
  if (status != QZ_STATUS_SUCCESS) return status;
  return qz_norvo_embedding_table_load(context, file, out);
}

void qz_norvo_embedding_table_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  if (!weight) return;
  auto table = reinterpret_cast<qz_norvo_embedding_table_t *>(weight);
  qz_norvo_record_delete(context, table->data);
  qz_norvo_record_delete(context, table);
}

qz_status_t qz_norvo_embedding_table_lookup_row(qz_ypu_context_t *, qz_norvo_weight_t *weight,
                                                float *dst, int32_t row) {
  const qz_status_t status = qz_norvo_check_row(weight, row);
  if (status != QZ_STATUS_SUCCESS) return status;
  auto table = reinterpret_cast<qz_norvo_embedding_table_t *>(weight);
  const size_t cols = static_cast<size_t>(weight->cols);
  std::memcpy(dst, table->data + static_cast<size_t>(row) * cols, cols * sizeof(float));
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Quantised embedding tables (embedding kind -665).

namespace {

// Blocks tile the table exactly and a block's codes fill whole bytes, so
// every block unpacks into block_rows x block_cols codes.
qz_status_t qz_norvo_quantized_check_shape(int32_t rows, int32_t cols, int32_t block_rows,
                                           int32_t block_cols, int32_t bits) {
  qz_status_t status = qz_norvo_check_positive(rows, "rows");
  if (status == QZ_STATUS_SUCCESS) status = qz_norvo_check_positive(cols, "cols");
  if (status != QZ_STATUS_SUCCESS) return status;
  if (block_rows < 1 || rows % block_rows != 0) return qz_norvo_invalid("block_rows");
  if (block_cols < 1 || cols % block_cols != 0) return qz_norvo_invalid("block_cols");
  if (bits < 1 || bits > 8) return qz_norvo_invalid("bits");
  if (int64_t{block_rows} * block_cols * bits % 8 != 0) return qz_norvo_invalid("bits");
  return QZ_STATUS_SUCCESS;
}

}  // namespace

qz_status_t qz_norvo_quantized_embedding_load(qz_ypu_context_t *context, FILE *file,
                                              qz_norvo_weight_t **out) {
  int32_t rows = 0, cols = 0, block_rows = 0, block_cols = 0, bits = 0;
  qz_status_t status = qz_norvo_skip_name(file);
  for (int32_t *field : {&rows, &cols, &block_rows, &block_cols, &bits})
    if (status == QZ_STATUS_SUCCESS) status = qz_norvo_read_i32(file, field);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_quantized_check_shape(rows, cols, block_rows, block_cols, bits);
  if (status != QZ_STATUS_SUCCESS) return status;
  const int64_t blocks = int64_t{rows / block_rows} * (cols / block_cols);
  const int64_t block_bytes = int64_t{block_rows} * block_cols * bits / 8;
  int32_t scale_bytes = 0, code_bytes = 0, scratch_bytes = 0;
  status = qz_norvo_byte_size(blocks, 4, "rows", &scale_bytes);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(blocks, block_bytes, "rows", &code_bytes);
  if (status == QZ_STATUS_SUCCESS)
    status = qz_norvo_byte_size(int64_t{block_rows} * block_cols, 1, "block_rows", &scratch_bytes);
  if (status != QZ_STATUS_SUCCESS) return status;

  auto table = qz_norvo_record_new<qz_norvo_quantized_embedding_t>(context);
  if (!table) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_guard cleanup([&] { qz_norvo_quantized_embedding_destroy(context, table); });
  qz_norvo_table_head(&table->head, QZ_NORVO_TABLE_QUANTIZED, rows, cols);
  table->block_rows = block_rows;
  table->block_cols = block_cols;
  table->bits = bits;
  table->head.free = qz_norvo_quantized_embedding_free;
  table->head.lookup_row = qz_norvo_quantized_embedding_lookup_row;

  int32_t dropped = 0;
  status = qz_norvo_read_i32(file, &dropped);
  if (status != QZ_STATUS_SUCCESS) return status;

  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  table->scales = static_cast<uint16_t *>(qz_norvo_record_alloc(context, scale_bytes));
  if (!table->scales) return QZ_STATUS_OUT_OF_MEMORY;
  if (std::fread(table->scales, sizeof(uint16_t), static_cast<size_t>(scale_bytes) / 2, file) !=
      static_cast<size_t>(scale_bytes) / 2) {
    qz_error_push("", 0, &QZ_ERROR_READ_FILE);
    return QZ_STATUS_IO_ERROR;
  }

  table->codes = static_cast<uint8_t *>(ops.host_alloc(context->device, code_bytes));
  if (!table->codes) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  if (std::fread(table->codes, 1, static_cast<size_t>(code_bytes), file) !=
      static_cast<size_t>(code_bytes)) {
    qz_error_push("", 0, &QZ_ERROR_READ_FILE);
    return QZ_STATUS_IO_ERROR;
  }

  int32_t trailer = 0;
  status = qz_norvo_read_i32(file, &trailer);
  if (status != QZ_STATUS_SUCCESS) return status;
  if (trailer != 0) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_KIND);
    return QZ_STATUS_INVALID_ARGUMENT;
  }

  table->scratch =
      static_cast<uint8_t *>(qz_ypu_alloc(context->backend, context->device, scratch_bytes));
  if (!table->scratch) {
    qz_error_push("", 0, &QZ_NORVO_ERROR_DEVICE_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  std::memset(table->scratch, 0, static_cast<size_t>(scratch_bytes));

  cleanup.dismiss();
  *out = &table->head;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_quantized_embedding_destroy(qz_ypu_context_t *context,
                                          qz_norvo_quantized_embedding_t *table) {
  if (!table) return;
  qz_norvo_record_delete(context, table->scratch);
  qz_norvo_record_delete(context, table->codes);
  qz_norvo_record_delete(context, table->scales);
  qz_norvo_record_delete(context, table);
}

void qz_norvo_quantized_embedding_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  qz_norvo_quantized_embedding_destroy(context,
                                       reinterpret_cast<qz_norvo_quantized_embedding_t *>(weight));
}

qz_status_t qz_norvo_quantized_embedding_lookup_row(qz_ypu_context_t *, qz_norvo_weight_t *weight,
                                                    float *dst, int32_t row) {
  const qz_status_t status = qz_norvo_check_row(weight, row);
  if (status != QZ_STATUS_SUCCESS) return status;
  auto table = reinterpret_cast<qz_norvo_quantized_embedding_t *>(weight);
  const int32_t blocks_per_row = weight->cols / table->block_cols;
  const int32_t block_row = row / table->block_rows;
  const int32_t r = row % table->block_rows;
  const size_t block_bytes = static_cast<size_t>(table->block_rows) *
                             static_cast<size_t>(table->block_cols) *
                             static_cast<size_t>(table->bits) / 8;
  const uint32_t mask = (1u << table->bits) - 1u;
  for (int32_t j = 0; j < blocks_per_row; ++j) {
    const size_t b = static_cast<size_t>(block_row) * static_cast<size_t>(blocks_per_row) +
                     static_cast<size_t>(j);
    const float offset = qz_scale16_decode(table->scales[2 * b]);
    const float scale = qz_scale16_decode(table->scales[2 * b + 1]);
    // Unpack the block's little-endian bit stream, lowest bits first.
    const uint8_t *bytes = table->codes + b * block_bytes;
    uint32_t accumulator = 0;
    int held = 0;
    uint8_t *code = table->scratch;
    for (size_t i = 0; i < block_bytes; ++i) {
      accumulator |= static_cast<uint32_t>(bytes[i]) << held;
      held += 8;
      while (held >= table->bits) {
        *code++ = static_cast<uint8_t>(accumulator & mask);
        accumulator >>= table->bits;
        held -= table->bits;
      }
    }
    const uint8_t *codes = table->scratch + static_cast<size_t>(r) * table->block_cols;
    float *out = dst + static_cast<size_t>(j) * table->block_cols;
    for (int32_t c = 0; c < table->block_cols; ++c)
      out[c] = static_cast<float>(codes[c]) * scale + offset;
  }
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Dispatch by kind and freeing.

qz_status_t qz_norvo_embedding_weight_load(qz_ypu_context_t *context, FILE *file,
                                           qz_norvo_weight_t **out) {
  int32_t kind = 0;
  const qz_status_t status = qz_norvo_read_i32(file, &kind);
  if (status != QZ_STATUS_SUCCESS) return status;
  switch (kind) {
    case QZ_NORVO_KIND_DENSE:
      return qz_norvo_embedding_table_load(context, file, out);
    case QZ_NORVO_KIND_NAMED:
      return qz_norvo_named_embedding_table_load(context, file, out);
    case QZ_NORVO_KIND_QUANTIZED:
      return qz_norvo_quantized_embedding_load(context, file, out);
    default:
      qz_error_push("", 0, &QZ_NORVO_ERROR_KIND);
      return QZ_STATUS_INVALID_ARGUMENT;
  }
}

void qz_norvo_weight_free(qz_ypu_context_t *context, qz_norvo_weight_t *weight) {
  if (weight) weight->free(context, weight);
}
