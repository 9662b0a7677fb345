// A compute-device context on the harness's CUDA device: operations with a
// CUDA entry run their kernels on the CPU harness, the others run the host
// implementation over mapped device buffers, as on a real GPU.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "gpu_harness/cuda_harness.h"
#include "support/typed_buffers.h"
#include "ypu/ypu.h"

class cuda_context : public typed_buffers<cuda_context> {
 public:
  using typed_buffers::buffer;
  using typed_buffers::read;

  explicit cuda_context(qz_gpu_harness::schedule order = qz_gpu_harness::schedule::forward);
  ~cuda_context();
  cuda_context(const cuda_context &) = delete;
  cuda_context &operator=(const cuda_context &) = delete;

  qz_gpu_harness::cuda_harness &runtime() { return runtime_; }
  qz_ypu_context_t *context() const { return context_; }
  // Another reference to the context, for an owner that destroys it (an
  // engine); this object must outlive that owner.
  qz_ypu_context_t *share_context() {
    ++context_->refcount;
    return context_;
  }
  qz_cuda_emu::qz_ypu_cuda_device_t *device() const { return device_; }

  // A device buffer of `bytes` bytes, every byte `fill`.
  qz_ypu_buffer_t *buffer(int32_t bytes, unsigned char fill = 0);
  void write(qz_ypu_buffer_t *buffer, const void *data, int32_t bytes, int32_t offset = 0);
  void read(qz_ypu_buffer_t *buffer, void *data, int32_t bytes, int32_t offset = 0);

  qz_status_t run(uint32_t op, const void *params) { return qz_ypu_execute(context_, op, params); }

 private:
  qz_gpu_harness::cuda_harness runtime_;
  qz_cuda_emu::qz_ypu_cuda_device_t *device_ = nullptr;
  qz_ypu_context_t *context_ = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers_;
};
