// The Metal form of the harness twin: an operation run through its Metal
// entry on the stand-in device (the kernels run on the GPU harness) and on a
// host-only context, from the same inputs, so the two outputs can be
// compared. A device run must dispatch kernels (not fall back to the host
// code), and nothing the real framework would refuse may happen.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gpu_harness/metal_launch.h"
#include "gpu_harness/twin.h"
#include "support/metal_context.h"
#include "support/metal_standin.h"
#include "support/metal_test.h"

class metal_twin : public gpu_twin<metal_context> {
 public:
  explicit metal_twin(qz_gpu_harness::schedule order = qz_gpu_harness::schedule::forward) {
    qz_metal_emu::set_schedule(order);
  }
  ~metal_twin() {
    EXPECT_EQ(qz_metal_standin::standin().violations, std::vector<std::string>{});
    qz_metal_emu::set_schedule(qz_gpu_harness::schedule::forward);
  }

  // Runs `op` with the record make(true) through the Metal entry and
  // make(false) on the host; both must succeed, the Metal side by at least
  // one pass.
  template <class Make>
  void run(uint32_t op, Make make) {
    const size_t dispatched = qz_metal_standin::standin().dispatches.size();
    gpu_twin::run(op, make);
    EXPECT_GT(qz_metal_standin::standin().dispatches.size(), dispatched)
        << "op " << op << " ran no kernel";
  }
  // As run(op, make), `kernel` among the Metal side's passes.
  template <class Make>
  void run(uint32_t op, const char *kernel, Make make) {
    const auto &d = qz_metal_standin::standin().dispatches;
    const size_t before = d.size();
    gpu_twin::run(op, make);
    ASSERT_GT(d.size(), before) << "op " << op << " made no Metal pass";
    EXPECT_TRUE(std::any_of(d.begin() + static_cast<std::ptrdiff_t>(before), d.end(),
                            [&](const qz_metal_standin::dispatch_record &r) { return r.kernel == kernel; }))
        << kernel << " was not dispatched";
  }

  // Float contents within bound(i, host value) of each other (NaN matches
  // NaN, an infinity only itself).
  void expect_within(const twin_buffer &b, size_t count,
                     const std::function<double(size_t, float)> &bound) {
    const std::vector<float> g = gpu_values<float>(b, count), h = host_values<float>(b, count);
    for (size_t i = 0; i < count; ++i) {
      if (std::isnan(h[i]) || std::isinf(h[i])) {
        ASSERT_TRUE(std::memcmp(&g[i], &h[i], 4) == 0 || (std::isnan(g[i]) && std::isnan(h[i])))
            << "element " << i << ": " << g[i] << " (metal) vs " << h[i] << " (host)";
        continue;
      }
      ASSERT_LE(std::fabs(double{g[i]} - double{h[i]}), bound(i, h[i]))
          << "element " << i << ": " << g[i] << " (metal) vs " << h[i] << " (host)";
    }
  }
  // The same with bound[i] for element i.
  void expect_within(const twin_buffer &b, const std::vector<double> &bound) {
    expect_within(b, bound.size(), [&](size_t i, float) { return bound[i]; });
  }
};

// The unit roundoff of float: every rounded operation is within u of the
// exact result, relatively.
inline constexpr double kUnitRoundoff = 0x1p-24;

using qz_gpu_harness::kAllSchedules;

// One float unit in the last place of |x| (of the smallest normal for
// smaller values).
inline double ulp_of(float x) {
  const float a = std::fmax(std::fabs(x), 1.17549435e-38f);
  return double{std::nextafter(a, INFINITY)} - double{a};
}
