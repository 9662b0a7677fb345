// Operands for host-operation tests: each sits a few bytes into its own
// buffer, between guard bytes, so that element-versus-byte offset mistakes and
// stray writes (including junk written back by copy-based backends) show.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/ypu_harness.h"

namespace host_test {

// Differs from the fake backend's junk byte, so junk written back shows too.
inline constexpr unsigned char kGuardByte = 0xC7;
inline constexpr int32_t kLead = 12;   // bytes before the operand
inline constexpr int32_t kTrail = 16;  // bytes after it

struct operand {
  qz_ypu_buffer_t *buffer;
  int32_t offset;  // bytes from the buffer's start to the first element
  int32_t bytes;   // the operand's own bytes
};

// An operand holding `values`; `lead` bytes of guard come before it.
template <class T>
operand place(ypu_harness &h, const std::vector<T> &values, int32_t lead = kLead) {
  const auto bytes = static_cast<int32_t>(values.size() * sizeof(T));
  operand o{h.buffer(lead + bytes + kTrail, kGuardByte), lead, bytes};
  if (bytes > 0) h.write(o.buffer, values.data(), bytes, lead);
  return o;
}

// An operand of `count` elements whose contents are all guard bytes: an
// output the operation is expected to overwrite.
template <class T>
operand place_blank(ypu_harness &h, size_t count, int32_t lead = kLead) {
  const auto bytes = static_cast<int32_t>(count * sizeof(T));
  return {h.buffer(lead + bytes + kTrail, kGuardByte), lead, bytes};
}

template <class T>
std::vector<T> fetch(ypu_harness &h, const operand &o) {
  if (o.bytes == 0) return {};  // nothing to read, and no memory to read into
  return h.read<T>(o.buffer, o.bytes / sizeof(T), o.offset);
}

// Every byte outside the operand still holds the guard byte.
inline void expect_guards(ypu_harness &h, const operand &o) {
  std::vector<unsigned char> all(o.offset + o.bytes + kTrail);
  h.read(o.buffer, all.data(), static_cast<int32_t>(all.size()));
  for (size_t i = 0; i < all.size(); ++i) {
    if (i >= size_t(o.offset) && i < size_t(o.offset + o.bytes)) continue;
    ASSERT_EQ(all[i], kGuardByte) << "byte " << i << " outside the operand changed";
  }
}

// Bit patterns, so that equality tests tell -0 from +0 and compare NaNs.
inline std::vector<uint32_t> bits(const std::vector<float> &values) {
  std::vector<uint32_t> out(values.size());
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(float));
  return out;
}

// Equal bits, or both NaN (a NaN's payload is not part of any contract).
inline bool same_float(float x, float y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return std::signbit(x) == std::signbit(y) && x == y;
}

inline testing::AssertionResult same_floats(const std::vector<float> &actual,
                                            const std::vector<float> &expected) {
  if (actual.size() != expected.size())
    return testing::AssertionFailure() << actual.size() << " values, expected " << expected.size();
  for (size_t i = 0; i < actual.size(); ++i)
    if (!same_float(actual[i], expected[i]))
      return testing::AssertionFailure() << "element " << i << " is " << actual[i]
                                         << ", expected " << expected[i];
  return testing::AssertionSuccess();
}

}  // namespace host_test
