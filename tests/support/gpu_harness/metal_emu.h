// The Metal shading language as plain C++, so the backend's kernel sources
// (src/ypu/metal/kernels/*.metal) also compile for the GPU harness.
//
// Kernel sources are written in a subset of Metal that maps onto C++ with a
// few macros (src/ypu/metal/kernels/prelude.metal gives their Metal forms):
// - every kernel parameter carries one attribute macro: QZ_BUFFER(i) for a
//   device or constant pointer, QZ_BYTES(i) for a `constant T&` set with
//   setBytes, QZ_THREADGROUP(i) for a threadgroup pointer sized with
//   setThreadgroupMemoryLength, and QZ_THREAD_POSITION_IN_GRID & co. for
//   the built-in positions. Here each macro becomes a default argument that
//   reads the running dispatch, so the harness calls every kernel with no
//   arguments;
// - a kernel is followed by QZ_REGISTER(name), which lists it by name;
// - threadgroup arrays are declared `qz_threadgroup T name[N];` (here a
//   thread-local static: a threadgroup's threads all run on one CPU thread,
//   one threadgroup after another);
// - `device`, `constant`, `thread` and `threadgroup` as pointer qualifiers.
//
// Provided: scalar and vector types (2, 3 and 4 lanes) with element-wise
// arithmetic, the usual math functions (also as metal::fast / precise),
// as_type, select, clamp, SIMD-group sums, extrema, shuffles and
// broadcasts, prefix sums, votes, threadgroup and SIMD-group barriers (over
// SIMD-groups as wide as the pipeline's threadExecutionWidth), and relaxed
// atomics. Add what a kernel needs here, with a case in
// tests/metal/harness_test.cc.
//
// The GPU program is built with fast math, under which the compiler may take
// every float that a maths function receives or returns to be a finite
// number: exp(-inf) need not be 0 there, nor max(-inf, x) be x, and isnan is
// folded to false. The harness would compute such cases exactly and hide
// the fault, so a float maths function here (metal:: and fast::, the float
// min, max and clamp, and the SIMD-group extrema through them) stops the test
// program when it meets an infinity or a NaN. The precise:: forms keep their
// IEEE meaning and are exempt; arithmetic operators, comparisons, select and
// as_type are not checked (kernels test classes on the bits, see
// src/ypu/metal/kernels/float_bits.metal).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "gpu_harness/grid.h"
#include "gpu_harness/metal_launch.h"

namespace qz_metal_emu {
namespace metal {

using uint = unsigned int;
using ushort = unsigned short;
using uchar = unsigned char;
using ulong = unsigned long;
using half = _Float16;

// --- vectors ----------------------------------------------------------------

template <class T, int N>
struct vec;

template <class T>
struct vec<T, 2> {
  T x, y;
  constexpr vec() : x(), y() {}
  constexpr vec(T s) : x(s), y(s) {}
  constexpr vec(T a, T b) : x(a), y(b) {}
  template <class U>
  explicit constexpr vec(const vec<U, 2> &o) : x(T(o.x)), y(T(o.y)) {}
  T &operator[](int i) { return i == 0 ? x : y; }
  const T &operator[](int i) const { return i == 0 ? x : y; }
};

template <class T>
struct vec<T, 3> {
  T x, y, z;
  constexpr vec() : x(), y(), z() {}
  constexpr vec(T s) : x(s), y(s), z(s) {}
  constexpr vec(T a, T b, T c) : x(a), y(b), z(c) {}
  template <class U>
  explicit constexpr vec(const vec<U, 3> &o) : x(T(o.x)), y(T(o.y)), z(T(o.z)) {}
  T &operator[](int i) { return i == 0 ? x : i == 1 ? y : z; }
  const T &operator[](int i) const { return i == 0 ? x : i == 1 ? y : z; }
  vec<T, 2> xy() const { return {x, y}; }
};

template <class T>
struct vec<T, 4> {
  T x, y, z, w;
  constexpr vec() : x(), y(), z(), w() {}
  constexpr vec(T s) : x(s), y(s), z(s), w(s) {}
  constexpr vec(T a, T b, T c, T d) : x(a), y(b), z(c), w(d) {}
  template <class U>
  explicit constexpr vec(const vec<U, 4> &o) : x(T(o.x)), y(T(o.y)), z(T(o.z)), w(T(o.w)) {}
  T &operator[](int i) { return i == 0 ? x : i == 1 ? y : i == 2 ? z : w; }
  const T &operator[](int i) const { return i == 0 ? x : i == 1 ? y : i == 2 ? z : w; }
};

template <class T>
struct is_vec : std::false_type {};
template <class T, int N>
struct is_vec<vec<T, N>> : std::true_type {};

#define QZ_METAL_VECTORS(T)   \
  using T##2 = vec<T, 2>;     \
  using T##3 = vec<T, 3>;     \
  using T##4 = vec<T, 4>;
QZ_METAL_VECTORS(float)
QZ_METAL_VECTORS(half)
QZ_METAL_VECTORS(int)
QZ_METAL_VECTORS(uint)
QZ_METAL_VECTORS(short)
QZ_METAL_VECTORS(ushort)
QZ_METAL_VECTORS(char)
QZ_METAL_VECTORS(uchar)
QZ_METAL_VECTORS(bool)
#undef QZ_METAL_VECTORS

template <class T, int N, class F>
vec<T, N> map(const vec<T, N> &a, F f) {
  vec<T, N> r;
  for (int i = 0; i < N; ++i) r[i] = f(a[i]);
  return r;
}

#define QZ_METAL_VEC_OP(op)                                                  \
  template <class T, int N>                                                  \
  vec<T, N> operator op(const vec<T, N> &a, const vec<T, N> &b) {            \
    vec<T, N> r;                                                             \
    for (int i = 0; i < N; ++i) r[i] = static_cast<T>(a[i] op b[i]);        \
    return r;                                                                \
  }                                                                          \
  template <class T, int N, class S, class = std::enable_if_t<!is_vec<S>::value>> \
  vec<T, N> operator op(const vec<T, N> &a, S s) {                           \
    return a op vec<T, N>(static_cast<T>(s));                                \
  }                                                                          \
  template <class T, int N, class S, class = std::enable_if_t<!is_vec<S>::value>> \
  vec<T, N> operator op(S s, const vec<T, N> &b) {                           \
    return vec<T, N>(static_cast<T>(s)) op b;                                \
  }                                                                          \
  template <class T, int N, class S>                                         \
  vec<T, N> &operator op##=(vec<T, N> &a, const S &b) {                      \
    return a = a op b;                                                       \
  }
QZ_METAL_VEC_OP(+)
QZ_METAL_VEC_OP(-)
QZ_METAL_VEC_OP(*)
QZ_METAL_VEC_OP(/)
QZ_METAL_VEC_OP(&)
QZ_METAL_VEC_OP(|)
QZ_METAL_VEC_OP(^)
QZ_METAL_VEC_OP(<<)
QZ_METAL_VEC_OP(>>)
#undef QZ_METAL_VEC_OP

template <class T, int N>
vec<T, N> operator-(const vec<T, N> &a) {
  return map(a, [](T v) { return static_cast<T>(-v); });
}

template <class T, int N>
T dot(const vec<T, N> &a, const vec<T, N> &b) {
  T s = a[0] * b[0];
  for (int i = 1; i < N; ++i) s += a[i] * b[i];
  return s;
}

// --- scalar and element-wise functions ---------------------------------------

template <class T, class U>
T as_type(const U &v) {
  static_assert(sizeof(T) == sizeof(U), "as_type keeps the size");
  T r;
  std::memcpy(&r, &v, sizeof(T));
  return r;
}

// A float that a fast-math maths function meets: an infinity or a NaN stops
// the test program (see the head of this file).
inline float fast_math_value(const char *function, float v) {
  if (!std::isfinite(v)) fast_math_fault(function, v);
  return v;
}

// What a precise:: form takes and gives, unchecked.
inline float precise_value(const char *, float v) { return v; }

template <class T>
T min(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    return fast_math_value("min", std::fmin(fast_math_value("min", a), fast_math_value("min", b)));
  else return b < a ? b : a;
}
template <class T>
T max(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    return fast_math_value("max", std::fmax(fast_math_value("max", a), fast_math_value("max", b)));
  else return a < b ? b : a;
}
template <class T>
T clamp(T x, T lo, T hi) {
  return min(max(x, lo), hi);
}
template <class T>
T select(T a, T b, bool c) {
  return c ? b : a;
}
template <class T>
T abs(T v) {
  if constexpr (std::is_floating_point_v<T>) return std::fabs(fast_math_value("abs", v));
  else return v < 0 ? static_cast<T>(-v) : v;
}
inline float saturate(float v) { return clamp(v, 0.0f, 1.0f); }
inline float rsqrt(float v) {
  return fast_math_value("rsqrt", 1.0f / std::sqrt(fast_math_value("rsqrt", v)));
}
inline float sign(float v) { return v > 0.0f ? 1.0f : v < 0.0f ? -1.0f : v; }
inline float mix(float a, float b, float t) { return a + (b - a) * t; }
template <class T>
T popcount(T v) {
  return static_cast<T>(std::popcount(static_cast<std::make_unsigned_t<T>>(v)));
}
template <class T>
T clz(T v) {
  return static_cast<T>(std::countl_zero(static_cast<std::make_unsigned_t<T>>(v)));
}
template <class T>
T ctz(T v) {
  return static_cast<T>(std::countr_zero(static_cast<std::make_unsigned_t<T>>(v)));
}
inline int mulhi(int a, int b) { return static_cast<int>((int64_t{a} * b) >> 32); }
inline uint mulhi(uint a, uint b) { return static_cast<uint>((uint64_t{a} * b) >> 32); }

// QZ_METAL_CHECKED(function, value) is the fast-math check of the forms
// being defined (nothing for the precise ones).
#define QZ_METAL_UNARY(name, expr)                           \
  inline float name(float x) {                               \
    QZ_METAL_CHECKED(#name, x);                              \
    return QZ_METAL_CHECKED(#name, expr);                    \
  }                                                          \
  template <int N>                                           \
  vec<float, N> name(const vec<float, N> &a) {               \
    return map(a, [](float x) { return name(x); });          \
  }
#define QZ_METAL_BINARY(name, expr)                          \
  inline float name(float x, float y) {                      \
    QZ_METAL_CHECKED(#name, x);                              \
    QZ_METAL_CHECKED(#name, y);                              \
    return QZ_METAL_CHECKED(#name, expr);                    \
  }
#define QZ_METAL_UNARY_SET \
  QZ_METAL_UNARY(exp, std::exp(x)) \
  QZ_METAL_UNARY(exp2, std::exp2(x)) \
  QZ_METAL_UNARY(log, std::log(x)) \
  QZ_METAL_UNARY(log2, std::log2(x)) \
  QZ_METAL_UNARY(sqrt, std::sqrt(x)) \
  QZ_METAL_UNARY(tanh, std::tanh(x)) \
  QZ_METAL_UNARY(sin, std::sin(x)) \
  QZ_METAL_UNARY(cos, std::cos(x)) \
  QZ_METAL_UNARY(floor, std::floor(x)) \
  QZ_METAL_UNARY(ceil, std::ceil(x)) \
  QZ_METAL_UNARY(round, std::round(x)) \
  QZ_METAL_UNARY(rint, std::nearbyint(x)) \
  QZ_METAL_UNARY(trunc, std::trunc(x)) \
  QZ_METAL_UNARY(fabs, std::fabs(x))
#define QZ_METAL_BINARY_SET \
  QZ_METAL_BINARY(pow, std::pow(x, y)) \
  QZ_METAL_BINARY(powr, std::pow(x, y)) \
  QZ_METAL_BINARY(divide, x / y)
#define QZ_METAL_CHECKED(function, value) fast_math_value(function, value)
QZ_METAL_UNARY_SET
QZ_METAL_BINARY_SET
QZ_METAL_BINARY(fmin, std::fmin(x, y))
QZ_METAL_BINARY(fmax, std::fmax(x, y))
QZ_METAL_BINARY(fmod, std::fmod(x, y))
QZ_METAL_BINARY(copysign, std::copysign(x, y))
inline float fma(float a, float b, float c) {
  return fast_math_value("fma", std::fma(fast_math_value("fma", a), fast_math_value("fma", b),
                                         fast_math_value("fma", c)));
}
// Under fast math the compiler answers these for a finite number, so an
// argument that is not one stops the test as above.
inline bool isnan(float x) { return std::isnan(fast_math_value("isnan", x)); }
inline bool isinf(float x) { return std::isinf(fast_math_value("isinf", x)); }
inline bool isfinite(float x) { return std::isfinite(fast_math_value("isfinite", x)); }
inline bool signbit(float x) { return std::signbit(x); }

// The fast-math and precise forms: the harness computes both exactly, so
// tests of kernels that the GPU compiles with fast math compare within the
// fast forms' error bounds. Only the precise forms take infinities and NaNs.
namespace fast {
QZ_METAL_UNARY_SET
QZ_METAL_BINARY_SET
}  // namespace fast
#undef QZ_METAL_CHECKED
#define QZ_METAL_CHECKED(function, value) precise_value(function, value)
namespace precise {
QZ_METAL_UNARY_SET
QZ_METAL_BINARY_SET
}  // namespace precise
#undef QZ_METAL_CHECKED
#undef QZ_METAL_BINARY_SET
#undef QZ_METAL_UNARY_SET
#undef QZ_METAL_BINARY
#undef QZ_METAL_UNARY

// --- barriers, SIMD-groups ----------------------------------------------------

enum class mem_flags : unsigned { mem_none = 0, mem_device = 1, mem_threadgroup = 2, mem_texture = 4 };
inline mem_flags operator|(mem_flags a, mem_flags b) {
  return static_cast<mem_flags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

inline void threadgroup_barrier(mem_flags) { qz_gpu_harness::barrier_block(); }
inline void simdgroup_barrier(mem_flags) {
  qz_gpu_harness::barrier_warp(qz_gpu_harness::live_lanes());
}

// The running SIMD-group's width: the pipeline's threadExecutionWidth.
inline int simd_width() { return qz_gpu_harness::current().warp_size; }

// Calls f(i) for every lane i of `mask`, in lane order (the mask has no lane
// past the SIMD-group's width).
template <class F>
void for_each_lane(uint64_t mask, F f) {
  for (; mask != 0; mask &= mask - 1) f(std::countr_zero(mask));
}

// Every live lane of the SIMD-group publishes its value; f(x, mask, lane)
// then reads lane i's value as x(i) for the lanes of `mask`, those that took
// part.
template <class T, class F>
auto simd_gather(T value, F f) {
  static_assert(sizeof(T) <= sizeof(uint64_t), "SIMD-group values are at most 8 bytes");
  const uint64_t mask = qz_gpu_harness::live_lanes();
  uint64_t *slots = qz_gpu_harness::warp_slots();
  const int lane = qz_gpu_harness::current().lane;
  std::memcpy(&slots[lane], &value, sizeof(T));
  qz_gpu_harness::barrier_warp(mask);
  const auto x = [slots](int i) {
    T v;
    std::memcpy(&v, &slots[i], sizeof(T));
    return v;
  };
  auto result = f(x, mask, lane);
  qz_gpu_harness::barrier_warp(mask);
  return result;
}

// Whether lane `source` of the SIMD-group took part (an index past the
// width names no lane).
inline bool simd_lane_live(uint64_t mask, int source) {
  return source >= 0 && source < qz_gpu_harness::kMaxWarpSize && (mask >> source & 1);
}

// The live lanes' values combined with `op` in lane order, from the first.
template <class T, class Op>
T simd_fold(T v, Op op) {
  return simd_gather(v, [&](const auto &x, uint64_t mask, int) {
    T r = x(std::countr_zero(mask));
    for_each_lane(mask & (mask - 1), [&](int i) { r = op(r, x(i)); });
    return r;
  });
}
// Sums in lane order; the hardware's order is unspecified, so tests bound
// the difference rather than compare bits.
template <class T>
T simd_sum(T v) {
  return simd_fold(v, [](T a, T b) { return a + b; });
}
template <class T>
T simd_max(T v) {
  return simd_fold(v, [](T a, T b) { return max(a, b); });
}
template <class T>
T simd_min(T v) {
  return simd_fold(v, [](T a, T b) { return min(a, b); });
}
template <class T>
T simd_prefix_exclusive_sum(T v) {
  return simd_gather(v, [](const auto &x, uint64_t mask, int lane) {
    T s{};
    for_each_lane(mask & ((uint64_t{1} << lane) - 1), [&](int i) { s += x(i); });
    return s;
  });
}
template <class T>
T simd_prefix_inclusive_sum(T v) {
  return simd_gather(v, [](const auto &x, uint64_t mask, int lane) {
    T s{};
    for_each_lane(mask & (~uint64_t{0} >> (63 - lane)), [&](int i) { s += x(i); });
    return s;
  });
}
// A lane that reads an absent lane keeps its own value.
template <class T>
T simd_shuffle(T v, ushort source) {
  return simd_gather(v, [&](const auto &x, uint64_t mask, int lane) {
    return simd_lane_live(mask, source) ? x(source) : x(lane);
  });
}
template <class T>
T simd_broadcast(T v, ushort source) {
  return simd_shuffle(v, source);
}
template <class T>
T simd_shuffle_down(T v, ushort delta) {
  return simd_gather(v, [&](const auto &x, uint64_t mask, int lane) {
    const int s = lane + delta;
    return simd_lane_live(mask, s) ? x(s) : x(lane);
  });
}
template <class T>
T simd_shuffle_up(T v, ushort delta) {
  return simd_gather(v, [&](const auto &x, uint64_t mask, int lane) {
    const int s = lane - delta;
    return simd_lane_live(mask, s) ? x(s) : x(lane);
  });
}
template <class T>
T simd_shuffle_xor(T v, ushort lane_mask) {
  return simd_gather(v, [&](const auto &x, uint64_t mask, int lane) {
    const int s = lane ^ lane_mask;
    return simd_lane_live(mask, s) ? x(s) : x(lane);
  });
}
inline bool simd_any(bool p) {
  return simd_fold(p, [](bool a, bool b) { return a || b; });
}
inline bool simd_all(bool p) {
  return simd_fold(p, [](bool a, bool b) { return a && b; });
}

// --- atomics (threadgroups run one at a time, so plain read-modify-writes) ---

enum memory_order { memory_order_relaxed };

template <class T>
struct atomic {
  T value;
};
using atomic_int = atomic<int>;
using atomic_uint = atomic<uint>;
using atomic_float = atomic<float>;

template <class T, class U>
T atomic_fetch_add_explicit(atomic<T> *a, U v, memory_order) {
  const T old = a->value;
  a->value = static_cast<T>(old + static_cast<T>(v));
  return old;
}
template <class T, class U>
T atomic_fetch_sub_explicit(atomic<T> *a, U v, memory_order) {
  const T old = a->value;
  a->value = static_cast<T>(old - static_cast<T>(v));
  return old;
}
template <class T, class U>
T atomic_fetch_max_explicit(atomic<T> *a, U v, memory_order) {
  const T old = a->value;
  a->value = max(old, static_cast<T>(v));
  return old;
}
template <class T, class U>
T atomic_fetch_min_explicit(atomic<T> *a, U v, memory_order) {
  const T old = a->value;
  a->value = min(old, static_cast<T>(v));
  return old;
}
template <class T, class U>
T atomic_exchange_explicit(atomic<T> *a, U v, memory_order) {
  const T old = a->value;
  a->value = static_cast<T>(v);
  return old;
}
template <class T>
T atomic_load_explicit(const atomic<T> *a, memory_order) {
  return a->value;
}
template <class T, class U>
void atomic_store_explicit(atomic<T> *a, U v, memory_order) {
  a->value = static_cast<T>(v);
}
template <class T, class U>
bool atomic_compare_exchange_weak_explicit(atomic<T> *a, T *expected, U desired, memory_order,
                                           memory_order) {
  if (a->value == *expected) {
    a->value = static_cast<T>(desired);
    return true;
  }
  *expected = a->value;
  return false;
}

}  // namespace metal

// --- kernel arguments ---------------------------------------------------------

// A buffer argument: converts to the parameter's pointer type.
struct buffer_arg {
  int index;
  template <class T>
  operator T *() const {
    const bindings &b = *running().args;
    return static_cast<T *>(b.buffer[index] ? b.buffer[index] : const_cast<void *>(b.bytes[index]));
  }
};
// A setBytes argument: binds the parameter's constant reference.
struct bytes_arg {
  int index;
  template <class T>
  operator const T &() const {
    const bindings &b = *running().args;
    return *static_cast<const T *>(b.bytes[index] ? b.bytes[index] : b.buffer[index]);
  }
};
// A threadgroup-memory argument: its part of the block's dynamic memory.
struct threadgroup_arg {
  int index;
  template <class T>
  operator T *() const {
    return reinterpret_cast<T *>(static_cast<char *>(qz_gpu_harness::dynamic_shared()) +
                                 running().threadgroup_offset[index]);
  }
};
// A built-in position: converts to uint, ushort or their 2- and 3-lane forms.
struct position_arg {
  qz_gpu_harness::dim3_t v;
  template <class T>
  operator T() const {
    if constexpr (metal::is_vec<T>::value) {
      T r;
      r.x = static_cast<decltype(r.x)>(v.x);
      r.y = static_cast<decltype(r.y)>(v.y);
      if constexpr (sizeof(T) / sizeof(r.x) >= 3) r.z = static_cast<decltype(r.x)>(v.z);
      return r;
    } else {
      return static_cast<T>(v.x);
    }
  }
};

inline position_arg thread_position_in_threadgroup() {
  return {qz_gpu_harness::current().thread_idx};
}
inline position_arg threadgroup_position_in_grid() { return {running().group}; }
inline position_arg threads_per_threadgroup() { return {qz_gpu_harness::current().block_dim}; }
inline position_arg threadgroups_per_grid() { return {running().groups}; }
inline position_arg threads_per_grid() { return {running().grid_threads}; }
inline position_arg thread_position_in_grid() {
  const dispatch_state &d = running();
  const qz_gpu_harness::dim3_t t = qz_gpu_harness::current().thread_idx;
  return {{d.group.x * d.nominal.x + t.x, d.group.y * d.nominal.y + t.y,
           d.group.z * d.nominal.z + t.z}};
}
inline position_arg thread_index_in_threadgroup() {
  return {{static_cast<uint32_t>(qz_gpu_harness::current().linear), 0, 0}};
}
inline position_arg thread_index_in_simdgroup() {
  return {{static_cast<uint32_t>(qz_gpu_harness::current().lane), 0, 0}};
}
inline position_arg simdgroup_index_in_threadgroup() {
  return {{static_cast<uint32_t>(qz_gpu_harness::current().warp), 0, 0}};
}
inline position_arg threads_per_simdgroup() {
  return {{static_cast<uint32_t>(metal::simd_width()), 0, 0}};
}
inline position_arg simdgroups_per_threadgroup() {
  const qz_gpu_harness::dim3_t b = qz_gpu_harness::current().block_dim;
  const uint32_t n = b.x * b.y * b.z, w = static_cast<uint32_t>(metal::simd_width());
  return {{(n + w - 1) / w, 0, 0}};
}

}  // namespace qz_metal_emu

// The language's words. Defined last, so no standard header sees them.
#define kernel
#define device
#define constant const
#define thread
#define threadgroup
#define qz_threadgroup static thread_local

#define QZ_BUFFER(i) = ::qz_metal_emu::buffer_arg{i}
#define QZ_BYTES(i) = ::qz_metal_emu::bytes_arg{i}
#define QZ_THREADGROUP(i) = ::qz_metal_emu::threadgroup_arg{i}
#define QZ_THREAD_POSITION_IN_GRID = ::qz_metal_emu::thread_position_in_grid()
#define QZ_THREAD_POSITION_IN_THREADGROUP = ::qz_metal_emu::thread_position_in_threadgroup()
#define QZ_THREADGROUP_POSITION_IN_GRID = ::qz_metal_emu::threadgroup_position_in_grid()
#define QZ_THREADS_PER_THREADGROUP = ::qz_metal_emu::threads_per_threadgroup()
#define QZ_THREADGROUPS_PER_GRID = ::qz_metal_emu::threadgroups_per_grid()
#define QZ_THREADS_PER_GRID = ::qz_metal_emu::threads_per_grid()
#define QZ_THREAD_INDEX_IN_THREADGROUP = ::qz_metal_emu::thread_index_in_threadgroup()
#define QZ_THREAD_INDEX_IN_SIMDGROUP = ::qz_metal_emu::thread_index_in_simdgroup()
#define QZ_SIMDGROUP_INDEX_IN_THREADGROUP = ::qz_metal_emu::simdgroup_index_in_threadgroup()
#define QZ_THREADS_PER_SIMDGROUP = ::qz_metal_emu::threads_per_simdgroup()
#define QZ_SIMDGROUPS_PER_THREADGROUP = ::qz_metal_emu::simdgroups_per_threadgroup()

#define QZ_REGISTER(name) \
  static const ::qz_metal_emu::registrar name##_registered{#name, [] { name(); }};
