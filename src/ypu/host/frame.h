// The frame every host implementation runs in: operands are mapped through
// the context's backend (so host code works on any backend's buffers) and
// unmapped in reverse order when the frame goes out of scope.
#pragma once

#include <cstdint>

#include "ypu/ypu.h"

class qz_ypu_host_frame {
 public:
  explicit qz_ypu_host_frame(qz_ypu_context_t *context)
      : ops_(qz_ypu_ops(context)), device_(context->device) {}
  ~qz_ypu_host_frame() {
    for (int i = count_; i-- > 0;)
      if (mapped_[i].pointer) ops_.buffer_unmap(device_, mapped_[i].buffer, mapped_[i].write_back);
  }
  qz_ypu_host_frame(const qz_ypu_host_frame &) = delete;
  qz_ypu_host_frame &operator=(const qz_ypu_host_frame &) = delete;

  // An operand that is only read.
  template <class T>
  const T *in(qz_ypu_buffer_t *buffer, int32_t offset) {
    return static_cast<const T *>(map(buffer, offset, 1, 0));
  }
  // An operand whose every element the operation writes: nothing to fetch.
  template <class T>
  T *out(qz_ypu_buffer_t *buffer, int32_t offset) {
    return static_cast<T *>(map(buffer, offset, 0, 1));
  }
  // An operand that is read, or written only in part: fetched and written back.
  template <class T>
  T *inout(qz_ypu_buffer_t *buffer, int32_t offset) {
    return static_cast<T *>(map(buffer, offset, 1, 1));
  }

  // False when a mapping failed; the operation must then touch nothing.
  bool ok() const { return ok_; }
  qz_status_t status() const { return ok_ ? QZ_STATUS_SUCCESS : QZ_STATUS_OUT_OF_MEMORY; }

 private:
  static constexpr int kMaxOperands = 16;
  struct mapping {
    qz_ypu_buffer_t *buffer;
    void *pointer;
    int32_t write_back;
  };

  void *map(qz_ypu_buffer_t *buffer, int32_t offset, int32_t fetch, int32_t write_back) {
    if (!ok_ || count_ == kMaxOperands || !buffer) {
      ok_ = false;
      return nullptr;
    }
    void *pointer = ops_.buffer_map(device_, buffer, fetch);
    if (!pointer) {
      ok_ = false;
      return nullptr;
    }
    mapped_[count_++] = {buffer, pointer, write_back};
    return static_cast<char *>(pointer) + offset;
  }

  const qz_ypu_device_ops_t &ops_;
  void *device_;
  mapping mapped_[kMaxOperands];
  int count_ = 0;
  bool ok_ = true;
};
