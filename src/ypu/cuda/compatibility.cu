// The compatibility test: an empty kernel in a module of its own, launched
// once at device open. If the driver cannot load this module's code, it
// cannot load any of the others either.
#include "ypu/cuda/kernel.h"

QZ_CUDA_BEGIN

QZ_CUDA_KERNEL void compatibility_test_kernel() {}

void qz_ypu_cuda_compatibility_test_launch() {
  qz_cuda_launch(compatibility_test_kernel, {1, 1, 1}, {1, 1, 1});
}

QZ_CUDA_END
