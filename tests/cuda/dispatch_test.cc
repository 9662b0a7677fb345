// The CUDA column of the dispatch tables.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gpu_harness/cuda_harness.h"
#include "ypu/ypu.h"

namespace {

// Every operation has a CUDA execute entry except the host-only composites
// and the int16 row sum: 88 entries.
const std::set<uint32_t> kHostOnly = {61, 63, 64, 67, 68, 73, 85};

// The ids whose presence in `backend` differs from the list, as text.
std::string column_differences(const qz_ypu_backend_t &backend) {
  std::string missing, extra;
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op) {
    const bool listed = kHostOnly.count(op) == 0, present = backend.execute[op] != nullptr;
    if (listed && !present) missing += " " + std::to_string(op);
    if (!listed && present) extra += " " + std::to_string(op);
  }
  return (missing.empty() ? "" : "missing:" + missing) + (extra.empty() ? "" : " extra:" + extra);
}

TEST(CudaColumn, HoldsEveryOpOfTheList) {
  ASSERT_EQ(QZ_YPU_OP_COUNT, 95u);
  ASSERT_EQ(QZ_YPU_OP_COUNT - kHostOnly.size(), 88u);
  const qz_ypu_backend_t &backend = qz_cuda_emu::QZ_YPU_CUDA_BACKEND;
  EXPECT_EQ(column_differences(backend), "");
  EXPECT_EQ(backend.state_init, nullptr);
  EXPECT_EQ(backend.state_release, nullptr);
  EXPECT_NE(backend.device.device_list, nullptr);
#if defined(QZ_WITH_CUDA)
  const qz_ypu_backend_t *library = qz_ypu_backend(QZ_YPU_BACKEND_CUDA);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(column_differences(*library), "");
#endif
}

}  // namespace
