// Threadgroup memory and threads per threadgroup against what the device and
// its pipelines allow. The stand-in refuses a dispatch beyond them as the
// hardware would; an entry whose threadgroup memory or size grows with a
// shape either stays within the limit or leaves that call to the host,
// without a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "metal_twin.h"
#include "support/error_stack.h"
#include "ypu/metal/device.h"
#include "ypu/params.h"

namespace {

using qz_metal_standin::standin;

constexpr uint64_t k32KiB = 32 * 1024;

class MetalLimits : public MetalTest {};

// The stand-in counts a kernel's own arrays with the lengths set for the
// dispatch: one length at the device's limit passes, 16 bytes more is
// refused, and lengths that are not multiples of 16 are refused too.
struct memory_case {
  const char *name;
  const char *kernel;
  uint32_t length;
  bool fits;  // what the entries' check answers
  std::vector<std::string> violations;
};

void PrintTo(const memory_case &c, std::ostream *os) { *os << c.name; }

class MetalStandinMemory : public MetalLimits,
                           public ::testing::WithParamInterface<memory_case> {};

TEST_P(MetalStandinMemory, RefusesWhatTheDeviceWould) {
  const memory_case &c = GetParam();
  qz_ypu_metal_device_t *device = nullptr;
  qz_ypu_metal_pipeline_t *pipeline = nullptr;
  ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
  EXPECT_EQ(device->max_threadgroup_memory, k32KiB);
  ASSERT_EQ(qz_ypu_metal_pipeline_create(device, c.kernel, &pipeline), QZ_STATUS_SUCCESS);
  qz_ypu_metal_begin_compute(device, pipeline);
  qz_ypu_metal_set_threadgroup_memory(device, static_cast<int32_t>(c.length), 0);
  // Recorded, never run: closing drops the uncommitted work.
  EXPECT_EQ(qz_ypu_metal_dispatch_threadgroups(device, pipeline, 1, 1, 1, 1, 1, 1),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(qz_ypu_metal_threadgroup_memory_fits(device, pipeline, c.length), c.fits);
  qz_ypu_metal_pipeline_release(device, pipeline);
  qz_ypu_metal_device_close(device);
  EXPECT_EQ(standin().violations, c.violations);
  standin().violations.clear();
}

const std::string kBeyond = "threadgroup memory beyond the device's limit";

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalStandinMemory,
    ::testing::Values(
        // taabe69 declares no threadgroup array; taabe300 declares 256 bytes.
        memory_case{"WholeLimit", "taabe69", 32768, true, {}},
        memory_case{"OverTheLimit", "taabe69", 32768 + 16, false, {kBeyond}},
        memory_case{"BesideOwnArraysAtTheLimit", "taabe300", 32768 - 256, true, {}},
        memory_case{"BesideOwnArraysOver", "taabe300", 32768 - 240, false, {kBeyond}},
        memory_case{"NotAMultipleOf16", "taabe69", 100, true,
                    {"a threadgroup memory length not a multiple of 16"}}),
    [](const auto &info) { return std::string(info.param.name); });

// --- the entries whose threadgroups grow with a shape ------------------------

// A float bound of the attention outputs (as in attention_test.cc): dot
// products of D terms within 1 and softmax weights over `keys` keys.
float attention_bound(int32_t dim, int32_t keys) {
  return 2.0f * (4.0f * dim * std::sqrt(static_cast<float>(dim)) + 4.0f * keys + 16.0f) *
         kUnitRoundoff;
}

using twin_base = gpu_twin<metal_context>;

// Blocked attention (taabe300): 32 query rows of head_dim floats in
// threadgroup memory, 128 x head_dim bytes beside the kernel's 256.
void blocked_attention(metal_twin &t, int32_t dim, bool on_gpu) {
  const int32_t batch = 1, queries = 2, heads = 2, kv_heads = 1, keys = 3;
  const size_t q_count = size_t(batch) * queries * heads * dim;
  const size_t kv_count = size_t(batch) * keys * kv_heads * dim;
  auto q = t.buffer(random_floats(q_count, -1, 1, 31));
  auto k = t.buffer(random_floats(kv_count, -1, 1, 32));
  auto v = t.buffer(random_floats(kv_count, -1, 1, 33));
  auto out = t.bytes(int32_t(q_count * 4), 0xFF);
  t.twin_base::run(QZ_YPU_OP_ATTENTION_BLOCKED_F32, [&](bool g) {
    return qz_ypu_attention_blocked_f32_params_t{out.on(g), q.on(g), k.on(g),  v.on(g), batch,
                                                 queries,   keys,    heads,    kv_heads, dim};
  });
  if (on_gpu)
    t.expect_close(out, q_count, 0.0f, attention_bound(dim, keys) + 1e-6f);
  else
    t.expect_same<float>(out, q_count);
}

// Attention over a uint8 ring (its softmax, taabe56, keeps a float per
// thread in threadgroup memory): one query row that sees `keys` keys.
void ring_attention(metal_twin &t, int32_t keys, bool on_gpu) {
  const int32_t heads = 2, kv_heads = 1, dim = 8, window = keys, position = keys - 1;
  const size_t rows = size_t(kv_heads) * window;
  auto query = t.buffer(random_floats(size_t(heads) * dim, -1.0f, 1.0f, 41));
  auto codes = t.buffer(random_ints<uint8_t>(rows * dim, 0, 255, 42));
  auto slopes = t.buffer(random_floats(rows, 0.004f, 0.008f, 43));
  auto intercepts = t.buffer(random_floats(rows, -1.0f, 0.0f, 44));
  auto out = t.bytes(heads * dim * 4, 0xFF);
  t.twin_base::run(QZ_YPU_OP_ATTENTION_KV_U8, [&](bool g) {
    return qz_ypu_attention_kv_params_t{out.on(g),        query.on(g), codes.on(g),
                                        intercepts.on(g), slopes.on(g), codes.on(g),
                                        intercepts.on(g), slopes.on(g), 1,
                                        window,           position,     heads,
                                        kv_heads,         dim};
  });
  if (on_gpu)
    t.expect_close(out, size_t(heads) * dim, 0.0f, attention_bound(dim, keys));
  else
    t.expect_same<float>(out, size_t(heads) * dim);
}

struct shape_case {
  const char *name;
  uint64_t threadgroup_memory;  // the device's limit
  uint64_t max_threads;         // every pipeline's limit
  void (*run)(metal_twin &, int32_t, bool);
  int32_t size;        // the head dimension or the keys of the row
  const char *kernel;  // the kernel whose threadgroup depends on it
  bool on_gpu;
  uint64_t threads;  // when on the GPU and not 0: the kernel's threadgroup width
};

void PrintTo(const shape_case &c, std::ostream *os) { *os << c.name; }

class MetalShapeLimits : public MetalLimits, public ::testing::WithParamInterface<shape_case> {};

// At the limit the kernel runs; past it the host's result comes back and no
// message is left. The stand-in refuses any dispatch beyond the limits, so
// an entry without its check fails here.
TEST_P(MetalShapeLimits, FitOrLeaveTheCallToTheHost) {
  const shape_case &c = GetParam();
  standin().max_threadgroup_memory = c.threadgroup_memory;
  standin().max_threads_per_threadgroup = c.max_threads;
  {
    metal_twin t;
    c.run(t, c.size, c.on_gpu);
    EXPECT_TRUE(take_error_stack().empty());
    const auto &d = standin().dispatches;
    const auto it = std::find_if(d.begin(), d.end(), [&](const qz_metal_standin::dispatch_record &r) {
      return r.kernel == c.kernel;
    });
    EXPECT_EQ(it != d.end(), c.on_gpu) << c.kernel;
    if (it != d.end() && c.threads) {
      EXPECT_EQ(it->group[0], c.threads);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalShapeLimits,
    ::testing::Values(
        // 128 x 254 + 256 bytes = 32 KiB; one more column is 128 bytes over.
        shape_case{"BlockedAtTheLimit", k32KiB, 1024, blocked_attention, 254, "taabe300", true, 0},
        shape_case{"BlockedPastTheLimit", k32KiB, 1024, blocked_attention, 255, "taabe300", false,
                   0},
        shape_case{"BlockedOnANarrowPipeline", k32KiB, 64, blocked_attention, 254, "taabe300",
                   true, 64},
        // 256 threads of the softmax fill 1 KiB: a longer row strides.
        shape_case{"RingSoftmaxAtTheLimit", 1024, 1024, ring_attention, 256, "taabe56", true, 256},
        shape_case{"RingSoftmaxStridesPastIt", 1024, 1024, ring_attention, 257, "taabe56", true,
                   256},
        shape_case{"RingSoftmaxOnANarrowPipeline", k32KiB, 128, ring_attention, 300, "taabe56",
                   true, 128},
        // Not even one SIMD-group's floats fit: the whole call is the host's.
        shape_case{"RingSoftmaxWithoutRoom", 16, 1024, ring_attention, 20, "taabe56", false, 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
