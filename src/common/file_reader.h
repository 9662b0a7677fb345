// Reading the model file front to back. Every number in the file is
// little-endian, as is every machine the library is built for, so values are
// read straight into their variables.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>

#include "common/error.h"

static_assert(std::endian::native == std::endian::little,
              "the model file is read without byte swapping");

inline constexpr qz_error_record_t QZ_NORVO_ERROR_PAYLOAD{0xd2, nullptr};

// Reads exactly `size` bytes; false on a short read or a negative size. No message.
bool qz_norvo_read_quiet(FILE *file, void *data, int64_t size);

// The same, pushing "Failed to read parameter from file." (0xca) on a short
// read: QZ_STATUS_IO_ERROR.
qz_status_t qz_norvo_read(FILE *file, void *data, int64_t size);

inline bool qz_norvo_read_i32_quiet(FILE *file, int32_t *value) {
  return qz_norvo_read_quiet(file, value, sizeof *value);
}
inline qz_status_t qz_norvo_read_i32(FILE *file, int32_t *value) {
  return qz_norvo_read(file, value, sizeof *value);
}
inline qz_status_t qz_norvo_read_f32(FILE *file, float *value) {
  return qz_norvo_read(file, value, sizeof *value);
}

// Reads `count` elements of `element_size` bytes into a new malloc'd array
// (freed with free). A count from the file may be anything, so the array grows
// with the bytes that actually arrive: a huge count in a short file fails at
// the read instead of reserving the whole size first. Pushes no message:
// QZ_STATUS_INVALID_ARGUMENT for a negative count or a size beyond 2^40
// bytes, QZ_STATUS_IO_ERROR for a short read, QZ_STATUS_OUT_OF_MEMORY when
// the memory cannot be had. A count of 0 gives a valid one-byte array.
qz_status_t qz_norvo_read_array(FILE *file, int64_t element_size, int64_t count, void **out);
