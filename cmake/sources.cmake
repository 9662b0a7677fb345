# Library sources. Kernels for one instruction set live in files named after
# it and get exactly that set's flags; everything is built without
# floating-point contraction so that every implementation rounds the same way.
file(GLOB_RECURSE QZ_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/src/*.c)

# Each operating system's calls live in its own platform folder; POSIX ones
# are shared by Linux and macOS.
if(WIN32)
  list(FILTER QZ_SOURCES EXCLUDE REGEX "/src/platform/(linux|macos|posix)/")
elseif(APPLE)
  list(FILTER QZ_SOURCES EXCLUDE REGEX "/src/platform/(linux|windows)/")
else()
  list(FILTER QZ_SOURCES EXCLUDE REGEX "/src/platform/(macos|windows)/")
endif()
# The Metal backend is part of the macOS build only (the Linux tests compile
# it against a stand-in of the platform's object runtime, tests/CMakeLists.txt).
if(APPLE)
  include(cmake/metal.cmake)
  qz_metal_program_source(QZ_METAL_PROGRAM)
  list(APPEND QZ_SOURCES ${QZ_METAL_PROGRAM})
  set(QZ_WITH_METAL ON)
else()
  list(FILTER QZ_SOURCES EXCLUDE REGEX "/src/ypu/metal/")
  set(QZ_WITH_METAL OFF)
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(FILTER QZ_SOURCES EXCLUDE REGEX "_(neon|neondot|neonfp16)\\.cc$")
else()
  list(FILTER QZ_SOURCES EXCLUDE REGEX "_(sse41|avx|avx2|avx512)\\.cc$")
endif()

set(QZ_ISA_FLAGS_sse41 -msse4.1)
set(QZ_ISA_FLAGS_avx -mavx)
set(QZ_ISA_FLAGS_avx2 -mavx2)
set(QZ_ISA_FLAGS_avx512 -mavx512f)
if(QZ_ZIG_TARGET)
  # Zig's compiler names ARM64 extensions on -mcpu.
  set(QZ_ISA_FLAGS_neon -mcpu=generic)
  set(QZ_ISA_FLAGS_neondot -mcpu=generic+dotprod)
  set(QZ_ISA_FLAGS_neonfp16 -mcpu=generic+fullfp16)
else()
  set(QZ_ISA_FLAGS_neon -march=armv8-a+simd)
  set(QZ_ISA_FLAGS_neondot -march=armv8.2-a+dotprod)
  set(QZ_ISA_FLAGS_neonfp16 -march=armv8.2-a+fp16)
endif()

# Kernel files are optimised fully whatever the build type: their short
# fixed-count loops (8 columns of a tile, 16 rows of a block) must unroll, or
# decoded values go through the stack. -O3 changes no rounding here: without
# fast-math and with contraction off, the compiler keeps every operation and
# its order. Sanitizer builds keep their own level, for usable reports.
set(QZ_KERNEL_OPTIMIZE -O3)
if(QZ_SANITIZE)
  set(QZ_KERNEL_OPTIMIZE "")
endif()

function(qz_apply_kernel_flags target)
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math)
  foreach(source ${QZ_SOURCES})
    if(source MATCHES "_(sse41|avx|avx2|avx512|neon|neondot|neonfp16)\\.cc$")
      set_source_files_properties(${source} TARGET_DIRECTORY ${target}
        PROPERTIES COMPILE_OPTIONS "${QZ_ISA_FLAGS_${CMAKE_MATCH_1}};${QZ_KERNEL_OPTIMIZE}")
    elseif(source MATCHES "/src/ypu/cpu/lowbit/")
      set_source_files_properties(${source} TARGET_DIRECTORY ${target}
        PROPERTIES COMPILE_OPTIONS "${QZ_KERNEL_OPTIMIZE}")
    endif()
  endforeach()
endfunction()
