// The tokenizer wrapper: loading by kind, dispatch, the UTF-8 cut of decoded
// text, and the helpers that the kinds share.
#include "tokenizer/tokenizer.h"

#include <utf8proc.h>

#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/file_reader.h"

// ---------------------------------------------------------------------------
// Memory

namespace {

bool qz_norvo_size_fits(int64_t size) {
  return size >= 0 && static_cast<uint64_t>(size) <= SIZE_MAX / 2;
}

}  // namespace

void *qz_norvo_tokenizer_malloc(int64_t size) {
  if (!qz_norvo_size_fits(size) || qz_alloc_should_fail()) return nullptr;
  return std::malloc(size ? static_cast<size_t>(size) : 1);
}

void *qz_norvo_tokenizer_calloc(int64_t count, int64_t size) {
  if (count < 0 || size < 0 || (size && count > INT64_MAX / size)) return nullptr;
  if (!qz_norvo_size_fits(count * size) || qz_alloc_should_fail()) return nullptr;
  return count && size ? std::calloc(static_cast<size_t>(count), static_cast<size_t>(size))
                       : std::calloc(1, 1);
}

void *qz_norvo_tokenizer_realloc(void *pointer, int64_t size) {
  if (!qz_norvo_size_fits(size) || qz_alloc_should_fail()) return nullptr;
  return std::realloc(pointer, size ? static_cast<size_t>(size) : 1);
}

// ---------------------------------------------------------------------------
// String list

int qz_norvo_string_list_append(qz_norvo_string_list_t *list, const char *source, int64_t start,
                                int64_t end) {
  if (end < start) return 1;
  char **items = list->items
                     ? static_cast<char **>(qz_norvo_tokenizer_realloc(
                           list->items, (int64_t{list->count} + 1) * int64_t{sizeof(char *)}))
                     : static_cast<char **>(qz_norvo_tokenizer_calloc(1, sizeof(char *)));
  if (!items) return 1;
  list->items = items;
  // realloc leaves the new slot undefined; it must read as "no string" if the
  // copy below fails.
  items[list->count] = nullptr;
  ++list->count;
  char *copy = static_cast<char *>(qz_norvo_tokenizer_calloc(end - start + 1, 1));
  if (!copy) return 1;
  std::memcpy(copy, source + start, static_cast<size_t>(end - start));
  items[list->count - 1] = copy;
  return 0;
}

void qz_norvo_string_list_free(qz_norvo_string_list_t *list) {
  if (!list) return;
  for (int32_t i = 0; i < list->count; ++i) std::free(list->items[i]);
  std::free(list->items);
  std::free(list);
}

// ---------------------------------------------------------------------------
// Comparators

namespace {

template <class T>
int qz_norvo_order(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

int qz_norvo_compare_entry_piece(const void *a, const void *b) {
  return std::strcmp(static_cast<const qz_norvo_piece_entry_t *>(a)->string,
                     static_cast<const qz_norvo_piece_entry_t *>(b)->string);
}

int qz_norvo_compare_string_length(const void *a, const void *b) {
  return qz_norvo_order(std::strlen(static_cast<const qz_norvo_string_entry_t *>(a)->string),
                        std::strlen(static_cast<const qz_norvo_string_entry_t *>(b)->string));
}

int qz_norvo_compare_string(const void *a, const void *b) {
  return std::strcmp(static_cast<const qz_norvo_string_entry_t *>(a)->string,
                     static_cast<const qz_norvo_string_entry_t *>(b)->string);
}

int qz_norvo_compare_entry_id(const void *a, const void *b) {
  return qz_norvo_order(static_cast<const qz_norvo_string_entry_t *>(a)->id,
                        static_cast<const qz_norvo_string_entry_t *>(b)->id);
}

int qz_norvo_compare_id_pair(const void *a, const void *b) {
  auto x = static_cast<const qz_norvo_merge_entry_t *>(a);
  auto y = static_cast<const qz_norvo_merge_entry_t *>(b);
  if (x->left != y->left) return qz_norvo_order(x->left, y->left);
  return qz_norvo_order(x->right, y->right);
}

int qz_norvo_compare_prefix(const char *text, int64_t k, const char *string) {
  for (int64_t i = 0; i < k; ++i) {
    const auto t = static_cast<unsigned char>(text[i]);
    const auto s = static_cast<unsigned char>(string[i]);
    if (t != s) return t < s ? -1 : 1;  // also when the string ends (s == 0 < t)
  }
  return string[k] == '\0' ? 0 : -1;
}

int qz_norvo_compare_concat(const char *a, const char *b, const char *string) {
  const size_t la = std::strlen(a);
  // Equal on a's bytes means the string holds all of them (a has no NUL).
  if (const int head = std::strncmp(a, string, la); head != 0) return head;
  return std::strcmp(b, string + la);
}

// ---------------------------------------------------------------------------
// Blobs

int64_t qz_norvo_blob_split(char *blob, int64_t size, int64_t first_nul, char **strings) {
  int64_t count = 1;
  if (strings) strings[0] = blob;
  for (int64_t i = first_nul; i <= size - 2; ++i) {
    if (blob[i] != '\0') continue;
    if (strings) strings[count] = blob + i + 1;
    ++count;
  }
  return count;
}

qz_status_t qz_norvo_blob_read(FILE *file, int64_t size, char **blob) {
  *blob = nullptr;
  void *data = nullptr;
  const qz_status_t status = qz_norvo_read_array(file, 1, size, &data);
  if (status != QZ_STATUS_SUCCESS) return status;
  // Every string of the blob, the last included, must end inside it.
  if (size <= 0 || static_cast<char *>(data)[size - 1] != '\0') {
    std::free(data);
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  *blob = static_cast<char *>(data);
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// UTF-8 cut

int64_t qz_norvo_utf8_valid_prefix(const char *text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  int64_t at = 0;
  for (;;) {
    const unsigned char c = p[at];
    if (c == 0) return at;
    int follow;
    if (c < 0x80) follow = 0;
    else if (c >= 0xC0 && c <= 0xDF) follow = 1;
    else if (c >= 0xE0 && c <= 0xEF) follow = 2;
    else if (c >= 0xF0 && c <= 0xF7) follow = 3;
    else return at;
    // A NUL is no continuation byte, so the walk stops at the terminator.
    for (int i = 1; i <= follow; ++i)
      if ((p[at + i] & 0xC0) != 0x80) return at;
    at += 1 + follow;
  }
}

// ---------------------------------------------------------------------------
// The wrapper

qz_status_t qz_norvo_tokenizer_load(FILE *file, qz_norvo_tokenizer_t **out) {
  auto tokenizer = static_cast<qz_norvo_tokenizer_t *>(
      qz_norvo_tokenizer_calloc(1, sizeof(qz_norvo_tokenizer_t)));
  if (!tokenizer) return QZ_STATUS_OUT_OF_MEMORY;
  if (!qz_norvo_read_i32_quiet(file, &tokenizer->kind)) {
    std::free(tokenizer);
    return QZ_STATUS_IO_ERROR;
  }
  qz_status_t status;
  switch (tokenizer->kind) {
    case QZ_NORVO_TOKENIZER_PIECE:
      status = qz_norvo_piece_tokenizer_load(
          file, reinterpret_cast<qz_norvo_piece_tokenizer_t **>(&tokenizer->impl));
      break;
    case QZ_NORVO_TOKENIZER_BYTE_BPE:
      status = qz_norvo_bpe_tokenizer_load(
          file, reinterpret_cast<qz_norvo_bpe_tokenizer_t **>(&tokenizer->impl));
      break;
    case QZ_NORVO_TOKENIZER_PIECE_VOCAB:
      status = qz_norvo_vocab_tokenizer_load(
          file, reinterpret_cast<qz_norvo_vocab_tokenizer_t **>(&tokenizer->impl));
      break;
    default:
      status = QZ_STATUS_INVALID_ARGUMENT;
      break;
  }
  if (status != QZ_STATUS_SUCCESS) {
    std::free(tokenizer);
    return status;
  }
  *out = tokenizer;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_tokenizer_encode(const qz_norvo_tokenizer_t *tokenizer, const char *text,
                                      int add_start, int add_end, int32_t *count, uint32_t **ids) {
  *count = 0;
  *ids = nullptr;
  switch (tokenizer->kind) {
    case QZ_NORVO_TOKENIZER_PIECE_VOCAB:
      return qz_norvo_vocab_tokenizer_encode(
          static_cast<const qz_norvo_vocab_tokenizer_t *>(tokenizer->impl), text, add_start,
          add_end, count, ids);
    case QZ_NORVO_TOKENIZER_BYTE_BPE:
      return qz_norvo_bpe_tokenizer_encode(
          static_cast<const qz_norvo_bpe_tokenizer_t *>(tokenizer->impl), text, add_start, add_end,
          count, ids);
    case QZ_NORVO_TOKENIZER_PIECE:
      return qz_norvo_piece_tokenizer_encode(
          static_cast<const qz_norvo_piece_tokenizer_t *>(tokenizer->impl), text, add_start,
          add_end, count, ids);
    default:
      return QZ_STATUS_INVALID_STATE;
  }
}

qz_status_t qz_norvo_tokenizer_decode(const qz_norvo_tokenizer_t *tokenizer, const uint32_t *ids,
                                      int32_t count, int32_t previous, int *cut, char **text) {
  *cut = 0;
  *text = nullptr;
  qz_status_t status;
  char *decoded = nullptr;
  switch (tokenizer->kind) {
    case QZ_NORVO_TOKENIZER_PIECE_VOCAB:
      status = qz_norvo_vocab_tokenizer_decode(
          static_cast<const qz_norvo_vocab_tokenizer_t *>(tokenizer->impl), ids, count, previous,
          &decoded);
      break;
    case QZ_NORVO_TOKENIZER_BYTE_BPE:
      status = qz_norvo_bpe_tokenizer_decode(
          static_cast<const qz_norvo_bpe_tokenizer_t *>(tokenizer->impl), ids, count, 0, &decoded);
      break;
    case QZ_NORVO_TOKENIZER_PIECE:
      status = qz_norvo_piece_tokenizer_decode(
          static_cast<const qz_norvo_piece_tokenizer_t *>(tokenizer->impl), ids, count, previous,
          &decoded);
      break;
    default:
      return QZ_STATUS_INVALID_STATE;
  }
  if (status != QZ_STATUS_SUCCESS) return status;
  const int64_t valid = qz_norvo_utf8_valid_prefix(decoded);
  if (decoded[valid] != '\0') {
    decoded[valid] = '\0';
    *cut = 1;
  }
  *text = decoded;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_tokenizer_free(qz_norvo_tokenizer_t *tokenizer) {
  if (!tokenizer) return;
  switch (tokenizer->kind) {
    case QZ_NORVO_TOKENIZER_BYTE_BPE:
      qz_norvo_bpe_tokenizer_free(static_cast<qz_norvo_bpe_tokenizer_t *>(tokenizer->impl));
      break;
    case QZ_NORVO_TOKENIZER_PIECE_VOCAB:
      qz_norvo_vocab_tokenizer_free(static_cast<qz_norvo_vocab_tokenizer_t *>(tokenizer->impl));
      break;
    case QZ_NORVO_TOKENIZER_PIECE:
      qz_norvo_piece_tokenizer_free(static_cast<qz_norvo_piece_tokenizer_t *>(tokenizer->impl));
      break;
    default:
      break;
  }
  std::free(tokenizer);
}

// ---------------------------------------------------------------------------
// Lookups and load reports shared by kinds 0 and 2

int32_t qz_norvo_piece_find(const qz_norvo_piece_entry_t *entries, int32_t count, const char *text,
                            int64_t k) {
  int32_t low = 0;
  int32_t high = count;
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    const int order = qz_norvo_compare_prefix(text, k, entries[middle].string);
    if (order == 0) return entries[middle].id;
    if (order < 0) high = middle;
    else low = middle + 1;
  }
  return -1;
}

qz_status_t qz_norvo_tokenizer_report(qz_status_t status) {
  switch (status) {
    case QZ_STATUS_IO_ERROR:
      qz_error_push("", 0, &QZ_ERROR_READ_FILE);
      break;
    case QZ_STATUS_OUT_OF_MEMORY:
      qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
      break;
    case QZ_STATUS_INVALID_ARGUMENT:
      qz_error_push("", 0, &QZ_NORVO_ERROR_PAYLOAD);
      break;
    default:
      break;
  }
  return status;
}

// ---------------------------------------------------------------------------
// Blank text

bool qz_norvo_text_is_blank(const char *text) {
  const auto *p = reinterpret_cast<const utf8proc_uint8_t *>(text);
  while (*p) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t n = utf8proc_iterate(p, -1, &c);
    if (n <= 0) return false;
    p += n;
    switch (c) {
      case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x85:
      case 0x180E: case 0x200B: case 0x200C: case 0x200D: case 0x2060: case 0xFEFF:
        continue;
      default:
        break;
    }
    const utf8proc_category_t category = utf8proc_category(c);
    if (category != UTF8PROC_CATEGORY_ZS && category != UTF8PROC_CATEGORY_ZL &&
        category != UTF8PROC_CATEGORY_ZP)
      return false;
  }
  return true;
}
