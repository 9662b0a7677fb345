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

// Follow the records above where those carry no text or no detail.
inline constexpr qz_error_record_t QZ_YPU_ERROR_DEVICE_NUMBER{
    0x325,
    "`%s` is not a valid device string: the text after the colon must be a decimal number "
    "within 32 bits."};
inline constexpr qz_error_record_t QZ_YPU_ERROR_CPU_DEVICE{
    0x326, "Failed to create the CPU device for `%s` (%s)."};
