#include "gpu_harness/cuda_context.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void harness_failure(const char *what) {
  std::fprintf(stderr, "cuda_context: %s\n", what);
  std::abort();
}

}  // namespace

cuda_context::cuda_context(qz_gpu_harness::schedule order) {
  runtime_.order = order;
  if (qz_cuda_emu::qz_ypu_cuda_device_open_at(0, &device_) != QZ_STATUS_SUCCESS)
    harness_failure("the harness device did not open");
  qz_ypu_backend_install_test(&qz_cuda_emu::QZ_YPU_CUDA_BACKEND);
  if (qz_ypu_context_create(QZ_YPU_BACKEND_TEST, device_, &context_) != QZ_STATUS_SUCCESS)
    harness_failure("no context on the harness device");
}

cuda_context::~cuda_context() {
  for (qz_ypu_buffer_t *b : buffers_) qz_cuda_emu::qz_ypu_cuda_buffer_free(device_, b);
  qz_ypu_context_destroy(context_);  // closes the device
  qz_ypu_backend_install_test(nullptr);
}

qz_ypu_buffer_t *cuda_context::buffer(int32_t bytes, unsigned char fill) {
  qz_ypu_buffer_t *b = qz_cuda_emu::qz_ypu_cuda_buffer_create(device_, bytes, 0);
  if (!b) harness_failure("buffer creation failed");
  buffers_.push_back(b);
  std::vector<unsigned char> bytes_of(static_cast<size_t>(bytes), fill);
  write(b, bytes_of.data(), bytes);
  return b;
}

void cuda_context::write(qz_ypu_buffer_t *buffer, const void *data, int32_t bytes,
                         int32_t offset) {
  if (bytes && qz_cuda_emu::qz_ypu_cuda_buffer_upload(device_, buffer, data, offset, bytes) !=
                   QZ_STATUS_SUCCESS)
    harness_failure("upload failed");
}

void cuda_context::read(qz_ypu_buffer_t *buffer, void *data, int32_t bytes, int32_t offset) {
  if (bytes && qz_cuda_emu::qz_ypu_cuda_buffer_download(device_, buffer, data, offset, bytes) !=
                   QZ_STATUS_SUCCESS)
    harness_failure("download failed");
}
