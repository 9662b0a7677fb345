// Runs one operation twice: on the harness's CUDA device (its kernel, or the
// host code over mapped buffers) and on a host-only context, from the same
// inputs, so the two outputs can be compared.
#pragma once

#include <string>

#include "gpu_harness/cuda_context.h"
#include "gpu_harness/twin.h"

using twin = gpu_twin<cuda_context>;

inline const std::string kKernelFailed = "0633a7d 0000033C: Failed to execute gpu kernel.";
