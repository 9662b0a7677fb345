// Runs one operation on a CPU context with a chosen thread count and forced
// kernel set, or on the host implementation, with every operand placed
// between guard bytes and every output pre-filled with NaN bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ypu/cpu/device.h"
#include "support/isa_sets.h"
#include "ypu/ypu.h"

inline constexpr unsigned char kCanary = 0xA7;
inline constexpr size_t kGuardBytes = 32;

// A kernel set forced through the device's flags.
struct isa_variant {
  const char *name;
  uint32_t mask;
  bool (*supported)();
};

inline bool always_supported() { return true; }
inline bool has_sse41() { return qz_test_processor_has(QZ_YPU_CPU_ISA_SSE41); }
inline bool has_avx2_fma() { return qz_test_processor_has(QZ_YPU_CPU_ISA_AVX2); }
inline bool has_neon() { return qz_test_processor_has(QZ_YPU_CPU_ISA_NEON); }
inline bool has_neon_dotprod_fp16() { return qz_test_processor_has(0xE0); }

#if defined(__aarch64__)
inline constexpr isa_variant kIsaVariants[] = {
    {"plain", 0, always_supported},
    {"neon", QZ_YPU_CPU_ISA_NEON, has_neon},
    {"neon_dotprod_fp16", 0xE0, has_neon_dotprod_fp16},
};
#else
inline constexpr isa_variant kIsaVariants[] = {
    {"plain", 0, always_supported},
    {"sse41", QZ_YPU_CPU_ISA_SSE41, has_sse41},
    {"avx2", QZ_YPU_CPU_ISA_AVX2 | QZ_YPU_CPU_ISA_SSE41, has_avx2_fma},
};
#endif

inline void PrintTo(const isa_variant &v, std::ostream *os) { *os << v.name; }

inline std::string variant_name(const testing::TestParamInfo<isa_variant> &info) {
  return info.param.name;
}

// Skips the calling test when the processor lacks the set.
#define SKIP_UNLESS_SUPPORTED(variant)                                                   \
  do {                                                                                   \
    if (!(variant).supported())                                                          \
      GTEST_SKIP() << "this processor lacks the " << (variant).name << " instructions"; \
  } while (0)

// Thread counts of the CPU runs: no pool, and pools of several sizes.
inline constexpr int32_t kThreadCounts[] = {1, 2, 3, 8};

struct slot {
  qz_ypu_buffer_t *buffer;
  int32_t offset;  // the operand's first byte
  size_t bytes;    // the operand
};

class op_runner {
 public:
  // threads = 0: the host implementation (host-only context).
  op_runner(int32_t threads, uint32_t isa_mask) {
    const std::string device = "cpu:" + std::to_string(threads > 0 ? threads : 1);
    EXPECT_EQ(qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context_),
              QZ_STATUS_SUCCESS);
    if (!context_) return;
    if (threads == 0) context_->flags |= QZ_YPU_CONTEXT_HOST_ONLY;
    static_cast<qz_ypu_cpu_device_t *>(context_->device)->isa_flags = isa_mask;
  }
  ~op_runner() {
    if (!context_) return;
    for (const slot &s : slots_) qz_ypu_ops(context_).buffer_free(context_->device, s.buffer);
    qz_ypu_context_destroy(context_);
  }
  op_runner(const op_runner &) = delete;
  op_runner &operator=(const op_runner &) = delete;

  bool ok() const { return context_ != nullptr; }

  // Operands of records without byte offsets start their buffers
  // (lead = false); guard bytes then follow them only.
  template <class T>
  slot input(const std::vector<T> &values, bool lead = true) {
    slot s = place(values.size() * sizeof(T), kCanary, lead);
    if (!values.empty()) std::memcpy(data(s), values.data(), s.bytes);
    return s;
  }
  // An output of `count` elements, every byte 0xFF (NaN for floats).
  template <class T>
  slot output(size_t count, bool lead = true) {
    return place(count * sizeof(T), 0xFF, lead);
  }
  // An operand's elements; fails the test when a guard byte changed.
  template <class T>
  std::vector<T> result(const slot &s) {
    const auto *all = static_cast<const unsigned char *>(raw(s));
    for (size_t i = 0; i < kGuardBytes; ++i) {
      if (s.offset) {
        EXPECT_EQ(all[i], kCanary) << "guard byte " << i << " before the operand";
      }
      EXPECT_EQ(all[s.offset + s.bytes + i], kCanary) << "guard byte " << i << " after it";
    }
    std::vector<T> values(s.bytes / sizeof(T));
    if (s.bytes) std::memcpy(values.data(), data(s), s.bytes);
    return values;
  }

  qz_status_t run(uint32_t op, const void *params) { return qz_ypu_execute(context_, op, params); }

 private:
  slot place(size_t bytes, unsigned char fill, bool lead) {
    const size_t before = lead ? kGuardBytes : 0, total = before + bytes + kGuardBytes;
    qz_ypu_buffer_t *b =
        qz_ypu_ops(context_).buffer_create(context_->device, static_cast<int32_t>(total), 0);
    EXPECT_NE(b, nullptr);
    slot s{b, static_cast<int32_t>(before), bytes};
    slots_.push_back(s);
    auto *all = static_cast<unsigned char *>(raw(s));
    std::memset(all, kCanary, total);
    std::memset(all + before, fill, bytes);
    return s;
  }
  // CPU buffers are host memory: the test reads and writes them directly.
  static void *raw(const slot &s) { return qz_ypu_cpu_buffer(s.buffer)->data; }
  static unsigned char *data(const slot &s) {
    return static_cast<unsigned char *>(raw(s)) + s.offset;
  }

  qz_ypu_context_t *context_ = nullptr;
  std::vector<slot> slots_;
};

// Fixed, printed seeds: a failure names the inputs it saw.
inline uint32_t next_random(uint32_t &state) {
  state = state * 1664525u + 1013904223u;
  return state;
}
inline float random_float(uint32_t &state, float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(next_random(state) >> 8) / 16777216.0f;
}
inline std::vector<float> random_floats(size_t count, uint32_t seed, float lo = -2.0f,
                                        float hi = 2.0f) {
  std::vector<float> v(count);
  for (float &x : v) x = random_float(seed, lo, hi);
  return v;
}

template <class T>
bool same_bits(const std::vector<T> &a, const std::vector<T> &b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}
