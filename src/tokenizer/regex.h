// Regular expressions on ICU, behind plain functions so that the rest of the
// library sees no ICU types.
#pragma once

#include <cstdint>

#include "common/error.h"

struct qz_norvo_regex_t;  // holder of one compiled matcher

inline constexpr qz_error_record_t QZ_NORVO_ERROR_ICU_DATA{0x230, nullptr};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_ICU_PATTERN{0x231, nullptr};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_ICU_FIND{0x232, nullptr};
inline constexpr qz_error_record_t QZ_NORVO_ERROR_ICU_GROUP{0x233, nullptr};

// Installs an ICU data package for the whole process and returns the copy
// that ICU reads from. ICU keeps a pointer to an installed package (it never
// copies or releases it, and looks items up in it before its built-in data),
// so the copy is never freed; a package equal to one installed before reuses
// that copy. A package ICU would not accept, or one whose table of contents
// points outside it, fails with 0x230 and QZ_STATUS_RUNTIME_ERROR; the copy
// failing to allocate gives 0xc8 and QZ_STATUS_OUT_OF_MEMORY.
qz_status_t qz_norvo_icu_data_install(const void *package, int64_t size, const void **installed);

// Compiles a NUL-terminated UTF-8 pattern (flags 0). 0xc8 and
// QZ_STATUS_OUT_OF_MEMORY when the holder or matcher cannot be allocated;
// 0x231 and QZ_STATUS_RUNTIME_ERROR when ICU rejects the pattern.
qz_status_t qz_norvo_regex_create(const char *pattern, qz_norvo_regex_t **out);
void qz_norvo_regex_free(qz_norvo_regex_t *regex);

// The texts of the successive matches in `length` bytes of UTF-8 text (text
// between matches is dropped), as malloc'd NUL-terminated strings. No match
// is a count of 0 and a null array. ICU failures push 0x232 (find) or 0x233
// (group) and give QZ_STATUS_RUNTIME_ERROR; memory, 0xc8 and
// QZ_STATUS_OUT_OF_MEMORY. The matcher keeps the state of the split: one
// split at a time per holder.
qz_status_t qz_norvo_regex_split(qz_norvo_regex_t *regex, const char *text, int64_t length,
                                 char ***pieces, int32_t *count);
void qz_norvo_regex_split_free(char **pieces, int32_t count);
