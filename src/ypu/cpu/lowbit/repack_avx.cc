// AVX split-row repack transforms: the SSE4.1 layout byte for byte, from
// the same routine compiled with the AVX flags (VEX-encoded).
#include "ypu/cpu/lowbit/kernels.h"
#include "ypu/cpu/lowbit/split_rows.h"

void qz_ypu_cpu_lowbit_repack_avx_3b(uint8_t *tile) { to_split_rows<3>(tile); }
void qz_ypu_cpu_lowbit_repack_avx_4b(uint8_t *tile) { to_split_rows<4>(tile); }
void qz_ypu_cpu_lowbit_repack_avx_5b(uint8_t *tile) { to_split_rows<5>(tile); }
void qz_ypu_cpu_lowbit_repack_avx_6b(uint8_t *tile) { to_split_rows<6>(tile); }
void qz_ypu_cpu_lowbit_repack_avx_7b(uint8_t *tile) { to_split_rows<7>(tile); }
void qz_ypu_cpu_lowbit_repack_avx_8b(uint8_t *tile) { to_split_rows<8>(tile); }
