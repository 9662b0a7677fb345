// Tokenizer kind 0: loading, lattice segmentation, merge encoding, decoding.
#include <cmath>
#include <cstring>

#include "fixtures.h"

namespace {

using pieces_t = std::vector<std::pair<std::string, float>>;

const qz_norvo_piece_tokenizer_t *piece_record(const tokenizer_ptr &t) {
  return static_cast<const qz_norvo_piece_tokenizer_t *>(t->impl);
}

// The segmenter's pieces as strings.
std::vector<std::string> segment(const tokenizer_ptr &t, const std::string &text) {
  int32_t count = -1;
  char *buffer = nullptr;
  EXPECT_EQ(qz_norvo_piece_segment(piece_record(t), text.c_str(), &count, &buffer),
            QZ_STATUS_SUCCESS);
  std::vector<std::string> out;
  const char *p = buffer;
  for (int32_t i = 0; i < count; ++i) {
    out.emplace_back(p);
    p += out.back().size() + 1;
  }
  std::free(buffer);
  return out;
}

// Id 0 is the unknown piece in every vocabulary here.
TEST(PieceSegment, BestScoreTiesAndUnknowns) {
  struct {
    const char *name;
    pieces_t pieces;
    int32_t flags;
    std::string text;
    std::vector<std::string> expected;
  } cases[] = {
      {"whole piece beats parts", {{"<unk>", 0}, {"a", -1}, {"b", -2}, {"ab", -2.5}}, 0, "ab", {"ab"}},
      {"parts beat whole piece", {{"<unk>", 0}, {"a", -1}, {"b", -1}, {"ab", -2.5}}, 0, "ab", {"a", "b"}},
      {"tie keeps the first candidate", {{"<unk>", 0}, {"a", -1}, {"b", -1}, {"ab", -2}}, 0, "ab", {"ab"}},
      // a|bc, ab|c and a|b|c all score -3: the longest last piece wins.
      {"three-way tie",
       {{"<unk>", 0}, {"a", -1}, {"b", -1}, {"c", -1}, {"ab", -2}, {"bc", -2}}, 0, "abc", {"a", "bc"}},
      {"unknown byte is a piece of its own", {{"<unk>", 0}, {"a", -1}}, 0, "axa", {"a", "x", "a"}},
      // The unknown byte's score replaces the path score (-1 is not added),
      // so a|z|a (-30.96) beats a|za (-31.7).
      {"unknown score replaces the path score",
       {{"<unk>", 0}, {"a", -1}, {"za", -30.7f}}, 0, "aza", {"a", "z", "a"}},
      {"unknown two-byte character is one piece", {{"<unk>", 0}, {"a", -1}}, 0, "\xC3\xA9", {"\xC3\xA9"}},
      {"run of unknown characters is one piece",
       {{"<unk>", 0}, {"a", -1}}, 0, "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80" "a",
       {"a", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", "a"}},
      {"known character ends a run",
       {{"<unk>", 0}, {"\xC3\xA9", -1}}, 0, "\xC3\xA8\xC3\xA9\xC3\xA8", {"\xC3\xA8", "\xC3\xA9", "\xC3\xA8"}},
      {"leading space", {{"<unk>", 0}, {" x", -1}, {" ", -1}, {"x", -1}}, 1, "x", {" x"}},
      {"NFKC: ligature and full-width letters",
       {{"<unk>", 0}, {"fi", -1}, {"A", -1}}, 0, "\xEF\xAC\x81\xEF\xBC\xA1", {"fi", "A"}},
      {"NFKC: composed form", {{"<unk>", 0}, {"\xC3\xA9", -1}}, 0, "e\xCC\x81", {"\xC3\xA9"}},
      {"empty text", {{"<unk>", 0}, {"a", -1}}, 0, "", {}},
  };
  for (const auto &c : cases) {
    tokenizer_ptr t = load_model(piece_model{.pieces = c.pieces, .flags = c.flags});
    ASSERT_TRUE(t) << c.name;
    EXPECT_EQ(segment(t, c.text), c.expected) << c.name;
  }
}

TEST(PieceEncode, LatticeIdsWithStartAndEnd) {
  piece_model model{.pieces = {{"<unk>", 0}, {"<s>", 0}, {"</s>", 0}, {"a", -1}, {"b", -2}, {"ab", -2.5}},
                    .start_id = 1,
                    .end_id = 2};
  tokenizer_ptr t = load_model(model);
  ASSERT_TRUE(t);
  EXPECT_EQ(encode(t.get(), "abxa"), (std::vector<uint32_t>{5, 0, 3}));
  EXPECT_EQ(encode(t.get(), "ab", true, true), (std::vector<uint32_t>{1, 5, 2}));
  EXPECT_EQ(encode(t.get(), "\xC3\xA9"), (std::vector<uint32_t>{0}));
  encode_result empty = encode_text(t.get(), "");
  EXPECT_EQ(empty.status, QZ_STATUS_SUCCESS);
  EXPECT_TRUE(empty.ids.empty());
  EXPECT_TRUE(empty.null_array);
  EXPECT_EQ(encode(t.get(), "", true, true), (std::vector<uint32_t>{1, 2}));
}

// Text that is not UTF-8 is the caller's error, not a lack of memory.
TEST(PieceEncode, InvalidUtf8IsAnInvalidArgument) {
  tokenizer_ptr t = load_model(piece_model{.pieces = {{"<unk>", 0}, {"a", -1}}});
  ASSERT_TRUE(t);
  for (const char *text : {"a\xFF", "\xC3", "\xED\xA0\x80"}) {
    encode_result r = encode_text(t.get(), text);
    EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_stack(),
              (std::vector<std::string>{"0633a7d 00000065: Argument `text` is invalid.",
                                        site_message("02dcf80"), record_message(0x137)}));
  }
}

TEST(PieceMerge, ScoreOrderByteFallbackAndSpecials) {
  struct {
    const char *name;
    piece_model model;
    std::string text;
    bool add_start;
    std::vector<uint32_t> expected;
  } cases[] = {
      {"pair merges", {.pieces = {{"<unk>", 0}, {"a", -1}, {"b", -1}, {"ab", -1}}}, "ab", false, {3}},
      {"higher score first",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"b", 0}, {"c", 0}, {"ab", -1}, {"bc", -0.5}}},
       "abc", false, {1, 5}},
      // Equal scores: the candidate pushed first (leftmost) pops first.
      {"equal scores",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"b", 0}, {"c", 0}, {"ab", -1}, {"bc", -1}}},
       "abc", false, {4, 3}},
      {"merges chain",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"b", 0}, {"c", 0}, {"ab", -1}, {"abc", -2}}},
       "abc", false, {5}},
      {"byte pieces for unknown characters",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"<0xC3>", 0}, {"<0xA9>", 0}, {"<0x01>", 0}}},
       "\x01" "a\xC3\xA9", false, {4, 1, 2, 3}},
      // A byte without a byte piece is -1, and -1 never merges.
      {"missing byte piece",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"xa", 0}}}, "xa", false, {kNoId, 1}},
      {"missing space piece", {.pieces = {{"<unk>", 0}, {"a", 0}}, .flags = 1}, "a", false, {kNoId, 1}},
      {"leading space merges",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {" ", 0}, {" a", -1}}, .flags = 1}, "a", false, {3}},
      {"special piece is taken whole",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"<", 0}, {"s", 0}, {">", 0}, {"<s>", 0}}, .specials = {5}},
       "a<s>a", false, {1, 5, 1}},
      // The last special that sorts before the rest must be its prefix.
      {"special lookup takes the last one that sorts before",
       {.pieces = {{"<unk>", 0}, {"<", 0}, {"s", 0}, {">", 0}, {"y", 0}, {"<s>", 0}, {"<s>x", 0}},
        .specials = {5, 6}},
       "<s>y", false, {1, 2, 3, 4}},
      // An empty special piece would match everywhere without moving on.
      {"empty special piece never matches",
       {.pieces = {{"<unk>", 0}, {"a", 0}, {"", 0}}, .specials = {2}}, "aa", false, {1, 1}},
      {"the text never merges with the start id",
       {.pieces = {{"<unk>", 0}, {"<s>", 0}, {"a", 0}, {"<s>a", 5}}, .start_id = 1},
       "a", true, {1, 2}},
  };
  for (auto &c : cases) {
    c.model.mode = 2;
    tokenizer_ptr t = load_model(c.model);
    ASSERT_TRUE(t) << c.name;
    EXPECT_EQ(encode(t.get(), c.text, c.add_start), c.expected) << c.name;
  }
}

// Minus infinity and NaN scores end the merging; such pieces never form.
TEST(PieceMerge, CandidatesBelowTheLowestScoreStopMerging) {
  for (float bad : {-INFINITY, NAN}) {
    piece_model model{.pieces = {{"<unk>", 0}, {"a", 0}, {"b", 0}, {"ab", bad}}, .mode = 2};
    tokenizer_ptr t = load_model(model);
    ASSERT_TRUE(t);
    EXPECT_EQ(encode(t.get(), "ab"), (std::vector<uint32_t>{1, 2}));
  }
}

TEST(PieceHeap, PopsTheHighestScoreFirst) {
  qz_norvo_merge_heap_t heap{};
  const float scores[] = {1, 5, 3, 5, -2, 4, 0, 7, 7};
  for (int i = 0; i < 9; ++i) {
    auto c = static_cast<qz_norvo_merge_candidate_t *>(
        std::calloc(1, sizeof(qz_norvo_merge_candidate_t)));
    c->id = i;
    c->score = scores[i];
    ASSERT_EQ(qz_norvo_merge_heap_push(&heap, c), 0);
  }
  std::vector<float> popped;
  for (int i = 0; i < 4; ++i) {
    qz_norvo_merge_candidate_t *c = qz_norvo_merge_heap_pop(&heap);
    popped.push_back(c->score);
    std::free(c);
  }
  EXPECT_EQ(popped, (std::vector<float>{7, 7, 5, 5}));
  qz_norvo_merge_heap_free(&heap);  // frees the five left
  EXPECT_EQ(qz_norvo_merge_heap_pop(&heap), nullptr);
}

TEST(PieceDecode, BytePiecesLeadingSpacesAndUnknownIds) {
  piece_model model{.pieces = {{"<unk>", 0}, {"<s>", 0}, {"  hello", 0}, {" world", 0}, {"<0x41>", 0},
                               {"<0x4g>", 0}, {"<0x4a>", 0}, {"<0x20>", 0}, {"<0x41", 0}},
                    .start_id = 1};
  tokenizer_ptr t = load_model(model);
  ASSERT_TRUE(t);
  struct {
    std::vector<uint32_t> ids;
    int32_t previous;
    std::string expected;
  } cases[] = {
      {{2, 3}, 1, "hello world"},       // after the start id the first piece loses its spaces
      {{2, 3}, 0, "  hello world"},     // otherwise not
      {{3, 2}, 1, "world  hello"},      // only the first piece
      {{4}, 0, "A"},
      {{5, 6, 8}, 0, "<0x4g><0x4a><0x41"},  // not byte pieces: copied as they are
      {{7, 4}, 1, " A"},                // a byte piece of a space is a byte, not a leading space
      {{4, 999, kNoId, 4}, 0, "AA"},    // ids outside the vocabulary are skipped
      {{}, 0, ""},
  };
  for (const auto &c : cases) EXPECT_EQ(decode(t.get(), c.ids, c.previous).text, c.expected);
}

// ---------------------------------------------------------------------------
// Loading

std::vector<uint8_t> good_piece_section() {
  return tokenizer_section(piece_model{.pieces = {{"<unk>", 0}, {"a", -1}, {"b", -2}},
                                       .specials = {1},
                                       .start_id = 1,
                                       .end_id = 2,
                                       .flags = 3,
                                       .mode = 2});
}

void put(std::vector<uint8_t> &bytes, size_t at, int32_t value) {
  std::memcpy(&bytes[at], &value, sizeof value);
}

TEST(PieceLoad, FieldsOfAGoodSection) {
  load_result r = load_section(good_piece_section());
  ASSERT_EQ(r.status, QZ_STATUS_SUCCESS);
  const qz_norvo_piece_tokenizer_t *t = piece_record(r.tokenizer);
  EXPECT_EQ(t->piece_count, 3);
  EXPECT_EQ(t->special_count, 1);
  EXPECT_EQ(t->start_id, 1);
  EXPECT_EQ(t->end_id, 2);
  EXPECT_EQ(t->add_leading_space, 1);
  EXPECT_EQ(t->flag2, 1);
  EXPECT_EQ(t->mode, 2);
  EXPECT_EQ(t->max_piece_length, 5);
  EXPECT_STREQ(t->pieces[2], "b");
  EXPECT_EQ(t->scores[2], -2.0f);
}

// Offsets in the section: kind 0, n 4, m 8, start 12, end 16, flags 20,
// mode 24, byte count 28, blob 32 ("<unk>\0a\0b\0", 10 bytes), scores 42,
// special ids 54.
TEST(PieceLoad, RejectsBadFields) {
  struct {
    const char *name;
    void (*edit)(std::vector<uint8_t> &);
  } cases[] = {
      {"no pieces", [](auto &b) { put(b, 4, 0); }},
      {"negative special count", [](auto &b) { put(b, 8, -1); }},
      {"start id past the end", [](auto &b) { put(b, 12, 3); }},
      {"negative end id", [](auto &b) { put(b, 16, -1); }},
      {"flags 4", [](auto &b) { put(b, 20, 4); }},
      {"negative flags", [](auto &b) { put(b, 20, -1); }},
      {"empty blob", [](auto &b) { put(b, 28, 0); }},
      {"blob with more strings", [](auto &b) { put(b, 4, 2); put(b, 12, 0); put(b, 16, 0); }},
      {"blob with fewer strings", [](auto &b) { put(b, 4, 4); }},
      {"blob not ending in NUL", [](auto &b) { b[41] = 'x'; }},
      {"special id past the end", [](auto &b) { put(b, 54, 3); }},
      {"negative special id", [](auto &b) { put(b, 54, -1); }},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes = good_piece_section();
    c.edit(bytes);
    load_result r = load_section(bytes);
    EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT) << c.name;
    EXPECT_EQ(r.errors, std::vector<std::string>{record_message(0xd2)}) << c.name;
  }
}

TEST(PieceLoad, ShortReadsReportTheRead) {
  const std::vector<uint8_t> bytes = good_piece_section();
  for (size_t cut : {size_t{6}, size_t{30}, size_t{40}, size_t{50}, bytes.size() - 1}) {
    load_result r = load_section(bytes, cut);
    EXPECT_EQ(r.status, QZ_STATUS_IO_ERROR) << cut;
    EXPECT_EQ(r.errors,
              std::vector<std::string>{"0633a7d 000000CA: Failed to read parameter from file."})
        << cut;
  }
}

}  // namespace
