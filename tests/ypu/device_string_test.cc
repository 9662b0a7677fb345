#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "common/error.h"
#include "support/error_stack.h"
#include "ypu/cpu/device.h"

namespace {

int32_t default_threads() { return std::max(1, qz_ypu_cpu_usable_processor_count() / 2); }

std::string not_valid(const std::string &device) {
  return "0633a7d 00000322: " + device + " is not a valid device string";
}

// A number that does not read: the Part's refusal carries no message, so
// one names the string.
std::string bad_number(const std::string &quoted) {
  return "0633a7d 00000325: `" + quoted +
         "` is not a valid device string: the text after the colon must be a decimal number "
         "within 32 bits.";
}

#if defined(QZ_WITH_CUDA)
// The CUDA backend on a machine without a GPU driver: the device count
// cannot be had, and the message after 0x334 says so with the runtime's
// error (whose number and text depend on the machine: matched up to them).
constexpr qz_status_t kNoGpuStatus = QZ_STATUS_RUNTIME_ERROR;
const std::vector<std::string> kNoGpu = {
    "0633a7d 00000334: Failed to communicate with device.",
    "0633a7d 00000338: No CUDA driver or GPU was found (error *"};
const std::vector<std::string> kNoGpuMinus1 = kNoGpu;
const std::vector<std::string> kNoGpu1 = kNoGpu;
#else
// The build without the CUDA backend: no device is ever found.
constexpr qz_status_t kNoGpuStatus = QZ_STATUS_INVALID_ARGUMENT;
std::vector<std::string> out_of_range(int index) {
  return {"0633a7d 00000335: GPU device index `" + std::to_string(index) +
          "` is out of range. Found `0` available GPU devices."};
}
const std::vector<std::string> kNoGpu = out_of_range(0);
const std::vector<std::string> kNoGpuMinus1 = out_of_range(-1);
const std::vector<std::string> kNoGpu1 = out_of_range(1);
#endif

std::vector<std::string> then_callers(std::vector<std::string> messages) {
  messages.push_back(caller_message());
  messages.push_back(caller_message());
  return messages;
}

// Equal, where an expected message ending in '*' stands for any message that
// begins with the text before it.
bool same_stack(const std::vector<std::string> &got, const std::vector<std::string> &expected) {
  if (got.size() != expected.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    const std::string &e = expected[i];
    if (!e.empty() && e.back() == '*') {
      if (got[i].compare(0, e.size() - 1, e, 0, e.size() - 1) != 0) return false;
    } else if (got[i] != e) {
      return false;
    }
  }
  return true;
}

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
      // Numbers that are not whole decimal int32 values: refused, with a
      // message that names the string (its bytes escaped where they are not
      // UTF-8 or are control characters).
      {"cpu:4x", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:4x")}},
      {"cpu:abc", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:abc")}},
      {"cpu:4 ", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:4 ")}},
      {"cpu:-", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:-")}},
      {"cpu:99999999999", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:99999999999")}},
      {"cpu:99999999999999999999", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0,
       {bad_number("cpu:99999999999999999999")}},
      {"cpu:2147483648", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:2147483648")}},
      {"cpu:4294967297", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("cpu:4294967297")}},
      {"gpu:-2147483649", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("gpu:-2147483649")}},
      {"gpu:\xD9\xA3", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {bad_number("gpu:\xD9\xA3")}},
      {"cpu:\xFF\x01\xC3", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0,
       {bad_number("cpu:\\xFF\\x01\\xC3")}},
      // Thread counts the kernels cannot split work for.
      {"cpu:1025", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("cpu:1025")}},
      // Names that are no prefix of "cpu" or "gpu".
      {"cpux", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("cpux")}},
      {"cpux:2", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("cpux:2")}},
      {"CPU", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("CPU")}},
      {"best:1", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("best:1")}},
      {"gpu0", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("gpu0")}},
      {"\x80pu", "cpu:1", QZ_STATUS_INVALID_ARGUMENT, 0, {not_valid("\\x80pu")}},
      // No GPU on this machine (or in this build): the open fails.
      {"gpu", "cpu:1", kNoGpuStatus, 0, then_callers(kNoGpu)},
      {"g", "cpu:1", kNoGpuStatus, 0, then_callers(kNoGpu)},
      {"gpu:0", "cpu:1", kNoGpuStatus, 0, then_callers(kNoGpu)},
      {"gpu:1", "cpu:1", kNoGpuStatus, 0, then_callers(kNoGpu1)},
      {"gpu:-1", "cpu:1", kNoGpuStatus, 0, then_callers(kNoGpuMinus1)},
      // "best" falls back to "cpu" when the preferred string fails, and
      // then succeeds as any call does: the failed attempt leaves nothing.
      {"best", "bogus", QZ_STATUS_SUCCESS, half, {}},
      {"best", "gpu", QZ_STATUS_SUCCESS, half, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("device \"") + c.device + "\" preferred " + c.preferred);
    qz_ypu_context_t *context = nullptr;
    EXPECT_EQ(qz_ypu_context_from_device_string(c.device, c.preferred, &context), c.status);
    const std::vector<std::string> stack = take_error_stack();
    EXPECT_TRUE(same_stack(stack, c.messages)) << ::testing::PrintToString(stack);
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

// A long string is cut in its message, at a character, and marked so.
TEST(DeviceString, LongStringIsCutInItsMessage) {
  std::string device = "cpux";
  while (device.size() < 1000) device += "\xC3\xA9";
  qz_ypu_context_t *context = nullptr;
  EXPECT_EQ(qz_ypu_context_from_device_string(device.c_str(), "cpu:1", &context),
            QZ_STATUS_INVALID_ARGUMENT);
  const std::vector<std::string> stack = take_error_stack();
  ASSERT_EQ(stack.size(), 1u);
  const std::string tail = "... is not a valid device string";
  ASSERT_GT(stack[0].size(), tail.size());
  EXPECT_EQ(stack[0].substr(stack[0].size() - tail.size()), tail);
  const std::string quoted = stack[0].substr(18, stack[0].size() - 18 - tail.size());
  EXPECT_LE(quoted.size() + 3, QZ_ERROR_QUOTE_BYTES - 1);
  EXPECT_EQ(device.compare(0, quoted.size(), quoted), 0) << "a prefix of whole characters";
  EXPECT_EQ(quoted.size() % 2, 0u);
}

// A CPU device that cannot be had (its record's allocation fails) is said
// so, with the thread count, before the records without text.
TEST(DeviceString, CpuDeviceOutOfMemoryIsExplained) {
  qz_ypu_context_t *context = nullptr;
  qz_alloc_fail_at(1);
  EXPECT_EQ(qz_ypu_context_from_device_string("cpu:3", "cpu:1", &context),
            QZ_STATUS_OUT_OF_MEMORY);
  qz_alloc_fail_at(0);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{
                "0633a7d 00000326: Failed to create the CPU device for `cpu:3` (out of memory).",
                caller_message(), caller_message()}));
}

// "best" whose preferred device cannot be had falls back to "cpu"; the
// attempt's messages go with the success.
TEST(DeviceString, BestFallbackLeavesNoMessage) {
  qz_ypu_context_t *context = nullptr;
  qz_alloc_fail_at(1);
  EXPECT_EQ(qz_ypu_context_from_device_string("best", "cpu:1", &context), QZ_STATUS_SUCCESS);
  qz_alloc_fail_at(0);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{});
  qz_ypu_context_destroy(context);
}

}  // namespace
