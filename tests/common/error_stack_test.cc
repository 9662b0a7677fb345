#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/error.h"

namespace {

struct stack_read {
  qz_status_t status;
  std::vector<std::string> messages;
  bool array_null;
};

stack_read read_stack() {
  char **messages = reinterpret_cast<char **>(0x1);
  int32_t depth = -1;
  stack_read result{qz_get_error_stack(&messages, &depth), {}, messages == nullptr};
  for (int32_t i = 0; i < depth; ++i) result.messages.emplace_back(messages[i]);
  if (messages) {
    for (int32_t i = depth; i < QZ_ERROR_MAX_MESSAGES; ++i) EXPECT_STREQ(messages[i], "");
  }
  qz_free_error_stack(messages);
  return result;
}

constexpr qz_error_record_t kLimit{0x6c, "Maximum character limit of `%d` exceeded."};
std::string caller() { return "0633a7d 0000012C: Velthrane Error."; }
constexpr qz_error_record_t kDeviceString{0x322, "%s is not a valid device string"};

TEST(Status, StringsAndOutOfRange) {
  const char *expected[] = {"SUCCESS",        "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
                            "STOP_ITERATION", "KEY_ERROR",     "INVALID_STATE", "RUNTIME_ERROR"};
  for (int i = 0; i < 8; ++i) EXPECT_STREQ(qz_status_to_string(i), expected[i]);
  for (qz_status_t bad : {8, -1, INT32_MIN, INT32_MAX}) EXPECT_EQ(qz_status_to_string(bad), nullptr);
}

TEST(ErrorStack, MessageFormats) {
  struct {
    std::string expected;
    void (*push)();
  } cases[] = {
      {"0633a7d 00000136: 9a0af96", [] { qz_error_site("9a0af96"); }},
      {"0633a7d 0000012C: Velthrane Error.", [] { qz_error_push("", 0, &QZ_ERROR_CALLER, 42); }},
      {"0633a7d 0000006C: Maximum character limit of `5000` exceeded.",
       [] { qz_error_push("", 0, &kLimit, 5000); }},
      {"0633a7d 00000064: Argument `text` is NULL.",
       [] { qz_error_push("", 0, &QZ_ERROR_ARG_NULL, "text"); }},
  };
  qz_error_stack_begin();
  for (auto &c : cases) c.push();
  stack_read got = read_stack();
  ASSERT_EQ(got.status, QZ_STATUS_SUCCESS);
  ASSERT_EQ(got.messages.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(got.messages[i], cases[i].expected);
}

TEST(ErrorStack, LongTextIsCutAtTheScratchBound) {
  qz_error_stack_begin();
  const std::string device(600, 'x');
  qz_error_push("", 0, &kDeviceString, device.c_str());
  stack_read got = read_stack();
  ASSERT_EQ(got.messages.size(), 1u);
  // 18 characters of prefix and at most 491 of expanded text.
  EXPECT_EQ(got.messages[0].size(), 18u + 491u);
  EXPECT_EQ(got.messages[0].substr(0, 20), "0633a7d 00000322: xx");
}

TEST(ErrorStack, KeepsTheFirstEightOldestFirst) {
  qz_error_stack_begin();
  for (int i = 0; i < 9; ++i) qz_error_push("", 0, &kLimit, i);
  stack_read got = read_stack();
  ASSERT_EQ(got.messages.size(), 8u);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(got.messages[i], "0633a7d 0000006C: Maximum character limit of `" +
                                   std::to_string(i) + "` exceeded.");
}

TEST(ErrorStack, ReadOutWithoutSlot) {
  // Never pushed: no slot.
  stack_read got = read_stack();
  EXPECT_EQ(got.status, QZ_STATUS_INVALID_STATE);
  EXPECT_TRUE(got.array_null);
  EXPECT_TRUE(got.messages.empty());

  // Pushed before any begin made the spare array (each case runs in a fresh
  // process, so none has): the read-out makes it and hands the message over.
  qz_error_site("aaaaaaa");
  got = read_stack();
  EXPECT_EQ(got.status, QZ_STATUS_SUCCESS);
  EXPECT_EQ(got.messages, std::vector<std::string>{"0633a7d 00000136: aaaaaaa"});

  // The read-out released the slot.
  got = read_stack();
  EXPECT_EQ(got.status, QZ_STATUS_INVALID_STATE);
}

TEST(ErrorStack, BeginMarksStaleAndTheNextPushClears) {
  qz_error_stack_begin();
  qz_error_site("aaaaaaa");
  qz_error_stack_begin();  // marks, keeps
  stack_read got = read_stack();
  EXPECT_EQ(got.messages, std::vector<std::string>{"0633a7d 00000136: aaaaaaa"});

  qz_error_site("aaaaaaa");
  qz_error_stack_begin();
  qz_error_site("bbbbbbb");  // clears first
  qz_error_site("ccccccc");
  got = read_stack();
  EXPECT_EQ(got.messages, (std::vector<std::string>{"0633a7d 00000136: bbbbbbb",
                                                     "0633a7d 00000136: ccccccc"}));

  // A stale full stack accepts the next message after clearing.
  for (int i = 0; i < 8; ++i) qz_error_site("ddddddd");
  qz_error_stack_begin();
  qz_error_site("eeeeeee");
  got = read_stack();
  EXPECT_EQ(got.messages, std::vector<std::string>{"0633a7d 00000136: eeeeeee"});
}

TEST(ErrorStack, PushesWithoutBeginAppend) {
  qz_error_stack_begin();
  qz_error_site("aaaaaaa");
  qz_error_site("bbbbbbb");
  qz_error_site("ccccccc");
  stack_read got = read_stack();
  EXPECT_EQ(got.messages.size(), 3u);
}

TEST(ErrorStack, FreeOfNullIsIgnored) { qz_free_error_stack(nullptr); }

TEST(ErrorStack, NullOutParametersAreRefused) {
  char **messages = nullptr;
  int32_t depth = 0;
  EXPECT_EQ(qz_get_error_stack(nullptr, &depth), QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(qz_get_error_stack(&messages, nullptr), QZ_STATUS_INVALID_ARGUMENT);
}

// 128 threads hold a slot each; the 129th thread's messages are dropped until
// one of them reads its stack out.
TEST(ErrorStack, SlotLimitOf128Threads) {
  qz_error_stack_begin();
  std::atomic<int> pushed{0};
  std::atomic<int> phase{0};  // 1: holder 0 reads out; 2: the others do
  std::atomic<bool> first_read{false};
  std::vector<std::thread> holders;
  std::vector<stack_read> holder_reads(QZ_ERROR_MAX_THREADS);
  for (int i = 0; i < QZ_ERROR_MAX_THREADS; ++i) {
    holders.emplace_back([&, i] {
      qz_error_push("", 0, &kLimit, i);
      ++pushed;
      const int my_phase = i == 0 ? 1 : 2;
      while (phase.load() < my_phase) std::this_thread::yield();
      holder_reads[i] = read_stack();
      if (i == 0) first_read.store(true);
    });
  }
  while (pushed.load() < QZ_ERROR_MAX_THREADS) std::this_thread::yield();

  std::thread([] {
    qz_error_site("1111111");
    EXPECT_EQ(read_stack().status, QZ_STATUS_INVALID_STATE);
  }).join();

  phase.store(1);
  while (!first_read.load()) std::this_thread::yield();
  std::thread([] {
    qz_error_site("2222222");
    stack_read got = read_stack();
    EXPECT_EQ(got.status, QZ_STATUS_SUCCESS);
    EXPECT_EQ(got.messages, std::vector<std::string>{"0633a7d 00000136: 2222222"});
  }).join();

  phase.store(2);
  for (auto &t : holders) t.join();
  for (int i = 0; i < QZ_ERROR_MAX_THREADS; ++i) {
    ASSERT_EQ(holder_reads[i].messages.size(), 1u) << i;
    EXPECT_EQ(holder_reads[i].messages[0], "0633a7d 0000006C: Maximum character limit of `" +
                                               std::to_string(i) + "` exceeded.");
  }
}

// Threads that fail and end without reading give their slots back: after
// 200 such threads (more than the 128 slots), each of 20 new threads reads
// exactly its own message, never an empty stack or a dead thread's messages.
TEST(ErrorStack, EndedThreadsGiveTheirSlotsBack) {
  qz_error_stack_begin();
  for (int i = 0; i < 200; ++i) std::thread([i] { qz_error_push("", 0, &kLimit, i); }).join();

  std::vector<stack_read> reads(20);
  std::vector<std::thread> readers;
  std::atomic<int> pushed{0};
  for (int i = 0; i < 20; ++i) {
    readers.emplace_back([&, i] {
      qz_error_push("", 0, &kLimit, 1000 + i);
      // All 20 hold a slot at once before any reads.
      ++pushed;
      while (pushed.load() < 20) std::this_thread::yield();
      reads[i] = read_stack();
    });
  }
  for (auto &t : readers) t.join();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(reads[i].status, QZ_STATUS_SUCCESS) << i;
    EXPECT_EQ(reads[i].messages, std::vector<std::string>{
                                     "0633a7d 0000006C: Maximum character limit of `" +
                                     std::to_string(1000 + i) + "` exceeded."})
        << i;
  }
}

// Many threads pushing and reading at once each see only their own messages.
TEST(ErrorStack, ConcurrentThreadsKeepTheirOwnMessages) {
  qz_error_stack_begin();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([t, &failures] {
      for (int round = 0; round < 200; ++round) {
        qz_error_stack_begin();
        qz_error_push("", 0, &kLimit, t * 1000 + round);
        qz_error_push("", 0, &kLimit, t * 1000 + round);
        char **messages = nullptr;
        int32_t depth = 0;
        const qz_status_t status = qz_get_error_stack(&messages, &depth);
        const std::string want = "0633a7d 0000006C: Maximum character limit of `" +
                                 std::to_string(t * 1000 + round) + "` exceeded.";
        if (status != QZ_STATUS_SUCCESS || depth != 2 || want != messages[0] || want != messages[1])
          ++failures;
        qz_free_error_stack(messages);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

// A chain longer than eight loses outermost site codes, never an
// explanation: a message with text takes the place of a newest message that
// only names a site or a record, and nothing takes the place of text.
TEST(ErrorStack, AFullStackKeepsEveryExplanation) {
  const std::string site = "0633a7d 00000136: aaaaaaa";
  const std::string limit = "0633a7d 0000006C: Maximum character limit of `1` exceeded.";
  const std::string later = "0633a7d 0000006C: Maximum character limit of `2` exceeded.";
  struct overflow_case {
    const char *name;
    void (*pushes)();
    std::vector<std::string> expected;
  };
  const overflow_case cases[] = {
      {"explanation after eight sites",
       [] {
         for (int i = 0; i < 8; ++i) qz_error_site("aaaaaaa");
         qz_error_push("", 0, &kLimit, 1);
         qz_error_site("aaaaaaa");
       },
       {site, site, site, site, site, site, site, limit}},
      {"explanation after records without text",
       [] {
         for (int i = 0; i < 8; ++i) qz_error_push("", 0, &QZ_ERROR_CALLER);
         qz_error_push("", 0, &kLimit, 1);
       },
       {caller(), caller(), caller(), caller(), caller(), caller(), caller(), limit}},
      {"a second explanation finds text at the end and is dropped",
       [] {
         for (int i = 0; i < 7; ++i) qz_error_site("aaaaaaa");
         qz_error_push("", 0, &kLimit, 1);
         qz_error_push("", 0, &kLimit, 2);
       },
       {site, site, site, site, site, site, site, limit}},
      {"a site code never replaces",
       [] {
         for (int i = 0; i < 7; ++i) qz_error_site("aaaaaaa");
         qz_error_push("", 0, &kLimit, 2);
         qz_error_site("bbbbbbb");
       },
       {site, site, site, site, site, site, site, later}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qz_error_stack_begin();
    c.pushes();
    EXPECT_EQ(read_stack().messages, c.expected);
  }
}

// An attempt that fails before another way succeeds rewinds to the mark.
TEST(ErrorStack, RewindDropsAnAttemptsMessages) {
  qz_error_stack_begin();
  qz_error_site("aaaaaaa");
  qz_error_mark_t mark = qz_error_mark();
  EXPECT_FALSE(qz_error_explained_since(mark));
  qz_error_site("bbbbbbb");
  EXPECT_FALSE(qz_error_explained_since(mark));
  qz_error_push("", 0, &kLimit, 1);
  EXPECT_TRUE(qz_error_explained_since(mark));
  qz_error_rewind(mark);
  EXPECT_EQ(read_stack().messages, std::vector<std::string>{"0633a7d 00000136: aaaaaaa"});

  // Stale: an attempt that pushes nothing leaves the old chain readable; one
  // that pushes began a fresh chain, and rewinding empties it.
  qz_error_site("aaaaaaa");
  qz_error_stack_begin();
  mark = qz_error_mark();
  qz_error_rewind(mark);
  EXPECT_EQ(read_stack().messages, std::vector<std::string>{"0633a7d 00000136: aaaaaaa"});
  qz_error_site("aaaaaaa");
  qz_error_stack_begin();
  mark = qz_error_mark();
  qz_error_site("bbbbbbb");
  qz_error_rewind(mark);
  qz_error_site("ccccccc");
  EXPECT_EQ(read_stack().messages, std::vector<std::string>{"0633a7d 00000136: ccccccc"});
}

// A caller's string in a message: valid UTF-8 as it is, any other byte and
// control characters escaped, a long string cut at a character with "...".
TEST(ErrorStack, QuotedStringsAreValidAndBounded) {
  struct quote_case {
    std::string text;
    std::string expected;
  };
  const std::string e_acute = "\xC3\xA9";
  std::string long_text;
  for (int i = 0; i < 200; ++i) long_text += e_acute;
  const quote_case cases[] = {
      {"cpu:abc", "cpu:abc"},
      {"gpu:\xD9\xA3", "gpu:\xD9\xA3"},                  // Arabic-Indic three
      {"a\xFF" "b", "a\\xFFb"},                               // never a UTF-8 byte
      {"\xC3(", "\\xC3("},                                 // lead without continuation
      {"\xE0\x80\x80", "\\xE0\\x80\\x80"},           // overlong
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
      {"tab\there\n", "tab\\x09here\\x0A"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},       // four bytes
      {long_text, long_text.substr(0, 252) + "..."},
      {std::string(255, 'x'), std::string(255, 'x')},
      {std::string(256, 'x'), std::string(252, 'x') + "..."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    char out[QZ_ERROR_QUOTE_BYTES];
    EXPECT_EQ(std::string(qz_error_quote(c.text.c_str(), out)), c.expected);
  }
}

TEST(CommonExports, SdkNameLogAndConstants) {
  EXPECT_STREQ(qz_get_sdk(), "c");
  qz_set_sdk("abcdefghijklmnopqrstuvwxyz0123456789ABCD");
  EXPECT_STREQ(qz_get_sdk(), "abcdefghijklmnopqrstuvwxyz01234");
  qz_set_sdk("");
  EXPECT_STREQ(qz_get_sdk(), "");
  qz_set_sdk(nullptr);
  EXPECT_STREQ(qz_get_sdk(), "");
  EXPECT_EQ(qz_sample_rate(), 16000);
  qz_free(nullptr);

  testing::internal::CaptureStdout();
  qz_log_error("boom");
  qz_log_disable();
  qz_log_error("silent");
  qz_log_enable();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\033[31m[ERROR] boom\033[0m\n");
}

}  // namespace
