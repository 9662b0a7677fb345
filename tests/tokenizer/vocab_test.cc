// Tokenizer kind 2: the piece segmenter numbered by a separate table.
#include <cstring>

#include "fixtures.h"
#include "support/output_capture.h"

namespace {

// Pieces carry plain spaces: the segmenter puts and matches 0x20.
piece_model segmenter() {
  return {.pieces = {{"<unk>", 0}, {" the", -1}, {" cat", -1}, {" sat", -1}, {" ", -5}, {"c", -3},
                     {"a", -3}, {"t", -3}},
          .flags = 1};
}

vocab_model model(std::optional<std::vector<std::string>> output = std::nullopt) {
  return {.start_id = 0,
          .end_id = 1,
          .reserved_id = 7,
          .unknown_id = 2,
          .pieces = segmenter(),
          .strings = {"<pad>", "</s>", "<unk>", " the", " cat", " sat", "a"},
          .id_values = {3, 0, 5},
          .output_strings = std::move(output)};
}

TEST(VocabEncode, TableIdsUnknownStartAndEnd) {
  tokenizer_ptr t = load_model(model());
  ASSERT_TRUE(t);
  EXPECT_EQ(encode(t.get(), "the cat sat"), (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(encode(t.get(), "the cat sat", true, true), (std::vector<uint32_t>{0, 3, 4, 5, 1}));
  // " " and "c" are segmenter pieces missing from the table; "a" is in it.
  EXPECT_EQ(encode(t.get(), "ca"), (std::vector<uint32_t>{2, 2, 6}));
  // A byte no piece covers is an unknown piece too.
  EXPECT_EQ(encode(t.get(), "the\x01"), (std::vector<uint32_t>{3, 2}));
  // The segmenter puts its leading space in front of any text, an empty one
  // too: a lone space, which the table does not hold.
  EXPECT_EQ(encode(t.get(), ""), (std::vector<uint32_t>{2}));
}

TEST(VocabEncode, EmptyResultHasNoArray) {
  vocab_model m = model();
  m.pieces.flags = 0;
  tokenizer_ptr t = load_model(m);
  ASSERT_TRUE(t);
  encode_result empty = encode_text(t.get(), "");
  EXPECT_EQ(empty.status, QZ_STATUS_SUCCESS);
  EXPECT_TRUE(empty.null_array);
  EXPECT_EQ(encode(t.get(), "", true, true), (std::vector<uint32_t>{0, 1}));
}

TEST(VocabEncode, InvalidUtf8) {
  tokenizer_ptr t = load_model(model());
  ASSERT_TRUE(t);
  EXPECT_EQ(encode_text(t.get(), "a\xC3").status, QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{"0633a7d 00000065: Argument `text` is invalid.",
                                      site_message("02dcf80")}));
}

TEST(VocabDecode, InputOrOutputTableAndLeadingSpaces) {
  tokenizer_ptr input = load_model(model());
  tokenizer_ptr output =
      load_model(model(std::vector<std::string>{"", "", "?", "  The", " CAT", " SAT", "A"}));
  ASSERT_TRUE(input && output);
  struct {
    const qz_norvo_tokenizer_t *t;
    std::vector<uint32_t> ids;
    int32_t previous;
    std::string expected;
  } cases[] = {
      {input.get(), {3, 4, 5}, 0, "the cat sat"},      // after the start id: no leading space
      {input.get(), {3, 4, 5}, 9, " the cat sat"},
      // The output spellings, only the first trimmed.
      {output.get(), {3, 4, 5}, 0, "The CAT SAT"},
      {output.get(), {4, 3}, 0, "CAT  The"},
      {output.get(), {2, 6, 100, kNoId, 6}, 9, "?AA"},  // ids past the table are skipped
      {output.get(), {}, 0, ""},
  };
  for (const auto &c : cases) EXPECT_EQ(decode(c.t, c.ids, c.previous).text, c.expected);
}

// Without an output flag, or with a flag of 0, the input table decodes.
TEST(VocabLoad, OutputTableIsOptional) {
  vocab_model without = model();
  without.write_output_flag = false;
  for (const vocab_model &m : {without, model()}) {
    tokenizer_ptr t = load_model(m);
    ASSERT_TRUE(t);
    auto record = static_cast<const qz_norvo_vocab_tokenizer_t *>(t->impl);
    EXPECT_EQ(record->output_strings, nullptr);
    EXPECT_EQ(record->reserved_id, 7);
    EXPECT_EQ(record->id_count, 3);
    EXPECT_EQ(record->id_values[2], 5);
    EXPECT_EQ(decode(t.get(), {4}, 0).text, "cat");
  }
}

// An output table whose size disagrees with the string table fails with
// both counts on the stack, and nothing reaches the caller's standard
// output (a program may write its own results there).
TEST(VocabLoad, OutputCountMismatchesAreExplainedNotPrinted) {
  struct {
    const char *name;
    std::vector<std::string> output;  // n is 7
    int32_t announced;
    std::string counts;
  } cases[] = {
      {"count differs", {"a", "b", "c", "d", "e", "f", "g"}, 8,
       "The tokenizer's output table has 8 strings where its string table has 7."},
      {"fewer strings", {"a", "b", "c"}, 7,
       "The tokenizer's output table has 3 strings where its string table has 7."},
      {"more strings", {"a", "b", "c", "d", "e", "f", "g", "h"}, 7,
       "The tokenizer's output table has 8 strings where its string table has 7."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    byte_writer out;
    out.i32(2);
    vocab_model m = model();
    m.write_output_flag = false;
    write_vocab_payload(out, m);
    size_t bytes = 0;
    for (const auto &s : c.output) bytes += s.size() + 1;
    out.i32(1).i32(c.announced).i32(static_cast<int32_t>(bytes)).blob(c.output);
    output_capture stdout_capture;
    load_result r = load_section(out.bytes);
    EXPECT_EQ(stdout_capture.finish(), "");
    EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.errors,
              (std::vector<std::string>{record_message(0xd2), text_message(0xd3, c.counts)}));
  }
}

void put(std::vector<uint8_t> &bytes, size_t at, int32_t value) {
  std::memcpy(&bytes[at], &value, sizeof value);
}

TEST(VocabLoad, RejectsBadFields) {
  const std::vector<uint8_t> good = tokenizer_section(model());
  // Offsets: kind 0, ids 4..16, piece payload from 20; the table follows it.
  byte_writer piece_part;
  write_piece_payload(piece_part, segmenter());
  const size_t n_at = 20 + piece_part.size();
  size_t blob_bytes = 0;
  for (const std::string &s : model().strings) blob_bytes += s.size() + 1;
  const size_t blob_end = n_at + 8 + blob_bytes;
  struct {
    const char *name;
    size_t at;
    int32_t value;
  } cases[] = {
      {"negative start id", 4, -1},
      {"negative reserved id", 12, -1},
      {"start id past the table", 4, 7},
      {"end id past the table", 8, 7},
      {"unknown id past the table", 16, 7},
      {"no strings", n_at, 0},
      {"more strings than announced", n_at, 6},
      {"fewer strings than announced", n_at, 8},
      {"empty blob", n_at + 4, 0},
      {"no id values", blob_end, 0},
      {"negative id value", blob_end + 8, -2},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes = good;
    put(bytes, c.at, c.value);
    load_result r = load_section(bytes);
    EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT) << c.name;
    EXPECT_EQ(r.errors, std::vector<std::string>{record_message(0xd2)}) << c.name;
  }
  std::vector<uint8_t> unterminated = good;
  unterminated[blob_end - 1] = 'x';
  EXPECT_EQ(load_section(unterminated).status, QZ_STATUS_INVALID_ARGUMENT);
}

TEST(VocabLoad, PieceModelFailureAddsItsSite) {
  vocab_model m = model();
  m.pieces.flags = 4;
  load_result r = load_section(tokenizer_section(m));
  EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(r.errors, (std::vector<std::string>{record_message(0xd2), site_message("e55d655")}));
}

}  // namespace
