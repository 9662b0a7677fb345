// The DLL as a Windows application uses it: through the public header and
// the import library only, on the processor scripts/lane_wine.sh emulates.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qz_norvo.h"
#include "support/emulated_system.h"
#include "support/en_de_sentences.h"
#include "support/public_error_stack.h"
#include "support/translation.h"
#include "test_paths.h"

namespace {

const std::string kModel = std::string(QZ_SOURCE_DIR) + "/models/en-de.qz";

// The default device ("cpu": half the processors) with the kernels the
// processor's flags choose: the dot-product set where Windows reports the
// dot-product instructions, else NEON. The texts are those of the aarch64
// Linux build.
TEST(WindowsDll, TranslatesTheDemoSentences) {
  const qz_emulated_system expected = emulated_system();
  ASSERT_TRUE(expected.known) << QZ_EMULATED_SYSTEM_UNSET;
  const std::string set = (expected.isa_flags & 0x40) ? "neon_dot" : "neon";
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_init(kModel.c_str(), "cpu", &engine), QZ_STATUS_SUCCESS)
      << kModel << "\n" << testing::PrintToString(read_public_error_stack());
  for (const qz_en_de_case &c : QZ_EN_DE_CASES) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(translate_text(engine, c.source), qz_en_de_expected(set, c));
  }
  qz_norvo_delete(engine);
}

TEST(WindowsDll, ListsTheProcessorsWindowsReports) {
  const qz_emulated_system expected = emulated_system();
  ASSERT_TRUE(expected.known) << QZ_EMULATED_SYSTEM_UNSET;
  char **devices = nullptr;
  int32_t count = 0;
  ASSERT_EQ(qz_norvo_list_hardware_devices(&devices, &count), QZ_STATUS_SUCCESS);
  ASSERT_EQ(count, 1);  // no GPU backend on Windows
  const std::string n = std::to_string(expected.processors);
  EXPECT_EQ(std::string(devices[0]), "cpu:[0-" + n + "] - CPU (" + n + " threads)");
  qz_norvo_free_hardware_devices(devices, count);
}

// Each refusal gives its status and a stack of readable messages, innermost
// first, ending with the creation's own record.
TEST(WindowsDll, RefusalsGiveTheirStatusAndMessages) {
  const std::string missing = "C:/no_such_folder/model.qz";
  const std::string caller = "0633a7d 0000012C: Velthrane Error.";
  const struct {
    const char *name;
    std::string path;
    const char *device;
    qz_status_t status;
    std::vector<std::string> messages;
  } cases[] = {
      {"missing model file", missing, "cpu", QZ_STATUS_IO_ERROR,
       {"0633a7d 000000C9: Failed to open file `" + missing + "`.", "0633a7d 00000136: 2524b28"}},
      {"unknown device", kModel, "tpu", QZ_STATUS_INVALID_ARGUMENT,
       {"0633a7d 00000322: tpu is not a valid device string", caller}},
      {"thread count not a number", kModel, "cpu:x", QZ_STATUS_INVALID_ARGUMENT,
       {"0633a7d 00000325: `cpu:x` is not a valid device string: the text after the colon must "
        "be a decimal number within 32 bits.",
        caller}},
      // The Windows build has no GPU backend.
      {"gpu", kModel, "gpu", QZ_STATUS_INVALID_ARGUMENT,
       {"0633a7d 00000322: gpu is not a valid device string", caller}},
      {"gpu with an index", kModel, "gpu:0", QZ_STATUS_INVALID_ARGUMENT,
       {"0633a7d 00000322: gpu:0 is not a valid device string", caller}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto *const untouched = reinterpret_cast<qz_norvo_t *>(0x40);
    qz_norvo_t *engine = untouched;
    EXPECT_EQ(qz_norvo_init(c.path.c_str(), c.device, &engine), c.status);
    EXPECT_EQ(engine, nullptr);
    const std::vector<std::string> messages = read_public_error_stack();
    EXPECT_EQ(messages, c.messages);
    for (const std::string &m : messages) EXPECT_TRUE(message_is_well_formed(m)) << m;
  }
}

}  // namespace
