// Aligned host allocation with a fault-injection hook for tests.
#pragma once

#include <cstddef>
#include <cstdint>

// Null for a negative size or when the memory cannot be had. Memory from
// here goes back through qz_aligned_free only (Windows keeps aligned blocks
// apart from the C heap).
void *qz_aligned_alloc(size_t alignment, int64_t size);
void qz_aligned_free(void *pointer);

// Test hook: the n-th allocation from now fails (n >= 1); 0 turns it off.
// Counts every allocation of the library that asks qz_alloc_should_fail
// first: qz_aligned_alloc, the worker pool, and the tokenizers' standard
// allocations.
void qz_alloc_fail_at(int n);
// Whether the next allocation should fail (advances the countdown).
bool qz_alloc_should_fail();

// The operating system's aligned allocator (src/platform/<os>/): *out and
// the result are the block, or null when it cannot be had.
void *qz_ypu_cpu_aligned_alloc(size_t alignment, size_t size, void **out);
void qz_ypu_cpu_aligned_free(void *pointer);
