// The constant tables of the fixed-point element functions. Every entry is
// the double-precision value rounded to nearest (sigmoid: 32767 / (1 + e^-k/16);
// exponentials: 2147483647 * e^-i/1024 and 2147483647 * e^-i/8); they are
// data, never rebuilt at run time, and GPU programs carry byte-identical
// copies.
#include "ypu/fixed_point.h"
#include "ypu/fixed_point_tables.inc"

const int16_t QZ_SIGMOID_TABLE[QZ_SIGMOID_TABLE_SIZE] = {QZ_SIGMOID_TABLE_VALUES};

const int32_t QZ_EXP_LSB_TABLE[QZ_EXP_TABLE_SIZE] = {QZ_EXP_LSB_TABLE_VALUES};

const int32_t QZ_EXP_MSB_TABLE[QZ_EXP_TABLE_SIZE] = {QZ_EXP_MSB_TABLE_VALUES};
