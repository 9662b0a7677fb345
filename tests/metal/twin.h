// The Metal form of the harness twin: an operation run on the stand-in
// Metal device and on a host-only context. A device run must dispatch
// kernels (not fall back to the host code), and nothing the real framework
// would refuse may happen on the device side.
#pragma once

#include <string>
#include <vector>

#include "gpu_harness/metal_launch.h"
#include "gpu_harness/twin.h"
#include "support/metal_context.h"
#include "support/metal_standin.h"

class metal_twin : public gpu_twin<metal_context> {
 public:
  explicit metal_twin(qz_gpu_harness::schedule order = qz_gpu_harness::schedule::forward) {
    qz_metal_emu::set_schedule(order);
  }
  ~metal_twin() {
    EXPECT_EQ(qz_metal_standin::standin().violations, std::vector<std::string>{});
    qz_metal_emu::set_schedule(qz_gpu_harness::schedule::forward);
  }

  template <class Make>
  void run(uint32_t op, Make make) {
    const size_t dispatched = qz_metal_standin::standin().dispatches.size();
    gpu_twin::run(op, make);
    EXPECT_GT(qz_metal_standin::standin().dispatches.size(), dispatched)
        << "op " << op << " ran no kernel";
  }
};

inline constexpr qz_gpu_harness::schedule kAllSchedules[] = {
    qz_gpu_harness::schedule::forward, qz_gpu_harness::schedule::reverse,
    qz_gpu_harness::schedule::warp_ahead, qz_gpu_harness::schedule::last_warp_ahead};
