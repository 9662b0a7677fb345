#include "common/file_reader.h"

#include <algorithm>
#include <cstdlib>

#include "common/alloc.h"

namespace {

// Larger arrays than this are never in a model file the library can use.
constexpr int64_t QZ_NORVO_READ_ARRAY_LIMIT = int64_t{1} << 40;
// First step of a growing read; it doubles from there.
constexpr int64_t QZ_NORVO_READ_ARRAY_STEP = int64_t{1} << 20;

}  // namespace

bool qz_norvo_read_quiet(FILE *file, void *data, int64_t size) {
  if (size < 0) return false;
  if (size == 0) return true;
  return std::fread(data, 1, static_cast<size_t>(size), file) == static_cast<size_t>(size);
}

qz_status_t qz_norvo_read(FILE *file, void *data, int64_t size) {
  if (qz_norvo_read_quiet(file, data, size)) return QZ_STATUS_SUCCESS;
  qz_error_push("", 0, &QZ_ERROR_READ_FILE);
  return QZ_STATUS_IO_ERROR;
}

qz_status_t qz_norvo_read_array(FILE *file, int64_t element_size, int64_t count, void **out) {
  *out = nullptr;
  if (element_size <= 0 || count < 0 || count > QZ_NORVO_READ_ARRAY_LIMIT / element_size)
    return QZ_STATUS_INVALID_ARGUMENT;
  const int64_t total = element_size * count;

  int64_t capacity = std::min(std::max<int64_t>(total, 1), QZ_NORVO_READ_ARRAY_STEP);
  char *data = qz_alloc_should_fail() ? nullptr : static_cast<char *>(std::malloc(capacity));
  if (!data) return QZ_STATUS_OUT_OF_MEMORY;
  int64_t done = 0;
  while (done < total) {
    if (done == capacity) {
      const int64_t grown = std::min(total, capacity * 2);
      char *bigger =
          qz_alloc_should_fail() ? nullptr : static_cast<char *>(std::realloc(data, grown));
      if (!bigger) {
        std::free(data);
        return QZ_STATUS_OUT_OF_MEMORY;
      }
      data = bigger;
      capacity = grown;
    }
    const int64_t step = std::min(total, capacity) - done;
    if (!qz_norvo_read_quiet(file, data + done, step)) {
      std::free(data);
      return QZ_STATUS_IO_ERROR;
    }
    done += step;
  }
  *out = data;
  return QZ_STATUS_SUCCESS;
}
