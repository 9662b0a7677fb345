// Index helpers of the attention kernel files, with internal linkage: each
// instruction-set file compiles its own copy, so no wide-vector code reaches a
// baseline caller through a shared inline function.
#pragma once

#include <cstdint>

#include "ypu/cpu/attention.h"
#include "ypu/cpu/isa_local.h"

namespace {

using qz_attention_shape = qz_ypu_attention_shape_t;

// Offsets of (batch, query, head) rows of queries and outputs, (batch, head,
// query) rows of scores and weights, and (batch, position, kv head) rows of
// keys and values in a cache of `rows` positions.
inline int64_t bqhd(const qz_attention_shape &s, int64_t b, int64_t q, int64_t h) {
  return ((b * s.query_size + q) * s.num_heads + h) * s.head_dim;
}
inline int64_t bhqk(const qz_attention_shape &s, int64_t b, int64_t h, int64_t q) {
  return ((b * s.num_heads + h) * s.query_size + q) * s.key_value_size;
}
inline int64_t btgd(const qz_attention_shape &s, int64_t rows, int64_t b, int64_t t, int64_t g) {
  return ((b * rows + t) * s.num_kv_heads + g) * s.head_dim;
}
inline int32_t kv_head(const qz_attention_shape &s, int32_t h) {
  return h / (s.num_heads / s.num_kv_heads);
}

// The heads of item (i, j) of a cache product: batch group i, head group j.
inline void cache_groups(const qz_ypu_cpu_attention_context_t &c, size_t i, size_t j,
                         void (*head)(const qz_ypu_cpu_attention_context_t &, int32_t, int32_t)) {
  const qz_ypu_cpu_range_t bs =
      qz_isa_split(c.shape.batch_size, c.batch_groups, static_cast<int64_t>(i));
  const qz_ypu_cpu_range_t hs =
      qz_isa_split(c.shape.num_heads, c.head_groups, static_cast<int64_t>(j));
  for (int64_t b = bs.begin; b < bs.end; ++b)
    for (int64_t h = hs.begin; h < hs.end; ++h)
      head(c, static_cast<int32_t>(b), static_cast<int32_t>(h));
}

}  // namespace
