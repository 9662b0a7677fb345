// Runs one operation twice: on the harness's CUDA device (its kernel, or the
// host code over mapped buffers) and on a host-only context, from the same
// inputs, so the two outputs can be compared.
#pragma once

#include <string>

#include "gpu_harness/cuda_context.h"
#include "gpu_harness/device_maths.h"
#include "gpu_harness/twin.h"

using twin = gpu_twin<cuda_context>;

inline const std::string kKernelFailed = "0633a7d 0000033C: Failed to execute gpu kernel.";

// What the GPU's expf (against the host's, each within its documented
// bound) adds to a softmax-weighted mean of values of at most `magnitude`
// when every weight passes through at most `exps` exponentials: the
// weights' relative error, in the sum and in the total, times the magnitude.
inline float softmax_maths_error(int exps, double magnitude) {
  using namespace qz_gpu_harness;
  return static_cast<float>(2 * exps *
                            (device_relative_error(kDeviceMaths.expf) +
                             device_relative_error(kHostMathsUlps)) *
                            magnitude);
}
