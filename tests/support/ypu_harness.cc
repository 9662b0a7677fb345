#include "support/ypu_harness.h"

#include <gtest/gtest.h>

ypu_harness::ypu_harness(ypu_backend backend) {
  if (backend == ypu_backend::fake) {
    fake_ = std::make_unique<fake_backend>();
    context_ = fake_->make_context();
  } else {
    const char *device = backend == ypu_backend::cpu_pool ? "cpu:4" : "cpu:1";
    EXPECT_EQ(qz_ypu_context_from_device_string(device, "cpu:1", &context_), QZ_STATUS_SUCCESS);
    if (context_ && backend == ypu_backend::host_only) context_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  }
  EXPECT_NE(context_, nullptr);
}

ypu_harness::~ypu_harness() {
  if (!context_) return;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context_);
  for (qz_ypu_buffer_t *b : buffers_) ops.buffer_free(context_->device, b);
  qz_ypu_context_destroy(context_);
  if (fake_) {
    EXPECT_EQ(fake_->live_buffers, 0);
  }
}

qz_ypu_buffer_t *ypu_harness::buffer(int32_t bytes, unsigned char fill) {
  qz_ypu_buffer_t *b = qz_ypu_ops(context_).buffer_create(context_->device, bytes, 0);
  EXPECT_NE(b, nullptr);
  if (!b) return nullptr;
  buffers_.push_back(b);
  std::vector<unsigned char> bytes_of(bytes, fill);
  write(b, bytes_of.data(), bytes);
  return b;
}

void ypu_harness::write(qz_ypu_buffer_t *b, const void *data, int32_t bytes, int32_t offset) {
  EXPECT_EQ(qz_ypu_ops(context_).buffer_upload(context_->device, b, data, offset, bytes),
            QZ_STATUS_SUCCESS);
}

void ypu_harness::read(qz_ypu_buffer_t *b, void *data, int32_t bytes, int32_t offset) {
  EXPECT_EQ(qz_ypu_ops(context_).buffer_download(context_->device, b, data, offset, bytes),
            QZ_STATUS_SUCCESS);
}

const char *ypu_backend_name(ypu_backend backend) {
  switch (backend) {
    case ypu_backend::cpu: return "cpu";
    case ypu_backend::cpu_pool: return "cpu_pool";
    case ypu_backend::host_only: return "host_only";
    case ypu_backend::fake: return "fake";
  }
  return "?";
}
