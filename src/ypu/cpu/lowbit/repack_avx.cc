// AVX repack table's transforms: the SSE4.1 split-row layout byte for byte,
// written by the plain routine in split_rows.cc.
#include "ypu/cpu/lowbit/kernels.h"

void qz_ypu_cpu_lowbit_repack_avx_3b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_3b(tile); }
void qz_ypu_cpu_lowbit_repack_avx_4b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_4b(tile); }
void qz_ypu_cpu_lowbit_repack_avx_5b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_5b(tile); }
void qz_ypu_cpu_lowbit_repack_avx_6b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_6b(tile); }
void qz_ypu_cpu_lowbit_repack_avx_7b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_7b(tile); }
void qz_ypu_cpu_lowbit_repack_avx_8b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_8b(tile); }
