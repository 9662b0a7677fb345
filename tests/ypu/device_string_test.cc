#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/error_stack.h"
#include "ypu/cpu/device.h"

namespace {

int32_t default_threads() { return std::max(1, qz_ypu_cpu_usable_processor_count() / 2); }

std::string not_valid(const std::string &device) {
  return "0633a7d 00000322: " + device + " is not a valid device string";
}

#if defined(QZ_WITH_CUDA)
// The CUDA backend on a machine without a GPU driver: the device count
// cannot be had.
constexpr qz_status_t kNoGpuStatus = QZ_STATUS_RUNTIME_ERROR;
const std::string kNoGpu = "0633a7d 00000334: Failed to communicate with device.";
const std::string kNoGpuMinus1 = kNoGpu;
#else
// The build without the CUDA backend: no device is ever found.
constexpr qz_status_t kNoGpuStatus = QZ_STATUS_INVALID_ARGUMENT;
const std::string kNoGpu =
    "0633a7d 00000335: GPU device index `0` is out of range. Found `0` available GPU devices.";
const std::string kNoGpuMinus1 =
    "0633a7d 00000335: GPU device index `-1` is out of range. Found `0` available GPU devices.";
#endif

TEST(DeviceString, OutcomeTable) {
  const int32_t half = default_threads();
  struct {
    const char *device;
    const char *preferred;
    qz_status_t status;
    int32_t threads;  // of the CPU device when accepted
    std::vector<std::string> messages;
  } cases[] = {
      {"best", "cpu:1", QZ_STATUS_SUCCESS, 1, {}},
      {"", "cpu:1", QZ_STATUS_SUCCESS, half, {}},
      {"c", "cpu:1", QZ_STATUS_SUCCESS, half, {}},
      {"cp", "cpu:1", QZ_STATUS_SUCCESS, half, {}},
      {"cpu", "cpu:1", QZ_STATUS_SUCCESS, half, {}},
      {"cpu:", "cpu:1", QZ_STATUS_SUCCESS, half, {}},
      {"cpu:0", "cpu:1", QZ_STATUS_SUCCESS, half, {}},
      {"cpu:3", "cpu:1", QZ_STATUS_SUCCESS, 3, {}},
      {":4", "cpu:1", QZ_STATUS_SUCCESS, 4, {}},
      {"c:2", "cpu:1", QZ_STATUS_SUCCESS, 2, {}},
      {"cpu: 4", "cpu:1", QZ_STATUS_SUCCESS, 4, {}},
      {"cpu:+3", "cpu:1", QZ_STATUS_SUCCESS, 3, {}},
      {"cpu:1", "cpu:1", QZ_STATUS_SUCCESS, 1, {}},
      {"cpu:-1", "cpu:1", QZ_STATUS_SUCCESS, 1, {}},
      {"cpu:-5", "cpu:1", QZ_STATUS_SUCCESS, 1, {}},
      {"cpu:1024", "cpu:1", QZ_STATUS_SUCCESS, 1024, {}},
      // Numbers that are not whole decimal int32 values: refused, no message.
      {"cpu:4x", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"cpu:4 ", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"cpu:-", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"cpu:99999999999", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"cpu:99999999999999999999", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"cpu:2147483648", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"cpu:4294967297", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      {"gpu:-2147483649", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {}},
      // Thread counts the kernels cannot split work for.
      {"cpu:1025", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("cpu:1025")}},
      // Names that are no prefix of "cpu" or "gpu".
      {"cpux", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("cpux")}},
      {"cpux:2", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("cpux:2")}},
      {"CPU", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("CPU")}},
      {"best:1", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("best:1")}},
      {"gpu0", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("gpu0")}},
      // No GPU on this machine (or in this build): the open fails.
      {"gpu", "cpu:1", kNoGpuStatus, 0, {kNoGpu, caller_message(), caller_message()}},
      {"g", "cpu:1", kNoGpuStatus, 0, {kNoGpu, caller_message(), caller_message()}},
      {"gpu:0", "cpu:1", kNoGpuStatus, 0, {kNoGpu, caller_message(), caller_message()}},
      {"gpu:1", "cpu:1", kNoGpuStatus, 0,
       {kNoGpu == kNoGpuMinus1 ? kNoGpu
                               : "0633a7d 00000335: GPU device index `1` is out of range. Found "
                                 "`0` available GPU devices.",
        caller_message(), caller_message()}},
      {"gpu:-1", "cpu:1", kNoGpuStatus, 0, {kNoGpuMinus1, caller_message(), caller_message()}},
      // "best" falls back to "cpu" when the preferred string fails.
      {"best", "bogus", QZ_STATUS_SUCCESS, half, {not_valid("bogus")}},
      {"best", "gpu", QZ_STATUS_SUCCESS, half, {kNoGpu, caller_message(), caller_message()}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("device \"") + c.device + "\" preferred " + c.preferred);
    qz_ypu_context_t *context = nullptr;
    EXPECT_EQ(qz_ypu_context_from_device_string(c.device, c.preferred, &context), c.status);
    EXPECT_EQ(take_error_stack(), c.messages);
    if (c.status != QZ_STATUS_SUCCESS) {
      EXPECT_EQ(context, nullptr);
      continue;
    }
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->backend, QZ_YPU_BACKEND_CPU);
    EXPECT_EQ(context->refcount, 1);
    auto device = static_cast<qz_ypu_cpu_device_t *>(context->device);
    EXPECT_EQ(device->threads, c.threads);
    EXPECT_EQ(device->pool != nullptr, c.threads > 1);
    qz_ypu_context_destroy(context);
  }
}

}  // namespace
