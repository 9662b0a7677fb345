# The CUDA backend. With QZ_WITH_CUDA on, every kernel module in src/ypu/cuda
# (*.cu) is compiled by nvcc into compute-capability 7.5 machine code with
# PTX beside it, and the objects go into the library with the static CUDA
# runtime, so the library needs only the driver at run time. With it off,
# the no-device stand-in (src/ypu/cuda/absent.cc) takes the backend's place.
# Either way the tests run the same kernel sources on the CPU through the
# GPU harness (tests/support/gpu_harness).
find_program(QZ_NVCC nvcc HINTS /usr/local/cuda/bin $ENV{CUDA_HOME}/bin)
if(QZ_NVCC)
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

foreach(module ${QZ_CUDA_MODULES})
  get_filename_component(name ${module} NAME_WE)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/cuda/${name}.o)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${QZ_NVCC_LAUNCHER} ${QZ_NVCC} ${QZ_NVCC_FLAGS} -MD -MF ${object}.d
            -c ${module} -o ${object}
    DEPENDS ${module}
    DEPFILE ${object}.d
    COMMENT "nvcc ${name}.cu"
    VERBATIM)
  list(APPEND QZ_CUDA_OBJECTS ${object})
endforeach()
set_source_files_properties(${QZ_CUDA_OBJECTS} PROPERTIES EXTERNAL_OBJECT ON GENERATED ON)
