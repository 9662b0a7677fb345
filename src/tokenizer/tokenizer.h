// Tokenizers: text to token ids and back, in one of three kinds that the
// model file chooses. All their memory comes from the standard allocator
// (through the wrappers below, which honour the allocation-failure test hook).
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/error.h"

struct qz_norvo_regex_t;

enum qz_norvo_tokenizer_type_t : int32_t {
  QZ_NORVO_TOKENIZER_PIECE = 0,        // scored piece vocabulary
  QZ_NORVO_TOKENIZER_BYTE_BPE = 1,     // byte-level byte-pair merges after a pattern split
  QZ_NORVO_TOKENIZER_PIECE_VOCAB = 2,  // piece segmenter with a separate id table
};

struct qz_norvo_tokenizer_t {
  int32_t kind;  // a qz_norvo_tokenizer_type_t
  void *impl;    // the kind's record, owned
};

// ---------------------------------------------------------------------------
// Shared helpers

inline constexpr qz_error_record_t QZ_NORVO_ERROR_ENCODE{0x137, nullptr};

// Whether a text holds nothing to translate: only white space (the Unicode
// separators Zs, Zl and Zp, tab, line feed, vertical tab, form feed,
// carriage return, U+0085) and the invisible joiners and marks U+180E,
// U+200B to U+200D, U+2060 and U+FEFF. A text with any other character, or
// with bytes that are not valid UTF-8, is not blank. The empty text is blank.
bool qz_norvo_text_is_blank(const char *text);

// malloc, calloc and realloc for sizes computed in 64 bits: null for a
// negative size, a size that does not fit, or a failure injected by the test
// hook (qz_alloc_fail_at). A size of 0 still gives a unique pointer.
void *qz_norvo_tokenizer_malloc(int64_t size);
void *qz_norvo_tokenizer_calloc(int64_t count, int64_t size);
void *qz_norvo_tokenizer_realloc(void *pointer, int64_t size);

// Growable list of owned NUL-terminated strings.
struct qz_norvo_string_list_t {
  char **items;
  int32_t count;
};

// Appends a NUL-terminated copy of source[start .. end - 1]; 0 on success,
// 1 when memory runs out (the list stays valid; a failed copy leaves a null
// entry counted in the list). Pushes no message.
int qz_norvo_string_list_append(qz_norvo_string_list_t *list, const char *source, int64_t start,
                                int64_t end);
// Frees the strings, the array and the list record (allocated with the
// tokenizer allocator); null is accepted.
void qz_norvo_string_list_free(qz_norvo_string_list_t *list);

// Table entries that the comparators below order.
struct qz_norvo_piece_entry_t {  // {id, string}
  int32_t id;
  const char *string;
};
struct qz_norvo_string_entry_t {  // {string, id}
  const char *string;
  int32_t id;
};
struct qz_norvo_merge_entry_t {
  uint32_t left;
  uint32_t right;
  uint32_t rank;
};

// qsort / bsearch comparators. They compare with < and > (never by a
// difference, which can overflow).
int qz_norvo_compare_entry_piece(const void *a, const void *b);    // piece entries by strcmp
int qz_norvo_compare_string_length(const void *a, const void *b);  // string entries, shorter first
int qz_norvo_compare_string(const void *a, const void *b);         // string entries by strcmp
int qz_norvo_compare_entry_id(const void *a, const void *b);       // string entries by id
int qz_norvo_compare_id_pair(const void *a, const void *b);        // merges by left, then right

// Compares the k bytes at `text` (no NUL among them) with a NUL-terminated
// string, in strcmp order.
int qz_norvo_compare_prefix(const char *text, int64_t k, const char *string);

// Compares a followed by b with a NUL-terminated string, in strcmp order.
int qz_norvo_compare_concat(const char *a, const char *b, const char *string);

// Splits a blob of NUL-terminated strings (its last byte is NUL): string 0
// starts at the first byte, and every NUL at positions `first_nul` to
// size - 2 starts the next one. Returns the number of strings; when `strings`
// is not null, also stores a pointer to each (the caller sized it from a
// first counting call).
int64_t qz_norvo_blob_split(char *blob, int64_t size, int64_t first_nul, char **strings);

// Binary search over entries sorted by strcmp for the piece equal to the k
// bytes at `text`: its id, or -1.
int32_t qz_norvo_piece_find(const qz_norvo_piece_entry_t *entries, int32_t count, const char *text,
                            int64_t k);

// Pushes the record that the piece and kind-2 loaders give a failed read
// helper (0xca for a short read, 0xc8 for memory, 0xd2 for bad contents) and
// returns the status unchanged.
qz_status_t qz_norvo_tokenizer_report(qz_status_t status);

// Reads a blob of `size` bytes (size > 0) whose last byte must be NUL. Pushes
// no message; QZ_STATUS_INVALID_ARGUMENT when the last byte is not NUL.
qz_status_t qz_norvo_blob_read(FILE *file, int64_t size, char **blob);

// Where decoding cuts a text: the offset of the lead byte of the first
// invalid UTF-8 sequence, or the length when there is none. Overlong forms
// and surrogates pass.
int64_t qz_norvo_utf8_valid_prefix(const char *text);

// ---------------------------------------------------------------------------
// The wrapper

// Reads the tokenizer section (kind, then the kind's payload). The wrapper's
// own failures push nothing: QZ_STATUS_OUT_OF_MEMORY, QZ_STATUS_IO_ERROR
// (short read of the kind), QZ_STATUS_INVALID_ARGUMENT (unknown kind).
qz_status_t qz_norvo_tokenizer_load(FILE *file, qz_norvo_tokenizer_t **out);

// Encodes NUL-terminated UTF-8 text. An empty result is a count of 0 and a
// null array; otherwise the caller frees the array with free.
qz_status_t qz_norvo_tokenizer_encode(const qz_norvo_tokenizer_t *tokenizer, const char *text,
                                      int add_start, int add_end, int32_t *count, uint32_t **ids);

// Decodes ids into a malloc'd NUL-terminated text, cut at the first invalid
// UTF-8 sequence (*cut is then 1). `previous` is the id the first id
// follows. Ids outside the tables are skipped.
qz_status_t qz_norvo_tokenizer_decode(const qz_norvo_tokenizer_t *tokenizer, const uint32_t *ids,
                                      int32_t count, int32_t previous, int *cut, char **text);

void qz_norvo_tokenizer_free(qz_norvo_tokenizer_t *tokenizer);

// ---------------------------------------------------------------------------
// Kind 0: scored pieces, lattice segmentation or score-ordered merges

struct qz_norvo_piece_tokenizer_t {
  int32_t mode;  // 2: merge encoding; anything else: lattice segmentation
  int32_t piece_count;
  int32_t special_count;
  int32_t start_id;
  int32_t end_id;
  uint8_t add_leading_space;
  uint8_t flag2;  // kept from the file, used by nothing
  int32_t max_piece_length;
  char **pieces;  // pieces[0] is also the start of the one buffer holding them all
  float *scores;
  qz_norvo_piece_entry_t *sorted_pieces;  // every piece, by strcmp
  qz_norvo_piece_entry_t *specials;       // the special pieces, by strcmp
};

// Symbol lists of the merge encoder; the lattice encoder collects its ids in
// the same list.
struct qz_norvo_symbol_t {
  int32_t id;
  qz_norvo_symbol_t *next;
  qz_norvo_symbol_t *previous;
  uint8_t merged;
};
struct qz_norvo_id_list_t {
  int32_t count;
  qz_norvo_symbol_t *first;
  qz_norvo_symbol_t *last;
};
// Frees the nodes and empties the list.
void qz_norvo_id_list_free(qz_norvo_id_list_t *list);

struct qz_norvo_merge_candidate_t {
  qz_norvo_symbol_t *left;
  qz_norvo_symbol_t *right;
  int32_t id;
  float score;
};
// Binary max-heap of candidates on score.
struct qz_norvo_merge_heap_t {
  qz_norvo_merge_candidate_t **items;
  int32_t count;
  int32_t capacity;
};
// Takes ownership of the candidate; 0, or 1 when growing fails (0xc8 pushed).
int qz_norvo_merge_heap_push(qz_norvo_merge_heap_t *heap, qz_norvo_merge_candidate_t *candidate);
// The best candidate (owned by the caller), or null when the heap is empty.
qz_norvo_merge_candidate_t *qz_norvo_merge_heap_pop(qz_norvo_merge_heap_t *heap);
// Frees the remaining candidates and the array.
void qz_norvo_merge_heap_free(qz_norvo_merge_heap_t *heap);

qz_status_t qz_norvo_piece_tokenizer_load(FILE *file, qz_norvo_piece_tokenizer_t **out);
qz_status_t qz_norvo_piece_tokenizer_encode(const qz_norvo_piece_tokenizer_t *tokenizer,
                                            const char *text, int add_start, int add_end,
                                            int32_t *count, uint32_t **ids);
// Best-score segmentation of the NFKC form of the text: `count` pieces,
// written back to back with a NUL after each into a malloc'd buffer (null
// for 0 pieces).
qz_status_t qz_norvo_piece_segment(const qz_norvo_piece_tokenizer_t *tokenizer, const char *text,
                                   int32_t *count, char **pieces);
// Appends the ids of the score-ordered merge encoding of the raw text.
qz_status_t qz_norvo_piece_merge_encode(const qz_norvo_piece_tokenizer_t *tokenizer,
                                        const char *text, qz_norvo_id_list_t *list);
qz_status_t qz_norvo_piece_tokenizer_decode(const qz_norvo_piece_tokenizer_t *tokenizer,
                                            const uint32_t *ids, int32_t count, int32_t previous,
                                            char **text);
void qz_norvo_piece_tokenizer_free(qz_norvo_piece_tokenizer_t *tokenizer);

// ---------------------------------------------------------------------------
// Kind 1: byte-level byte-pair merges after a pattern split

// The byte alphabet: the UTF-8 string standing for each byte value.
extern const char (&QZ_NORVO_BYTE_STRINGS)[256][3];

struct qz_norvo_bpe_tokenizer_t {
  int32_t vocab_limit;  // checked at load, used by nothing else
  int32_t special_count;
  int32_t vocab_count;
  char *special_buffer;
  char **special_strings;
  int32_t *special_ids;
  char *vocab_buffer;
  char **vocab_strings;
  int32_t *vocab_ids;
  int32_t merge_count;
  int32_t *merge_pairs;  // merge_count (left, right) pairs
  int32_t *merge_ranks;
  // The data package ICU reads from: a process-wide copy that outlives the
  // tokenizer (ICU keeps the pointer), shared by tokenizers with equal packages.
  const void *icu_data;
  qz_norvo_regex_t *matcher;
  qz_norvo_string_entry_t *specials_by_length;  // shorter first
  qz_norvo_string_entry_t *vocab_by_string;
  qz_norvo_string_entry_t *vocab_by_id;
  qz_norvo_merge_entry_t *merges;  // by left, then right
  qz_norvo_string_entry_t *specials_by_id;
  int32_t byte_ids[256];  // vocabulary id of each byte's alphabet string, or -1
};

qz_status_t qz_norvo_bpe_tokenizer_load(FILE *file, qz_norvo_bpe_tokenizer_t **out);
// Adds no start or end id: both flags are ignored.
qz_status_t qz_norvo_bpe_tokenizer_encode(const qz_norvo_bpe_tokenizer_t *tokenizer,
                                          const char *text, int add_start, int add_end,
                                          int32_t *count, uint32_t **ids);
qz_status_t qz_norvo_bpe_tokenizer_decode(const qz_norvo_bpe_tokenizer_t *tokenizer,
                                          const uint32_t *ids, int32_t count, int32_t previous,
                                          char **text);
void qz_norvo_bpe_tokenizer_free(qz_norvo_bpe_tokenizer_t *tokenizer);

// ---------------------------------------------------------------------------
// Kind 2: the kind-0 segmenter with a separate id table

struct qz_norvo_vocab_tokenizer_t {
  int32_t string_count;
  char **strings;  // the input table; strings[0] starts its buffer
  int32_t start_id;
  int32_t end_id;
  int32_t reserved_id;  // kept from the file, used by nothing
  int32_t unknown_id;
  int32_t id_count;
  int32_t *id_values;  // kept from the file, used by nothing
  qz_norvo_piece_tokenizer_t *piece_model;
  qz_norvo_piece_entry_t *sorted_strings;  // {position, string}, by strcmp
  char **output_strings;                   // decoder spellings, or null
};

qz_status_t qz_norvo_vocab_tokenizer_load(FILE *file, qz_norvo_vocab_tokenizer_t **out);
qz_status_t qz_norvo_vocab_tokenizer_encode(const qz_norvo_vocab_tokenizer_t *tokenizer,
                                            const char *text, int add_start, int add_end,
                                            int32_t *count, uint32_t **ids);
qz_status_t qz_norvo_vocab_tokenizer_decode(const qz_norvo_vocab_tokenizer_t *tokenizer,
                                            const uint32_t *ids, int32_t count, int32_t previous,
                                            char **text);
void qz_norvo_vocab_tokenizer_free(qz_norvo_vocab_tokenizer_t *tokenizer);
