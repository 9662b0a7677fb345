// Runs operations in tests on either a real CPU context or the copy-on-map
// fake backend, with buffers made from and read back into vectors.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "support/fake_backend.h"
#include "ypu/ypu.h"

enum class ypu_backend {
  cpu,        // "cpu:1": CPU entries where they exist, host otherwise
  cpu_pool,   // "cpu:4": the same with a worker pool
  host_only,  // CPU context with the host-only flag: always the host code
  fake,       // copy-on-map fake backend without entries: host code on GPU-like buffers
};

class ypu_harness {
 public:
  explicit ypu_harness(ypu_backend backend);
  ~ypu_harness();
  ypu_harness(const ypu_harness &) = delete;
  ypu_harness &operator=(const ypu_harness &) = delete;

  qz_ypu_context_t *context() const { return context_; }
  fake_backend *fake() const { return fake_.get(); }

  // A buffer of `bytes` bytes, every byte `fill`.
  qz_ypu_buffer_t *buffer(int32_t bytes, unsigned char fill = 0);
  template <class T>
  qz_ypu_buffer_t *buffer(std::span<const T> values) {
    qz_ypu_buffer_t *b = buffer(static_cast<int32_t>(values.size_bytes()));
    write(b, values.data(), static_cast<int32_t>(values.size_bytes()));
    return b;
  }
  template <class T>
  qz_ypu_buffer_t *buffer(const std::vector<T> &values) {
    return buffer(std::span<const T>(values));
  }

  void write(qz_ypu_buffer_t *buffer, const void *data, int32_t bytes, int32_t offset = 0);
  void read(qz_ypu_buffer_t *buffer, void *data, int32_t bytes, int32_t offset = 0);
  template <class T>
  std::vector<T> read(qz_ypu_buffer_t *b, size_t count, int32_t byte_offset = 0) {
    std::vector<T> out(count);
    read(b, out.data(), static_cast<int32_t>(count * sizeof(T)), byte_offset);
    return out;
  }

  qz_status_t run(uint32_t op, const void *params) { return qz_ypu_execute(context_, op, params); }

 private:
  std::unique_ptr<fake_backend> fake_;
  qz_ypu_context_t *context_ = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers_;
};

// Every backend kind, for parameterised tests.
inline constexpr ypu_backend kAllYpuBackends[] = {ypu_backend::cpu, ypu_backend::cpu_pool,
                                                  ypu_backend::host_only, ypu_backend::fake};
const char *ypu_backend_name(ypu_backend backend);
