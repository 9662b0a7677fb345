// The wrapper: kinds, dispatch, the UTF-8 cut of decoded text, and the shared
// helpers.
#include <climits>
#include <cstring>

#include "common/alloc.h"
#include "fixtures.h"

namespace {

TEST(TokenizerUtf8Cut, CutsAtTheLeadByteOfTheFirstInvalidSequence) {
  struct {
    const char *text;
    size_t kept;
  } cases[] = {
      {"ab\xE2\x82", 2},                      // three-byte lead, one continuation, then the end
      {"ab\xF0\x9F\x98\x80", 6},              // complete four-byte sequence
      {"\x80" "abc", 0},                      // starts with a continuation byte
      {"a\xF8\x80\x80\x80\x80", 1},           // lead byte above 0xF7
      {"a\xC0\x80z", 4},                      // overlong forms pass
      {"\xED\xA0\x80", 3},                    // surrogates pass
      {"x\xC3" "A", 1},                       // lead followed by a non-continuation
      {"\xC3\xA9\xE2\x82\xAC\xC3", 5},        // valid, valid, truncated
      {"", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(qz_norvo_utf8_valid_prefix(c.text), static_cast<int64_t>(c.kept)) << c.text;
}

// Decoding through the wrapper applies the cut and reports it.
TEST(TokenizerUtf8Cut, DecodeReportsTheCut) {
  piece_model model{.pieces = {{"<unk>", 0}, {"ab", -1}, {"<0xE2>", -1}, {"<0x82>", -1},
                               {"\xF0\x9F\x98\x80", -1}}};
  tokenizer_ptr t = load_model(model);
  ASSERT_TRUE(t);
  decode_result cut = decode(t.get(), {1, 2, 3});
  EXPECT_EQ(cut.text, "ab");
  EXPECT_EQ(cut.cut, 1);
  decode_result whole = decode(t.get(), {1, 4});
  EXPECT_EQ(whole.text, "ab\xF0\x9F\x98\x80");
  EXPECT_EQ(whole.cut, 0);
  decode_result empty = decode(t.get(), {3, 1});
  EXPECT_EQ(empty.text, "");
  EXPECT_EQ(empty.cut, 1);
}

TEST(TokenizerWrapper, UnknownKindFailsWithoutAMessage) {
  for (int32_t kind : {3, -1, INT32_MIN}) {
    byte_writer section;
    section.i32(kind).i32(0).i32(0);
    load_result r = load_section(section.bytes);
    EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT) << kind;
    EXPECT_TRUE(r.errors.empty()) << kind;
    EXPECT_FALSE(r.tokenizer);
  }
  for (size_t cut = 0; cut < 4; ++cut) {
    load_result r = load_section({0, 0, 0, 0}, cut);
    EXPECT_EQ(r.status, QZ_STATUS_IO_ERROR) << cut;
    EXPECT_TRUE(r.errors.empty());
  }
}

TEST(TokenizerWrapper, UnknownKindAtEncodeAndDecodeIsInvalidState) {
  qz_norvo_tokenizer_t odd{7, nullptr};
  int32_t count = -1;
  uint32_t *ids = reinterpret_cast<uint32_t *>(1);
  EXPECT_EQ(qz_norvo_tokenizer_encode(&odd, "a", 1, 1, &count, &ids), QZ_STATUS_INVALID_STATE);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ids, nullptr);
  int cut = -1;
  char *text = reinterpret_cast<char *>(1);
  const uint32_t one = 1;
  EXPECT_EQ(qz_norvo_tokenizer_decode(&odd, &one, 1, 0, &cut, &text), QZ_STATUS_INVALID_STATE);
  EXPECT_EQ(cut, 0);
  EXPECT_EQ(text, nullptr);
  EXPECT_TRUE(take_error_stack().empty());
  qz_norvo_tokenizer_free(nullptr);
}

// Ids and lengths far apart must still sort correctly; a 32-bit difference
// would overflow and flip the order.
TEST(TokenizerComparators, FarApartValuesKeepTheirOrder) {
  qz_norvo_string_entry_t low{"a", INT32_MIN}, high{"b", INT32_MAX};
  EXPECT_LT(qz_norvo_compare_entry_id(&low, &high), 0);
  EXPECT_GT(qz_norvo_compare_entry_id(&high, &low), 0);
  EXPECT_EQ(qz_norvo_compare_entry_id(&low, &low), 0);

  qz_norvo_merge_entry_t small{0, 0, 0}, big{0xFFFFFFFFu, 0, 0};
  qz_norvo_merge_entry_t big_right{0xFFFFFFFFu, 0xFFFFFFFFu, 0};
  EXPECT_LT(qz_norvo_compare_id_pair(&small, &big), 0);
  EXPECT_LT(qz_norvo_compare_id_pair(&big, &big_right), 0);
  EXPECT_GT(qz_norvo_compare_id_pair(&big_right, &small), 0);

  qz_norvo_string_entry_t shorter{"ab", 0}, longer{"abc", 0};
  EXPECT_LT(qz_norvo_compare_string_length(&shorter, &longer), 0);
  EXPECT_GT(qz_norvo_compare_string_length(&longer, &shorter), 0);

  // Bytes compare unsigned, as strcmp does.
  qz_norvo_piece_entry_t ascii{0, "z"}, high_byte{1, "\xC3\xA9"};
  EXPECT_LT(qz_norvo_compare_entry_piece(&ascii, &high_byte), 0);
  EXPECT_LT(qz_norvo_compare_prefix("z", 1, "\xC3\xA9"), 0);
  EXPECT_GT(qz_norvo_compare_prefix("ab", 2, "a"), 0);
  EXPECT_LT(qz_norvo_compare_prefix("ab", 1, "ab"), 0);
  EXPECT_EQ(qz_norvo_compare_prefix("abc", 2, "ab"), 0);
  EXPECT_EQ(qz_norvo_compare_concat("ab", "c", "abc"), 0);
  EXPECT_LT(qz_norvo_compare_concat("ab", "", "abc"), 0);
  EXPECT_GT(qz_norvo_compare_concat("ab", "d", "abc"), 0);
  EXPECT_GT(qz_norvo_compare_concat("abc", "", "ab"), 0);
}

TEST(TokenizerStringList, AppendsCopiesAndKeepsTheListValidWhenMemoryRunsOut) {
  auto list = static_cast<qz_norvo_string_list_t *>(std::calloc(1, sizeof(qz_norvo_string_list_t)));
  const char *source = "hello world";
  EXPECT_EQ(qz_norvo_string_list_append(list, source, 6, 11), 0);
  EXPECT_EQ(qz_norvo_string_list_append(list, source, 0, 0), 0);
  ASSERT_EQ(list->count, 2);
  EXPECT_STREQ(list->items[0], "world");
  EXPECT_STREQ(list->items[1], "");

  // The array grows but the copy fails: the entry is counted and null.
  qz_alloc_fail_at(2);
  EXPECT_EQ(qz_norvo_string_list_append(list, source, 0, 5), 1);
  ASSERT_EQ(list->count, 3);
  EXPECT_EQ(list->items[2], nullptr);
  // Growing the array fails: nothing changes.
  qz_alloc_fail_at(1);
  EXPECT_EQ(qz_norvo_string_list_append(list, source, 0, 5), 1);
  EXPECT_EQ(list->count, 3);
  EXPECT_STREQ(list->items[0], "world");
  qz_alloc_fail_at(0);
  qz_norvo_string_list_free(list);
  qz_norvo_string_list_free(nullptr);
}

TEST(TokenizerBlob, SplitRules) {
  char blob[] = "\0ab\0c";  // five bytes and the literal's own NUL
  // From position 0 every NUL but the last starts a string.
  EXPECT_EQ(qz_norvo_blob_split(blob, 6, 0, nullptr), 3);
  char *strings[3];
  qz_norvo_blob_split(blob, 6, 0, strings);
  EXPECT_STREQ(strings[0], "");
  EXPECT_STREQ(strings[1], "ab");
  EXPECT_STREQ(strings[2], "c");
  // From position 1 a NUL at the very start does not.
  EXPECT_EQ(qz_norvo_blob_split(blob, 6, 1, nullptr), 2);
}

}  // namespace
