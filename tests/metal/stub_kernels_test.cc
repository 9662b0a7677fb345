// Until the harness's Metal kernel layer is in the tree: the few kernels the
// backend's own tests dispatch, written directly in C++, and a serial runner.
#if !__has_include("gpu_harness/metal_launch.h")
#include <cstring>

#include "support/metal_launch_fallback.h"

namespace qz_metal_emu {
namespace {

thread_local const bindings *bound = nullptr;
thread_local qz_gpu_harness::dim3_t position;

void add_f32() {
  const uint32_t x = position.x;
  auto *out = static_cast<float *>(bound->buffer[1]);
  const auto *a = static_cast<const float *>(bound->buffer[2]);
  const auto *b = static_cast<const float *>(bound->buffer[3]);
  out[x] = a[x] + b[x];
}

constexpr kernel_entry kKernels[] = {{"taabe69", add_f32}};

void run(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t threads) {
  bound = &b;
  for (uint32_t z = 0; z < threads.z; ++z)
    for (uint32_t y = 0; y < threads.y; ++y)
      for (uint32_t x = 0; x < threads.x; ++x) {
        position = {x, y, z};
        k.body();
      }
  bound = nullptr;
}

}  // namespace

const kernel_entry *find_kernel(const char *name) {
  for (const kernel_entry &k : kKernels)
    if (std::strcmp(k.name, name) == 0) return &k;
  return nullptr;
}

void run_threads(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t threads,
                 qz_gpu_harness::dim3_t) {
  run(k, b, threads);
}

void run_threadgroups(const kernel_entry &k, const bindings &b, qz_gpu_harness::dim3_t groups,
                      qz_gpu_harness::dim3_t group) {
  run(k, b, {groups.x * group.x, groups.y * group.y, groups.z * group.z});
}

void set_schedule(qz_gpu_harness::schedule) {}

}  // namespace qz_metal_emu
#endif
