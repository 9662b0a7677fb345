// Fibers and the block scheduler of the GPU harness.
#include "gpu_harness/grid.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if !defined(__x86_64__)
#include <ucontext.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define QZ_HARNESS_ASAN 1
#endif

namespace qz_gpu_harness {
namespace {

constexpr size_t kStackBytes = 256 * 1024;

struct stack_t {
  char *base;
};

enum class state { runnable, wait_block, wait_warp, done };

struct lane_t {
  thread_info info;
  state st = state::runnable;
  uint64_t wait_mask = 0;
  stack_t *stack = nullptr;
#if defined(__x86_64__)
  void *sp = nullptr;
#else
  ucontext_t context;
#endif
};

struct block_t {
  std::vector<lane_t> lanes;
  int warp_size = kWarpSize;
  std::vector<uint64_t> live;   // per warp, the lanes that have not returned
  std::vector<uint64_t> slots;  // warp_size per warp
  std::vector<unsigned char> shared;  // dynamic shared memory
  void (*body)(void *);
  void *context;
};

thread_local block_t *g_block = nullptr;
thread_local lane_t *g_lane = nullptr;
// Fiber stacks, reused from thread to thread and launch to launch.
struct stack_pool {
  std::vector<stack_t *> free;
  ~stack_pool() {
    for (stack_t *s : free) {
      munmap(s->base, kStackBytes);
      delete s;
    }
  }
};
thread_local stack_pool g_stacks;
#if defined(__x86_64__)
thread_local void *g_scheduler_sp = nullptr;
#else
thread_local ucontext_t g_scheduler;
#endif
#if defined(QZ_HARNESS_ASAN)
thread_local const void *g_scheduler_bottom = nullptr;
thread_local size_t g_scheduler_size = 0;
#endif

stack_t *take_stack() {
  if (!g_stacks.free.empty()) {
    stack_t *s = g_stacks.free.back();
    g_stacks.free.pop_back();
    return s;
  }
  void *memory = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) {
    std::fprintf(stderr, "gpu harness: no memory for a fiber stack\n");
    std::abort();
  }
  return new stack_t{static_cast<char *>(memory)};
}

#if defined(__x86_64__)
// Saves the callee-saved registers on the current stack, stores the stack
// pointer in *save and continues on the stack `to`.
extern "C" void qz_gpu_harness_switch(void **save, void *to);
asm(R"(
  .text
  .p2align 4
  .type qz_gpu_harness_switch,@function
qz_gpu_harness_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size qz_gpu_harness_switch, .-qz_gpu_harness_switch
)");
#endif

// From a fiber back to the scheduler.
void to_scheduler(bool finished) {
  lane_t *lane = g_lane;
#if defined(QZ_HARNESS_ASAN)
  void *fake = nullptr;
  __sanitizer_start_switch_fiber(finished ? nullptr : &fake, g_scheduler_bottom,
                                 g_scheduler_size);
#else
  (void)finished;
#endif
#if defined(__x86_64__)
  qz_gpu_harness_switch(&lane->sp, g_scheduler_sp);
#else
  swapcontext(&lane->context, &g_scheduler);
#endif
#if defined(QZ_HARNESS_ASAN)
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
}

void fiber_main() {
#if defined(QZ_HARNESS_ASAN)
  __sanitizer_finish_switch_fiber(nullptr, &g_scheduler_bottom, &g_scheduler_size);
#endif
  g_block->body(g_block->context);
  g_lane->st = state::done;
  to_scheduler(true);
  std::abort();  // a finished fiber is never resumed
}

#if defined(__x86_64__)
extern "C" void qz_gpu_harness_fiber_start() { fiber_main(); }
#endif

// From the scheduler into `lane` until it waits or returns.
void resume(lane_t *lane) {
  g_lane = lane;
  if (!lane->stack) {
    lane->stack = take_stack();
#if defined(__x86_64__)
    // A frame that the switch's pops and return turn into a call of
    // qz_gpu_harness_fiber_start with a correctly aligned stack.
    auto *top = reinterpret_cast<void **>(lane->stack->base + kStackBytes);
    top[-1] = nullptr;  // return address of the start function: never used
    top[-2] = reinterpret_cast<void *>(&qz_gpu_harness_fiber_start);
    for (int i = 3; i <= 8; ++i) top[-i] = nullptr;  // rbp rbx r12-r15
    lane->sp = &top[-8];
#else
    getcontext(&lane->context);
    lane->context.uc_stack.ss_sp = lane->stack->base;
    lane->context.uc_stack.ss_size = kStackBytes;
    lane->context.uc_link = nullptr;
    makecontext(&lane->context, fiber_main, 0);
#endif
  }
#if defined(QZ_HARNESS_ASAN)
  void *fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, lane->stack->base, kStackBytes);
#endif
#if defined(__x86_64__)
  qz_gpu_harness_switch(&g_scheduler_sp, lane->sp);
#else
  swapcontext(&g_scheduler, &lane->context);
#endif
#if defined(QZ_HARNESS_ASAN)
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
  if (lane->st == state::done) {
    g_stacks.free.push_back(lane->stack);
    lane->stack = nullptr;
    g_block->live[lane->info.warp] &= ~(uint64_t{1} << lane->info.lane);
  }
  g_lane = nullptr;
}

// Releases warp `w` when every live lane named by its waiting lanes' mask
// has reached the warp barrier.
bool release_warp(block_t &block, int w) {
  const int first = w * block.warp_size;
  const int end = std::min<int>(first + block.warp_size, static_cast<int>(block.lanes.size()));
  uint64_t mask = 0;
  for (int i = first; i < end; ++i)
    if (block.lanes[i].st == state::wait_warp) mask |= block.lanes[i].wait_mask;
  if (!mask) return false;
  for (int i = first; i < end; ++i) {
    const lane_t &l = block.lanes[i];
    if ((mask >> (i - first) & 1) && l.st != state::done && l.st != state::wait_warp) return false;
  }
  for (int i = first; i < end; ++i)
    if (block.lanes[i].st == state::wait_warp) block.lanes[i].st = state::runnable;
  return true;
}

// The state of the shuffled orders, one sequence per CPU thread.
thread_local uint64_t g_shuffle_state = 0x5EED;

void run_block(block_t &block, schedule order) {
  const int n = static_cast<int>(block.lanes.size());
  std::vector<int> permuted;
  for (;;) {
    if (order == schedule::shuffled) {
      permuted.resize(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) permuted[i] = i;
      shuffle_items(permuted.data(), permuted.size(), g_shuffle_state);
      for (int i : permuted)
        if (block.lanes[i].st == state::runnable) resume(&block.lanes[i]);
    } else if (order == schedule::reverse) {
      for (int i = n - 1; i >= 0; --i)
        if (block.lanes[i].st == state::runnable) resume(&block.lanes[i]);
    } else if (order == schedule::forward) {
      for (int i = 0; i < n; ++i)
        if (block.lanes[i].st == state::runnable) resume(&block.lanes[i]);
    } else {
      // Each warp runs as far as it can before the next one starts.
      const int size = block.warp_size, warps = (n + size - 1) / size;
      for (int k = 0; k < warps; ++k) {
        const int w = order == schedule::warp_ahead ? k : warps - 1 - k;
        const int first = w * size, end = std::min(first + size, n);
        do {
          for (int i = first; i < end; ++i)
            if (block.lanes[i].st == state::runnable) resume(&block.lanes[i]);
        } while (release_warp(block, w));
      }
    }
    int live = 0, at_block = 0;
    for (const lane_t &l : block.lanes) {
      live += l.st != state::done;
      at_block += l.st == state::wait_block;
    }
    if (live == 0) return;
    bool released = false;
    if (at_block == live) {
      for (lane_t &l : block.lanes)
        if (l.st == state::wait_block) l.st = state::runnable;
      released = true;
    } else {
      for (int w = 0; w * block.warp_size < n; ++w) released |= release_warp(block, w);
    }
    if (!released) {
      std::fprintf(stderr,
                   "gpu harness: threads of a block wait at different barriers "
                   "(divergent __syncthreads or shuffle)\n");
      std::abort();
    }
  }
}

void wait(state s, uint64_t mask) {
  if (!g_lane) {
    std::fprintf(stderr, "gpu harness: barrier outside a kernel\n");
    std::abort();
  }
  g_lane->st = s;
  g_lane->wait_mask = mask;
  to_scheduler(false);
}

}  // namespace

const thread_info &current() { return g_lane->info; }

void barrier_block() { wait(state::wait_block, 0); }

void barrier_warp(uint64_t mask) {
  const int lane = g_lane->info.lane;
  wait(state::wait_warp, mask | (uint64_t{1} << lane));
}

uint64_t live_lanes() { return g_block->live[g_lane->info.warp]; }

void *dynamic_shared() { return g_block->shared.data(); }

uint64_t *warp_slots() {
  return &g_block->slots[static_cast<size_t>(g_lane->info.warp) * g_block->warp_size];
}

void run_grid(dim3_t grid, dim3_t block_dim, schedule order, void (*body)(void *), void *context,
              size_t shared_bytes, int warp_size) {
  if (warp_size < 1 || warp_size > kMaxWarpSize) {
    std::fprintf(stderr, "gpu harness: warps of %d lanes\n", warp_size);
    std::abort();
  }
  const int n = static_cast<int>(block_dim.x * block_dim.y * block_dim.z);
  block_t block;
  block.body = body;
  block.context = context;
  block.warp_size = warp_size;
  block.lanes.resize(n);
  block.slots.assign(static_cast<size_t>((n + warp_size - 1) / warp_size) * warp_size, 0);
  block_t *const outer = g_block;
  g_block = &block;
  // Blocks in launch order, or permuted for the shuffled schedule (a GPU
  // runs them in no fixed order).
  const uint64_t blocks = uint64_t{grid.x} * grid.y * grid.z;
  std::vector<uint64_t> sequence;
  if (order == schedule::shuffled) {
    sequence.resize(blocks);
    for (uint64_t i = 0; i < blocks; ++i) sequence[i] = i;
    shuffle_items(sequence.data(), sequence.size(), g_shuffle_state);
  }
  for (uint64_t k = 0; k < blocks; ++k) {
    const uint64_t b = sequence.empty() ? k : sequence[k];
    const uint32_t bx = static_cast<uint32_t>(b % grid.x),
                   by = static_cast<uint32_t>(b / grid.x % grid.y),
                   bz = static_cast<uint32_t>(b / grid.x / grid.y);
    block.shared.assign(shared_bytes, 0xFF);
    block.live.assign(static_cast<size_t>((n + warp_size - 1) / warp_size), 0);
    for (int i = 0; i < n; ++i) block.live[i / warp_size] |= uint64_t{1} << (i % warp_size);
    int i = 0;
    for (uint32_t tz = 0; tz < block_dim.z; ++tz)
      for (uint32_t ty = 0; ty < block_dim.y; ++ty)
        for (uint32_t tx = 0; tx < block_dim.x; ++tx, ++i) {
          lane_t &l = block.lanes[i];
          l.info = {{tx, ty, tz}, {bx, by, bz}, block_dim, grid, i, i % warp_size,
                    i / warp_size, warp_size};
          l.st = state::runnable;
          l.stack = nullptr;
        }
    run_block(block, order);
  }
  g_block = outer;
}

}  // namespace qz_gpu_harness
