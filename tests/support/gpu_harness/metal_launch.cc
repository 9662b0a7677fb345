#include "gpu_harness/metal_launch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace qz_metal_emu {
namespace {

using qz_gpu_harness::dim3_t;

std::vector<kernel_entry> &table() {
  static std::vector<kernel_entry> kernels;
  return kernels;
}

qz_gpu_harness::schedule g_order = qz_gpu_harness::schedule::forward;
thread_local const dispatch_state *g_running = nullptr;

uint32_t groups_for(uint32_t threads, uint32_t per_group) {
  return threads / per_group + (threads % per_group != 0);
}

void body_of(void *context) { static_cast<const kernel_entry *>(context)->body(); }

// The order in which a dispatch's `count` threadgroups run: a GPU runs them
// in no fixed order, so each schedule takes another one (in order, reversed,
// and a fixed shuffle and its reverse), and a result that depends on it
// (float atomics, a group reading another's output) differs between
// schedules.
std::vector<uint32_t> group_order(uint32_t count) {
  std::vector<uint32_t> order(count);
  std::iota(order.begin(), order.end(), 0u);
  switch (g_order) {
    case qz_gpu_harness::schedule::forward:
      break;
    case qz_gpu_harness::schedule::reverse:
      std::reverse(order.begin(), order.end());
      break;
    case qz_gpu_harness::schedule::warp_ahead:
    case qz_gpu_harness::schedule::last_warp_ahead:
      std::shuffle(order.begin(), order.end(), std::mt19937(count));
      if (g_order == qz_gpu_harness::schedule::last_warp_ahead)
        std::reverse(order.begin(), order.end());
      break;
    case qz_gpu_harness::schedule::shuffled:
      std::shuffle(order.begin(), order.end(), std::mt19937(count ^ 0x9e3779b9u));
      break;
  }
  return order;
}

// Runs every group, each as a harness block of its own size.
void run(const kernel_entry &k, const bindings &b, dim3_t groups, dim3_t per_group,
         dim3_t grid_threads, uint32_t simd_width) {
  if (per_group.x == 0 || per_group.y == 0 || per_group.z == 0) {
    std::fprintf(stderr, "metal harness: empty threadgroup for %s\n", k.name);
    std::abort();
  }
  if (simd_width == 0 || simd_width > uint32_t{qz_gpu_harness::kMaxWarpSize}) {
    std::fprintf(stderr, "metal harness: SIMD-groups of %u lanes for %s\n", simd_width, k.name);
    std::abort();
  }
  dispatch_state st{};
  st.kernel = k.name;
  st.args = &b;
  st.groups = groups;
  st.nominal = per_group;
  st.grid_threads = grid_threads;
  // Threadgroup arguments share the block's dynamic memory, 16-byte aligned.
  size_t shared = 0;
  for (int i = 0; i < kArgumentSlots; ++i) {
    st.threadgroup_offset[i] = static_cast<uint32_t>(shared);
    shared += (b.threadgroup_length[i] + 15u) & ~15u;
  }
  const dispatch_state *const outer = g_running;
  g_running = &st;
  const uint64_t count = uint64_t{groups.x} * groups.y * groups.z;
  if (count > UINT32_MAX) {
    std::fprintf(stderr, "metal harness: %llu threadgroups for %s\n",
                 static_cast<unsigned long long>(count), k.name);
    std::abort();
  }
  for (const uint32_t i : group_order(static_cast<uint32_t>(count))) {
    const uint32_t x = i % groups.x, y = i / groups.x % groups.y, z = i / groups.x / groups.y;
    st.group = {x, y, z};
    const dim3_t size{std::min(per_group.x, grid_threads.x - x * per_group.x),
                      std::min(per_group.y, grid_threads.y - y * per_group.y),
                      std::min(per_group.z, grid_threads.z - z * per_group.z)};
    qz_gpu_harness::run_grid({1, 1, 1}, size, g_order, body_of, const_cast<kernel_entry *>(&k),
                             shared, static_cast<int>(simd_width));
  }
  g_running = outer;
}

}  // namespace

registrar::registrar(const char *name, void (*body)()) {
  if (find_kernel(name)) {
    std::fprintf(stderr, "metal harness: two kernels named %s\n", name);
    std::abort();
  }
  table().push_back({name, body});
}

const kernel_entry *find_kernel(const char *name) {
  for (const kernel_entry &k : table())
    if (std::strcmp(k.name, name) == 0) return &k;
  return nullptr;
}

void run_threadgroups(const kernel_entry &k, const bindings &b, dim3_t groups,
                      dim3_t threads_per_group, uint32_t simd_width) {
  run(k, b, groups, threads_per_group,
      {groups.x * threads_per_group.x, groups.y * threads_per_group.y,
       groups.z * threads_per_group.z},
      simd_width);
}

void run_threads(const kernel_entry &k, const bindings &b, dim3_t threads,
                 dim3_t threads_per_group, uint32_t simd_width) {
  if (threads_per_group.x == 0 || threads_per_group.y == 0 || threads_per_group.z == 0) {
    std::fprintf(stderr, "metal harness: empty threadgroup for %s\n", k.name);
    std::abort();
  }
  run(k, b,
      {groups_for(threads.x, threads_per_group.x), groups_for(threads.y, threads_per_group.y),
       groups_for(threads.z, threads_per_group.z)},
      threads_per_group, threads, simd_width);
}

void set_schedule(qz_gpu_harness::schedule order) { g_order = order; }

const dispatch_state &running() {
  if (!g_running) {
    std::fprintf(stderr, "metal harness: kernel argument read outside a dispatch\n");
    std::abort();
  }
  return *g_running;
}

void fast_math_fault(const char *function, float value) {
  std::fprintf(stderr,
               "metal harness: %s of %g in kernel %s: the program is built with fast math, "
               "under which infinities and NaNs have no defined result\n",
               function, static_cast<double>(value), running().kernel);
  std::abort();
}

}  // namespace qz_metal_emu
