#include <vector>

#include <gtest/gtest.h>

#include "support/ypu_harness.h"
#include "ypu/params.h"

namespace {

class Elementwise : public testing::TestWithParam<ypu_backend> {};

TEST_P(Elementwise, AddF32InPlaceAndWithOffsets) {
  ypu_harness h(GetParam());
  std::vector<float> a = {0.f, 1.f, 2.f, 3.f, 4.f}, b = {10.f, 20.f, 30.f, 40.f, 50.f};
  qz_ypu_buffer_t *ba = h.buffer(a), *bb = h.buffer(b);
  // In place into `a`, skipping the first element of each operand.
  const qz_ypu_add_f32_params_t params{.out = ba, .a = ba, .b = bb, .count = 4,
                                       .out_offset = 4, .a_offset = 4, .b_offset = 4};
  ASSERT_EQ(h.run(QZ_YPU_OP_ADD_F32, &params), QZ_STATUS_SUCCESS);
  EXPECT_EQ(h.read<float>(ba, 5), (std::vector<float>{0.f, 21.f, 32.f, 43.f, 54.f}));
}

INSTANTIATE_TEST_SUITE_P(Backends, Elementwise, testing::ValuesIn(kAllYpuBackends),
                         [](const auto &info) { return ypu_backend_name(info.param); });

}  // namespace
