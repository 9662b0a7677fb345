// NEON repack table's transforms: the split-row layout, byte for byte the
// SSE4.1 one, written by the plain routine both tables share.
#include "ypu/cpu/lowbit/kernels.h"

void qz_ypu_cpu_lowbit_repack_neon_3b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_3b(tile); }
void qz_ypu_cpu_lowbit_repack_neon_4b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_4b(tile); }
void qz_ypu_cpu_lowbit_repack_neon_5b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_5b(tile); }
void qz_ypu_cpu_lowbit_repack_neon_6b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_6b(tile); }
void qz_ypu_cpu_lowbit_repack_neon_7b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_7b(tile); }
void qz_ypu_cpu_lowbit_repack_neon_8b(uint8_t *tile) { qz_ypu_cpu_lowbit_split_rows_8b(tile); }
