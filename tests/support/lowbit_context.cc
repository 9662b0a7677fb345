#include "support/lowbit_context.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ypu/cpu/device.h"
#include "ypu/params.h"

lowbit_context::lowbit_context(int threads, bool host_only, uint32_t isa_flags) {
  const std::string device = "cpu:" + std::to_string(threads);
  EXPECT_EQ(qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &c_), QZ_STATUS_SUCCESS);
  if (host_only) c_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  static_cast<qz_ypu_cpu_device_t *>(c_->device)->isa_flags = isa_flags;
}

lowbit_context::~lowbit_context() {
  for (qz_ypu_buffer_t *b : buffers_) qz_ypu_ops(c_).buffer_free(c_->device, b);
  qz_ypu_context_destroy(c_);
}

qz_ypu_buffer_t *lowbit_context::buffer(const void *data, size_t bytes) {
  qz_ypu_buffer_t *b = qz_ypu_ops(c_).buffer_create(c_->device, int32_t(bytes), 0);
  qz_ypu_ops(c_).buffer_upload(c_->device, b, data, 0, int32_t(bytes));
  buffers_.push_back(b);
  return b;
}

std::vector<float> lowbit_context::run(const lowbit_weight &w, const std::vector<float> &x,
                                       int32_t n) {
  qz_ypu_linear_lowbit_params_t p{};
  p.perm = buffer(w.perm), p.scales = buffer(w.scales), p.tiles = buffer(w.tiles);
  p.row_blocks = w.row_blocks;
  std::copy(w.counts.begin(), w.counts.end(), p.width_counts);
  qz_ypu_repack_lowbit_params_t r{};
  r.tiles = p.tiles, r.row_blocks = w.row_blocks;
  std::copy(w.counts.begin(), w.counts.end(), r.width_counts);
  EXPECT_EQ(qz_ypu_execute(c_, QZ_YPU_OP_REPACK_LOWBIT, &r), QZ_STATUS_SUCCESS);
  std::vector<float> out(size_t(n) * w.rows(), NAN);
  p.in = buffer(x), p.out = buffer(out), p.n = n;
  EXPECT_EQ(qz_ypu_execute(c_, QZ_YPU_OP_LINEAR_LOWBIT, &p), QZ_STATUS_SUCCESS);
  qz_ypu_ops(c_).buffer_download(c_->device, p.out, out.data(), 0, int32_t(out.size() * 4));
  return out;
}

bool lowbit_same_bytes(const std::vector<float> &a, const std::vector<float> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}
