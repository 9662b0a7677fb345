// The GPU program's copies of the fixed-point tables, with the values the
// host's tables have (src/ypu/fixed_point_tables.inc, which the program text
// holds before this file).
constant short QZ_SIGMOID_TABLE[257] = {QZ_SIGMOID_TABLE_VALUES};
constant int QZ_EXP_LSB_TABLE[128] = {QZ_EXP_LSB_TABLE_VALUES};
constant int QZ_EXP_MSB_TABLE[128] = {QZ_EXP_MSB_TABLE_VALUES};
