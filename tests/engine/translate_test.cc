// Translating through the public interface with writer-made models.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"
#include "engine/test_models.h"
#include "qz_norvo.h"
#include "support/error_stack.h"

namespace {

std::string message(unsigned code, const std::string &text) {
  char head[32];
  std::snprintf(head, sizeof head, "0633a7d %08X: ", code);
  return head + text;
}
std::string no_token() { return message(0x6e, "The text gives no token the model can translate."); }

// An engine made from a model written to a temporary file.
class engine_fixture {
 public:
  explicit engine_fixture(const model_record &model, const char *device = "cpu:1")
      : path_(::testing::TempDir() + "translate_" + std::to_string(getpid()) + "_" +
              std::to_string(counter_++) + ".qz") {
    EXPECT_TRUE(test_models::save(write_model(model).data(), path_));
    EXPECT_EQ(qz_norvo_init(path_.c_str(), device, &engine_), QZ_STATUS_SUCCESS);
    take_error_stack();
  }
  ~engine_fixture() {
    qz_norvo_delete(engine_);
    std::remove(path_.c_str());
  }
  qz_norvo_t *get() const { return engine_; }

  // The translation, or "<status N>" on failure.
  std::string translate(const char *text) {
    char *out = reinterpret_cast<char *>(0x1);
    const qz_status_t status = qz_norvo_translate(engine_, text, &out);
    if (status != QZ_STATUS_SUCCESS) {
      EXPECT_EQ(out, nullptr);
      return "<status " + std::to_string(status) + ">";
    }
    std::string result(out);
    qz_norvo_translation_delete(engine_, out);
    return result;
  }

 private:
  static inline int counter_ = 0;
  std::string path_;
  qz_norvo_t *engine_ = nullptr;
};

TEST(Translate, FollowsTheModelsChainAndStripsStartAndEnd) {
  for (int32_t beams : {1, 2, 3}) {
    SCOPED_TRACE(beams);
    engine_fixture engine(test_models::abc_model(beams));
    EXPECT_EQ(engine.translate("a b"), "a b c");
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{});
  }
}

// The decoded text ends in the first two bytes of a three-byte sequence:
// they are cut, and the call still succeeds.
TEST(Translate, CutsAnUnfinishedUtf8SequenceAtTheEnd) {
  using namespace test_models;
  engine_fixture engine(chain_model({{kStart, kA}, {kA, kPartial}, {kPartial, kEnd}}));
  EXPECT_EQ(engine.translate("a"), "a");
}

// A hypothesis of the start id and the end id alone leaves nothing to decode.
TEST(Translate, StartThenEndGivesAnEmptyText) {
  using namespace test_models;
  engine_fixture engine(chain_model({{kStart, kEnd}}));
  EXPECT_EQ(engine.translate("b"), "");
}

TEST(Translate, ArgumentsAreCheckedInOrder) {
  engine_fixture engine(test_models::abc_model());
  char *out = reinterpret_cast<char *>(0x1);
  struct null_case {
    qz_norvo_t *engine;
    const char *text;
    char **out;
    const char *name;
  };
  const null_case cases[] = {
      {nullptr, nullptr, nullptr, "object"},
      {engine.get(), nullptr, nullptr, "text"},
      {engine.get(), "a", nullptr, "translation"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(qz_norvo_translate(k.engine, k.text, k.out), QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{message(
                                      0x64, std::string("Argument `") + k.name + "` is NULL.")}));
  }
  EXPECT_EQ(qz_norvo_translate(engine.get(), "", &out), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{message(0x65, "Argument `text` is invalid.")}));
}

// The character limit counts bytes and its message quotes the limit; the
// token limit counts the ids left after the dropped id is removed.
TEST(Translate, CharacterAndTokenLimits) {
  model_record m = test_models::abc_model();
  m.max_character_limit = 12;
  m.max_source_tokens = 3;
  engine_fixture engine(m);
  const std::string limit = message(0x6c, "Maximum character limit of `12` exceeded.");
  const std::string tokens =
      message(0x6c, "Input text exceeded token limit. Try reducing input text length.");
  struct limit_case {
    std::string text;
    std::vector<std::string> stack;  // empty: succeeds
  };
  const limit_case cases[] = {
      {"a b c#######", {}},    // 12 bytes; the unknown run is dropped, three ids stay
      {"a b c########", {limit}},  // 13 bytes
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9!", {limit}},  // 7 characters, 13 bytes
      {"a b c d", {tokens, site_message("91512ea")}},
      {"###", {message(0x6f, "Velthrane Error."), no_token(), site_message("91512ea")}},  // every id dropped
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.text);
    const std::string result = engine.translate(k.text.c_str());
    EXPECT_EQ(result == "<status 3>", !k.stack.empty()) << result;
    EXPECT_EQ(take_error_stack(), k.stack);
  }
}

TEST(Translate, LimitMessageQuotesTheLimitNotTheLength) {
  model_record m = test_models::abc_model();
  m.max_character_limit = 500;
  engine_fixture engine(m);
  const std::string text(600, 'a');
  EXPECT_EQ(engine.translate(text.c_str()), "<status 3>");
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{
                                    message(0x6c, "Maximum character limit of `500` exceeded.")}));
}

// A text of white space alone has nothing to translate: it comes back as it
// is (the chain model would otherwise answer any tokens with "a b c"), and
// a text with anything else in it is translated. The Part's errors stay.
TEST(Translate, BlankTextComesBackUnchanged) {
  engine_fixture chain(test_models::abc_model());
  engine_fixture network(test_models::random_network(11));
  const char *blank[] = {
      " ", "   ", "\t", "\n", "\r\n", " \t\n\v\f ",
      "\xC2\xA0",                   // no-break space
      "\xE3\x80\x80",              // ideographic space
      "\xE2\x80\x8B",              // zero-width space
      "\xE2\x80\x8B \xE2\x81\xA0\xEF\xBB\xBF",  // with word joiner and BOM
      "\xE2\x80\xA8\xE2\x80\xA9",  // line and paragraph separators
      "\xC2\x85\xE1\x9A\x80",       // next line, ogham space mark
  };
  for (const char *text : blank) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_EQ(chain.translate(text), text);
    EXPECT_EQ(network.translate(text), text);
    EXPECT_TRUE(take_error_stack().empty());
  }
  // Not blank: visible characters, a control character, bytes that are not
  // UTF-8.
  for (const char *text : {" a ", "\xC2\xA0" "a", "\x01", " \xFF "}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_NE(chain.translate(text), text);
  }
  EXPECT_EQ(chain.translate(""), "<status 3>");
  model_record small = test_models::abc_model();
  small.max_character_limit = 3;
  engine_fixture limited(small);
  EXPECT_EQ(limited.translate("    "), "<status 3>");
  take_error_stack();
}

// A failed translation appends its messages to what the thread already
// holds: translating does not begin a fresh chain.
TEST(Translate, FailuresAppendToTheThreadsMessages) {
  engine_fixture engine(test_models::abc_model());
  EXPECT_EQ(engine.translate(""), "<status 3>");
  EXPECT_EQ(engine.translate("###"), "<status 3>");
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{message(0x65, "Argument `text` is invalid."),
                                      message(0x6f, "Velthrane Error."), no_token(),
                                      site_message("91512ea")}));
}

// A network with layers, caches and their reordering: every device gives
// the same text, every time, also after a failed translation.
TEST(Translate, RandomNetworkIsRepeatableOnEveryDevice) {
  const model_record m = test_models::random_network(11, 16, 32, 12, 3);
  std::string reference;
  for (const char *device : {"cpu", "cpu:4", "best"}) {
    SCOPED_TRACE(device);
    engine_fixture engine(m, device);
    const std::string first = engine.translate("a b c d");
    ASSERT_NE(first.rfind("<status", 0), 0u) << first << " " << ::testing::PrintToString(take_error_stack());
    EXPECT_EQ(engine.translate("a b c d"), first);
    EXPECT_EQ(engine.translate(""), "<status 3>");
    EXPECT_EQ(engine.translate("j i h"), engine.translate("j i h"));
    EXPECT_EQ(engine.translate("a b c d"), first);
    if (reference.empty()) reference = first;
    EXPECT_EQ(first, reference);
  }
}

// Every allocation of a pass fails in turn: the pass reports the failure,
// leaves nothing behind (the sanitizers check), and the engine translates as
// before afterwards.
TEST(Translate, AllocationFailuresLeaveTheEngineUsable) {
  const model_record m = test_models::random_network(5, 16, 32, 12, 2);
  engine_fixture engine(m);
  const std::string expected = engine.translate("a b");
  ASSERT_NE(expected.rfind("<status", 0), 0u);
  bool succeeded = false;
  for (int n = 1; n < 2000 && !succeeded; ++n) {
    qz_alloc_fail_at(n);
    char *out = nullptr;
    const qz_status_t status = qz_norvo_translate(engine.get(), "a b", &out);
    qz_alloc_fail_at(0);
    if (status == QZ_STATUS_SUCCESS) {
      succeeded = true;
      EXPECT_EQ(std::string(out), expected);
      qz_norvo_translation_delete(engine.get(), out);
    } else {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(status, QZ_STATUS_OUT_OF_MEMORY) << "allocation " << n;
      // Encoding and decoding failures end at their own sites; everything
      // between ends with the pass's.
      const auto stack = take_error_stack();
      ASSERT_FALSE(stack.empty());
      EXPECT_TRUE(says_out_of_memory(stack))
          << "allocation " << n << "\n" << ::testing::PrintToString(stack);
      EXPECT_TRUE(stack.back() == site_message("91512ea") || stack.back() == site_message("3e3532c") ||
                  stack.back() == site_message("2b5bc58"))
          << "allocation " << n << ": " << stack.back();
      EXPECT_EQ(engine.translate("a b"), expected) << "after allocation " << n;
    }
    take_error_stack();
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
