// Creating, querying and destroying engines through the public interface.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "engine/engine.h"
#include "engine/test_models.h"
#include "qz_norvo.h"
#include "ypu/cpu/device.h"
#include "support/error_stack.h"
#include "support/output_capture.h"

namespace {

std::string message(unsigned code, const std::string &text) {
  char head[32];
  std::snprintf(head, sizeof head, "0633a7d %08X: ", code);
  return head + text;
}
std::string null_argument(const std::string &name) {
  return message(0x64, "Argument `" + name + "` is NULL.");
}
std::string invalid(const std::string &name) {
  return message(0x65, "Argument `" + name + "` is invalid.");
}

// A model file in the test's temporary directory, removed at the end.
class model_file {
 public:
  explicit model_file(const std::vector<uint8_t> &bytes, const std::string &tag = "model")
      : path_(::testing::TempDir() + "engine_" + tag + "_" + std::to_string(getpid()) + ".qz") {
    EXPECT_TRUE(test_models::save(bytes, path_));
  }
  explicit model_file(const model_record &model) : model_file(write_model(model).data()) {}
  ~model_file() { std::remove(path_.c_str()); }
  const char *path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(EngineInit, NullArgumentsAreNamedInOrder) {
  model_file model(test_models::abc_model());
  qz_norvo_t *engine = nullptr;
  struct null_case {
    const char *path, *device;
    qz_norvo_t **object;
    const char *name;
  };
  const null_case cases[] = {
      {nullptr, nullptr, nullptr, "model_path"},
      {model.path(), nullptr, nullptr, "device"},
      {model.path(), "cpu", nullptr, "object"},
      {nullptr, "cpu", &engine, "model_path"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(qz_norvo_init(k.path, k.device, k.object), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{null_argument(k.name)}));
  }
}

TEST(EngineInit, RefusedDeviceEndsWithTheCallerRecord) {
  model_file model(test_models::abc_model());
  qz_norvo_t *engine = nullptr;
  EXPECT_EQ(qz_norvo_init(model.path(), "cpux:2", &engine), QZ_STATUS_INVALID_ARGUMENT);
  const auto stack = take_error_stack();
  ASSERT_GE(stack.size(), 2u);
  EXPECT_EQ(stack.back(), caller_message(0x12c));
}

// Whatever fails, the output is null afterwards: an application that
// initialises it to something else (or not at all) never keeps a stale value.
TEST(EngineInit, EveryFailureLeavesTheOutputNull) {
  model_file model(test_models::abc_model());
  const auto bytes = write_model(test_models::abc_model()).data();
  model_file cut(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40), "cut");
  struct failing_init {
    const char *name;
    const char *device;
    const char *path;
    int fail_allocation;  // 0: none
  };
  const std::string missing = ::testing::TempDir() + "no_such_model.qz";
  const failing_init cases[] = {
      {"null model path", "cpu", nullptr, 0},
      {"null device", nullptr, model.path(), 0},
      {"name no prefix of cpu or gpu", "cpux:2", model.path(), 0},
      {"number that does not read", "cpu:abc", model.path(), 0},
      {"number out of range", "cpu:99999999999", model.path(), 0},
      {"too many threads", "cpu:1025", model.path(), 0},
      {"no GPU", "gpu:7", model.path(), 0},
      {"CPU device out of memory", "cpu:2", model.path(), 1},
      {"missing file", "cpu:1", missing.c_str(), 0},
      {"truncated file", "cpu:1", cut.path(), 0},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    qz_norvo_t *engine = reinterpret_cast<qz_norvo_t *>(0x1);
    qz_alloc_fail_at(k.fail_allocation);
    EXPECT_NE(qz_norvo_init(k.path, k.device, &engine), QZ_STATUS_SUCCESS);
    qz_alloc_fail_at(0);
    EXPECT_EQ(engine, nullptr);
    EXPECT_TRUE(has_explanation(take_error_stack()));
  }
}

TEST(EngineInit, MissingFileNamesThePath) {
  const std::string path = ::testing::TempDir() + "no_such_model.qz";
  qz_norvo_t *engine = reinterpret_cast<qz_norvo_t *>(0x1);
  EXPECT_EQ(qz_norvo_init(path.c_str(), "cpu", &engine), QZ_STATUS_IO_ERROR);
  EXPECT_EQ(engine, nullptr);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{message(0xc9, "Failed to open file `" + path + "`."),
                                      site_message("2524b28")}));
}

// A file cut at the start of each section fails in that section: its site
// code comes right before the creation's own.
TEST(EngineInit, EachSectionReportsItsSiteCode) {
  const model_bytes bytes = write_model(test_models::abc_model());
  const std::pair<const char *, const char *> sections[] = {
      {"header", "9a0af96"},  {"output", "611a66d"},   {"token", "35f2ccf"},
      {"position", "35f2ccf"}, {"encoder", "f4e18c0"}, {"decoder", "de72bca"},
      {"language", "8404cd1"}, {"tokenizer", "96dfe58"},
  };
  for (const auto &[mark, site] : sections) {
    SCOPED_TRACE(mark);
    std::vector<uint8_t> cut(bytes.data().begin(), bytes.data().begin() + long(bytes.at(mark)));
    model_file model(cut, mark);
    qz_norvo_t *engine = nullptr;
    EXPECT_EQ(qz_norvo_init(model.path(), "cpu:1", &engine), QZ_STATUS_IO_ERROR);
    EXPECT_EQ(engine, nullptr);
    const auto stack = take_error_stack();
    ASSERT_GE(stack.size(), 2u);
    EXPECT_EQ(stack[stack.size() - 2], site_message(site));
    EXPECT_EQ(stack.back(), site_message("2524b28"));
  }
  {
    SCOPED_TRACE("tokenizer kind");
    std::vector<uint8_t> bad(bytes.data().begin(),
                             bytes.data().begin() + long(bytes.at("tokenizer")));
    for (uint8_t b : {3, 0, 0, 0}) bad.push_back(b);
    model_file model(bad, "kind");
    qz_norvo_t *engine = nullptr;
    EXPECT_EQ(qz_norvo_init(model.path(), "cpu:1", &engine), QZ_STATUS_INVALID_ARGUMENT);
    const auto stack = take_error_stack();
    ASSERT_GE(stack.size(), 2u);
    EXPECT_EQ(stack[stack.size() - 2], site_message("96dfe58"));
    EXPECT_EQ(stack.back(), site_message("2524b28"));
  }
}

// Ids the search would use outside a row of logits, or a length that leaves
// no room for a predicted position, are refused when the engine is made.
TEST(EngineInit, RefusesModelsTheSearchCannotRun) {
  struct model_case {
    const char *name;
    void (*change)(model_record &);
    std::string cause;
  };
  const model_case cases[] = {
      {"start id past the vocabulary", [](model_record &m) { m.start_id = 16; }, invalid("start_id")},
      {"negative start id", [](model_record &m) { m.start_id = -1; }, invalid("start_id")},
      {"end id past the vocabulary", [](model_record &m) { m.end_id = 16; }, invalid("end_id")},
      {"negative end id", [](model_record &m) { m.end_id = -5; }, invalid("end_id")},
      {"output length 1", [](model_record &m) { m.max_output_length = 1; },
       invalid("max_output_length")},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    model_record m = test_models::abc_model();
    k.change(m);
    model_file model(m);
    qz_norvo_t *engine = nullptr;
    EXPECT_EQ(qz_norvo_init(model.path(), "cpu:1", &engine), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{k.cause, site_message("076b9aa"),
                                                            site_message("2524b28")}));
  }
}

// Every proper prefix of a valid file fails cleanly; under the sanitizers a
// leak or a bad read on any of the partial-free paths fails the test.
TEST(EngineInit, EveryTruncatedFileFailsWithoutLeaks) {
  const auto bytes = write_model(test_models::random_network(7, 8, 8, 8)).data();
  model_file model(bytes, "sweep");
  {
    qz_norvo_t *engine = nullptr;
    ASSERT_EQ(qz_norvo_init(model.path(), "cpu:1", &engine), QZ_STATUS_SUCCESS);
    qz_norvo_delete(engine);
  }
  for (size_t length = bytes.size(); length-- > 0;) {
    ASSERT_EQ(truncate(model.path(), static_cast<off_t>(length)), 0);
    qz_norvo_t *engine = reinterpret_cast<qz_norvo_t *>(0x1);
    const qz_status_t status = qz_norvo_init(model.path(), "cpu:1", &engine);
    ASSERT_TRUE(status == QZ_STATUS_IO_ERROR || status == QZ_STATUS_INVALID_ARGUMENT)
        << "length " << length << " status " << status;
    ASSERT_EQ(engine, nullptr) << "length " << length;
    const auto stack = take_error_stack();
    ASSERT_FALSE(stack.empty());
    ASSERT_EQ(stack.back(), site_message("2524b28")) << "length " << length;
  }
}

// Every damaged file is explained: a file cut at any length says where it
// ends, and a tokenizer section with changed bytes says what is wrong with
// it, whatever records without text the readers push on the way.
TEST(EngineInit, EveryDamagedFileIsExplained) {
  const auto bytes = write_model(test_models::random_network(7, 8, 8, 8)).data();
  model_file model(bytes, "explain");
  for (size_t length = bytes.size(); length-- > 0;) {
    ASSERT_EQ(truncate(model.path(), static_cast<off_t>(length)), 0);
    qz_norvo_t *engine = nullptr;
    ASSERT_NE(qz_norvo_init(model.path(), "cpu:1", &engine), QZ_STATUS_SUCCESS);
    const auto stack = take_error_stack();
    // Every cut is reached inside some section, which says where.
    const std::string ends =
        message(0xcb, "The model file ends early, at byte " + std::to_string(length) + ".");
    ASSERT_TRUE(std::find(stack.begin(), stack.end(), ends) != stack.end())
        << "length " << length << "\n" << ::testing::PrintToString(stack);
  }

  const model_record m = test_models::random_network(7, 8, 8, 8);
  const model_bytes written = write_model(m);
  const size_t tokenizer = written.at("tokenizer");
  std::mt19937 rng(28);
  int failures = 0;
  for (size_t at = tokenizer; at < written.data().size(); ++at) {
    for (uint8_t flip : {uint8_t{0x80}, uint8_t{0xFF}, uint8_t(rng() | 1)}) {
      std::vector<uint8_t> changed = written.data();
      changed[at] ^= flip;
      model_file damaged(changed, "flip");
      qz_norvo_t *engine = nullptr;
      if (qz_norvo_init(damaged.path(), "cpu:1", &engine) == QZ_STATUS_SUCCESS) {
        qz_norvo_delete(engine);
        take_error_stack();
        continue;
      }
      ++failures;
      const auto stack = take_error_stack();
      ASSERT_TRUE(has_explanation(stack))
          << "byte " << at << " ^ " << int(flip) << "\n" << ::testing::PrintToString(stack);
    }
  }
  EXPECT_GT(failures, 0);
}

TEST(EngineInit, TrailingBytesAndEveryDeviceStringWork) {
  auto bytes = write_model(test_models::abc_model()).data();
  bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
  model_file model(bytes);
  for (const char *device : {"cpu", "cpu:1", "cpu:4", "best", ""}) {
    SCOPED_TRACE(device);
    qz_norvo_t *engine = nullptr;
    ASSERT_EQ(qz_norvo_init(model.path(), device, &engine), QZ_STATUS_SUCCESS);
    ASSERT_NE(engine, nullptr);
    int32_t limit = 0;
    EXPECT_EQ(qz_norvo_max_character_limit(engine, &limit), QZ_STATUS_SUCCESS);
    EXPECT_EQ(limit, 256);
    qz_norvo_delete(engine);
  }
}

// "best" is the engine's preferred "cpu:1": one thread, no worker pool.
TEST(EngineInit, BestRunsOnOneCpuThread) {
  model_file model(test_models::abc_model());
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_init(model.path(), "best", &engine), QZ_STATUS_SUCCESS);
  ASSERT_EQ(engine->context->backend, QZ_YPU_BACKEND_CPU);
  const auto *device = static_cast<const qz_ypu_cpu_device_t *>(engine->context->device);
  EXPECT_EQ(device->threads, 1);
  EXPECT_EQ(device->pool, nullptr);
  qz_norvo_delete(engine);
}

// A kind-2 tokenizer section over the abc model's sixteen ids (pieces and
// strings alike), with or without its output flag.
std::vector<uint8_t> vocab_tokenizer(bool output_flag, std::vector<std::string> output = {}) {
  vocab_model v;
  v.pieces.pieces = {{"<unk>", 0.0f}, {" a", -1.0f}, {" b", -1.0f}, {" c", -1.0f}};
  v.pieces.flags = 1;
  for (int i = 0; i < test_models::kVocabulary; ++i) v.strings.push_back("s" + std::to_string(i));
  v.write_output_flag = output_flag;
  if (!output.empty()) v.output_strings = std::move(output);
  return tokenizer_section(v);
}

// A kind-1 tokenizer section: every byte a string of its own, one merge.
std::vector<uint8_t> bpe_tokenizer() {
  bpe_model b;
  b.pattern = R"( ?\p{L}+|\s+)";
  b.icu_package = icu_package();
  b.specials = {{"<|s|>", 1}};
  for (int i = 0; i < 256; ++i) b.vocab.push_back({alphabet_form(std::string(1, char(i))), 2 + i});
  b.merges = {{2 + 'a', 2 + 'b', 0}};
  return tokenizer_section(b);
}

// A tokenizer whose output table disagrees with its string table fails with
// both counts on the stack, which then needs no "malformed" from the engine,
// and the caller's standard output receives nothing.
TEST(EngineInit, TokenizerCountMismatchIsExplainedNotPrinted) {
  model_record m = test_models::abc_model();
  m.tokenizer = vocab_tokenizer(true, std::vector<std::string>(17, "x"));
  model_file model(write_model(m).data(), "counts");
  qz_norvo_t *engine = nullptr;
  output_capture stdout_capture;
  const qz_status_t status = qz_norvo_init(model.path(), "cpu:1", &engine);
  EXPECT_EQ(stdout_capture.finish(), "");
  EXPECT_EQ(status, QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(engine, nullptr);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{
                caller_message(0xd2),
                message(0xd3, "The tokenizer's output table has 17 strings where its string "
                              "table has 16."),
                site_message("96dfe58"), site_message("2524b28")}));
}

// Every allocation of a creation fails in turn: each failure says that
// memory ran out (never that the file is malformed or ends early, whichever
// reader ran out, the tokenizer's included) with the creation's site code
// last, and nothing stays allocated (the sanitizers check).
TEST(EngineInit, AllocationFailuresLeaveNothing) {
  model_record kind2 = test_models::abc_model();
  // No output flag: the tokenizer reads to the end of the file and then
  // still allocates.
  kind2.tokenizer = vocab_tokenizer(false);
  model_record kind1 = test_models::abc_model();
  kind1.tokenizer = bpe_tokenizer();
  const std::pair<const char *, model_record> models[] = {
      {"layers, kind-0 tokenizer", test_models::random_network(3, 8, 8, 8)},
      {"kind-2 tokenizer", kind2},
      {"kind-1 tokenizer", kind1},
  };
  for (const auto &[name, record] : models) {
    SCOPED_TRACE(name);
    model_file model(write_model(record).data(), "alloc");
    bool created = false;
    int in_tokenizer = 0;
    for (int n = 1; n < 5000 && !created; ++n) {
      qz_norvo_t *engine = nullptr;
      qz_alloc_fail_at(n);
      const qz_status_t status = qz_norvo_init(model.path(), "cpu:2", &engine);
      qz_alloc_fail_at(0);
      const auto stack = take_error_stack();
      if (status == QZ_STATUS_SUCCESS) {
        created = true;
        qz_norvo_delete(engine);
        continue;
      }
      EXPECT_EQ(status, QZ_STATUS_OUT_OF_MEMORY) << "allocation " << n;
      EXPECT_EQ(engine, nullptr);
      ASSERT_FALSE(stack.empty()) << "allocation " << n;
      EXPECT_TRUE(says_out_of_memory(stack))
          << "allocation " << n << "\n" << ::testing::PrintToString(stack);
      for (const std::string &m : stack)
        EXPECT_TRUE(m.rfind("0633a7d 000000CC", 0) != 0 && m.rfind("0633a7d 000000CB", 0) != 0)
            << "allocation " << n << ": " << m;
      if (std::find(stack.begin(), stack.end(), site_message("96dfe58")) != stack.end())
        ++in_tokenizer;
    }
    EXPECT_TRUE(created);
    EXPECT_GT(in_tokenizer, 0);
  }
}

TEST(EngineQueries, CharacterLimitArgumentsAndTheBeginCallReset) {
  model_file model(test_models::abc_model());
  qz_norvo_t *engine = nullptr;
  ASSERT_EQ(qz_norvo_init(model.path(), "cpu:1", &engine), QZ_STATUS_SUCCESS);
  int32_t limit = 0;
  EXPECT_EQ(qz_norvo_max_character_limit(nullptr, &limit), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{null_argument("object")}));
  EXPECT_EQ(qz_norvo_max_character_limit(engine, nullptr), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{null_argument("max_character_limit")}));

  // A successful call leaves an earlier failure's messages readable; the
  // next push replaces them.
  EXPECT_EQ(qz_norvo_max_character_limit(engine, nullptr), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(qz_norvo_max_character_limit(engine, &limit), QZ_STATUS_SUCCESS);
  char **messages = nullptr;
  int32_t depth = 0;
  ASSERT_EQ(qz_get_error_stack(&messages, &depth), QZ_STATUS_SUCCESS);
  EXPECT_EQ(depth, 1);
  qz_free_error_stack(messages);
  EXPECT_EQ(qz_norvo_max_character_limit(nullptr, &limit), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{null_argument("object")}));
  qz_norvo_delete(engine);
}

TEST(EngineQueries, DeleteAndTranslationDeleteAcceptNull) {
  qz_norvo_delete(nullptr);
  qz_norvo_translation_delete(nullptr, nullptr);
  char *text = static_cast<char *>(std::malloc(8));
  qz_norvo_translation_delete(nullptr, text);  // freed; the sanitizers see a leak otherwise
  EXPECT_STREQ(qz_norvo_version(), "1.1.0");
}

}  // namespace
