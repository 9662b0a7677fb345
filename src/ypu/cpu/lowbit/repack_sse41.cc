// SSE4.1 repack table's transforms: the split-row layout, written by the
// plain routine in split_rows.cc that the AVX and NEON tables share.
#include "ypu/cpu/lowbit/kernels.h"

void qz_ypu_cpu_lowbit_repack_sse41_3b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_3b(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_4b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_4b(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_5b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_5b(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_6b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_6b(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_7b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_7b(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_8b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_8b(tile); }
