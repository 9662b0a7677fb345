// Real translations with the committed English-to-German demo model, so
// that a change to a kernel, the search or the tokenizer that alters what a
// trained network says shows up here, not only in synthetic fixtures.
//
// The sentences and their recorded texts are in support/en_de_sentences.h
// (the Windows lane translates them through the DLL too). The low-bit kernel
// sets round differently (SSE4.1, AVX and AVX2 quantise activations to 8
// bits at 1 to 4 bits of weight, the baseline and AVX-512F sets do not; the
// ARM64 NEON, half-precision and dot-product sets quantise like SSE4.1 but
// use fused multiply-adds and pairwise group sums, so their results differ
// from the x86 ones in the last bits); these sentences translate the same
// with every set of both families, and each set is run here by narrowing
// the flags of the devices the engine opens.
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "qz_norvo.h"
#include "support/en_de_sentences.h"
#include "support/translation.h"
#include "ypu/cpu/device.h"
#include "ypu/cpu/lowbit/kernels.h"
#include "test_paths.h"

namespace {

constexpr const char *MODEL_PATH = QZ_SOURCE_DIR "/models/en-de.qz";

struct kernel_set {
  const char *name;
  uint32_t flags;
};
void PrintTo(const kernel_set &s, std::ostream *out) { *out << s.name; }
#if defined(__aarch64__)
// The ARM64 sets round differently again (fused multiply-adds, pairwise
// group sums; the NEON, half-precision and dot-product sets quantise
// activations at 1 to 4 bits of weight like SSE4.1).
constexpr kernel_set SETS[] = {
    {"base", 0},
    {"neon", QZ_YPU_CPU_ISA_NEON},
    {"neon_fp16", QZ_YPU_CPU_ISA_NEON | QZ_YPU_CPU_ISA_NEON_FP16},
    {"neon_dot", QZ_YPU_CPU_ISA_NEON | QZ_YPU_CPU_ISA_NEON_DOTPROD | QZ_YPU_CPU_ISA_NEON_FP16},
};
#else
constexpr kernel_set SETS[] = {
    {"base", 0},
    {"sse41", QZ_YPU_CPU_ISA_SSE41},
    {"avx", QZ_YPU_CPU_ISA_SSE41 | QZ_YPU_CPU_ISA_AVX},
    {"avx2", QZ_YPU_CPU_ISA_SSE41 | QZ_YPU_CPU_ISA_AVX | QZ_YPU_CPU_ISA_AVX2},
    {"avx512", QZ_YPU_CPU_ISA_SSE41 | QZ_YPU_CPU_ISA_AVX | QZ_YPU_CPU_ISA_AVX2 |
                   QZ_YPU_CPU_ISA_AVX512F},
};
#endif

class TranslateEnDe : public ::testing::TestWithParam<std::tuple<std::string, kernel_set>> {
 protected:
  void SetUp() override {
    const auto &[device, set] = GetParam();
    const uint32_t have = qz_ypu_cpu_detect_isa();
    if (set.flags != ~0u && (have & set.flags) != set.flags)
      GTEST_SKIP() << "this processor lacks the " << set.name << " set";
    qz_ypu_cpu_mask_isa_flags(set.flags);
    ASSERT_EQ(qz_norvo_init(MODEL_PATH, device.c_str(), &engine_), QZ_STATUS_SUCCESS) << MODEL_PATH;
  }
  void TearDown() override {
    qz_norvo_delete(engine_);
    qz_ypu_cpu_mask_isa_flags(~0u);
  }
  qz_norvo_t *engine_ = nullptr;
};

// One engine translates every sentence in turn, so a pass that leaves state
// behind (caches, search rows) for the next one fails here as well; the
// first sentence comes again at the end for the same reason.
TEST_P(TranslateEnDe, GivesTheRecordedTranslations) {
  const kernel_set &set = std::get<1>(GetParam());
  // The processor's own flags pick its widest low-bit set.
  std::string name = set.name;
  if (set.flags == ~0u) {
    switch (qz_ypu_cpu_lowbit_choose(qz_ypu_cpu_detect_isa())) {
      case QZ_YPU_CPU_LOWBIT_NEON: name = "neon"; break;
      case QZ_YPU_CPU_LOWBIT_NEON_FP16: name = "neon_fp16"; break;
      case QZ_YPU_CPU_LOWBIT_NEON_DOT: name = "neon_dot"; break;
      default: break;
    }
  }
  for (const qz_en_de_case &c : QZ_EN_DE_CASES) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(translate_text(engine_, c.source), qz_en_de_expected(name, c));
  }
  EXPECT_EQ(translate_text(engine_, QZ_EN_DE_CASES[0].source), QZ_EN_DE_CASES[0].expected);
}

// White space alone comes back as it is; the trained network would
// otherwise answer the tokenizer's pieces for it with words of its own.
TEST(TranslateEnDeBlank, WhiteSpaceComesBackUnchanged) {
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_init(MODEL_PATH, "cpu:1", &engine), QZ_STATUS_SUCCESS) << MODEL_PATH;
  for (const char *text : {" ", "\t\t", "\n\n\n", " \xC2\xA0 ", "\xE3\x80\x80",
                           "\xE2\x80\x8B", "\t \xE2\x80\x8B\n"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_EQ(translate_text(engine, text), text);
  }
  // Text around the white space is translated as ever.
  const std::string open = translate_text(engine, " Open the file. ");
  EXPECT_NE(open, " Open the file. ");
  EXPECT_NE(open.rfind("<status", 0), 0u) << open;
  qz_norvo_delete(engine);
}

// Every kernel set on one thread, and the processor's own set on a pool of
// two (thread counts do not change results; more pools would only slow the
// sanitizer run down, and more threads than cores make the pool's spinning
// workers wait on each other).
std::vector<std::tuple<std::string, kernel_set>> devices() {
  std::vector<std::tuple<std::string, kernel_set>> all;
  for (const kernel_set &set : SETS) all.emplace_back("cpu:1", set);
  all.emplace_back("cpu:2", kernel_set{"all", ~0u});
  return all;
}

INSTANTIATE_TEST_SUITE_P(Devices, TranslateEnDe, ::testing::ValuesIn(devices()),
                         [](const auto &info) {
                           return "threads_" + std::get<0>(info.param).substr(4) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
