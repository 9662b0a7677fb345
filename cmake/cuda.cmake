# The CUDA backend. With QZ_WITH_CUDA on, every kernel module (one per op
# listed in src/ypu/cuda/entries.inc, from its family's .cu file) is compiled
# by nvcc into compute-capability 7.5 machine code with PTX beside it, and
# the objects go into the library with the static CUDA runtime, so the
# library needs only the driver at run time. With it off,
# the no-device stand-in (src/ypu/cuda/absent.cc) takes the backend's place.
# Either way the tests run the same kernel sources on the CPU through the
# GPU harness (tests/support/gpu_harness).
# The CUDA backend belongs to the Linux x86-64 build only.
find_program(QZ_NVCC nvcc HINTS /usr/local/cuda/bin $ENV{CUDA_HOME}/bin)
if(QZ_NVCC AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  set(QZ_WITH_CUDA_DEFAULT ON)
else()
  set(QZ_WITH_CUDA_DEFAULT OFF)
endif()
option(QZ_WITH_CUDA "Build the CUDA backend with nvcc" ${QZ_WITH_CUDA_DEFAULT})

file(GLOB QZ_CUDA_MODULES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/ypu/cuda/*.cu)
set(QZ_CUDA_OBJECTS "")

if(NOT QZ_WITH_CUDA)
  list(FILTER QZ_SOURCES EXCLUDE REGEX "/src/ypu/cuda/(device|backend|runtime_cudart)\\.cc$")
  return()
endif()

if(NOT QZ_NVCC)
  message(FATAL_ERROR "QZ_WITH_CUDA is on but nvcc was not found")
endif()
set(CUDAToolkit_ROOT "${QZ_NVCC}/../..")
find_package(CUDAToolkit REQUIRED)
list(FILTER QZ_SOURCES EXCLUDE REGEX "/src/ypu/cuda/absent\\.cc$")

# nvcc goes through ccache as the C++ compilers do (QZ_CCACHE).
set(QZ_NVCC_LAUNCHER "")
if(QZ_CCACHE AND QZ_CCACHE_PROGRAM)
  set(QZ_NVCC_LAUNCHER ${QZ_CCACHE_PROGRAM})
endif()

# No fused multiply-add contraction, exact division and square root: the
# kernels round as the host and CPU code that share their formulas do.
set(QZ_NVCC_FLAGS
  -std=c++20 -O3 -fmad=false -prec-div=true -prec-sqrt=true -ftz=false
  --default-stream legacy
  -gencode arch=compute_75,code=sm_75 -gencode arch=compute_75,code=compute_75
  -Xcompiler=-fPIC,-ffp-contract=off,-fvisibility=hidden
  -I${CMAKE_CURRENT_SOURCE_DIR}/src -I${CMAKE_CURRENT_SOURCE_DIR}/include)

# The GPU program holds one module per operation with a CUDA entry, plus the
# compatibility test's module. The family files hold the code; each op's
# module is its family file compiled with only that op kept (see kernel.h),
# so nvcc runs once per op, in parallel and through ccache.
set(QZ_CUDA_ENTRY_LIST ${CMAKE_CURRENT_SOURCE_DIR}/src/ypu/cuda/entries.inc)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QZ_CUDA_ENTRY_LIST})
file(STRINGS ${QZ_CUDA_ENTRY_LIST} entries REGEX "^QZ_YPU_CUDA_ENTRY\\(")
set(QZ_CUDA_OP_MODULES "")
foreach(entry ${entries})
  if(NOT entry MATCHES "^QZ_YPU_CUDA_ENTRY\\(([A-Z0-9_]+), *([a-z0-9_]+), *([a-z_]+)\\)")
    message(FATAL_ERROR "entries.inc: cannot read \"${entry}\"")
  endif()
  set(op ${CMAKE_MATCH_1})
  set(family ${CMAKE_CURRENT_SOURCE_DIR}/src/ypu/cuda/${CMAKE_MATCH_3}.cu)
  if(NOT EXISTS ${family})
    message(FATAL_ERROR "entries.inc: ${op} names a missing family file ${family}")
  endif()
  list(APPEND QZ_CUDA_OP_MODULES "${op}|${family}")
endforeach()
list(APPEND QZ_CUDA_OP_MODULES "|${CMAKE_CURRENT_SOURCE_DIR}/src/ypu/cuda/compatibility.cu")

foreach(module ${QZ_CUDA_OP_MODULES})
  string(REPLACE "|" ";" module ${module})
  list(GET module 0 op)
  list(GET module 1 source)
  get_filename_component(family ${source} NAME_WE)
  if(op)
    string(TOLOWER ${op} name)
    set(defines -DQZ_CUDA_ONE_OP=1 -DQZ_CUDA_OP_${op}=1)
  else()
    set(name ${family})
    set(defines "")
  endif()
  set(object ${CMAKE_CURRENT_BINARY_DIR}/cuda/${family}/${name}.o)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${QZ_NVCC_LAUNCHER} ${QZ_NVCC} ${QZ_NVCC_FLAGS} ${defines} -MD -MF ${object}.d
            -c ${source} -o ${object}
    # Two ops' modules may hold kernels and helpers of one name (each its
    # own): only the execute entries leave the object.
    COMMAND ${CMAKE_OBJCOPY} --wildcard --keep-global-symbol=qz_ypu_cuda_*
            --keep-global-symbol=_Z*qz_ypu_cuda_* ${object}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "nvcc ${family}.cu (${name})"
    VERBATIM)
  list(APPEND QZ_CUDA_OBJECTS ${object})
endforeach()
set_source_files_properties(${QZ_CUDA_OBJECTS} PROPERTIES EXTERNAL_OBJECT ON GENERATED ON)
