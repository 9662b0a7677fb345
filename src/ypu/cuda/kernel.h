// What every kernel module includes: the device language (nvcc's, or the
// test harness's stand-in when the module is compiled as plain C++), the
// module's copies of the fixed-point tables, the table sigmoid, and the
// launch helper of the execute entries.
//
// A .cu file holds one family of operations: per op, its kernels (named
// taabe<N>) and the execute entry that launches them, inside
// `#if QZ_CUDA_BUILDS(ENUM_SUFFIX)`. The GPU program holds one module per
// op: cmake/cuda.cmake compiles the family file once per op listed in
// entries.inc, defining QZ_CUDA_ONE_OP and QZ_CUDA_OP_<ENUM_SUFFIX>.
// Compiled without them (the test harness), a file builds all its ops. Kernels use only what the harness also provides (see
// tests/support/gpu_harness/cuda_emu.h): threadIdx, blockIdx, blockDim,
// gridDim, __syncthreads, __shfl_*_sync, atomicAdd, __shared__ arrays of fixed
// size, and the single-precision maths of <cmath>.
#pragma once

#if defined(__CUDACC__)
#include <cuda_runtime.h>
#elif defined(QZ_CUDA_EMU)
#include "gpu_harness/cuda_emu.h"
#else
#error "kernel modules are compiled by nvcc or by the GPU test harness"
#endif

#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>

#include "ypu/cuda/device.h"
#include "ypu/cuda/ops.h"
#include "ypu/params.h"

#include "ypu/fixed_point_tables.inc"

#if defined(QZ_CUDA_ONE_OP)
#define QZ_CUDA_BUILDS(NAME) QZ_CUDA_OP_##NAME
#else
#define QZ_CUDA_BUILDS(NAME) 1
#endif

// Kernels keep their plain names in the GPU program; the harness's copies
// live in its namespace instead.
#if defined(__CUDACC__)
#define QZ_CUDA_KERNEL extern "C" __global__
// The launch's dynamic shared memory as `type *name` (the harness defines
// its own form).
#define QZ_CUDA_DYNAMIC_SHARED(type, name) \
  extern __shared__ unsigned char name##_bytes[];    \
  type *name = reinterpret_cast<type *>(name##_bytes)
#else
#define QZ_CUDA_KERNEL __global__
#endif
// A loop the GPU compiler unrolls fully (so arrays indexed by its counter
// stay in registers); the harness runs it as written.
#if defined(__CUDACC__)
#define QZ_CUDA_UNROLL _Pragma("unroll")
#else
#define QZ_CUDA_UNROLL
#endif
// The largest block a kernel is launched with, on every kernel launched
// with more than 256 threads: the compiler then keeps the kernel's
// registers within what a block that large may hold (64K registers per
// block on sm_75; one more register per thread and the launch is refused).
// The harness has no register file.
#if defined(__CUDACC__)
#define QZ_CUDA_LAUNCH_BOUNDS(threads) __launch_bounds__(threads)
#else
#define QZ_CUDA_LAUNCH_BOUNDS(threads)
#endif
// Kernel templates keep C++ linkage: the GPU program names each instance by
// its mangled name (taabe213<3> is _Z8taabe213ILi3EE...).
#define QZ_CUDA_TEMPLATE_KERNEL __global__

QZ_CUDA_BEGIN

// Every module carries the three tables under these names, whether its
// kernels read them or not.
static __constant__ const int32_t QZ_EXP_MSB_TABLE[128] = {QZ_EXP_MSB_TABLE_VALUES};
static __constant__ const int32_t QZ_EXP_LSB_TABLE[128] = {QZ_EXP_LSB_TABLE_VALUES};
static __constant__ const int16_t QZ_SIGMOID_TABLE[257] = {QZ_SIGMOID_TABLE_VALUES};

// The interpolated table sigmoid of a Q10 value before its final shift
// (Q21); S(q) = qz_cuda_sigmoid_sum(q) >> 6 is the Q15 sigmoid.
static __device__ __forceinline__ int32_t qz_cuda_sigmoid_sum(int32_t q) {
  const int32_t w = q < -8192 ? -8192 : q > 8128 ? 8128 : q;
  const int32_t k = w & 0x3FFF;  // negative values fold onto entries 128..256
  const int32_t f = k & 63;
  return (64 - f) * QZ_SIGMOID_TABLE[k >> 6] + f * QZ_SIGMOID_TABLE[(k + 63) >> 6];
}

static __device__ __forceinline__ int32_t qz_cuda_sigmoid(int32_t q) {
  return qz_cuda_sigmoid_sum(q) >> 6;
}

// The tanh form of the table sigmoid, for a doubled argument already
// clamped to int16.
static __device__ __forceinline__ int32_t qz_cuda_tanh(int32_t q2) {
  const int32_t t = 2 * static_cast<int16_t>(qz_cuda_sigmoid_sum(q2) >> 6) - 32768;
  return t < -32768 ? -32768 : t > 32767 ? 32767 : t;
}

static __device__ __forceinline__ int32_t qz_cuda_clamp_i16(int32_t v) {
  return v < -32768 ? -32768 : v > 32767 ? 32767 : v;
}

// A float truncated toward zero as the GPU converts it (NaN gives 0); only
// used on values already known to lie inside the int32 range or NaN.
static __device__ __forceinline__ int32_t qz_cuda_truncate(float v) {
  return v != v ? 0 : static_cast<int32_t>(v);
}

// a + b wrapping in 32 bits, as the GPU's int addition does (plain C++
// would call the overflow undefined).
static __device__ __forceinline__ int qz_cuda_wrap_add(int a, int b) {
  return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b));
}

// Two int16 or two int8 values packed for the two-way dot product
// (__dp2a_lo: c + a.lo * b.byte0 + a.hi * b.byte1).
static __device__ __forceinline__ int qz_cuda_pack16(short lo, short hi) {
  return static_cast<int>(static_cast<unsigned>(static_cast<unsigned short>(lo)) |
                          (static_cast<unsigned>(static_cast<unsigned short>(hi)) << 16));
}
static __device__ __forceinline__ int qz_cuda_pack8(signed char lo, signed char hi) {
  return static_cast<int>(static_cast<unsigned>(static_cast<unsigned char>(lo)) |
                          (static_cast<unsigned>(static_cast<unsigned char>(hi)) << 8));
}

// Four-term dot product of four int16 and four int8 values.
static __device__ __forceinline__ int qz_cuda_dot4(short4 a, char4 b, int c) {
  c = __dp2a_lo(qz_cuda_pack16(a.x, a.y), qz_cuda_pack8(b.x, b.y), c);
  return __dp2a_lo(qz_cuda_pack16(a.z, a.w), qz_cuda_pack8(b.z, b.w), c);
}

// (n + 255) >> 8 blocks: the "n/256" grid.
inline uint32_t qz_cuda_blocks_256(int32_t n) { return static_cast<uint32_t>((n + 255) >> 8); }
inline uint32_t qz_cuda_clamp_grid(int32_t v) {
  return static_cast<uint32_t>(v > 65535 ? 65535 : v);
}
// A grid's y or z extent of `blocks` blocks, at most what the device allows
// (65,535 on every GPU so far): kernels launched so walk the blocks past it
// in steps of the grid. A count below 1 is passed on for the runtime to
// refuse.
inline uint32_t qz_cuda_grid_limited(int32_t most, int64_t blocks) {
  return static_cast<uint32_t>(blocks > most ? most : blocks);
}
inline uint32_t qz_cuda_grid_y(const void *device, int64_t blocks) {
  return qz_cuda_grid_limited(
      qz_ypu_cuda_max_grid_dim_y(static_cast<const qz_ypu_cuda_device_t *>(device)), blocks);
}
inline uint32_t qz_cuda_grid_z(const void *device, int64_t blocks) {
  return qz_cuda_grid_limited(
      qz_ypu_cuda_max_grid_dim_z(static_cast<const qz_ypu_cuda_device_t *>(device)), blocks);
}

#if !defined(__CUDACC__)
// Runs one harness thread: unpacks the argument array into the kernel's
// parameters.
template <class... P>
void qz_cuda_thunk(const void *kernel, void **args) {
  auto *f = reinterpret_cast<void (*)(P...)>(const_cast<void *>(kernel));
  [&]<size_t... I>(std::index_sequence<I...>) {
    f(*static_cast<P *>(args[I])...);
  }(std::index_sequence_for<P...>{});
}

// A launch's arguments kept for a later run: the values and the array
// pointing at them.
template <class... P>
struct qz_cuda_kept_arguments {
  std::tuple<P...> values;
  void *pointers[sizeof...(P) + 1];
};

template <class... P>
void **qz_cuda_keep_arguments(void **args) {
  auto *kept = [&]<size_t... I>(std::index_sequence<I...>) {
    return new qz_cuda_kept_arguments<P...>{{*static_cast<P *>(args[I])...}, {}};
  }(std::index_sequence_for<P...>{});
  std::apply(
      [&](auto &...v) {
        size_t i = 0;
        ((kept->pointers[i++] = static_cast<void *>(&v)), ...);
        kept->pointers[i] = kept;  // the record, for the release
      },
      kept->values);
  return kept->pointers;
}

template <class... P>
void qz_cuda_release_arguments(void **copy) {
  delete static_cast<qz_cuda_kept_arguments<P...> *>(copy[sizeof...(P)]);
}

template <class... P>
inline constexpr qz_cuda_host_kernel_t QZ_CUDA_HOST_KERNEL = {
    qz_cuda_thunk<P...>, qz_cuda_keep_arguments<P...>, qz_cuda_release_arguments<P...>};
#endif

// Launches `kernel` with `shared_bytes` of dynamic shared memory on
// `stream` (null: the default stream). The result is left in the runtime's
// sticky error, which the entry reads once after its launches
// (qz_ypu_cuda_launch_status).
template <class... P, class... A>
void qz_cuda_launch_on(void (*kernel)(P...), qz_cuda_dim3_t grid, qz_cuda_dim3_t block,
                       size_t shared_bytes, void *stream, A... args) {
  static_assert(sizeof...(P) == sizeof...(A), "a kernel argument is missing");
  std::tuple<P...> values(static_cast<P>(args)...);
#if defined(__CUDACC__)
  constexpr qz_cuda_thunk_t thunk = nullptr;
#else
  constexpr qz_cuda_thunk_t thunk = &QZ_CUDA_HOST_KERNEL<P...>;
#endif
  std::apply(
      [&](auto &...v) {
        void *pointers[] = {static_cast<void *>(&v)..., nullptr};
        qz_ypu_cuda_runtime()->launch_kernel(reinterpret_cast<const void *>(kernel), thunk,
                                             grid, block, pointers, shared_bytes, stream);
      },
      values);
}

// The usual launch: default stream, no dynamic shared memory.
template <class... P, class... A>
void qz_cuda_launch(void (*kernel)(P...), qz_cuda_dim3_t grid, qz_cuda_dim3_t block,
                    A... args) {
  qz_cuda_launch_on(kernel, grid, block, 0, nullptr, args...);
}

// The entry of a one-operand element-wise kernel (int n, Out* out, In* in)
// over the unary record: grid (n + 255) >> 8 of 256 threads.
template <class Out, class In>
qz_status_t qz_cuda_launch_unary(void (*kernel)(int, Out *, In *), const void *params) {
  const auto &p = *static_cast<const qz_ypu_unary_params_t *>(params);
  qz_cuda_launch(kernel, {qz_cuda_blocks_256(p.count)}, {256}, p.count,
                 qz_ypu_cuda_operand<Out>(p.out, p.out_offset),
                 qz_ypu_cuda_operand<In>(p.in, p.in_offset));
  return qz_ypu_cuda_launch_status();
}

QZ_CUDA_END
