// The CUDA column of the dispatch tables.
#include <gtest/gtest.h>

#include <set>

#include "gpu_harness/cuda_harness.h"
#include "ypu/ypu.h"

namespace {

// The operations whose CUDA entries this build has: the element-wise,
// broadcast and data-movement ops, the normalisation, reduction, softmax,
// fixed-point and weighting ops, and the attention, cache and top-k ops.
// The others run the host code.
const std::set<uint32_t> kCudaEntries = {
    0,  1,  2,  3,  4,  5,  6,  14, 15, 16, 17, 18, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,
    33, 34, 35, 36, 38, 39, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 54, 55, 56,
    57, 58, 59, 62, 65, 66, 69, 70, 71, 72, 74, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84, 86,
    87, 88, 89, 90, 91};

TEST(CudaDispatch, ColumnHoldsTheImplementedEntries) {
  const qz_ypu_backend_t &backend = qz_cuda_emu::QZ_YPU_CUDA_BACKEND;
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op)
    EXPECT_EQ(backend.execute[op] != nullptr, kCudaEntries.count(op) == 1) << "op " << op;
  EXPECT_EQ(backend.state_init, nullptr);
  EXPECT_EQ(backend.state_release, nullptr);
  EXPECT_NE(backend.device.device_list, nullptr);
#if defined(QZ_WITH_CUDA)
  const qz_ypu_backend_t *library = qz_ypu_backend(QZ_YPU_BACKEND_CUDA);
  ASSERT_NE(library, nullptr);
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op)
    EXPECT_EQ(library->execute[op] != nullptr, kCudaEntries.count(op) == 1) << "op " << op;
#endif
}

}  // namespace
