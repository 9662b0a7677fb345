#include "common/alloc.h"

#include <atomic>

namespace {
std::atomic<int> qz_alloc_countdown{0};
}

void qz_alloc_fail_at(int n) { qz_alloc_countdown.store(n > 0 ? n : 0); }

bool qz_alloc_should_fail() {
  int left = qz_alloc_countdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (qz_alloc_countdown.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

void *qz_aligned_alloc(size_t alignment, int64_t size) {
  if (size < 0 || qz_alloc_should_fail()) return nullptr;
  void *pointer = nullptr;
  // A zero size still gets a block of its own, freed like any other.
  return qz_ypu_cpu_aligned_alloc(alignment, size ? static_cast<size_t>(size) : 1, &pointer);
}

void qz_aligned_free(void *pointer) { qz_ypu_cpu_aligned_free(pointer); }
