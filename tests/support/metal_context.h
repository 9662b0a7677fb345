// A compute-device context on the stand-in's Metal device: operations with a
// Metal entry record their passes through the backend's encoding helpers and
// run on the harness when the host next waits; the others run the host
// implementation over mapped buffers, as on a real GPU.
#pragma once

#include <cstdint>
#include <vector>

#include "metal_standin.h"
#include "ypu/metal/device.h"
#include "support/typed_buffers.h"
#include "ypu/ypu.h"

class metal_context : public typed_buffers<metal_context> {
 public:
  using typed_buffers::buffer;
  using typed_buffers::read;

  metal_context();
  ~metal_context();
  metal_context(const metal_context &) = delete;
  metal_context &operator=(const metal_context &) = delete;

  qz_ypu_context_t *context() const { return context_; }
  qz_ypu_metal_device_t *device() const { return device_; }

  // A buffer of `bytes` bytes, every byte `fill`.
  qz_ypu_buffer_t *buffer(int32_t bytes, unsigned char fill = 0);
  void write(qz_ypu_buffer_t *buffer, const void *data, int32_t bytes, int32_t offset = 0);
  void read(qz_ypu_buffer_t *buffer, void *data, int32_t bytes, int32_t offset = 0);
  // The buffer's bytes as they are now, without waiting for the GPU.
  const unsigned char *peek(qz_ypu_buffer_t *buffer);

  qz_status_t run(uint32_t op, const void *params) { return qz_ypu_execute(context_, op, params); }

 private:
  qz_ypu_metal_device_t *device_ = nullptr;
  qz_ypu_context_t *context_ = nullptr;
  std::vector<qz_ypu_buffer_t *> buffers_;
};
