// Operands placed inside larger buffers for host-operation tests: every
// operand sits at a non-zero byte offset, and every byte around it holds a
// guard pattern that the operation must leave alone.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/ypu_harness.h"

inline constexpr unsigned char kGuardByte = 0xA7;

struct placed_operand {
  qz_ypu_buffer_t *buffer;
  int32_t offset;  // bytes before the operand
  size_t bytes;    // the operand itself
  size_t total;    // the whole buffer
};

// `values` preceded by `lead` and followed by `trail` guard elements.
template <class T>
placed_operand place(ypu_harness &h, const std::vector<T> &values, size_t lead = 3,
                     size_t trail = 2) {
  const size_t bytes = values.size() * sizeof(T);
  const size_t total = (lead + trail) * sizeof(T) + bytes;
  placed_operand p{h.buffer(static_cast<int32_t>(total), kGuardByte),
                   static_cast<int32_t>(lead * sizeof(T)), bytes, total};
  if (bytes) h.write(p.buffer, values.data(), static_cast<int32_t>(bytes), p.offset);
  return p;
}

// An output operand of `count` elements, guard bytes throughout.
template <class T>
placed_operand guarded(ypu_harness &h, size_t count, size_t lead = 3, size_t trail = 2) {
  const size_t total = (lead + count + trail) * sizeof(T);
  return {h.buffer(static_cast<int32_t>(total), kGuardByte), static_cast<int32_t>(lead * sizeof(T)),
          count * sizeof(T), total};
}

// The operand's elements; fails the test when a guard byte changed.
template <class T>
std::vector<T> read_guarded(ypu_harness &h, const placed_operand &p) {
  std::vector<unsigned char> all(p.total);
  h.read(p.buffer, all.data(), static_cast<int32_t>(p.total));
  for (size_t i = 0; i < p.total; ++i) {
    if (i >= static_cast<size_t>(p.offset) && i < p.offset + p.bytes) continue;
    EXPECT_EQ(all[i], kGuardByte) << "guard byte " << i << " of " << p.total << " overwritten";
  }
  std::vector<T> values(p.bytes / sizeof(T));
  if (p.bytes) std::memcpy(values.data(), all.data() + p.offset, p.bytes);
  return values;
}

// The operand's bytes untouched (an operation that must not write).
inline void expect_untouched(ypu_harness &h, const placed_operand &p) {
  std::vector<unsigned char> all(p.total);
  h.read(p.buffer, all.data(), static_cast<int32_t>(p.total));
  for (size_t i = 0; i < p.total; ++i) EXPECT_EQ(all[i], kGuardByte) << "byte " << i;
}

// Relative and absolute closeness for float results against double references.
inline testing::AssertionResult near_value(double got, double want, double relative,
                                           double absolute = 0) {
  if (std::isnan(want) ? std::isnan(got) : std::fabs(got - want) <= absolute + relative * std::fabs(want))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << "got " << got << ", want " << want;
}
