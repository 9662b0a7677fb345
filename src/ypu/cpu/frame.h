// What every CPU execute entry shares: operand addressing, the split of a
// range into work items, the item-count rules, running the items on the
// worker pool or the calling thread, the choice of a kernel variant from the
// instruction-set flags, and per-call aligned scratch memory.
//
// An entry reads its record, picks its variant, computes its item count,
// fills a context record on its stack and runs its task over the items.
// Returning QZ_YPU_CPU_DECLINE hands the call to the host implementation.
#pragma once

#include <pthreadpool.h>

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/threadpool.h"
#include "ypu/ypu.h"

// Not an error: the dispatcher runs the host implementation instead.
inline constexpr qz_status_t QZ_YPU_CPU_DECLINE = QZ_STATUS_INVALID_ARGUMENT;

// The one scratch failure that carries a message (2-D convolution).
inline constexpr qz_error_record_t QZ_YPU_ERROR_CPU_SCRATCH{0x324,
                                                           "Failed to allocate, out of memory."};

inline qz_ypu_cpu_device_t *qz_ypu_cpu_device(void *device) {
  return static_cast<qz_ypu_cpu_device_t *>(device);
}

// An operand's data: CPU buffers are host memory, so no mapping is needed.
template <class T>
T *qz_ypu_cpu_operand(qz_ypu_buffer_t *buffer, int32_t byte_offset) {
  return reinterpret_cast<T *>(static_cast<char *>(qz_ypu_cpu_buffer(buffer)->data) + byte_offset);
}

// ---------------------------------------------------------------------------
// Range split.

struct qz_ypu_cpu_range_t {
  int64_t begin;
  int64_t end;  // exclusive; equal to begin for an empty item
};

// Item i of `count` over `units` units: [floor(i*N/count), floor((i+1)*N/count)).
// Adjacent items meet, every unit lies in exactly one item, and sizes differ
// by at most one. The products are formed in 64 bits: with units and count
// below 2^31 (the library's sizes are 32-bit) they cannot wrap. An index
// outside [0, count) gets an empty item.
inline qz_ypu_cpu_range_t qz_ypu_cpu_split(int64_t units, int64_t count, int64_t i) {
  if (units <= 0 || count <= 0 || i < 0 || i >= count) return {0, 0};
  return {i * units / count, (i * units + units) / count};
}

// ---------------------------------------------------------------------------
// Item counts. T is the device's thread count, N as each operation defines
// it. The T-squared forms are computed in 64 bits (T may be 1024).

inline int64_t qz_ypu_cpu_min(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t qz_ypu_cpu_max(int64_t a, int64_t b) { return a > b ? a : b; }
inline int64_t qz_ypu_cpu_squared(int64_t threads) { return threads * threads; }

// Element-wise additions: at most one item per 131072 elements.
inline constexpr int64_t QZ_YPU_CPU_ELEMENTS_PER_ITEM = 131072;
inline int64_t qz_ypu_cpu_items_elements(int64_t threads, int64_t n) {
  return qz_ypu_cpu_min(threads, qz_ypu_cpu_max(1, n / QZ_YPU_CPU_ELEMENTS_PER_ITEM));
}
// Fixed-point convolutions: one item per thread, at least one.
inline int64_t qz_ypu_cpu_items_threads(int64_t threads, int64_t n) {
  return qz_ypu_cpu_min(threads, qz_ypu_cpu_max(1, n));
}
// Many small units (rows, outputs): capped at T squared; none for N = 0.
inline int64_t qz_ypu_cpu_items_squared(int64_t threads, int64_t n) {
  return qz_ypu_cpu_max(0, qz_ypu_cpu_min(qz_ypu_cpu_squared(threads), n));
}
// Fixed-point linear with one input row: features are taken in pairs (in
// fours in the ARM64 builds, whose vector kernel takes four at a time).
#if defined(_WIN32) || defined(__aarch64__) || defined(_M_ARM64)
inline constexpr int64_t QZ_YPU_CPU_FEATURES_PER_ITEM = 4;
#else
inline constexpr int64_t QZ_YPU_CPU_FEATURES_PER_ITEM = 2;
#endif
inline int64_t qz_ypu_cpu_items_feature_pairs(int64_t threads, int64_t n) {
  return qz_ypu_cpu_max(
      1, qz_ypu_cpu_min(qz_ypu_cpu_squared(threads), n / QZ_YPU_CPU_FEATURES_PER_ITEM));
}
// Column affine: at most one item per 1024 rows, capped at T squared.
inline constexpr int64_t QZ_YPU_CPU_ROWS_PER_ITEM = 1024;
inline int64_t qz_ypu_cpu_items_row_blocks(int64_t threads, int64_t rows) {
  return qz_ypu_cpu_min(qz_ypu_cpu_squared(threads),
                        qz_ypu_cpu_max(1, rows / QZ_YPU_CPU_ROWS_PER_ITEM));
}
// LSTM cell: chunks of `chunk` units, the last one possibly shorter.
inline int64_t qz_ypu_cpu_items_chunks(int64_t n, int64_t chunk) {
  return n <= 0 ? 0 : (n + chunk - 1) / chunk;
}

// The count an entry uses: its formula's value when the device has a pool,
// otherwise a single item that covers the whole range (none for an empty
// one). Entries whose items are natural units keep their formula instead.
inline int64_t qz_ypu_cpu_items(const qz_ypu_cpu_device_t *device, int64_t formula) {
  if (formula <= 0) return 0;
  return device->pool ? formula : 1;
}

// ---------------------------------------------------------------------------
// Running the items. The first item always runs on the calling thread. With
// a pool of more than one thread, the rest goes to the pool (the calling
// thread joins in) when the first item's time shows that the calling thread
// alone would need more than about 100 µs for it, unless a recent shared
// loop stalled; otherwise, and without a pool, the items run on the calling
// thread in order, first index outermost. Which thread runs an item never changes what it computes. A
// count of zero or less runs nothing. Every call returns after all items ran.

using qz_ypu_cpu_task_1d_t = pthreadpool_task_1d_t;
using qz_ypu_cpu_task_2d_t = pthreadpool_task_2d_t;
using qz_ypu_cpu_task_3d_t = pthreadpool_task_3d_t;
using qz_ypu_cpu_task_1d_with_thread_t = qz_ypu_task_1d_with_thread_t;

// Whether a loop of `items` items may go to the pool.
bool qz_ypu_cpu_uses_pool(const qz_ypu_cpu_device_t *device, int64_t items);
// Whether `rest` items, each taking about as long as a first one that took
// `first_ns` nanoseconds, are worth handing to the pool.
bool qz_ypu_cpu_worth_sharing(int64_t first_ns, int64_t rest);
// Whether handing `rest` such items to the pool took so much longer
// (`shared_ns`) than the calling thread alone would have that a worker was
// not running; loops then stay on the calling thread for the next while.
bool qz_ypu_cpu_sharing_stalled(int64_t shared_ns, int64_t first_ns, int64_t rest);
// How long loops stay on the calling thread after the next stall, given the
// current pause (0: the shortest) and whether the shared loop just run
// stalled: each stall doubles the pause, up to 2 s; each shared loop that
// ran well shortens it by a sixty-fourth, down to 20 ms. A machine whose
// workers miss their turn more than about once in 45 shared loops (where a
// stall of some milliseconds costs more than the loops between gain) thus
// shares ever less, one where that happens rarely loses little time to a
// stray stall.
int64_t qz_ypu_cpu_next_alone_ns(int64_t alone_ns, bool stalled);

void qz_ypu_cpu_run_1d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_1d_t task,
                       void *context, int64_t count);
// `thread` indexes per-thread scratch: below the device's thread count, and
// never the same for two tasks running at once.
void qz_ypu_cpu_run_1d_with_thread(const qz_ypu_cpu_device_t *device,
                                   qz_ypu_cpu_task_1d_with_thread_t task, void *context,
                                   int64_t count);
void qz_ypu_cpu_run_2d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_2d_t task,
                       void *context, int64_t count_i, int64_t count_j);
void qz_ypu_cpu_run_3d(const qz_ypu_cpu_device_t *device, qz_ypu_cpu_task_3d_t task,
                       void *context, int64_t count_i, int64_t count_j, int64_t count_k);

// ---------------------------------------------------------------------------
// Kernel choice: entries test the widest variant first and fall back to the
// plain one, which handles every length.

// The NEON variants of the Windows build are chosen on either of these bits.
inline constexpr uint32_t QZ_YPU_CPU_ISA_NEON_MASK = 0x30;

// Kernels exist only for the processor family being built: the other
// family's names become null pointers of the kernel's type (which the choice
// skips) and its flag bits are never acted on, even when a test sets them.
#if defined(__x86_64__) || defined(_M_X64)
inline constexpr uint32_t QZ_YPU_CPU_ISA_BUILT = 0x0F;
#define QZ_YPU_CPU_X86(kernel) (&(kernel))
#define QZ_YPU_CPU_ARM64(kernel) static_cast<decltype(&(kernel))>(nullptr)
#elif defined(__aarch64__) || defined(_M_ARM64)
inline constexpr uint32_t QZ_YPU_CPU_ISA_BUILT = 0xF0;
#define QZ_YPU_CPU_X86(kernel) static_cast<decltype(&(kernel))>(nullptr)
#define QZ_YPU_CPU_ARM64(kernel) (&(kernel))
#else
inline constexpr uint32_t QZ_YPU_CPU_ISA_BUILT = 0;
#define QZ_YPU_CPU_X86(kernel) static_cast<decltype(&(kernel))>(nullptr)
#define QZ_YPU_CPU_ARM64(kernel) static_cast<decltype(&(kernel))>(nullptr)
#endif

// Whether `flag` is set and has kernels in this build.
inline bool qz_ypu_cpu_has(uint32_t isa_flags, uint32_t flag) {
  return (isa_flags & flag & QZ_YPU_CPU_ISA_BUILT) != 0;
}

// Whether a variant needing `flag` fits: the flag is set and, when the
// variant has a step (> 1), the inner length is a positive multiple of it.
inline bool qz_ypu_cpu_usable(uint32_t isa_flags, uint32_t flag, int64_t length, int64_t step) {
  if (!qz_ypu_cpu_has(isa_flags, flag)) return false;
  if (step <= 1) return true;
  return length > 0 && length % step == 0;
}

// The common two-set choice: AVX2 with its step, then SSE4.1 with its step,
// then the plain variant. A null variant is skipped.
template <class Fn>
Fn qz_ypu_cpu_choose(uint32_t isa_flags, int64_t length, Fn avx2, int64_t avx2_step, Fn sse41,
                     int64_t sse41_step, Fn plain) {
  if (avx2 && qz_ypu_cpu_usable(isa_flags, QZ_YPU_CPU_ISA_AVX2, length, avx2_step)) return avx2;
  if (sse41 && qz_ypu_cpu_usable(isa_flags, QZ_YPU_CPU_ISA_SSE41, length, sse41_step)) return sse41;
  return plain;
}

// The same with the NEON variant of the ARM64 builds, chosen on the NEON
// mask with its own step.
template <class Fn>
Fn qz_ypu_cpu_choose(uint32_t isa_flags, int64_t length, Fn avx2, int64_t avx2_step, Fn sse41,
                     int64_t sse41_step, Fn neon, int64_t neon_step, Fn plain) {
  if (neon && qz_ypu_cpu_usable(isa_flags, QZ_YPU_CPU_ISA_NEON_MASK, length, neon_step))
    return neon;
  return qz_ypu_cpu_choose(isa_flags, length, avx2, avx2_step, sse41, sse41_step, plain);
}

// ---------------------------------------------------------------------------
// Scratch: allocated once per call, 32-byte aligned, freed before the entry
// returns on every path. No memory is kept between calls.

inline constexpr size_t QZ_YPU_CPU_SCRATCH_ALIGNMENT = 32;

// count x size bytes, or -1 when the product is negative or does not fit the
// allocator's 64-bit size.
int64_t qz_ypu_cpu_scratch_bytes(int64_t count, int64_t size);

// Holds an entry's scratch blocks and frees them all when it goes out of
// scope. get() returns null (and the entry returns QZ_STATUS_OUT_OF_MEMORY)
// when a block cannot be had. Small blocks come from an area inside the
// object (on the entry's stack): most calls then need no heap at all, whose
// aligned blocks leave fragments that later large requests must merge.
class qz_ypu_cpu_scratch {
 public:
  qz_ypu_cpu_scratch() = default;
  ~qz_ypu_cpu_scratch();
  qz_ypu_cpu_scratch(const qz_ypu_cpu_scratch &) = delete;
  qz_ypu_cpu_scratch &operator=(const qz_ypu_cpu_scratch &) = delete;

  void *get(int64_t bytes);
  template <class T>
  T *get(int64_t count) {
    return static_cast<T *>(get(qz_ypu_cpu_scratch_bytes(count, sizeof(T))));
  }

 private:
  static constexpr int kMaxBlocks = 8;
  static constexpr size_t kAreaBytes = 16384;
  void *blocks_[kMaxBlocks] = {};
  int count_ = 0;
  size_t area_used_ = 0;
  alignas(64) unsigned char area_[kAreaBytes];
};
