// The top-k of one row by insertion, shared by the host implementation of
// the single-row top-k, the backends that run it on the host over their
// buffers and the beam search's selections.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

// Whether any of in[0 .. 15] is greater than bar (a NaN is not), in four
// vector compares where the compiler has vector types.
inline bool qz_ypu_topk_any_above(const float *in, float bar) {
#if defined(__GNUC__)
  typedef float lanes __attribute__((vector_size(16)));
  typedef int32_t masks __attribute__((vector_size(16)));
  const lanes limit = {bar, bar, bar, bar};
  masks any{};
  for (int h = 0; h < 4; ++h) {
    lanes v;
    std::memcpy(&v, in + 4 * h, sizeof v);
    any |= v > limit;
  }
  return (any[0] | any[1] | any[2] | any[3]) != 0;
#else
  bool any = false;
  for (int32_t l = 0; l < 16; ++l) any |= in[l] > bar;
  return any;
#endif
}

// Inserts (value, index) into the descending list values/indices of k (k >=
// 1) entries. Only a value strictly greater than the last kept one enters,
// and the carried pair is swapped with every entry it strictly beats, so
// among equal values the one met first stays ahead, a pair displaced from a
// run of equal values lands after the rest of the run, and the pair carried
// out of the last entry is gone. A NaN never enters.
inline void qz_ypu_topk_carry(float *values, int32_t *indices, int32_t k, float value,
                              int32_t index) {
  if (!(value > values[k - 1])) return;
  for (int32_t q = 0; q < k; ++q) {
    if (!(value > values[q])) continue;
    const float v = values[q];
    const int32_t i = indices[q];
    values[q] = value;
    indices[q] = index;
    value = v;
    index = i;
  }
}

// Writes the k largest of in[0 .. n-1] to values (descending) with their
// positions to indices, in qz_ypu_topk_carry's order; entries not reached
// keep the lowest float (-FLT_MAX) and 0, so neither a NaN nor a value at or
// below -FLT_MAX ever enters. Nothing is written when k <= 0.
inline void qz_ypu_topk_insert(const float *in, int32_t n, float *values, int32_t *indices,
                               int32_t k) {
  if (k <= 0) return;
  for (int32_t q = 0; q < k; ++q) {
    values[q] = std::numeric_limits<float>::lowest();
    indices[q] = 0;
  }
  const float *last = values + (k - 1);
  for (int32_t j = 0; j < n; ++j) {
    // Most values enter nowhere: runs of 16 that hold none greater than the
    // last kept value are passed over in one test, which vectorises.
    while ((j & 15) == 0 && j + 16 <= n && !qz_ypu_topk_any_above(in + j, *last)) j += 16;
    if (j >= n) break;
    qz_ypu_topk_carry(values, indices, k, in[j], j);
  }
}
