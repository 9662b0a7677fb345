// The front-end check's stand-in for src/ypu/metal/kernels/prelude.metal
// (scripts/check_metal_source.py): the Metal language as far as the kernels
// use it, in clang's C++ for OpenCL. Declare here only what Metal itself
// has, with Metal's signatures, and only once a kernel needs it: anything
// not declared fails the check, as it would fail on a Mac.

// Metal's address spaces are OpenCL's under other names.
#define device __global
#define threadgroup __local
#define constant __constant
#define thread __private
#define qz_threadgroup threadgroup
// OpenCL's other keywords are ordinary names in Metal (`private` is C++'s
// here too).
#define global qz_name_global
#define local qz_name_local
#define generic qz_name_generic
#define pipe qz_name_pipe
#define read_only qz_name_read_only
#define write_only qz_name_write_only
#define read_write qz_name_read_write
// OpenCL's own atomic_float is an _Atomic(float) that reads and writes like
// a float; Metal's is opaque to everything but the atomic functions.
#define atomic_float qz_metal_atomic_float

// Kernel parameters are references and structs, as in Metal.
#pragma OPENCL EXTENSION __cl_clang_non_portable_kernel_param_types : enable

// Argument and position attributes become annotations that the check reads
// from the syntax tree: the kind, then the binding index of an argument.
// Kinds: 1 a device or constant buffer, 2 setBytes data (one `buffer`
// index space with 1), 3 threadgroup memory, 10 a position or size (uint or
// ushort, scalar or of 2 or 3 lanes), 11 an index or count (uint or ushort).
#define QZ_METAL_ATTRIBUTE(...) __attribute__((annotate("qz_metal", __VA_ARGS__)))
#define QZ_BUFFER(i) QZ_METAL_ATTRIBUTE(1, i)
#define QZ_BYTES(i) QZ_METAL_ATTRIBUTE(2, i)
#define QZ_THREADGROUP(i) QZ_METAL_ATTRIBUTE(3, i)
#define QZ_THREAD_POSITION_IN_GRID QZ_METAL_ATTRIBUTE(10)
#define QZ_THREAD_POSITION_IN_THREADGROUP QZ_METAL_ATTRIBUTE(10)
#define QZ_THREADGROUP_POSITION_IN_GRID QZ_METAL_ATTRIBUTE(10)
#define QZ_THREADS_PER_THREADGROUP QZ_METAL_ATTRIBUTE(10)
#define QZ_THREADGROUPS_PER_GRID QZ_METAL_ATTRIBUTE(10)
#define QZ_THREADS_PER_GRID QZ_METAL_ATTRIBUTE(10)
#define QZ_THREAD_INDEX_IN_THREADGROUP QZ_METAL_ATTRIBUTE(11)
#define QZ_THREAD_INDEX_IN_SIMDGROUP QZ_METAL_ATTRIBUTE(11)
#define QZ_SIMDGROUP_INDEX_IN_THREADGROUP QZ_METAL_ATTRIBUTE(11)
#define QZ_THREADS_PER_SIMDGROUP QZ_METAL_ATTRIBUTE(11)
#define QZ_SIMDGROUPS_PER_THREADGROUP QZ_METAL_ATTRIBUTE(11)
#define QZ_REGISTER(name)

// No INFINITY (nor HUGE_VALF or MAXFLOAT's overflows): under fast math a
// maths function given an infinity is undefined, so a kernel that stores
// one makes it from its bits (float_bits.metal).

typedef unsigned char uchar;
typedef unsigned short ushort;
typedef unsigned int uint;
typedef unsigned long ulong;
typedef uint uint2 __attribute__((ext_vector_type(2)));
typedef uint uint3 __attribute__((ext_vector_type(3)));

namespace metal {

#define QZ_METAL_ORDERED(T) \
  T min(T, T);              \
  T max(T, T);              \
  T clamp(T, T, T);
QZ_METAL_ORDERED(char)
QZ_METAL_ORDERED(uchar)
QZ_METAL_ORDERED(short)
QZ_METAL_ORDERED(ushort)
QZ_METAL_ORDERED(int)
QZ_METAL_ORDERED(uint)
QZ_METAL_ORDERED(long)
QZ_METAL_ORDERED(ulong)
QZ_METAL_ORDERED(float)
#undef QZ_METAL_ORDERED

// No isnan or isinf: the program is built with fast math, under which they
// may be folded to false (float_bits.metal tests the bits instead).
float cos(float);
float exp(float);
float fabs(float);
float floor(float);
float pow(float, float);
float round(float);
float rsqrt(float);
float sin(float);
float sqrt(float);
float tanh(float);
namespace fast {
// No isnan or isinf: the program is built with fast math, under which they
// may be folded to false (float_bits.metal tests the bits instead).
float cos(float);
float exp(float);
float fabs(float);
float log(float);
float pow(float, float);
float sin(float);
float sqrt(float);
float tanh(float);
}  // namespace fast
namespace precise {
float sqrt(float);
}  // namespace precise

// Reinterprets the bits of a value of the same size.
template <class T, class U>
T as_type(U v) {
  static_assert(sizeof(T) == sizeof(U), "as_type keeps the size");
  return __builtin_bit_cast(T, v);
}

enum class mem_flags { mem_none = 0, mem_device = 1, mem_threadgroup = 2, mem_texture = 4 };
void threadgroup_barrier(mem_flags);
void simdgroup_barrier(mem_flags);

#define QZ_METAL_SIMD(T)    \
  T simd_sum(T);            \
  T simd_max(T);            \
  T simd_broadcast(T, ushort);
QZ_METAL_SIMD(int)
QZ_METAL_SIMD(uint)
QZ_METAL_SIMD(float)
#undef QZ_METAL_SIMD
bool simd_any(bool);

enum memory_order { memory_order_relaxed };
struct atomic_float {
 private:
  float opaque;
};
float atomic_fetch_add_explicit(volatile device atomic_float*, float, memory_order);
float atomic_fetch_add_explicit(volatile threadgroup atomic_float*, float, memory_order);

}  // namespace metal
using namespace metal;
