// Tokenizer kind 2: a kind-0 piece model cuts the text, and each piece's id
// is its position in a separate string table. The decoder may spell ids from
// a second table of output strings.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_reader.h"
#include "tokenizer/tokenizer.h"

namespace {

qz_status_t qz_norvo_fail_format() {
  qz_error_push("", 0, &QZ_NORVO_ERROR_PAYLOAD);
  return QZ_STATUS_INVALID_ARGUMENT;
}

// The output table's size disagrees with the string table's: 0xd2 alone
// would not say how.
constexpr qz_error_record_t ERROR_OUTPUT_COUNT{
    0xd3, "The tokenizer's output table has %d strings where its string table has %d."};

qz_status_t qz_norvo_fail_count(int32_t found, int32_t n) {
  const qz_status_t status = qz_norvo_fail_format();
  qz_error_push("", 0, &ERROR_OUTPUT_COUNT, found, n);
  return status;
}

qz_status_t qz_norvo_fail_memory() {
  qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
  return QZ_STATUS_OUT_OF_MEMORY;
}

struct qz_norvo_vocab_guard {
  qz_norvo_vocab_tokenizer_t *record;
  ~qz_norvo_vocab_guard() { qz_norvo_vocab_tokenizer_free(record); }
};

void qz_norvo_free_table(char **table) {
  if (table) std::free(table[0]);
  std::free(table);
}

// Reads a blob of exactly n strings into a table (table[0] owns the blob).
// Any other number fails with 0xd2, followed by both counts for the output
// table (`output_table` set).
qz_status_t qz_norvo_read_table(FILE *file, int32_t byte_count, int32_t n, bool output_table,
                                char ***out) {
  char *blob = nullptr;
  qz_status_t status = qz_norvo_blob_read(file, byte_count, &blob);
  if (status != QZ_STATUS_SUCCESS) return qz_norvo_tokenizer_report(status);
  const int64_t found = qz_norvo_blob_split(blob, byte_count, 0, nullptr);
  if (found != n) {
    std::free(blob);
    // A blob of at most INT32_MAX bytes holds no more strings than that.
    return output_table ? qz_norvo_fail_count(static_cast<int32_t>(found), n)
                        : qz_norvo_fail_format();
  }
  auto table = static_cast<char **>(qz_norvo_tokenizer_calloc(n, sizeof(char *)));
  if (!table) {
    std::free(blob);
    return qz_norvo_fail_memory();
  }
  qz_norvo_blob_split(blob, byte_count, 0, table);
  *out = table;
  return QZ_STATUS_SUCCESS;
}

// The id values, read and checked one at a time into an array that grows
// with what the file holds.
qz_status_t qz_norvo_read_id_values(FILE *file, qz_norvo_vocab_tokenizer_t *t) {
  int32_t capacity = 0;
  for (int32_t i = 0; i < t->id_count; ++i) {
    int32_t value;
    const qz_status_t status = qz_norvo_read_i32(file, &value);
    if (status != QZ_STATUS_SUCCESS) return status;
    if (value < 0) return qz_norvo_fail_format();
    if (i == capacity) {
      const int64_t grown = std::min<int64_t>(t->id_count, capacity ? int64_t{capacity} * 2 : 256);
      auto values = static_cast<int32_t *>(
          qz_norvo_tokenizer_realloc(t->id_values, grown * int64_t{sizeof(int32_t)}));
      if (!values) return qz_norvo_fail_memory();
      t->id_values = values;
      capacity = static_cast<int32_t>(grown);
    }
    t->id_values[i] = value;
  }
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_read_output_table(FILE *file, qz_norvo_vocab_tokenizer_t *t) {
  int32_t flag = 0;
  // A file that ends here has no output table.
  if (!qz_norvo_read_i32_quiet(file, &flag) || flag == 0) return QZ_STATUS_SUCCESS;
  int32_t count, byte_count;
  qz_status_t status;
  if ((status = qz_norvo_read_i32(file, &count)) != QZ_STATUS_SUCCESS) return status;
  if (count != t->string_count) return qz_norvo_fail_count(count, t->string_count);
  if ((status = qz_norvo_read_i32(file, &byte_count)) != QZ_STATUS_SUCCESS) return status;
  if (byte_count <= 0) return qz_norvo_fail_format();
  return qz_norvo_read_table(file, byte_count, t->string_count, true, &t->output_strings);
}

}  // namespace

qz_status_t qz_norvo_vocab_tokenizer_load(FILE *file, qz_norvo_vocab_tokenizer_t **out) {
  qz_norvo_vocab_guard guard{static_cast<qz_norvo_vocab_tokenizer_t *>(
      qz_norvo_tokenizer_calloc(1, sizeof(qz_norvo_vocab_tokenizer_t)))};
  qz_norvo_vocab_tokenizer_t *t = guard.record;
  if (!t) return qz_norvo_fail_memory();

  qz_status_t status;
  for (int32_t *id : {&t->start_id, &t->end_id, &t->reserved_id, &t->unknown_id}) {
    if ((status = qz_norvo_read_i32(file, id)) != QZ_STATUS_SUCCESS) return status;
    if (*id < 0) return qz_norvo_fail_format();
  }
  if ((status = qz_norvo_piece_tokenizer_load(file, &t->piece_model)) != QZ_STATUS_SUCCESS) {
    qz_error_site("e55d655");
    return status;
  }

  int32_t n, byte_count;
  if ((status = qz_norvo_read_i32(file, &n)) != QZ_STATUS_SUCCESS) return status;
  if (n <= 0) return qz_norvo_fail_format();
  // The ids the encoder emits index the table when decoded.
  for (int32_t id : {t->start_id, t->end_id, t->unknown_id})
    if (id >= n) return qz_norvo_fail_format();
  if ((status = qz_norvo_read_i32(file, &byte_count)) != QZ_STATUS_SUCCESS) return status;
  if (byte_count <= 0) return qz_norvo_fail_format();
  if ((status = qz_norvo_read_table(file, byte_count, n, false, &t->strings)) != QZ_STATUS_SUCCESS)
    return status;
  t->string_count = n;

  if ((status = qz_norvo_read_i32(file, &t->id_count)) != QZ_STATUS_SUCCESS) return status;
  if (t->id_count <= 0) return qz_norvo_fail_format();
  if ((status = qz_norvo_read_id_values(file, t)) != QZ_STATUS_SUCCESS) return status;
  if ((status = qz_norvo_read_output_table(file, t)) != QZ_STATUS_SUCCESS) return status;

  t->sorted_strings = static_cast<qz_norvo_piece_entry_t *>(
      qz_norvo_tokenizer_malloc(int64_t{n} * int64_t{sizeof(qz_norvo_piece_entry_t)}));
  if (!t->sorted_strings) return qz_norvo_fail_memory();
  for (int32_t i = 0; i < n; ++i) t->sorted_strings[i] = {i, t->strings[i]};
  std::qsort(t->sorted_strings, n, sizeof *t->sorted_strings, qz_norvo_compare_entry_piece);

  *out = t;
  guard.record = nullptr;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_vocab_tokenizer_free(qz_norvo_vocab_tokenizer_t *t) {
  if (!t) return;
  std::free(t->sorted_strings);
  qz_norvo_free_table(t->output_strings);
  std::free(t->id_values);
  qz_norvo_free_table(t->strings);
  qz_norvo_piece_tokenizer_free(t->piece_model);
  std::free(t);
}

qz_status_t qz_norvo_vocab_tokenizer_encode(const qz_norvo_vocab_tokenizer_t *t, const char *text,
                                            int add_start, int add_end, int32_t *count,
                                            uint32_t **ids) {
  *count = 0;
  *ids = nullptr;
  int32_t n = 0;
  char *pieces = nullptr;
  qz_status_t status = qz_norvo_piece_segment(t->piece_model, text, &n, &pieces);
  if (status != QZ_STATUS_SUCCESS) {
    qz_error_site("02dcf80");
    return status;
  }
  const int64_t total = int64_t{add_start ? 1 : 0} + int64_t{add_end ? 1 : 0} + n;
  if (total == 0) return QZ_STATUS_SUCCESS;
  auto out = static_cast<uint32_t *>(qz_norvo_tokenizer_malloc(total * int64_t{sizeof(uint32_t)}));
  if (!out) {
    std::free(pieces);
    return qz_norvo_fail_memory();
  }
  int64_t at = 0;
  if (add_start) out[at++] = static_cast<uint32_t>(t->start_id);
  const char *piece = pieces;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t length = static_cast<int64_t>(std::strlen(piece));
    const int32_t id = qz_norvo_piece_find(t->sorted_strings, t->string_count, piece, length);
    out[at++] = static_cast<uint32_t>(id < 0 ? t->unknown_id : id);
    piece += length + 1;
  }
  if (add_end) out[at++] = static_cast<uint32_t>(t->end_id);
  std::free(pieces);
  *count = static_cast<int32_t>(total);
  *ids = out;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_vocab_tokenizer_decode(const qz_norvo_vocab_tokenizer_t *t,
                                            const uint32_t *ids, int32_t count, int32_t previous,
                                            char **text) {
  *text = nullptr;
  char *const *table = t->output_strings ? t->output_strings : t->strings;
  const bool trim_first = previous == t->start_id;
  // Ids beyond the table (an output layer wider than the table) are skipped.
  auto string_of = [&](int32_t i) -> const char * {
    if (ids[i] >= static_cast<uint32_t>(t->string_count)) return nullptr;
    const char *string = table[ids[i]];
    if (i == 0 && trim_first)
      while (*string == ' ') ++string;
    return string;
  };
  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i)
    if (const char *s = string_of(i)) total += static_cast<int64_t>(std::strlen(s));
  auto out = static_cast<char *>(qz_norvo_tokenizer_malloc(total + 1));
  if (!out) return qz_norvo_fail_memory();
  int64_t at = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (const char *s = string_of(i)) {
      const size_t length = std::strlen(s);
      std::memcpy(out + at, s, length);
      at += static_cast<int64_t>(length);
    }
  }
  out[at] = '\0';
  *text = out;
  return QZ_STATUS_SUCCESS;
}
