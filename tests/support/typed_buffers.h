// Typed buffer helpers over a test context's byte-level buffer, write and
// read (the host harness and the GPU backends' harness contexts share them).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ypu/ypu.h"

template <class Context>
class typed_buffers {
 public:
  // A buffer holding `values`.
  template <class T>
  qz_ypu_buffer_t *buffer(std::span<const T> values) {
    Context &self = static_cast<Context &>(*this);
    qz_ypu_buffer_t *b = self.buffer(static_cast<int32_t>(values.size_bytes()));
    self.write(b, values.data(), static_cast<int32_t>(values.size_bytes()));
    return b;
  }
  template <class T>
  qz_ypu_buffer_t *buffer(const std::vector<T> &values) {
    return buffer(std::span<const T>(values));
  }
  // `count` values from `byte_offset` on.
  template <class T>
  std::vector<T> read(qz_ypu_buffer_t *b, size_t count, int32_t byte_offset = 0) {
    std::vector<T> out(count);
    static_cast<Context &>(*this).read(b, static_cast<void *>(out.data()),
                                       static_cast<int32_t>(count * sizeof(T)), byte_offset);
    return out;
  }
};
