// One engine shared by threads that must not share it: each call either
// does its work or refuses at once, never both at a time, never a crash.
// In this folder so that the ThreadSanitizer build runs it too.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/test_models.h"
#include "qz_norvo.h"
#include "support/error_stack.h"

namespace {

const std::string kInUse =
    "0633a7d 0000006D: The engine is in use by another thread; an engine serves one thread at a "
    "time.";

class shared_engine : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "threads_" + std::to_string(getpid()) + ".qz";
    // A network with layers: their attention caches are what two threads
    // at once would tear apart.
    model_record model = test_models::random_network(5, 16, 32, 12, 2);
    model.max_character_limit = 256;
    ASSERT_TRUE(test_models::save(write_model(model).data(), path_));
    ASSERT_EQ(qz_norvo_init(path_.c_str(), "cpu:1", &engine_), QZ_STATUS_SUCCESS);
  }
  // The translation of `text` on this thread, alone; "" on failure.
  std::string translate(const char *text) {
    char *out = nullptr;
    if (qz_norvo_translate(engine_, text, &out) != QZ_STATUS_SUCCESS) return "";
    std::string result(out);
    qz_norvo_translation_delete(engine_, out);
    return result;
  }
  void TearDown() override {
    qz_norvo_delete(engine_);
    std::remove(path_.c_str());
  }
  std::string path_;
  qz_norvo_t *engine_ = nullptr;
};

// Two threads translate and ask the limit as fast as they can. Every call
// succeeds with the right answer or refuses with the message, alone on the
// stack; both kinds of outcome happen.
TEST_F(shared_engine, TwoThreadsEitherWorkOrAreRefused) {
  const std::string expected = translate("a b");
  ASSERT_FALSE(expected.empty());
  std::atomic<int> refused{0}, done{0}, wrong{0};
  std::atomic<int> ready{0};
  auto hammer = [&](bool ask_limit) {
    // Both start together, so that their calls overlap.
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
      if (ask_limit && i % 4 == 0) {
        int32_t limit = 0;
        const qz_status_t status = qz_norvo_max_character_limit(engine_, &limit);
        if (status == QZ_STATUS_SUCCESS && limit == 256) {
          ++done;
        } else if (status == QZ_STATUS_INVALID_STATE &&
                   take_error_stack() == std::vector<std::string>{kInUse}) {
          ++refused;
        } else {
          ++wrong;
        }
        continue;
      }
      char *out = nullptr;
      const qz_status_t status = qz_norvo_translate(engine_, "a b", &out);
      if (status == QZ_STATUS_SUCCESS && out && std::string(out) == expected) {
        ++done;
      } else if (status == QZ_STATUS_INVALID_STATE && !out &&
                 take_error_stack() == std::vector<std::string>{kInUse}) {
        ++refused;
      } else {
        ++wrong;
      }
      qz_norvo_translation_delete(engine_, out);
    }
  };
  std::thread first(hammer, false), second(hammer, true);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(done.load(), 0);
  RecordProperty("refused", refused.load());
  // A refusal is likely but not certain on a loaded machine; the engine is
  // usable afterwards either way.
  EXPECT_EQ(translate("a b"), expected);
}

// A call that finds the engine held is refused, whichever call it is, and
// the holder's work is not disturbed.
TEST_F(shared_engine, HeldEngineRefusesEveryCall) {
  ASSERT_TRUE(qz_norvo_enter(engine_));
  std::thread other([&] {
    char *out = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(qz_norvo_translate(engine_, "a b", &out), QZ_STATUS_INVALID_STATE);
    EXPECT_EQ(out, nullptr);
    int32_t limit = -1;
    EXPECT_EQ(qz_norvo_max_character_limit(engine_, &limit), QZ_STATUS_INVALID_STATE);
    EXPECT_EQ(limit, -1);
    EXPECT_EQ(take_error_stack(), std::vector<std::string>{kInUse});
  });
  other.join();
  qz_norvo_leave(engine_);
  int32_t limit = 0;
  EXPECT_EQ(qz_norvo_max_character_limit(engine_, &limit), QZ_STATUS_SUCCESS);
  EXPECT_EQ(limit, 256);
}

// Deleting a held engine leaves it to its holder, which frees it on leaving
// (the sanitizers see a use after free or a leak if either side is wrong).
TEST_F(shared_engine, DeletingAHeldEngineFreesItWhenTheHolderLeaves) {
  ASSERT_TRUE(qz_norvo_enter(engine_));
  std::thread deleter([&] { qz_norvo_delete(engine_); });
  deleter.join();
  EXPECT_EQ(engine_->use_state, QZ_NORVO_DELETED);
  EXPECT_EQ(engine_->max_character_limit, 256) << "still whole";
  qz_norvo_leave(engine_);
  engine_ = nullptr;
}

}  // namespace
