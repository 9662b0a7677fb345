// The CUDA execute entries (see entries.inc for the list).
#pragma once

#include "ypu/ypu.h"
#include "ypu/cuda/runtime.h"

QZ_CUDA_BEGIN
#define QZ_YPU_CUDA_ENTRY(NAME, name, family) \
  qz_status_t qz_ypu_cuda_##name(void *device, void *state, const void *params);
#include "ypu/cuda/entries.inc"
#undef QZ_YPU_CUDA_ENTRY

// Ops 5 and 6 score up to 128 new rows a pass (or the n there are), each row
// needing heads x visible keys floats of one buffer; fewer when so many
// would pass the largest buffer (many heads over a long ring), and 0 when
// not even one row's fit (the call is then left to the host).
inline int32_t qz_ypu_cuda_ring_chunk_rows(int32_t heads, int32_t visible, int32_t n) {
  const int64_t row_bytes = int64_t{heads} * visible * 4;
  int64_t rows = row_bytes > 0 ? INT32_MAX / row_bytes : 0;
  if (rows > 128) rows = 128;
  if (rows > n) rows = n;
  return static_cast<int32_t>(rows);
}
QZ_CUDA_END
