// The CPU device: thread count, instruction-set flags, worker pool, and the
// CPU column of the device-level interface (host-memory buffers).
#pragma once

#include <pthreadpool.h>

#include <cstdint>

#include "ypu/ypu.h"

inline constexpr uint32_t QZ_YPU_CPU_ISA_SSE41 = 0x1;
inline constexpr uint32_t QZ_YPU_CPU_ISA_AVX = 0x2;
inline constexpr uint32_t QZ_YPU_CPU_ISA_AVX2 = 0x4;
inline constexpr uint32_t QZ_YPU_CPU_ISA_AVX512F = 0x8;
inline constexpr uint32_t QZ_YPU_CPU_ISA_NEON = 0x20;
inline constexpr uint32_t QZ_YPU_CPU_ISA_NEON_DOTPROD = 0x40;
inline constexpr uint32_t QZ_YPU_CPU_ISA_NEON_FP16 = 0x80;

// Above this the kernels' work-split arithmetic (T squared items) is unsafe.
inline constexpr int32_t QZ_YPU_CPU_MAX_THREADS = 1024;
inline constexpr int32_t QZ_YPU_CPU_BUFFER_NO_FREE = 0x1;
inline constexpr size_t QZ_YPU_CPU_ALIGNMENT = 32;

struct qz_ypu_cpu_device_t {
  int32_t threads;
  uint32_t isa_flags;
  pthreadpool_t pool;  // null when the device runs on the calling thread only
  // Steady-clock time (ns) until which loops stay on the calling thread,
  // after a shared loop stalled, and how long the next such pause lasts
  // (0: the shortest). Only the thread running the device's operations
  // touches them.
  mutable int64_t alone_until_ns;
  mutable int64_t alone_for_ns;
};

struct qz_ypu_cpu_buffer_t {
  int32_t size;
  int32_t flags;
  void *data;
};

inline qz_ypu_cpu_buffer_t *qz_ypu_cpu_buffer(qz_ypu_buffer_t *buffer) {
  return reinterpret_cast<qz_ypu_cpu_buffer_t *>(buffer);
}

// What the processor reports, as read by CPUID and XGETBV.
struct qz_ypu_cpuid_t {
  uint32_t max_leaf;
  uint32_t leaf1_ecx;
  uint32_t leaf7_ebx;
  uint64_t xcr0;  // 0 when the OS has not enabled XSAVE (no OSXSAVE)
};

qz_ypu_cpuid_t qz_ypu_cpu_read_cpuid();
// Instruction-set flags from CPUID words. The wide-register sets count only
// when the operating system saves their registers.
uint32_t qz_ypu_cpu_isa_from_cpuid(const qz_ypu_cpuid_t &cpuid);

// The flags of the processor this build runs on, from the processor's own
// report (CPUID on x86-64, the kernel's hardware capabilities on aarch64
// Linux, the system's feature queries on Windows); 0 elsewhere.
uint32_t qz_ypu_cpu_detect_isa();

// ARM64 flags as the Windows build sets them, from Linux's hardware
// capability word: NEON (0x20), and the dot-product and half-precision bits
// (0x40 | 0x80) together, only when both instruction groups are present.
uint32_t qz_ypu_cpu_isa_from_hwcap(uint64_t hwcap);

int32_t qz_ypu_cpu_processor_count();
// Processors in this process's affinity mask (the configured count when the
// mask cannot be read).
int32_t qz_ypu_cpu_usable_processor_count();

// Test hook: devices opened from now on keep only these instruction-set
// flags (all by default), so a whole engine can be run on a narrower set.
void qz_ypu_cpu_mask_isa_flags(uint32_t mask);

// The flags of the processor this build runs on, as it reports them (CPUID
// on x86-64).
uint32_t qz_ypu_cpu_detect_isa();
// Flags of an ARM64 processor from what the system reports: Advanced SIMD,
// and the dot-product instructions, which come with half-precision
// arithmetic.
uint32_t qz_ypu_cpu_isa_from_arm_features(bool neon, bool dot_product);

// What a CPU device asks of the operating system. Each build's platform file
// defines QZ_YPU_CPU_SYSTEM; tests pass their own to the *_with forms.
struct qz_ypu_cpu_system_t {
  // Processors the system has; 0 when it cannot say.
  int32_t (*processor_count)();
  uint32_t (*isa_flags)();
  // Whether a count of 0 fails the open and the device list (otherwise the
  // default thread count is raised to 1).
  bool unknown_count_fails;
  // Processors this process may run on, which the default thread count is
  // half of; null: all of processor_count.
  int32_t (*usable_processor_count)();
};
extern const qz_ypu_cpu_system_t QZ_YPU_CPU_SYSTEM;

// threads 0 asks for half the processors; fewer than 2 means one thread and
// no pool. *out is written only on success; no message is pushed.
qz_status_t qz_ypu_cpu_device_open(int32_t threads, qz_ypu_cpu_device_t **out);
qz_status_t qz_ypu_cpu_device_open_with(const qz_ypu_cpu_system_t &system, int32_t threads,
                                        qz_ypu_cpu_device_t **out);
void qz_ypu_cpu_device_close(void *device);
qz_status_t qz_ypu_cpu_buffer_upload(void *device, qz_ypu_buffer_t *buffer, const void *source,
                                     int32_t offset, int32_t length);
qz_status_t qz_ypu_cpu_buffer_download(void *device, qz_ypu_buffer_t *buffer, void *destination,
                                       int32_t offset, int32_t length);
void qz_ypu_cpu_device_list_free(char **list, int32_t count);
qz_status_t qz_ypu_cpu_device_list(char ***list, int32_t *count);
qz_status_t qz_ypu_cpu_device_list_with(const qz_ypu_cpu_system_t &system, char ***list,
                                        int32_t *count);
qz_ypu_buffer_t *qz_ypu_cpu_buffer_create(void *device, int32_t size, int32_t flags);
void *qz_ypu_cpu_buffer_map(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
void qz_ypu_cpu_buffer_unmap(void *device, qz_ypu_buffer_t *buffer, int32_t mode);
void qz_ypu_cpu_buffer_free(void *device, qz_ypu_buffer_t *buffer);
void *qz_ypu_cpu_host_alloc(void *device, int32_t size);
void qz_ypu_cpu_host_free(void *device, void *pointer);
int32_t qz_ypu_cpu_buffer_size(void *device, qz_ypu_buffer_t *buffer);
