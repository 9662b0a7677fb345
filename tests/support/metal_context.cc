#include "metal_context.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void harness_failure(const char *what) {
  std::fprintf(stderr, "metal_context: %s\n", what);
  std::abort();
}

}  // namespace

metal_context::metal_context() {
  if (qz_ypu_metal_device_open(0, &device_) != QZ_STATUS_SUCCESS)
    harness_failure("the stand-in device did not open");
  qz_ypu_backend_install_test(&QZ_YPU_METAL_BACKEND);
  if (qz_ypu_context_create(QZ_YPU_BACKEND_TEST, device_, &context_) != QZ_STATUS_SUCCESS)
    harness_failure("no context on the stand-in device");
}

metal_context::~metal_context() {
  for (qz_ypu_buffer_t *b : buffers_) qz_ypu_metal_buffer_free(device_, b);
  qz_ypu_context_destroy(context_);  // closes the device
  qz_ypu_backend_install_test(nullptr);
}

qz_ypu_buffer_t *metal_context::buffer(int32_t bytes, unsigned char fill) {
  qz_ypu_buffer_t *b = qz_ypu_metal_buffer_create(device_, bytes, 0);
  if (!b) harness_failure("buffer creation failed");
  buffers_.push_back(b);
  std::vector<unsigned char> bytes_of(static_cast<size_t>(bytes), fill);
  write(b, bytes_of.data(), bytes);
  return b;
}

void metal_context::write(qz_ypu_buffer_t *buffer, const void *data, int32_t bytes,
                          int32_t offset) {
  if (qz_ypu_metal_buffer_upload(device_, buffer, data, offset, bytes) != QZ_STATUS_SUCCESS)
    harness_failure("upload failed");
}

void metal_context::read(qz_ypu_buffer_t *buffer, void *data, int32_t bytes, int32_t offset) {
  if (qz_ypu_metal_buffer_download(device_, buffer, data, offset, bytes) != QZ_STATUS_SUCCESS)
    harness_failure("download failed");
}

const unsigned char *metal_context::peek(qz_ypu_buffer_t *buffer) {
  const qz_ypu_metal_runtime_t &rt = QZ_YPU_METAL_RUNTIME;
  return static_cast<const unsigned char *>(
      rt.send(qz_ypu_metal_buffer_object(buffer), rt.sel("contents")));
}
