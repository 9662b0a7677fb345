#include "gpu_harness/cuda_radix_sort.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "gpu_harness/cuda_harness.h"

namespace qz_gpu_harness {

namespace {

// The key's bits as an unsigned number that orders as the radix sort does:
// positive floats (sign clear) above negative ones, negative ones reversed,
// -0 taken for +0.
uint32_t radix_key(float key) {
  uint32_t bits;
  std::memcpy(&bits, &key, sizeof bits);
  if (bits == 0x80000000u) bits = 0;
  return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

}  // namespace

size_t radix_sort_storage_bytes(int n) {
  return n > 0 ? 8 * static_cast<size_t>(n) + 256 : 256;
}

int radix_sort_pairs_descending(void *storage, size_t *storage_bytes, const float *keys_in,
                                float *keys_out, const int *values_in, int *values_out, int n) {
  if (!storage) {
    *storage_bytes = radix_sort_storage_bytes(n);
    return 0;
  }
  if (n < 0 || *storage_bytes < radix_sort_storage_bytes(n)) return kCudaErrorInvalidValue;
  if (n == 0) return 0;
  const size_t count = static_cast<size_t>(n);
  // The working storage holds the permutation, so an undersized allocation
  // shows under AddressSanitizer.
  auto *order = static_cast<int32_t *>(storage);
  std::iota(order, order + count, 0);
  std::stable_sort(order, order + count, [&](int32_t a, int32_t b) {
    return radix_key(keys_in[a]) > radix_key(keys_in[b]);
  });
  auto *keys = reinterpret_cast<float *>(order + count);
  for (size_t i = 0; i < count; ++i) keys[i] = keys_in[order[i]];
  for (size_t i = 0; i < count; ++i) values_out[i] = values_in[order[i]];
  std::memcpy(keys_out, keys, 4 * count);
  return 0;
}

}  // namespace qz_gpu_harness
