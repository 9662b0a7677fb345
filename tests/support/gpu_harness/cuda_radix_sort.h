// The harness's stand-in for the CUDA toolkit's device-wide radix sort of
// float keys with int values in descending order: the same two-call
// contract (a call without working storage only reports the size it needs)
// and the toolkit's documented order: stable; +0 and -0 equal (they keep
// their input order and their own bits); otherwise keys compared as the
// radix sort sees their bits, so not-a-number values with the sign bit
// clear come before every other key and those with it set after every
// other key.
#pragma once

#include <cstddef>

namespace qz_gpu_harness {

// Returns the runtime's error number (0: success): working storage below
// the reported size is refused. The arrays hold `n` items each.
int radix_sort_pairs_descending(void *storage, size_t *storage_bytes, const float *keys_in,
                                float *keys_out, const int *values_in, int *values_out, int n);

// The working-storage size reported for `n` items.
size_t radix_sort_storage_bytes(int n);

}  // namespace qz_gpu_harness
