// Operands placed inside larger buffers for the fixed-point operation tests:
// each sits at a non-zero byte offset with guard bytes before and after it,
// so an offset taken in elements instead of bytes, a write past the end, or
// a written-back unfetched mapping (which the copy-on-map backend fills with
// junk) shows up as a changed guard.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/ypu_harness.h"

inline constexpr unsigned char kGuardByte = 0x5A;
inline constexpr int32_t kTrailingGuard = 16;

template <class T>
struct placed {
  qz_ypu_buffer_t *buffer = nullptr;
  int32_t offset = 0;  // bytes before the values
  size_t count = 0;
};

// `values` at byte `offset` (a multiple of sizeof(T)) of a guarded buffer.
template <class T>
placed<T> place(ypu_harness &h, const std::vector<T> &values, int32_t offset) {
  const auto bytes = static_cast<int32_t>(values.size() * sizeof(T));
  placed<T> p{h.buffer(offset + bytes + kTrailingGuard, kGuardByte), offset, values.size()};
  if (bytes) h.write(p.buffer, values.data(), bytes, offset);
  return p;
}

template <class T>
std::vector<T> values_of(ypu_harness &h, const placed<T> &p) {
  return h.read<T>(p.buffer, p.count, p.offset);
}

// True when every byte outside the operand still holds the guard byte.
template <class T>
bool guards_intact(ypu_harness &h, const placed<T> &p) {
  const auto bytes = static_cast<int32_t>(p.count * sizeof(T));
  std::vector<unsigned char> all(p.offset + bytes + kTrailingGuard);
  h.read(p.buffer, all.data(), static_cast<int32_t>(all.size()));
  for (int32_t i = 0; i < static_cast<int32_t>(all.size()); ++i)
    if ((i < p.offset || i >= p.offset + bytes) && all[i] != kGuardByte) return false;
  return true;
}

#define QZ_FIXED_BACKENDS(suite)                                                  \
  INSTANTIATE_TEST_SUITE_P(Backends, suite, testing::ValuesIn(kAllYpuBackends), \
                           [](const auto &info) { return ypu_backend_name(info.param); })
