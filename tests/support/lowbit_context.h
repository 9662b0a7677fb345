// A "cpu:T" context (or the host code only) with its instruction-set flags
// forced, which repacks a synthetic low-bit weight and runs op 93 on it.
#pragma once

#include <cstdint>
#include <vector>

#include "support/lowbit_weight.h"
#include "ypu/ypu.h"

class lowbit_context {
 public:
  lowbit_context(int threads, bool host_only, uint32_t isa_flags);
  ~lowbit_context();
  lowbit_context(const lowbit_context &) = delete;
  lowbit_context &operator=(const lowbit_context &) = delete;

  // Repacks the weight, then runs op 93 on the n rows of x; the output is
  // pre-filled with NaN so unwritten values show.
  std::vector<float> run(const lowbit_weight &w, const std::vector<float> &x, int32_t n);

 private:
  qz_ypu_buffer_t *buffer(const void *data, size_t bytes);
  template <class T>
  qz_ypu_buffer_t *buffer(const std::vector<T> &v) {
    return buffer(v.data(), v.size() * sizeof(T));
  }

  qz_ypu_context_t *c_ = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers_;
};

// Whether two outputs hold the same bits (NaN included).
bool lowbit_same_bytes(const std::vector<float> &a, const std::vector<float> &b);
