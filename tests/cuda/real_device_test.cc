// The library's real CUDA backend on this machine, which has no GPU driver:
// every way of reaching a GPU fails as on any machine without one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qz_norvo.h"
#include "support/error_stack.h"
#include "ypu/ypu.h"

namespace {

#if defined(QZ_WITH_CUDA)
constexpr bool kWithCuda = true;
#else
constexpr bool kWithCuda = false;
#endif

const std::string kCommunicate = "0633a7d 00000334: Failed to communicate with device.";
const std::string kNoDriver = "0633a7d 00000338: No CUDA driver or GPU was found (error ";

class RealCuda : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kWithCuda) GTEST_SKIP() << "built without the CUDA backend (QZ_WITH_CUDA=OFF)";
    take_error_stack();
  }
};

TEST_F(RealCuda, GpuStringsFailWithoutADriver) {
  for (const char *device : {"gpu", "gpu:1"}) {
    SCOPED_TRACE(device);
    qz_ypu_context_t *context = nullptr;
    EXPECT_EQ(qz_ypu_context_from_device_string(device, "cpu", &context), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(context, nullptr);
    const std::vector<std::string> stack = take_error_stack();
    ASSERT_EQ(stack.size(), 4u);
    EXPECT_EQ(stack[0], kCommunicate);
    EXPECT_EQ(stack[1].rfind(kNoDriver, 0), 0u) << stack[1];
    EXPECT_EQ(stack[2], caller_message());
    EXPECT_EQ(stack[3], caller_message());
  }
}

// The listing succeeds and leaves no message: a failure after it on the
// same thread shows its own cause first, not the missing driver.
TEST_F(RealCuda, DeviceListHasOnlyTheCpuLineAndLeavesNoMessage) {
  char **devices = nullptr;
  int32_t count = -1;
  ASSERT_EQ(qz_norvo_list_hardware_devices(&devices, &count), QZ_STATUS_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::string(devices[0]).rfind("cpu:", 0), 0u);
  qz_norvo_free_hardware_devices(devices, count);
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_translate(engine, "text", nullptr), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000064: Argument `object` is NULL."});
}

}  // namespace
