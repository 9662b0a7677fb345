// The committed English-to-German model translating on the stand-in Metal
// device end to end: the operations with Metal entries run their kernels on
// the GPU harness, the others the host code over the shared buffers, and the
// texts are those the CPU gives (tests/model_en_de).
#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"
#include "qz_norvo.h"
#include "support/translation.h"
#include "support/error_stack.h"
#include "support/metal_standin.h"
#include "ypu/metal/device.h"
#include "test_paths.h"

namespace {

constexpr const char *MODEL_PATH = QZ_SOURCE_DIR "/models/en-de.qz";

struct translation_case {
  const char *source;
  const char *expected;
};

// A label, a sentence with a slash and one with punctuation: a few are
// enough (each runs every kernel of a translation on the harness, also
// under the sanitizers).
constexpr translation_case CASES[] = {
    {"Save Document", "Dokument speichern"},
    {"Pacific/Kiritimati", "Pazifik/Kiritimati"},
    {"Display line numbers", "Zeilennummern anzeigen"},
};

TEST(MetalTranslate, GivesTheCpuTranslations) {
  qz_metal_standin::reset();
  qz_ypu_metal_device_t *device = nullptr;
  ASSERT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
  qz_ypu_backend_install_test(&QZ_YPU_METAL_BACKEND);
  qz_ypu_context_t *context = nullptr;
  ASSERT_EQ(qz_ypu_context_create(QZ_YPU_BACKEND_TEST, device, &context), QZ_STATUS_SUCCESS);
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_init_on_context(MODEL_PATH, context, &engine), QZ_STATUS_SUCCESS)
      << testing::PrintToString(take_error_stack());
  for (const translation_case &c : CASES) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(translate_text(engine, c.source), c.expected);
  }
  EXPECT_FALSE(qz_metal_standin::standin().dispatches.empty()) << "no kernel ran on the device";
  qz_norvo_delete(engine);  // destroys the context, which closes the device
  qz_ypu_backend_install_test(nullptr);
  EXPECT_EQ(qz_metal_standin::standin().violations, std::vector<std::string>{});
  EXPECT_EQ(qz_metal_standin::standin().live_objects, 0);
}

}  // namespace
