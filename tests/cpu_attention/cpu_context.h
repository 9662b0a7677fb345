// Contexts for comparing CPU attention entries with the host code: a
// "cpu:N" context with a forced kernel-variant mask, or a host-only one, and
// buffers whose outputs start as NaN and end in canary bytes.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/isa_sets.h"
#include "ypu/cpu/device.h"
#include "ypu/ypu.h"

struct variant_case {
  const char *name;
  uint32_t isa_flags;
};
inline void PrintTo(const variant_case &v, std::ostream *os) { *os << v.name; }

// Whether this processor runs every set in `flags` (the AVX2 kernels also
// use fused multiply-add).
inline bool processor_has(uint32_t flags) { return qz_test_processor_has(flags); }

// The ARM64 kernel sets: NEON alone, and with the dot-product and
// half-precision bits the Windows build sets together.
#define QZ_TEST_ARM64_VARIANTS \
  {"plain", 0}, {"neon", QZ_YPU_CPU_ISA_NEON}, { "neon_dotprod_fp16", 0xE0 }

inline constexpr int kHostOnly = 0;
inline constexpr unsigned char kCanary = 0xA5;
inline constexpr int32_t kCanaryBytes = 64;

class test_context {
 public:
  // threads == kHostOnly: a host-only context; otherwise "cpu:<threads>" with
  // its instruction-set flags replaced by `isa_flags`.
  test_context(int threads, uint32_t isa_flags) {
    const std::string device = "cpu:" + std::to_string(threads == kHostOnly ? 1 : threads);
    EXPECT_EQ(qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context_),
              QZ_STATUS_SUCCESS);
    if (!context_) return;
    host_only_ = threads == kHostOnly;
    if (host_only_)
      context_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
    else
      static_cast<qz_ypu_cpu_device_t *>(context_->device)->isa_flags = isa_flags;
  }
  ~test_context() {
    if (!context_) return;
    for (qz_ypu_buffer_t *b : buffers_) qz_ypu_ops(context_).buffer_free(context_->device, b);
    qz_ypu_context_destroy(context_);
  }
  test_context(const test_context &) = delete;
  test_context &operator=(const test_context &) = delete;

  qz_ypu_context_t *context() const { return context_; }
  void *device() const { return context_->device; }

  // An input holding exactly `values` (one byte when empty).
  template <class T>
  qz_ypu_buffer_t *input(const std::vector<T> &values) {
    const auto bytes = static_cast<int32_t>(values.size() * sizeof(T));
    qz_ypu_buffer_t *b = create(bytes > 0 ? bytes : 1);
    if (b && bytes > 0) upload(b, values.data(), bytes);
    return b;
  }

  // An output of `count` floats, every one NaN, followed by canary bytes.
  qz_ypu_buffer_t *output(size_t count) {
    std::vector<unsigned char> bytes(count * 4 + kCanaryBytes, kCanary);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < count; ++i) std::memcpy(bytes.data() + 4 * i, &nan, 4);
    qz_ypu_buffer_t *b = create(static_cast<int32_t>(bytes.size()));
    if (b) upload(b, bytes.data(), static_cast<int32_t>(bytes.size()));
    return b;
  }

  // The `count` floats of an output; the canary bytes after them must be intact.
  std::vector<float> result(qz_ypu_buffer_t *b, size_t count) {
    std::vector<unsigned char> bytes(count * 4 + kCanaryBytes);
    EXPECT_EQ(qz_ypu_ops(context_).buffer_download(context_->device, b, bytes.data(), 0,
                                                   static_cast<int32_t>(bytes.size())),
              QZ_STATUS_SUCCESS);
    for (int32_t i = 0; i < kCanaryBytes; ++i)
      EXPECT_EQ(bytes[count * 4 + i], kCanary) << "written past the output, byte " << i;
    std::vector<float> out(count);
    if (count) std::memcpy(out.data(), bytes.data(), count * 4);
    return out;
  }

  // Host-only contexts go through the dispatcher; CPU contexts call the
  // entry itself, so that a declined call cannot pass for the kernel's work.
  using entry_fn = qz_status_t (*)(void *, void *, const void *);
  qz_status_t run(uint32_t op, entry_fn entry, const void *params) {
    if (host_only_) return qz_ypu_execute(context_, op, params);
    return entry(context_->device, nullptr, params);
  }
  qz_status_t execute(uint32_t op, const void *params) {
    return qz_ypu_execute(context_, op, params);
  }

 private:
  qz_ypu_buffer_t *create(int32_t bytes) {
    qz_ypu_buffer_t *b = qz_ypu_ops(context_).buffer_create(context_->device, bytes, 0);
    EXPECT_NE(b, nullptr);
    if (b) buffers_.push_back(b);
    return b;
  }
  void upload(qz_ypu_buffer_t *b, const void *data, int32_t bytes) {
    EXPECT_EQ(qz_ypu_ops(context_).buffer_upload(context_->device, b, data, 0, bytes),
              QZ_STATUS_SUCCESS);
  }

  qz_ypu_context_t *context_ = nullptr;
  bool host_only_ = false;
  std::vector<qz_ypu_buffer_t *> buffers_;
};

inline bool same_bytes(const std::vector<float> &a, const std::vector<float> &b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
}

// Element by element: equal bits, or within bound[i] of each other.
inline void expect_within(const std::vector<float> &got, const std::vector<float> &want,
                          const std::vector<double> &bound, const char *what) {
  ASSERT_EQ(got.size(), want.size());
  int reported = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], 4) == 0) continue;
    const double diff = std::fabs(double(got[i]) - double(want[i]));
    if (!(diff <= bound[i]) && reported++ < 5)
      ADD_FAILURE() << what << ": element " << i << " is " << got[i] << ", host " << want[i]
                    << ", allowed difference " << bound[i];
  }
}

inline void expect_equal_bits(const std::vector<float> &got, const std::vector<float> &want,
                              const char *what) {
  ASSERT_EQ(got.size(), want.size());
  int reported = 0;
  for (size_t i = 0; i < got.size(); ++i)
    if (std::memcmp(&got[i], &want[i], 4) != 0 && reported++ < 5)
      ADD_FAILURE() << what << ": element " << i << " is " << got[i] << ", expected bits of "
                    << want[i];
}
