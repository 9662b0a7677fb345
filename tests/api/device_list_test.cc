#include <sys/sysinfo.h>

#include <string>

#include <gtest/gtest.h>

#include "qz_norvo.h"
#include "support/error_stack.h"

namespace {

TEST(DeviceList, OnlyTheCpuLineWithoutGpus) {
  char **devices = nullptr;
  int32_t count = -1;
  ASSERT_EQ(qz_norvo_list_hardware_devices(&devices, &count), QZ_STATUS_SUCCESS);
  ASSERT_EQ(count, 1);
  const std::string p = std::to_string(get_nprocs_conf());
  EXPECT_EQ(std::string(devices[0]), "cpu:[0-" + p + "] - CPU (" + p + " threads)");
  qz_norvo_free_hardware_devices(devices, count);
  qz_norvo_free_hardware_devices(nullptr, 3);
}

TEST(DeviceList, NullArguments) {
  int32_t count = 0;
  char **devices = nullptr;
  EXPECT_EQ(qz_norvo_list_hardware_devices(nullptr, &count), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000064: Argument `hardware_devices` is NULL."});
  EXPECT_EQ(qz_norvo_list_hardware_devices(&devices, nullptr), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(),
            std::vector<std::string>{"0633a7d 00000064: Argument `num_hardware_devices` is NULL."});
}

TEST(Engine, VersionAndTranslationDelete) {
  EXPECT_STREQ(qz_norvo_version(), "1.1.0");
  qz_norvo_translation_delete(nullptr, nullptr);
  qz_norvo_translation_delete(nullptr, static_cast<char *>(malloc(8)));
}

}  // namespace
