// Small helpers for the instruction-set kernel files. They have internal
// linkage: an inline function with external linkage compiled in a wide-vector
// file could be the copy the linker keeps for baseline callers too.
#pragma once

#include <cstdint>

#include "ypu/cpu/frame.h"

namespace {

// The frame's range split, item i of `count` over `units`.
inline qz_ypu_cpu_range_t qz_isa_split(int64_t units, int64_t count, int64_t i) {
  if (units <= 0 || count <= 0 || i < 0 || i >= count) return {0, 0};
  return {i * units / count, (i * units + units) / count};
}

}  // namespace
