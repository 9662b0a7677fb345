// Tokenizer kind 0: a vocabulary of scored pieces. Text is either segmented
// by best total score over a lattice of its NFKC form, or built up from
// characters (and byte pieces) by merging the best-scored adjacent pair
// first. Its lattice segmenter also serves kind 2.
#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/alloc.h"
#include "common/file_reader.h"
#include "tokenizer/tokenizer.h"

namespace {

// Score of a byte that starts no piece. It replaces the path score up to that
// byte instead of being added to it.
constexpr uint32_t QZ_NORVO_UNKNOWN_BYTE_BITS = 0xc1efa55a;  // -29.955738f
constexpr char QZ_NORVO_HEX_DIGITS[] = "0123456789ABCDEF";

float qz_norvo_unknown_byte_score() {
  float value;
  std::memcpy(&value, &QZ_NORVO_UNKNOWN_BYTE_BITS, sizeof value);
  return value;
}

qz_status_t qz_norvo_fail(const qz_error_record_t &record, qz_status_t status) {
  qz_error_push("", 0, &record);
  return status;
}

qz_status_t qz_norvo_fail_memory(const char *site) {
  qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
  if (site) qz_error_site(site);
  return QZ_STATUS_OUT_OF_MEMORY;
}

struct qz_norvo_piece_guard {
  qz_norvo_piece_tokenizer_t *record;
  ~qz_norvo_piece_guard() { qz_norvo_piece_tokenizer_free(record); }
};

struct qz_norvo_id_list_guard {
  qz_norvo_id_list_t *list;
  ~qz_norvo_id_list_guard() { qz_norvo_id_list_free(list); }
};

struct qz_norvo_free_guard {
  void *pointer;
  ~qz_norvo_free_guard() { std::free(pointer); }
};

// Appends a node with the id; false when memory runs out (no message).
bool qz_norvo_id_list_append(qz_norvo_id_list_t *list, int32_t id) {
  auto symbol =
      static_cast<qz_norvo_symbol_t *>(qz_norvo_tokenizer_calloc(1, sizeof(qz_norvo_symbol_t)));
  if (!symbol) return false;
  symbol->id = id;
  symbol->previous = list->last;
  if (list->last) list->last->next = symbol;
  else list->first = symbol;
  list->last = symbol;
  ++list->count;
  return true;
}

// The byte piece of byte b: "<0xNN>" with upper-case digits.
void qz_norvo_byte_piece(unsigned char b, char piece[7]) {
  piece[0] = '<';
  piece[1] = '0';
  piece[2] = 'x';
  piece[3] = QZ_NORVO_HEX_DIGITS[b >> 4];
  piece[4] = QZ_NORVO_HEX_DIGITS[b & 15];
  piece[5] = '>';
  piece[6] = '\0';
}

int qz_norvo_hex_value(char c) {
  for (int i = 0; i < 16; ++i)
    if (QZ_NORVO_HEX_DIGITS[i] == c) return i;
  return -1;
}

// The byte a byte piece stands for, or -1 for any other piece.
int qz_norvo_byte_piece_value(const char *piece) {
  if (std::strlen(piece) != 6 || std::strncmp(piece, "<0x", 3) != 0 || piece[5] != '>') return -1;
  const int high = qz_norvo_hex_value(piece[3]);
  const int low = qz_norvo_hex_value(piece[4]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

int32_t qz_norvo_piece_id(const qz_norvo_piece_tokenizer_t *t, const char *text, int64_t k) {
  return qz_norvo_piece_find(t->sorted_pieces, t->piece_count, text, k);
}

// Id of the piece spelled by two pieces one after the other, or -1.
int32_t qz_norvo_pair_id(const qz_norvo_piece_tokenizer_t *t, const char *a, const char *b) {
  int32_t low = 0;
  int32_t high = t->piece_count;
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    const int order = qz_norvo_compare_concat(a, b, t->sorted_pieces[middle].string);
    if (order == 0) return t->sorted_pieces[middle].id;
    if (order < 0) high = middle;
    else low = middle + 1;
  }
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Loading

qz_status_t qz_norvo_piece_tokenizer_load(FILE *file, qz_norvo_piece_tokenizer_t **out) {
  qz_norvo_piece_guard guard{static_cast<qz_norvo_piece_tokenizer_t *>(
      qz_norvo_tokenizer_calloc(1, sizeof(qz_norvo_piece_tokenizer_t)))};
  qz_norvo_piece_tokenizer_t *t = guard.record;
  if (!t) return qz_norvo_fail_memory(nullptr);

  int32_t n, m, flags, byte_count;
  qz_status_t status;
  if ((status = qz_norvo_read_i32(file, &n)) != QZ_STATUS_SUCCESS) return status;
  if (n <= 0) return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);
  if ((status = qz_norvo_read_i32(file, &m)) != QZ_STATUS_SUCCESS) return status;
  if (m < 0) return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);
  for (int32_t *id : {&t->start_id, &t->end_id}) {
    if ((status = qz_norvo_read_i32(file, id)) != QZ_STATUS_SUCCESS) return status;
    if (*id < 0 || *id >= n)
      return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);
  }
  if ((status = qz_norvo_read_i32(file, &flags)) != QZ_STATUS_SUCCESS) return status;
  if (static_cast<uint32_t>(flags) > 3)
    return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);
  t->add_leading_space = flags & 1;
  t->flag2 = (flags >> 1) & 1;
  if ((status = qz_norvo_read_i32(file, &t->mode)) != QZ_STATUS_SUCCESS) return status;
  if ((status = qz_norvo_read_i32(file, &byte_count)) != QZ_STATUS_SUCCESS) return status;
  if (byte_count <= 0) return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);

  char *blob = nullptr;
  if ((status = qz_norvo_blob_read(file, byte_count, &blob)) != QZ_STATUS_SUCCESS)
    return qz_norvo_tokenizer_report(status);
  qz_norvo_free_guard blob_guard{blob};
  if (qz_norvo_blob_split(blob, byte_count, 0, nullptr) != n)
    return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);
  t->pieces = static_cast<char **>(qz_norvo_tokenizer_calloc(n, sizeof(char *)));
  if (!t->pieces) return qz_norvo_fail_memory(nullptr);
  qz_norvo_blob_split(blob, byte_count, 0, t->pieces);
  blob_guard.pointer = nullptr;  // owned through pieces[0] now
  t->piece_count = n;

  void *scores = nullptr;
  if ((status = qz_norvo_read_array(file, sizeof(float), n, &scores)) != QZ_STATUS_SUCCESS)
    return qz_norvo_tokenizer_report(status);
  t->scores = static_cast<float *>(scores);

  t->sorted_pieces = static_cast<qz_norvo_piece_entry_t *>(
      qz_norvo_tokenizer_malloc(int64_t{n} * int64_t{sizeof(qz_norvo_piece_entry_t)}));
  if (!t->sorted_pieces) return qz_norvo_fail_memory(nullptr);
  for (int32_t i = 0; i < n; ++i) {
    t->sorted_pieces[i] = {i, t->pieces[i]};
    const auto length = static_cast<int32_t>(std::strlen(t->pieces[i]));
    if (length > t->max_piece_length) t->max_piece_length = length;
  }

  if (m > 0) {
    void *read = nullptr;
    if ((status = qz_norvo_read_array(file, sizeof(int32_t), m, &read)) != QZ_STATUS_SUCCESS)
      return qz_norvo_tokenizer_report(status);
    qz_norvo_free_guard ids_guard{read};
    const auto *ids = static_cast<const int32_t *>(read);
    for (int32_t i = 0; i < m; ++i)
      if (ids[i] < 0 || ids[i] >= n)
        return qz_norvo_fail(QZ_NORVO_ERROR_PAYLOAD, QZ_STATUS_INVALID_ARGUMENT);
    t->specials = static_cast<qz_norvo_piece_entry_t *>(
        qz_norvo_tokenizer_malloc(int64_t{m} * int64_t{sizeof(qz_norvo_piece_entry_t)}));
    if (!t->specials) return qz_norvo_fail_memory(nullptr);
    for (int32_t i = 0; i < m; ++i) t->specials[i] = {ids[i], t->pieces[ids[i]]};
    t->special_count = m;
    std::qsort(t->specials, m, sizeof *t->specials, qz_norvo_compare_entry_piece);
  }
  std::qsort(t->sorted_pieces, n, sizeof *t->sorted_pieces, qz_norvo_compare_entry_piece);

  *out = t;
  guard.record = nullptr;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_piece_tokenizer_free(qz_norvo_piece_tokenizer_t *t) {
  if (!t) return;
  std::free(t->sorted_pieces);
  std::free(t->specials);
  std::free(t->scores);
  if (t->pieces) std::free(t->pieces[0]);
  std::free(t->pieces);
  std::free(t);
}

void qz_norvo_id_list_free(qz_norvo_id_list_t *list) {
  for (qz_norvo_symbol_t *s = list->first; s;) {
    qz_norvo_symbol_t *next = s->next;
    std::free(s);
    s = next;
  }
  *list = {};
}

// ---------------------------------------------------------------------------
// Lattice segmentation

namespace {

struct qz_norvo_lattice_node {
  float score;
  int32_t back;
};

// Normalises to NFKC and puts the leading space in front when asked.
qz_status_t qz_norvo_piece_normalize(const qz_norvo_piece_tokenizer_t *t, const char *text,
                                     char **out, int64_t *length) {
  *out = nullptr;
  utf8proc_uint8_t *normalized = nullptr;
  const auto options = static_cast<utf8proc_option_t>(UTF8PROC_NULLTERM | UTF8PROC_STABLE |
                                                      UTF8PROC_COMPAT | UTF8PROC_COMPOSE);
  // utf8proc allocates with malloc itself; the test hook stands in for its failure.
  const utf8proc_ssize_t result =
      qz_alloc_should_fail() ? UTF8PROC_ERROR_NOMEM
                             : utf8proc_map_custom(reinterpret_cast<const utf8proc_uint8_t *>(text),
                                                   0, &normalized, options, nullptr, nullptr);
  if (result < 0) {
    // Text that is not UTF-8 is the caller's fault, not a lack of memory.
    if (result == UTF8PROC_ERROR_NOMEM) return qz_norvo_fail_memory(nullptr);
    qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, "text");
    return QZ_STATUS_INVALID_ARGUMENT;
  }
  if (!t->add_leading_space) {
    *out = reinterpret_cast<char *>(normalized);
    *length = result;
    return QZ_STATUS_SUCCESS;
  }
  auto spaced = static_cast<char *>(qz_norvo_tokenizer_malloc(int64_t{result} + 2));
  if (!spaced) {
    std::free(normalized);
    return qz_norvo_fail_memory(nullptr);
  }
  spaced[0] = ' ';
  std::memcpy(spaced + 1, normalized, static_cast<size_t>(result) + 1);
  std::free(normalized);
  *out = spaced;
  *length = result + 1;
  return QZ_STATUS_SUCCESS;
}

// Best path into every position; ties keep the first candidate found.
void qz_norvo_lattice_fill(const qz_norvo_piece_tokenizer_t *t, const char *text, int64_t length,
                           qz_norvo_lattice_node *lattice) {
  for (int64_t s = 0; s < length; ++s) {
    const double base = lattice[s].score;
    bool one_byte_piece = false;
    const int64_t longest = std::min<int64_t>(t->max_piece_length, length - s);
    for (int64_t k = 1; k <= longest; ++k) {
      const int32_t id = qz_norvo_piece_id(t, text + s, k);
      if (id < 0) continue;
      if (k == 1) one_byte_piece = true;
      const double candidate = double{t->scores[id]} + base;
      qz_norvo_lattice_node &end = lattice[s + k];
      if (end.back == -1 || candidate > end.score) {
        end.score = static_cast<float>(candidate);
        end.back = static_cast<int32_t>(s);
      }
    }
    if (!one_byte_piece && lattice[s + 1].back == -1)
      lattice[s + 1] = {qz_norvo_unknown_byte_score(), static_cast<int32_t>(s)};
  }
}

int qz_norvo_utf8_length(unsigned char lead) {
  if (lead >= 0xC0 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  return 0;
}

// Makes each run of consecutive multi-byte characters that were reached byte
// by byte (no piece covers them) one unknown piece.
void qz_norvo_lattice_join_unknown(const char *text, int64_t length,
                                   qz_norvo_lattice_node *lattice) {
  int64_t run = 0;
  int64_t at = 0;
  while (at < length) {
    const int t = qz_norvo_utf8_length(static_cast<unsigned char>(text[at]));
    const int64_t end = at + t;
    if (t && end <= length && lattice[end].back == end - 1) {
      run += t;
      at = end;
      continue;
    }
    if (run) {
      lattice[at].back = static_cast<int32_t>(at - run);
      run = 0;
    }
    ++at;
  }
  if (run) lattice[at].back = static_cast<int32_t>(at - run);
}

}  // namespace

qz_status_t qz_norvo_piece_segment(const qz_norvo_piece_tokenizer_t *t, const char *text,
                                   int32_t *count, char **pieces) {
  *count = 0;
  *pieces = nullptr;
  char *normalized = nullptr;
  int64_t length = 0;
  const qz_status_t status = qz_norvo_piece_normalize(t, text, &normalized, &length);
  if (status != QZ_STATUS_SUCCESS) return status;
  qz_norvo_free_guard normalized_guard{normalized};
  if (length == 0) return QZ_STATUS_SUCCESS;
  if (length >= INT32_MAX) {  // positions are 32-bit
    qz_error_push("", 0, &QZ_ERROR_ARG_INVALID, "text");
    return QZ_STATUS_INVALID_ARGUMENT;
  }

  auto lattice = static_cast<qz_norvo_lattice_node *>(
      qz_norvo_tokenizer_malloc((length + 1) * int64_t{sizeof(qz_norvo_lattice_node)}));
  if (!lattice) return qz_norvo_fail_memory(nullptr);
  qz_norvo_free_guard lattice_guard{lattice};
  for (int64_t i = 0; i <= length; ++i) lattice[i] = {0.0f, -1};
  qz_norvo_lattice_fill(t, normalized, length, lattice);
  qz_norvo_lattice_join_unknown(normalized, length, lattice);

  // Every step back lands strictly earlier: the fallback gives every position
  // a predecessor, and the join only points further back.
  int64_t n = 0;
  for (int64_t end = length; end > 0; end = lattice[end].back) ++n;
  // The pieces tile the text, so the buffer is the text plus one NUL each,
  // and the piece starting at s goes to s plus the number of pieces before it.
  auto buffer = static_cast<char *>(qz_norvo_tokenizer_malloc(length + n));
  if (!buffer) return qz_norvo_fail_memory(nullptr);
  int64_t index = n;
  for (int64_t end = length; end > 0;) {
    const int64_t start = lattice[end].back;
    --index;
    std::memcpy(buffer + start + index, normalized + start, static_cast<size_t>(end - start));
    buffer[end + index] = '\0';
    end = start;
  }
  *count = static_cast<int32_t>(n);
  *pieces = buffer;
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Candidate heap

int qz_norvo_merge_heap_push(qz_norvo_merge_heap_t *heap, qz_norvo_merge_candidate_t *candidate) {
  if (heap->count == heap->capacity) {
    const int64_t grown = heap->capacity > 0 ? int64_t{heap->capacity} * 2 : 1;
    auto items = grown > INT32_MAX
                     ? nullptr
                     : static_cast<qz_norvo_merge_candidate_t **>(qz_norvo_tokenizer_realloc(
                           heap->items, grown * int64_t{sizeof(void *)}));
    if (!items) {
      std::free(candidate);
      qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
      return 1;
    }
    heap->items = items;
    heap->capacity = static_cast<int32_t>(grown);
  }
  int32_t i = heap->count++;
  heap->items[i] = candidate;
  while (i > 0) {
    const int32_t parent = (i - 1) / 2;
    if (!(heap->items[i]->score > heap->items[parent]->score)) break;
    std::swap(heap->items[i], heap->items[parent]);
    i = parent;
  }
  return 0;
}

qz_norvo_merge_candidate_t *qz_norvo_merge_heap_pop(qz_norvo_merge_heap_t *heap) {
  if (heap->count == 0) return nullptr;
  qz_norvo_merge_candidate_t *top = heap->items[0];
  heap->items[0] = heap->items[--heap->count];
  int32_t i = 0;
  for (;;) {
    const int32_t left = 2 * i + 1;
    const int32_t right = left + 1;
    int32_t choice = i;
    if (left < heap->count && heap->items[left]->score > heap->items[choice]->score) choice = left;
    if (right < heap->count && heap->items[right]->score > heap->items[choice]->score)
      choice = right;
    if (choice == i) break;
    std::swap(heap->items[i], heap->items[choice]);
    i = choice;
  }
  return top;
}

void qz_norvo_merge_heap_free(qz_norvo_merge_heap_t *heap) {
  for (int32_t i = 0; i < heap->count; ++i) std::free(heap->items[i]);
  std::free(heap->items);
  *heap = {};
}

// ---------------------------------------------------------------------------
// Merge encoding

namespace {

struct qz_norvo_merge_state {
  const qz_norvo_piece_tokenizer_t *t;
  qz_norvo_id_list_t symbols{};
  qz_norvo_symbol_t *retired = nullptr;  // merged symbols, chained through next
  qz_norvo_merge_heap_t heap{};

  ~qz_norvo_merge_state() {
    qz_norvo_merge_heap_free(&heap);
    qz_norvo_id_list_free(&symbols);
    for (qz_norvo_symbol_t *s = retired; s;) {
      qz_norvo_symbol_t *next = s->next;
      std::free(s);
      s = next;
    }
  }

  qz_status_t append(int32_t id) {
    return qz_norvo_id_list_append(&symbols, id) ? QZ_STATUS_SUCCESS
                                                 : qz_norvo_fail_memory("7db9054");
  }

  // Pushes a candidate when the two symbols spell a piece. A symbol without a
  // piece (id -1: no space piece, no byte piece) never merges.
  qz_status_t offer(qz_norvo_symbol_t *left, qz_norvo_symbol_t *right) {
    if (left->id < 0 || right->id < 0) return QZ_STATUS_SUCCESS;
    const int32_t id = qz_norvo_pair_id(t, t->pieces[left->id], t->pieces[right->id]);
    if (id < 0) return QZ_STATUS_SUCCESS;
    auto candidate = static_cast<qz_norvo_merge_candidate_t *>(
        qz_norvo_tokenizer_malloc(sizeof(qz_norvo_merge_candidate_t)));
    if (!candidate) return qz_norvo_fail_memory("b040c99");
    *candidate = {left, right, id, t->scores[id]};
    if (qz_norvo_merge_heap_push(&heap, candidate) != 0) {
      qz_error_site("9b61a57");
      return QZ_STATUS_OUT_OF_MEMORY;
    }
    return QZ_STATUS_SUCCESS;
  }

  // Turns the raw text into symbols: special pieces, characters that are
  // pieces, and byte pieces for the rest.
  qz_status_t split(const char *text) {
    const int64_t length = static_cast<int64_t>(std::strlen(text));
    qz_status_t status;
    if (length > 0 && t->add_leading_space &&
        (status = append(qz_norvo_piece_id(t, " ", 1))) != QZ_STATUS_SUCCESS)
      return status;
    int64_t at = 0;
    while (at < length) {
      const char *rest = text + at;
      if (const int64_t special = special_at(rest); special >= 0) {
        if ((status = append(t->specials[special].id)) != QZ_STATUS_SUCCESS) return status;
        at += static_cast<int64_t>(std::strlen(t->specials[special].string));
        continue;
      }
      int64_t k = 1;
      while (at + k < length && (static_cast<unsigned char>(text[at + k]) & 0xC0) == 0x80) ++k;
      if (const int32_t id = qz_norvo_piece_id(t, rest, k); id >= 0) {
        if ((status = append(id)) != QZ_STATUS_SUCCESS) return status;
      } else {
        for (int64_t i = 0; i < k; ++i) {
          char piece[7];
          qz_norvo_byte_piece(static_cast<unsigned char>(rest[i]), piece);
          if ((status = append(qz_norvo_piece_id(t, piece, 6))) != QZ_STATUS_SUCCESS) return status;
        }
      }
      at += k;
    }
    return QZ_STATUS_SUCCESS;
  }

  // The last special piece that sorts at or before the rest of the text, when
  // it is also a prefix of it (and not empty, which would never advance).
  int64_t special_at(const char *rest) const {
    int32_t low = 0;
    int32_t high = t->special_count;
    while (low < high) {
      const int32_t middle = low + (high - low) / 2;
      if (std::strcmp(t->specials[middle].string, rest) <= 0) low = middle + 1;
      else high = middle;
    }
    if (low == 0) return -1;
    const char *special = t->specials[low - 1].string;
    const size_t length = std::strlen(special);
    return length > 0 && std::strncmp(rest, special, length) == 0 ? low - 1 : -1;
  }

  qz_status_t merge() {
    const int64_t room = std::max<int64_t>(1, int64_t{symbols.count} * 2);
    heap.items = static_cast<qz_norvo_merge_candidate_t **>(
        qz_norvo_tokenizer_malloc(room * int64_t{sizeof(void *)}));
    if (!heap.items) return qz_norvo_fail_memory("d10a0f1");
    heap.capacity = static_cast<int32_t>(room);
    qz_status_t status;
    if (symbols.count >= 2)
      for (qz_norvo_symbol_t *s = symbols.first; s->next; s = s->next)
        if ((status = offer(s, s->next)) != QZ_STATUS_SUCCESS) return status;

    while (qz_norvo_merge_candidate_t *candidate = qz_norvo_merge_heap_pop(&heap)) {
      qz_norvo_free_guard candidate_guard{candidate};
      if (!(candidate->score >= -std::numeric_limits<float>::max())) break;
      qz_norvo_symbol_t *left = candidate->left;
      qz_norvo_symbol_t *right = candidate->right;
      if (left->merged || right->merged) continue;
      auto merged =
          static_cast<qz_norvo_symbol_t *>(qz_norvo_tokenizer_calloc(1, sizeof(qz_norvo_symbol_t)));
      if (!merged) return qz_norvo_fail_memory("01736df");
      merged->id = candidate->id;
      merged->previous = left->previous;
      merged->next = right->next;
      if (merged->previous) merged->previous->next = merged;
      else symbols.first = merged;
      if (merged->next) merged->next->previous = merged;
      else symbols.last = merged;
      --symbols.count;
      // Candidates still in the heap point at the two old symbols; they stay
      // allocated, marked merged, until the end.
      left->merged = right->merged = 1;
      right->next = retired;
      left->next = right;
      retired = left;
      if (merged->previous && (status = offer(merged->previous, merged)) != QZ_STATUS_SUCCESS)
        return status;
      if (merged->next && (status = offer(merged, merged->next)) != QZ_STATUS_SUCCESS)
        return status;
    }
    return QZ_STATUS_SUCCESS;
  }
};

}  // namespace

qz_status_t qz_norvo_piece_merge_encode(const qz_norvo_piece_tokenizer_t *t, const char *text,
                                        qz_norvo_id_list_t *list) {
  // The text's symbols merge among themselves only, never with ids already in
  // the list (a start id).
  qz_norvo_merge_state state{t};
  qz_status_t status = state.split(text);
  if (status == QZ_STATUS_SUCCESS) status = state.merge();
  if (status != QZ_STATUS_SUCCESS) return status;
  if (qz_norvo_symbol_t *first = state.symbols.first) {
    first->previous = list->last;
    if (list->last) list->last->next = first;
    else list->first = first;
    list->last = state.symbols.last;
    list->count += state.symbols.count;
    state.symbols = {};
  }
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Encoding and decoding

qz_status_t qz_norvo_piece_tokenizer_encode(const qz_norvo_piece_tokenizer_t *t, const char *text,
                                            int add_start, int add_end, int32_t *count,
                                            uint32_t **ids) {
  *count = 0;
  *ids = nullptr;
  qz_norvo_id_list_t list{};
  qz_norvo_id_list_guard list_guard{&list};
  auto fail_node = [] {
    qz_norvo_fail_memory("7db9054");
    qz_error_push("", 0, &QZ_NORVO_ERROR_ENCODE);
    return QZ_STATUS_OUT_OF_MEMORY;
  };

  if (add_start && !qz_norvo_id_list_append(&list, t->start_id)) return fail_node();
  if (t->mode == 2) {
    const qz_status_t status = qz_norvo_piece_merge_encode(t, text, &list);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_push("", 0, &QZ_NORVO_ERROR_ENCODE);
      return status;
    }
  } else {
    int32_t n = 0;
    char *pieces = nullptr;
    const qz_status_t status = qz_norvo_piece_segment(t, text, &n, &pieces);
    if (status != QZ_STATUS_SUCCESS) {
      qz_error_site("02dcf80");
      qz_error_push("", 0, &QZ_NORVO_ERROR_ENCODE);
      return status;
    }
    qz_norvo_free_guard pieces_guard{pieces};
    const char *piece = pieces;
    for (int32_t i = 0; i < n; ++i) {
      const int64_t length = static_cast<int64_t>(std::strlen(piece));
      const int32_t id = qz_norvo_piece_id(t, piece, length);
      if (!qz_norvo_id_list_append(&list, id < 0 ? 0 : id)) return fail_node();
      piece += length + 1;
    }
  }
  if (add_end && !qz_norvo_id_list_append(&list, t->end_id)) return fail_node();

  if (list.count == 0) return QZ_STATUS_SUCCESS;
  auto out = static_cast<uint32_t *>(
      qz_norvo_tokenizer_malloc(int64_t{list.count} * int64_t{sizeof(uint32_t)}));
  if (!out) return qz_norvo_fail_memory(nullptr);
  int32_t i = 0;
  for (const qz_norvo_symbol_t *s = list.first; s; s = s->next)
    out[i++] = static_cast<uint32_t>(s->id);
  *count = list.count;
  *ids = out;
  return QZ_STATUS_SUCCESS;
}

qz_status_t qz_norvo_piece_tokenizer_decode(const qz_norvo_piece_tokenizer_t *t,
                                            const uint32_t *ids, int32_t count, int32_t previous,
                                            char **text) {
  *text = nullptr;
  const bool trim_first = previous == t->start_id;
  // Ids outside the vocabulary (from a model whose output layer is wider
  // than the vocabulary) are skipped.
  auto piece_of = [&](int32_t i, const char **piece, int *byte) {
    *byte = -1;
    *piece = nullptr;
    if (ids[i] >= static_cast<uint32_t>(t->piece_count)) return;
    *piece = t->pieces[ids[i]];
    *byte = qz_norvo_byte_piece_value(*piece);
    if (*byte < 0 && i == 0 && trim_first)
      while (**piece == ' ') ++*piece;
  };

  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    const char *piece;
    int byte;
    piece_of(i, &piece, &byte);
    if (piece) total += byte >= 0 ? 1 : static_cast<int64_t>(std::strlen(piece));
  }
  auto out = static_cast<char *>(qz_norvo_tokenizer_malloc(total + 1));
  if (!out) return QZ_STATUS_OUT_OF_MEMORY;
  int64_t at = 0;
  for (int32_t i = 0; i < count; ++i) {
    const char *piece;
    int byte;
    piece_of(i, &piece, &byte);
    if (!piece) continue;
    if (byte >= 0) {
      out[at++] = static_cast<char>(byte);
    } else {
      const size_t length = std::strlen(piece);
      std::memcpy(out + at, piece, length);
      at += static_cast<int64_t>(length);
    }
  }
  out[at] = '\0';
  *text = out;
  return QZ_STATUS_SUCCESS;
}
