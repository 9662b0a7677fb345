// The committed English-to-German model translating on the harness's GPU
// device end to end: operations with a CUDA entry run their kernels on the
// CPU harness, the others the host code over mapped device buffers. The
// expected texts are the CPU's (tests/model_en_de).
#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"
#include "gpu_harness/cuda_context.h"
#include "qz_norvo.h"
#include "support/translation.h"
#include "test_paths.h"

namespace {

constexpr const char *MODEL_PATH = QZ_SOURCE_DIR "/models/en-de.qz";


// A few sentences of the CPU test's list: a short label, curly quotes and
// an apostrophe, and a longer sentence (the sanitizer build runs this too).
TEST(CudaTranslate, HarnessDeviceGivesTheCpuTexts) {
  struct translation_case {
    const char *source, *expected;
  } cases[] = {
      {"Save Document", "Dokument speichern"},
      {"Don’t Save", "Nicht speichern"},
      {"Show “Bcc” field when sending a mail message",
       "Das Feld »Blindkopie an« beim Verfassen einer Nachricht anzeigen"},
      {"Converts a hexadecimal number to a binary number",
       "Wandelt eine Hexadezimalzahl in eine Binärzahl um"},
  };
  cuda_context gpu;
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_init_on_context(MODEL_PATH, gpu.share_context(), &engine),
            QZ_STATUS_SUCCESS);
  for (const translation_case &c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(translate_text(engine, c.source), c.expected);
  }
  qz_norvo_delete(engine);
  EXPECT_GT(gpu.runtime().calls(qz_gpu_harness::cuda_call::launch_kernel), 0);
}

}  // namespace
