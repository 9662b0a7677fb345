#include "support/lowbit_op.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ypu/cpu/device.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/lowbit.h"

namespace {
constexpr unsigned char kGuard = 0xC7;
constexpr int32_t kLead = 16, kTrail = 16;
}  // namespace

lowbit_context::lowbit_context(int threads, bool host_only, uint32_t isa_flags) {
  const std::string device = "cpu:" + std::to_string(threads);
  EXPECT_EQ(qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context_), QZ_STATUS_SUCCESS);
  if (host_only) context_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
  static_cast<qz_ypu_cpu_device_t *>(context_->device)->isa_flags = isa_flags;
}

lowbit_context::~lowbit_context() {
  for (qz_ypu_buffer_t *b : buffers_) qz_ypu_ops(context_).buffer_free(context_->device, b);
  qz_ypu_context_destroy(context_);
}

qz_ypu_buffer_t *lowbit_context::buffer(const void *data, int32_t bytes, int32_t lead) {
  qz_ypu_buffer_t *b = qz_ypu_ops(context_).buffer_create(context_->device, lead + bytes + kTrail, 0);
  buffers_.push_back(b);
  std::vector<uint8_t> all(lead + bytes + kTrail, kGuard);
  if (bytes) std::memcpy(all.data() + lead, data, bytes);
  EXPECT_EQ(qz_ypu_ops(context_).buffer_upload(context_->device, b, all.data(), 0, int32_t(all.size())),
            QZ_STATUS_SUCCESS);
  return b;
}

std::vector<uint8_t> lowbit_context::bytes(qz_ypu_buffer_t *b) {
  std::vector<uint8_t> out(qz_ypu_ops(context_).buffer_size(context_->device, b));
  qz_ypu_ops(context_).buffer_download(context_->device, b, out.data(), 0, int32_t(out.size()));
  return out;
}

qz_status_t lowbit_context::run(uint32_t op, const void *params) {
  return qz_ypu_execute(context_, op, params);
}

qz_ypu_repack_lowbit_params_t lowbit_repack_params(const qz_ypu_linear_lowbit_params_t &p) {
  qz_ypu_repack_lowbit_params_t repack{};
  repack.tiles = p.tiles;
  repack.row_blocks = p.row_blocks;
  std::copy(p.width_counts, p.width_counts + 8, repack.width_counts);
  return repack;
}

std::vector<uint8_t> lowbit_baseline_tiles(const lowbit_weight &w) {
  qz_ypu_lowbit_layout_t layout;
  EXPECT_TRUE(qz_ypu_lowbit_layout_init(&layout, w.row_blocks, w.counts.data()));
  std::vector<uint8_t> tiles = w.tiles;
  for (int32_t b = 1; b <= 8; ++b)
    for (int32_t rb = 0; rb < w.row_blocks; ++rb)
      for (int32_t g = 0; g < w.counts[b - 1]; ++g)
        qz_ypu_cpu_lowbit_repack_kernels_base[b - 1](tiles.data() +
                                                     qz_ypu_lowbit_tile_offset(layout, b, rb, g));
  return tiles;
}

qz_ypu_linear_lowbit_params_t lowbit_load(lowbit_context &c, const lowbit_weight &w) {
  const qz_ypu_linear_lowbit_params_t p =
      lowbit_params(w, [&](const auto &v) { return c.buffer(v); });
  const qz_ypu_repack_lowbit_params_t repack = lowbit_repack_params(p);
  EXPECT_EQ(c.run(QZ_YPU_OP_REPACK_LOWBIT, &repack), QZ_STATUS_SUCCESS);
  return p;
}

std::vector<float> lowbit_linear(lowbit_context &c, qz_ypu_linear_lowbit_params_t p,
                                 const std::vector<float> &x, int32_t rows, int32_t n,
                                 qz_status_t want) {
  const std::vector<float> nan(size_t(n) * rows, NAN);
  p.in = c.buffer(x, kLead);
  p.in_offset = kLead;
  p.out = c.buffer(nan, kLead);
  p.out_offset = kLead;
  p.n = n;
  EXPECT_EQ(c.run(QZ_YPU_OP_LINEAR_LOWBIT, &p), want);
  const std::vector<uint8_t> bytes = c.bytes(p.out);
  for (int32_t i = 0; i < kLead; ++i) EXPECT_EQ(bytes[i], kGuard) << "lead byte " << i;
  for (int32_t i = 0; i < kTrail; ++i) EXPECT_EQ(bytes[bytes.size() - 1 - i], kGuard) << "trail byte " << i;
  std::vector<float> got(nan.size());
  std::memcpy(got.data(), bytes.data() + kLead, got.size() * 4);
  return got;
}

std::vector<float> lowbit_run(lowbit_context &c, const lowbit_weight &w,
                              const std::vector<float> &x, int32_t n) {
  return lowbit_linear(c, lowbit_load(c, w), x, w.rows(), n);
}

bool lowbit_same_bytes(const std::vector<float> &a, const std::vector<float> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}
