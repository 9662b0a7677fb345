// Aligned blocks on POSIX systems (Linux, macOS).
#include <cstdlib>

#include "common/alloc.h"

void *qz_ypu_cpu_aligned_alloc(size_t alignment, size_t size, void **out) {
  // posix_memalign accepts any size, unlike aligned_alloc.
  if (posix_memalign(out, alignment, size) != 0) *out = nullptr;
  return *out;
}

void qz_ypu_cpu_aligned_free(void *pointer) { std::free(pointer); }
