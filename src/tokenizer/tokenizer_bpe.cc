// Tokenizer kind 1: byte-level byte-pair encoding. Special strings are cut
// out first, the rest is split by the model's pattern, every byte of a piece
// becomes the vocabulary entry of its alphabet character, and adjacent
// entries merge in the order of the model's ranks.
#include <cstdlib>
#include <cstring>

#include "common/file_reader.h"
#include "tokenizer/regex.h"
#include "tokenizer/tokenizer.h"

// ---------------------------------------------------------------------------
// The byte alphabet

namespace {

// Printable bytes stand for themselves; the 68 others, in increasing order,
// for the code points from U+0100 on, so that every byte is a visible
// character.
constexpr bool qz_norvo_byte_printable(int b) {
  return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
}

constexpr int qz_norvo_byte_code_point(int b) {
  if (qz_norvo_byte_printable(b)) return b;
  int rank = 0;
  for (int i = 0; i < b; ++i)
    if (!qz_norvo_byte_printable(i)) ++rank;
  return 0x100 + rank;
}

constexpr int QZ_NORVO_ALPHABET_END = 0x144;  // one past the highest code point used

struct qz_norvo_byte_alphabet_t {
  char strings[256][3];
  int16_t byte_of[QZ_NORVO_ALPHABET_END];  // code point -> byte, or -1
};

constexpr qz_norvo_byte_alphabet_t qz_norvo_make_byte_alphabet() {
  qz_norvo_byte_alphabet_t alphabet{};
  for (int cp = 0; cp < QZ_NORVO_ALPHABET_END; ++cp) alphabet.byte_of[cp] = -1;
  for (int b = 0; b < 256; ++b) {
    const int cp = qz_norvo_byte_code_point(b);
    char *s = alphabet.strings[b];
    if (cp < 0x80) {
      s[0] = static_cast<char>(cp);
    } else {
      s[0] = static_cast<char>(0xC0 | (cp >> 6));
      s[1] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    alphabet.byte_of[cp] = static_cast<int16_t>(b);
  }
  return alphabet;
}

constexpr qz_norvo_byte_alphabet_t QZ_NORVO_BYTE_ALPHABET = qz_norvo_make_byte_alphabet();

}  // namespace

const char (&QZ_NORVO_BYTE_STRINGS)[256][3] = QZ_NORVO_BYTE_ALPHABET.strings;

namespace {

// ---------------------------------------------------------------------------
// Loading

struct qz_norvo_bpe_guard {
  qz_norvo_bpe_tokenizer_t *record;
  ~qz_norvo_bpe_guard() { qz_norvo_bpe_tokenizer_free(record); }
};

struct qz_norvo_free_guard {
  void *pointer;
  ~qz_norvo_free_guard() { std::free(pointer); }
};

// Reads one blob of n strings. The blob ends with a NUL, and holds exactly n
// strings (a single empty string when n is 0, since a blob is never empty).
qz_status_t qz_norvo_bpe_read_strings(FILE *file, int32_t n, char **buffer, char ***strings) {
  int32_t byte_count;
  if (!qz_norvo_read_i32_quiet(file, &byte_count)) return QZ_STATUS_IO_ERROR;
  if (byte_count <= n) return QZ_STATUS_INVALID_ARGUMENT;
  qz_status_t status = qz_norvo_blob_read(file, byte_count, buffer);
  if (status != QZ_STATUS_SUCCESS) return status;
  const int64_t found = qz_norvo_blob_split(*buffer, byte_count, 1, nullptr);
  if (n == 0)
    return found == 1 && (*buffer)[0] == '\0' ? QZ_STATUS_SUCCESS : QZ_STATUS_INVALID_ARGUMENT;
  if (found != n) return QZ_STATUS_INVALID_ARGUMENT;
  *strings = static_cast<char **>(qz_norvo_tokenizer_calloc(n, sizeof(char *)));
  if (!*strings) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_blob_split(*buffer, byte_count, 1, *strings);
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_bpe_read_ids(FILE *file, int32_t n, int32_t **ids) {
  void *read = nullptr;
  const qz_status_t status = qz_norvo_read_array(file, sizeof(int32_t), n, &read);
  *ids = static_cast<int32_t *>(read);
  return status;
}

qz_norvo_string_entry_t *qz_norvo_bpe_table(char **strings, const int32_t *ids, int32_t n,
                                            int (*order)(const void *, const void *)) {
  auto table = static_cast<qz_norvo_string_entry_t *>(
      qz_norvo_tokenizer_malloc(int64_t{n} * int64_t{sizeof(qz_norvo_string_entry_t)}));
  if (!table) return nullptr;
  for (int32_t i = 0; i < n; ++i) table[i] = {strings[i], ids[i]};
  std::qsort(table, n, sizeof *table, order);
  return table;
}

// Reads the fields of the section in file order, with their checks.
qz_status_t qz_norvo_bpe_read(FILE *file, qz_norvo_bpe_tokenizer_t *t, char **pattern,
                              void **package, int32_t *package_size) {
  qz_status_t status;
  if (!qz_norvo_read_i32_quiet(file, &t->vocab_limit)) return QZ_STATUS_IO_ERROR;
  if (t->vocab_limit < 0) return QZ_STATUS_INVALID_ARGUMENT;

  int32_t n;
  if (!qz_norvo_read_i32_quiet(file, &n)) return QZ_STATUS_IO_ERROR;
  if (n < 0) return QZ_STATUS_INVALID_ARGUMENT;
  if ((status = qz_norvo_bpe_read_strings(file, n, &t->special_buffer, &t->special_strings)) !=
      QZ_STATUS_SUCCESS)
    return status;
  t->special_count = n;
  // An empty special string would match everywhere without moving on.
  for (int32_t i = 0; i < n; ++i)
    if (t->special_strings[i][0] == '\0') return QZ_STATUS_INVALID_ARGUMENT;
  if ((status = qz_norvo_bpe_read_ids(file, n, &t->special_ids)) != QZ_STATUS_SUCCESS)
    return status;

  int32_t m;
  if (!qz_norvo_read_i32_quiet(file, &m)) return QZ_STATUS_IO_ERROR;
  if (m < 0 || int64_t{t->vocab_limit} >= int64_t{n} + int64_t{m})
    return QZ_STATUS_INVALID_ARGUMENT;
  if ((status = qz_norvo_bpe_read_strings(file, m, &t->vocab_buffer, &t->vocab_strings)) !=
      QZ_STATUS_SUCCESS)
    return status;
  t->vocab_count = m;
  if ((status = qz_norvo_bpe_read_ids(file, m, &t->vocab_ids)) != QZ_STATUS_SUCCESS) return status;

  int32_t k;
  if (!qz_norvo_read_i32_quiet(file, &k)) return QZ_STATUS_IO_ERROR;
  if (k <= 0) return QZ_STATUS_INVALID_ARGUMENT;
  void *read = nullptr;
  if ((status = qz_norvo_read_array(file, 2 * sizeof(int32_t), k, &read)) != QZ_STATUS_SUCCESS)
    return status;
  t->merge_pairs = static_cast<int32_t *>(read);
  t->merge_count = k;
  if ((status = qz_norvo_bpe_read_ids(file, k, &t->merge_ranks)) != QZ_STATUS_SUCCESS)
    return status;

  int32_t pattern_length;
  if (!qz_norvo_read_i32_quiet(file, &pattern_length)) return QZ_STATUS_IO_ERROR;
  if ((status = qz_norvo_read_array(file, 1, pattern_length, &read)) != QZ_STATUS_SUCCESS)
    return status;
  *pattern = static_cast<char *>(qz_norvo_tokenizer_realloc(read, int64_t{pattern_length} + 1));
  if (!*pattern) {
    std::free(read);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  (*pattern)[pattern_length] = '\0';

  if (!qz_norvo_read_i32_quiet(file, package_size)) return QZ_STATUS_IO_ERROR;
  return qz_norvo_read_array(file, 1, *package_size, package);
}

qz_status_t qz_norvo_bpe_build_tables(qz_norvo_bpe_tokenizer_t *t) {
  const int32_t n = t->special_count;
  const int32_t m = t->vocab_count;
  if (!(t->specials_by_length = qz_norvo_bpe_table(t->special_strings, t->special_ids, n,
                                                   qz_norvo_compare_string_length)) ||
      !(t->vocab_by_string =
            qz_norvo_bpe_table(t->vocab_strings, t->vocab_ids, m, qz_norvo_compare_string)) ||
      !(t->vocab_by_id =
            qz_norvo_bpe_table(t->vocab_strings, t->vocab_ids, m, qz_norvo_compare_entry_id)))
    return QZ_STATUS_OUT_OF_MEMORY;
  t->merges = static_cast<qz_norvo_merge_entry_t *>(
      qz_norvo_tokenizer_malloc(int64_t{t->merge_count} * int64_t{sizeof(qz_norvo_merge_entry_t)}));
  if (!t->merges) return QZ_STATUS_OUT_OF_MEMORY;
  for (int32_t i = 0; i < t->merge_count; ++i)
    t->merges[i] = {static_cast<uint32_t>(t->merge_pairs[2 * i]),
                    static_cast<uint32_t>(t->merge_pairs[2 * i + 1]),
                    static_cast<uint32_t>(t->merge_ranks[i])};
  std::qsort(t->merges, t->merge_count, sizeof *t->merges, qz_norvo_compare_id_pair);
  if (!(t->specials_by_id =
            qz_norvo_bpe_table(t->special_strings, t->special_ids, n, qz_norvo_compare_entry_id)))
    return QZ_STATUS_OUT_OF_MEMORY;
  return QZ_STATUS_SUCCESS;
}

// Binary searches over the sorted tables.
const qz_norvo_string_entry_t *qz_norvo_bpe_by_id(const qz_norvo_string_entry_t *table,
                                                  int32_t count, int32_t id) {
  int32_t low = 0;
  int32_t high = count;
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    if (table[middle].id == id) return &table[middle];
    if (table[middle].id < id) low = middle + 1;
    else high = middle;
  }
  return nullptr;
}

// Vocabulary id of the string a followed by b (b may be empty), or -1.
int32_t qz_norvo_bpe_vocab_id(const qz_norvo_bpe_tokenizer_t *t, const char *a, const char *b) {
  int32_t low = 0;
  int32_t high = t->vocab_count;
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    const int order = qz_norvo_compare_concat(a, b, t->vocab_by_string[middle].string);
    if (order == 0) return t->vocab_by_string[middle].id;
    if (order < 0) high = middle;
    else low = middle + 1;
  }
  return -1;
}

const qz_norvo_merge_entry_t *qz_norvo_bpe_merge(const qz_norvo_bpe_tokenizer_t *t, uint32_t left,
                                                 uint32_t right) {
  const qz_norvo_merge_entry_t key{left, right, 0};
  return static_cast<const qz_norvo_merge_entry_t *>(
      std::bsearch(&key, t->merges, t->merge_count, sizeof key, qz_norvo_compare_id_pair));
}

}  // namespace

qz_status_t qz_norvo_bpe_tokenizer_load(FILE *file, qz_norvo_bpe_tokenizer_t **out) {
  qz_norvo_bpe_guard guard{static_cast<qz_norvo_bpe_tokenizer_t *>(
      qz_norvo_tokenizer_calloc(1, sizeof(qz_norvo_bpe_tokenizer_t)))};
  qz_norvo_bpe_tokenizer_t *t = guard.record;
  if (!t) return QZ_STATUS_OUT_OF_MEMORY;

  char *pattern = nullptr;
  void *package = nullptr;
  int32_t package_size = 0;
  qz_status_t status = qz_norvo_bpe_read(file, t, &pattern, &package, &package_size);
  qz_norvo_free_guard pattern_guard{pattern};
  qz_norvo_free_guard package_guard{package};
  if (status != QZ_STATUS_SUCCESS) return status;

  if ((status = qz_norvo_icu_data_install(package, package_size, &t->icu_data)) !=
      QZ_STATUS_SUCCESS)
    return status;
  if ((status = qz_norvo_regex_create(pattern, &t->matcher)) != QZ_STATUS_SUCCESS) return status;
  if ((status = qz_norvo_bpe_build_tables(t)) != QZ_STATUS_SUCCESS) return status;
  for (int b = 0; b < 256; ++b)
    t->byte_ids[b] = qz_norvo_bpe_vocab_id(t, QZ_NORVO_BYTE_STRINGS[b], "");

  *out = t;
  guard.record = nullptr;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_bpe_tokenizer_free(qz_norvo_bpe_tokenizer_t *t) {
  if (!t) return;
  std::free(t->specials_by_length);
  std::free(t->vocab_by_string);
  std::free(t->vocab_by_id);
  std::free(t->merges);
  std::free(t->specials_by_id);
  qz_norvo_regex_free(t->matcher);
  // icu_data stays: ICU may read it for as long as the process lives.
  std::free(t->merge_pairs);
  std::free(t->merge_ranks);
  std::free(t->special_ids);
  std::free(t->vocab_ids);
  std::free(t->special_strings);
  std::free(t->special_buffer);
  std::free(t->vocab_strings);
  std::free(t->vocab_buffer);
  std::free(t);
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

struct qz_norvo_id_buffer {
  uint32_t *ids = nullptr;
  int64_t count = 0;
  int64_t capacity = 0;

  ~qz_norvo_id_buffer() { std::free(ids); }

  bool push(uint32_t id) {
    if (count == capacity) {
      const int64_t grown = capacity ? capacity * 2 : 16;
      auto bigger = static_cast<uint32_t *>(
          qz_norvo_tokenizer_realloc(ids, grown * int64_t{sizeof(uint32_t)}));
      if (!bigger) return false;
      ids = bigger;
      capacity = grown;
    }
    ids[count++] = id;
    return true;
  }
};

// Merges the ids of one piece in place: always the pair of lowest rank,
// leftmost among equal ranks. A merged string that is not in the vocabulary
// gives -1. Ids without a vocabulary string (-1 among them) never merge.
void qz_norvo_bpe_merge_piece(const qz_norvo_bpe_tokenizer_t *t, int32_t *ids, int64_t *count) {
  while (*count >= 2) {
    int64_t best = -1;
    uint32_t best_rank = 0;
    const char *best_left = nullptr;
    const char *best_right = nullptr;
    for (int64_t i = 0; i + 1 < *count; ++i) {
      const qz_norvo_merge_entry_t *merge =
          qz_norvo_bpe_merge(t, static_cast<uint32_t>(ids[i]), static_cast<uint32_t>(ids[i + 1]));
      if (!merge || (best >= 0 && merge->rank >= best_rank)) continue;
      const qz_norvo_string_entry_t *left =
          qz_norvo_bpe_by_id(t->vocab_by_id, t->vocab_count, ids[i]);
      const qz_norvo_string_entry_t *right =
          qz_norvo_bpe_by_id(t->vocab_by_id, t->vocab_count, ids[i + 1]);
      if (!left || !right) continue;
      best = i;
      best_rank = merge->rank;
      best_left = left->string;
      best_right = right->string;
    }
    if (best < 0) return;
    ids[best] = qz_norvo_bpe_vocab_id(t, best_left, best_right);
    std::memmove(ids + best + 1, ids + best + 2,
                 static_cast<size_t>(*count - best - 2) * sizeof *ids);
    --*count;
  }
}

qz_status_t qz_norvo_bpe_encode_piece(const qz_norvo_bpe_tokenizer_t *t, const char *piece,
                                      qz_norvo_id_buffer *out) {
  const int64_t length = static_cast<int64_t>(std::strlen(piece));
  if (length == 0) return QZ_STATUS_SUCCESS;
  auto ids = static_cast<int32_t *>(qz_norvo_tokenizer_malloc(length * int64_t{sizeof(int32_t)}));
  if (!ids) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_free_guard ids_guard{ids};
  for (int64_t i = 0; i < length; ++i) ids[i] = t->byte_ids[static_cast<unsigned char>(piece[i])];
  int64_t count = length;
  qz_norvo_bpe_merge_piece(t, ids, &count);
  for (int64_t i = 0; i < count; ++i)
    if (!out->push(static_cast<uint32_t>(ids[i]))) return QZ_STATUS_OUT_OF_MEMORY;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_bpe_encode_segment(const qz_norvo_bpe_tokenizer_t *t, const char *text,
                                        int64_t length, qz_norvo_id_buffer *out) {
  char **pieces = nullptr;
  int32_t count = 0;
  qz_status_t status = qz_norvo_regex_split(t->matcher, text, length, &pieces, &count);
  for (int32_t i = 0; i < count && status == QZ_STATUS_SUCCESS; ++i)
    status = pieces[i] ? qz_norvo_bpe_encode_piece(t, pieces[i], out) : QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_regex_split_free(pieces, count);
  return status;
}

// The first special string, shortest first, that matches at the position.
const qz_norvo_string_entry_t *qz_norvo_bpe_special_at(const qz_norvo_bpe_tokenizer_t *t,
                                                       const char *text, int64_t at,
                                                       int64_t length) {
  for (int32_t j = 0; j < t->special_count; ++j) {
    const qz_norvo_string_entry_t &special = t->specials_by_length[j];
    const auto size = static_cast<int64_t>(std::strlen(special.string));
    if (at + size <= length && std::memcmp(text + at, special.string, size) == 0) return &special;
  }
  return nullptr;
}

}  // namespace

qz_status_t qz_norvo_bpe_tokenizer_encode(const qz_norvo_bpe_tokenizer_t *t, const char *text, int,
                                          int, int32_t *count, uint32_t **ids) {
  *count = 0;
  *ids = nullptr;
  const int64_t length = static_cast<int64_t>(std::strlen(text));
  if (length == 0) return QZ_STATUS_SUCCESS;

  qz_norvo_id_buffer out;
  qz_status_t status;
  int64_t mark = 0;
  int64_t at = 0;
  while (at < length) {
    const qz_norvo_string_entry_t *special = qz_norvo_bpe_special_at(t, text, at, length);
    if (!special) {
      ++at;
      continue;
    }
    if (at > mark && (status = qz_norvo_bpe_encode_segment(t, text + mark, at - mark, &out)) !=
                         QZ_STATUS_SUCCESS)
      return status;
    if (!out.push(static_cast<uint32_t>(special->id))) return QZ_STATUS_OUT_OF_MEMORY;
    at += static_cast<int64_t>(std::strlen(special->string));
    mark = at;
  }
  if (mark < length && (status = qz_norvo_bpe_encode_segment(t, text + mark, length - mark,
                                                             &out)) != QZ_STATUS_SUCCESS)
    return status;
  if (out.count > INT32_MAX) return QZ_STATUS_INVALID_ARGUMENT;
  if (out.count == 0) return QZ_STATUS_SUCCESS;
  *count = static_cast<int32_t>(out.count);
  *ids = out.ids;
  out.ids = nullptr;
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

// Turns alphabet characters back into bytes. A byte that starts no alphabet
// character is copied as it is, so the walk always moves on.
int64_t qz_norvo_bpe_unalphabet(const char *text, int64_t length, char *out) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  int64_t written = 0;
  int64_t at = 0;
  while (at < length) {
    int code_point = -1;
    int size = 1;
    if (p[at] < 0x80) {
      code_point = p[at];
    } else if (p[at] >= 0xC0 && p[at] <= 0xDF && at + 1 < length && (p[at + 1] & 0xC0) == 0x80) {
      code_point = ((p[at] & 0x1F) << 6) | (p[at + 1] & 0x3F);
      size = 2;
    }
    const int byte = code_point >= 0 && code_point < QZ_NORVO_ALPHABET_END
                         ? QZ_NORVO_BYTE_ALPHABET.byte_of[code_point]
                         : -1;
    if (byte >= 0) {
      out[written++] = static_cast<char>(byte);
      at += size;
    } else {
      out[written++] = static_cast<char>(p[at]);
      ++at;
    }
  }
  return written;
}

}  // namespace

qz_status_t qz_norvo_bpe_tokenizer_decode(const qz_norvo_bpe_tokenizer_t *t, const uint32_t *ids,
                                          int32_t count, int32_t, char **text) {
  *text = nullptr;
  auto special_of = [t](uint32_t id) {
    return qz_norvo_bpe_by_id(t->specials_by_id, t->special_count, static_cast<int32_t>(id));
  };
  auto word_of = [t](uint32_t id) {
    return qz_norvo_bpe_by_id(t->vocab_by_id, t->vocab_count, static_cast<int32_t>(id));
  };
  // Every id's string is at least as long as what it decodes to, so the sum
  // bounds both the run buffer and the output. Ids in neither table are
  // skipped.
  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    const qz_norvo_string_entry_t *entry = special_of(ids[i]);
    if (!entry) entry = word_of(ids[i]);
    if (entry) total += static_cast<int64_t>(std::strlen(entry->string));
  }
  auto out = static_cast<char *>(qz_norvo_tokenizer_malloc(total + 1));
  if (!out) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_free_guard out_guard{out};
  auto run = static_cast<char *>(qz_norvo_tokenizer_malloc(total + 1));
  if (!run) return QZ_STATUS_OUT_OF_MEMORY;
  qz_norvo_free_guard run_guard{run};

  int64_t written = 0;
  int32_t i = 0;
  while (i < count) {
    if (const qz_norvo_string_entry_t *special = special_of(ids[i])) {
      const size_t size = std::strlen(special->string);
      std::memcpy(out + written, special->string, size);
      written += static_cast<int64_t>(size);
      ++i;
      continue;
    }
    // A run of ordinary ids is joined first and read back as bytes after:
    // an alphabet character may be split over two vocabulary strings.
    int64_t run_length = 0;
    for (; i < count && !special_of(ids[i]); ++i) {
      if (const qz_norvo_string_entry_t *word = word_of(ids[i])) {
        const size_t size = std::strlen(word->string);
        std::memcpy(run + run_length, word->string, size);
        run_length += static_cast<int64_t>(size);
      }
    }
    written += qz_norvo_bpe_unalphabet(run, run_length, out + written);
  }
  out[written] = '\0';
  *text = out;
  out_guard.pointer = nullptr;
  return QZ_STATUS_SUCCESS;
}
