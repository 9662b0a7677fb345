// Per-thread error stack: every failure site pushes a record, every caller on
// the way out pushes its site code, so a stack reads innermost cause first.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "qz_norvo.h"

struct qz_error_record_t {
  uint32_t code;
  const char *format;  // printf-style; null for records without text
};

inline constexpr int QZ_ERROR_MAX_THREADS = 128;
inline constexpr int QZ_ERROR_MAX_MESSAGES = 8;
inline constexpr int QZ_ERROR_MESSAGE_BYTES = 512;
inline constexpr int QZ_ERROR_SCRATCH_BYTES = 492;
inline constexpr const char *QZ_ERROR_TAG = "0633a7d";

// The record every enclosing function pushes with its seven-digit site code.
inline constexpr qz_error_record_t QZ_ERROR_SITE{0x136, "%s"};

// Records quoted from many places.
inline constexpr qz_error_record_t QZ_ERROR_ARG_NULL{0x64, "Argument `%s` is NULL."};
inline constexpr qz_error_record_t QZ_ERROR_ARG_INVALID{0x65, "Argument `%s` is invalid."};
inline constexpr qz_error_record_t QZ_ERROR_OUT_OF_MEMORY{0xc8, "Failed to allocate, out of memory."};
inline constexpr qz_error_record_t QZ_ERROR_OPEN_FILE{0xc9, "Failed to open file `%s`."};
inline constexpr qz_error_record_t QZ_ERROR_READ_FILE{0xca, "Failed to read parameter from file."};
inline constexpr qz_error_record_t QZ_ERROR_CALLER{0x12c, nullptr};

void qz_error_vpush(const char *location, int32_t number, const qz_error_record_t *record,
                    va_list args);
void qz_error_push(const char *location, int32_t number, const qz_error_record_t *record, ...);
void qz_error_push_at(const char *location, int32_t number, const qz_error_record_t *record,
                      ...);

// Pushes QZ_ERROR_SITE with a site code such as "9a0af96".
inline void qz_error_site(const char *site) { qz_error_push("", 0, &QZ_ERROR_SITE, site); }

// A point in the calling thread's chain. A step that fails may be only an
// attempt: when the call then succeeds another way (a fallback device, the
// host implementation of an op a backend declined), it rewinds to the mark
// taken before the attempt, so that a call that succeeds leaves no message
// behind. A chain the attempt began afresh (the stack was stale) rewinds to
// an empty stack.
struct qz_error_mark_t {
  int32_t count;  // messages held before the attempt; -1: none to keep
};
qz_error_mark_t qz_error_mark();
void qz_error_rewind(qz_error_mark_t mark);
// Whether a message pushed since `mark` explains something: text other
// than a site code or "Velthrane Error.". A failure whose chain has none
// adds a message of its own.
bool qz_error_explained_since(qz_error_mark_t mark);
// Adds that message to a failure whose chain since `mark` explains nothing:
// for QZ_STATUS_OUT_OF_MEMORY the out-of-memory record (whatever step ran
// out, memory is what is missing), else `record` with its arguments.
void qz_error_explain(qz_error_mark_t mark, qz_status_t status, const qz_error_record_t *record,
                      ...);

// Room for a caller's string quoted by qz_error_quote: long enough for a
// path, short enough that the message around it always fits.
inline constexpr size_t QZ_ERROR_QUOTE_BYTES = 256;

// Copies a caller's string into `out` for a message: bytes that are not part
// of valid UTF-8, and control characters, become \xNN; a string longer than
// the room is cut at a character and ends in "...". Returns `out`.
const char *qz_error_quote(const char *text, char (&out)[QZ_ERROR_QUOTE_BYTES]);

// Reset at the start of the exported calls that begin a fresh error chain.
void qz_error_stack_begin();

void qz_error_spare_free(char **spare);
void qz_error_stack_fini();

void qz_log_error(const char *message);
