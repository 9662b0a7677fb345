// Error records of the compute-device layer.
#pragma once

#include "common/error.h"

inline constexpr qz_error_record_t QZ_YPU_ERROR_OPERATOR{0x321, "Failed to %s operator"};
inline constexpr qz_error_record_t QZ_YPU_ERROR_DEVICE_STRING{0x322,
                                                              "%s is not a valid device string"};
inline constexpr qz_error_record_t QZ_YPU_ERROR_CONTEXT_MEMORY{
    0x323, "Failed to allocate, out of memory."};
inline constexpr qz_error_record_t QZ_YPU_ERROR_GPU_INDEX{
    0x335, "GPU device index `%d` is out of range. Found `%d` available GPU devices."};
