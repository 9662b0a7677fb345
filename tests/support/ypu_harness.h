// Runs operations in tests on either a real CPU context or the copy-on-map
// fake backend, with buffers made from and read back into vectors.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "support/fake_backend.h"
#include "support/typed_buffers.h"
#include "ypu/ypu.h"

enum class ypu_backend {
  cpu,        // "cpu:1": CPU entries where they exist, host otherwise
  cpu_pool,   // "cpu:4": the same with a worker pool
  host_only,  // CPU context with the host-only flag: always the host code
  fake,       // copy-on-map fake backend without entries: host code on GPU-like buffers
};

class ypu_harness : public typed_buffers<ypu_harness> {
 public:
  using typed_buffers::buffer;
  using typed_buffers::read;

  explicit ypu_harness(ypu_backend backend);
  ~ypu_harness();
  ypu_harness(const ypu_harness &) = delete;
  ypu_harness &operator=(const ypu_harness &) = delete;

  qz_ypu_context_t *context() const { return context_; }
  fake_backend *fake() const { return fake_.get(); }

  // A buffer of `bytes` bytes, every byte `fill`.
  qz_ypu_buffer_t *buffer(int32_t bytes, unsigned char fill = 0);

  void write(qz_ypu_buffer_t *buffer, const void *data, int32_t bytes, int32_t offset = 0);
  void read(qz_ypu_buffer_t *buffer, void *data, int32_t bytes, int32_t offset = 0);

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
