// Opens the GPU program: every other file of this folder follows it, in the
// order of cmake/metal.cmake, as one Metal source. The kernel files use these macros for their
// parameters' attributes so that the same files also compile as C++ for the
// tests (tests/support/gpu_harness/metal_emu.h gives the C++ forms). They
// include nothing themselves, and their names are global to the program.
#include <metal_stdlib>
using namespace metal;

#define qz_threadgroup threadgroup

#define QZ_BUFFER(i) [[buffer(i)]]
#define QZ_BYTES(i) [[buffer(i)]]
#define QZ_THREADGROUP(i) [[threadgroup(i)]]
#define QZ_THREAD_POSITION_IN_GRID [[thread_position_in_grid]]
#define QZ_THREAD_POSITION_IN_THREADGROUP [[thread_position_in_threadgroup]]
#define QZ_THREADGROUP_POSITION_IN_GRID [[threadgroup_position_in_grid]]
#define QZ_THREADS_PER_THREADGROUP [[threads_per_threadgroup]]
#define QZ_THREADGROUPS_PER_GRID [[threadgroups_per_grid]]
#define QZ_THREADS_PER_GRID [[threads_per_grid]]
#define QZ_THREAD_INDEX_IN_THREADGROUP [[thread_index_in_threadgroup]]
#define QZ_THREAD_INDEX_IN_SIMDGROUP [[thread_index_in_simdgroup]]
#define QZ_SIMDGROUP_INDEX_IN_THREADGROUP [[simdgroup_index_in_threadgroup]]
#define QZ_THREADS_PER_SIMDGROUP [[threads_per_simdgroup]]
#define QZ_SIMDGROUPS_PER_THREADGROUP [[simdgroups_per_threadgroup]]

#define QZ_REGISTER(name)
