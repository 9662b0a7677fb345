#include "tokenizer/regex.h"

#include <unicode/regex.h>
#include <unicode/udata.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "common/alloc.h"
#include "tokenizer/tokenizer.h"

// ---------------------------------------------------------------------------
// Data packages

namespace {

// One installed package; its bytes follow the header, 16-byte aligned.
struct qz_norvo_icu_package_t {
  qz_norvo_icu_package_t *next;
  int64_t size;
};
static_assert(sizeof(qz_norvo_icu_package_t) == 16);

unsigned char *qz_norvo_icu_package_bytes(qz_norvo_icu_package_t *package) {
  return reinterpret_cast<unsigned char *>(package + 1);
}

// Packages handed to ICU; never freed, since ICU may read them until the
// process ends. Reachable from here, so leak checkers do not report them.
std::mutex qz_norvo_icu_mutex;
qz_norvo_icu_package_t *qz_norvo_icu_packages = nullptr;

uint32_t qz_norvo_load_u32(const unsigned char *p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// The layout ICU trusts when it looks items up: a data header, then a table
// of contents {count, count x (name offset, data offset)} whose offsets count
// from the table's start. Only the offset form is accepted; the other form
// ICU knows holds raw pointers, which a file must never supply. ICU itself
// checks the rest of the header (magic, byte order, character set).
bool qz_norvo_icu_package_sound(const unsigned char *data, int64_t size) {
  constexpr int64_t kInfoEnd = 24;  // header size, magic, and the info block up to its versions
  if (size < kInfoEnd) return false;
  const int64_t header = data[0] | (data[1] << 8);
  if (header < kInfoEnd || std::memcmp(data + 12, "CmnD", 4) != 0 || data[16] != 1) return false;
  if (header + 4 > size) return false;
  const unsigned char *toc = data + header;
  const int64_t room = size - header;
  const int64_t count = qz_norvo_load_u32(toc);
  if (count > (room - 4) / 8) return false;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t name = qz_norvo_load_u32(toc + 4 + 8 * i);
    const int64_t item = qz_norvo_load_u32(toc + 8 + 8 * i);
    if (name >= room || item >= room) return false;
    if (!std::memchr(toc + name, '\0', static_cast<size_t>(room - name))) return false;
  }
  return true;
}

qz_status_t qz_norvo_icu_data_fail() {
  qz_error_push("", 0, &QZ_NORVO_ERROR_ICU_DATA);
  return QZ_STATUS_RUNTIME_ERROR;
}

}  // namespace

qz_status_t qz_norvo_icu_data_install(const void *package, int64_t size, const void **installed) {
  *installed = nullptr;
  if (!qz_norvo_icu_package_sound(static_cast<const unsigned char *>(package), size))
    return qz_norvo_icu_data_fail();

  std::lock_guard<std::mutex> lock(qz_norvo_icu_mutex);
  for (qz_norvo_icu_package_t *p = qz_norvo_icu_packages; p; p = p->next) {
    if (p->size == size && std::memcmp(qz_norvo_icu_package_bytes(p), package, size) == 0) {
      *installed = qz_norvo_icu_package_bytes(p);
      return QZ_STATUS_SUCCESS;
    }
  }
  auto copy = static_cast<qz_norvo_icu_package_t *>(
      qz_norvo_tokenizer_malloc(int64_t{sizeof(qz_norvo_icu_package_t)} + size));
  if (!copy) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return QZ_STATUS_OUT_OF_MEMORY;
  }
  copy->size = size;
  std::memcpy(qz_norvo_icu_package_bytes(copy), package, static_cast<size_t>(size));
  UErrorCode status = U_ZERO_ERROR;
  udata_setCommonData(qz_norvo_icu_package_bytes(copy), &status);
  if (U_FAILURE(status)) {
    std::free(copy);  // rejected packages are not kept by ICU
    return qz_norvo_icu_data_fail();
  }
  // A warning (ICU's table of packages is full) may or may not leave the
  // pointer with ICU; the copy is kept either way.
  copy->next = qz_norvo_icu_packages;
  qz_norvo_icu_packages = copy;
  *installed = qz_norvo_icu_package_bytes(copy);
  return QZ_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Matching

struct qz_norvo_regex_t {
  icu::RegexMatcher *matcher = nullptr;
  // The matcher reads the text of the current split from here (it keeps a
  // reference, not a copy).
  icu::UnicodeString input;
};

namespace {

qz_status_t qz_norvo_regex_fail(const qz_error_record_t &record, qz_status_t status) {
  qz_error_push("", 0, &record);
  return status;
}

}  // namespace

qz_status_t qz_norvo_regex_create(const char *pattern, qz_norvo_regex_t **out) {
  *out = nullptr;
  void *memory = qz_norvo_tokenizer_malloc(sizeof(qz_norvo_regex_t));
  if (!memory) return qz_norvo_regex_fail(QZ_ERROR_OUT_OF_MEMORY, QZ_STATUS_OUT_OF_MEMORY);
  auto regex = new (memory) qz_norvo_regex_t;

  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(pattern);
  UErrorCode status = source.isBogus() ? U_MEMORY_ALLOCATION_ERROR : U_ZERO_ERROR;
  // ICU's operator new returns null instead of throwing.
  regex->matcher = qz_alloc_should_fail() ? nullptr : new icu::RegexMatcher(source, 0, status);
  if (!regex->matcher) {
    qz_norvo_regex_free(regex);
    return qz_norvo_regex_fail(QZ_ERROR_OUT_OF_MEMORY, QZ_STATUS_OUT_OF_MEMORY);
  }
  if (U_FAILURE(status)) {
    qz_norvo_regex_free(regex);
    return qz_norvo_regex_fail(QZ_NORVO_ERROR_ICU_PATTERN, QZ_STATUS_RUNTIME_ERROR);
  }
  *out = regex;
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_regex_free(qz_norvo_regex_t *regex) {
  if (!regex) return;
  delete regex->matcher;
  regex->~qz_norvo_regex_t();
  std::free(regex);
}

namespace {

struct qz_norvo_split_state {
  qz_norvo_string_list_t list{};
  char *scratch = nullptr;
  int32_t scratch_size = 0;

  ~qz_norvo_split_state() {
    qz_norvo_regex_split_free(list.items, list.count);
    std::free(scratch);
  }

  // Appends the UTF-8 form of a match (a lone surrogate becomes U+FFFD, as
  // in ICU's own conversion).
  qz_status_t append(const icu::UnicodeString &group) {
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(nullptr, 0, &length, group.getBuffer(), group.length(), 0xFFFD, nullptr,
                       &status);
    if (length >= scratch_size) {
      auto grown = static_cast<char *>(qz_norvo_tokenizer_realloc(scratch, int64_t{length} + 1));
      if (!grown) return qz_norvo_regex_fail(QZ_ERROR_OUT_OF_MEMORY, QZ_STATUS_OUT_OF_MEMORY);
      scratch = grown;
      scratch_size = length + 1;
    }
    status = U_ZERO_ERROR;
    u_strToUTF8WithSub(scratch, scratch_size, &length, group.getBuffer(), group.length(), 0xFFFD,
                       nullptr, &status);
    if (U_FAILURE(status))
      return qz_norvo_regex_fail(QZ_NORVO_ERROR_ICU_GROUP, QZ_STATUS_RUNTIME_ERROR);
    if (qz_norvo_string_list_append(&list, scratch, 0, length) != 0)
      return qz_norvo_regex_fail(QZ_ERROR_OUT_OF_MEMORY, QZ_STATUS_OUT_OF_MEMORY);
    return QZ_STATUS_SUCCESS;
  }
};

}  // namespace

qz_status_t qz_norvo_regex_split(qz_norvo_regex_t *regex, const char *text, int64_t length,
                                 char ***pieces, int32_t *count) {
  *pieces = nullptr;
  *count = 0;
  if (length < 0 || length > INT32_MAX)
    return qz_norvo_regex_fail(QZ_ERROR_ARG_INVALID, QZ_STATUS_INVALID_ARGUMENT);
  regex->input = icu::UnicodeString::fromUTF8(icu::StringPiece(text, static_cast<int32_t>(length)));
  if (regex->input.isBogus())
    return qz_norvo_regex_fail(QZ_ERROR_OUT_OF_MEMORY, QZ_STATUS_OUT_OF_MEMORY);
  regex->matcher->reset(regex->input);

  qz_norvo_split_state state;
  for (;;) {
    UErrorCode status = U_ZERO_ERROR;
    const UBool found = regex->matcher->find(status);
    if (U_FAILURE(status))
      return qz_norvo_regex_fail(QZ_NORVO_ERROR_ICU_FIND, QZ_STATUS_RUNTIME_ERROR);
    if (!found) break;
    const icu::UnicodeString group = regex->matcher->group(status);
    if (U_FAILURE(status) || group.isBogus())
      return qz_norvo_regex_fail(QZ_NORVO_ERROR_ICU_GROUP, QZ_STATUS_RUNTIME_ERROR);
    if (const qz_status_t appended = state.append(group); appended != QZ_STATUS_SUCCESS)
      return appended;
  }
  *pieces = state.list.items;
  *count = state.list.count;
  state.list = {};
  return QZ_STATUS_SUCCESS;
}

void qz_norvo_regex_split_free(char **pieces, int32_t count) {
  if (!pieces) return;
  for (int32_t i = 0; i < count; ++i) std::free(pieces[i]);
  std::free(pieces);
}
