// SSE4.1 split-row repack transforms (the layout is described in
// split_rows.h).
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/split_rows.h"

void qz_ypu_cpu_lowbit_repack_sse41_3b(uint8_t *tile) { to_split_rows<3>(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_4b(uint8_t *tile) { to_split_rows<4>(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_5b(uint8_t *tile) { to_split_rows<5>(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_6b(uint8_t *tile) { to_split_rows<6>(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_7b(uint8_t *tile) { to_split_rows<7>(tile); }
void qz_ypu_cpu_lowbit_repack_sse41_8b(uint8_t *tile) { to_split_rows<8>(tile); }
