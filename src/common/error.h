// Per-thread error stack: every failure site pushes a record, every caller on
// the way out pushes its site code, so a stack reads innermost cause first.
#pragma once

#include <cstdarg>
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

// Reset at the start of the exported calls that begin a fresh error chain.
void qz_error_stack_begin();

void qz_error_spare_free(char **spare);
void qz_error_stack_fini();

void qz_log_error(const char *message);
