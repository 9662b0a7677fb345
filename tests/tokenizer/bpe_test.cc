// Tokenizer kind 1: special cut, pattern split, rank-ordered merges, the
// byte alphabet, decoding, loading, and the ICU data package's lifetime.
#include <unicode/udata.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "tokenizer/regex.h"
#include "fixtures.h"

namespace {

constexpr const char *kWordPattern = R"( ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

// Byte ids are a permutation of 10..265, so nothing may take an id for a
// position in the vocabulary.
int32_t byte_id(unsigned char b) { return 10 + (b * 37) % 256; }

struct fixture_model {
  bpe_model model;

  fixture_model(std::string pattern = kWordPattern) {
    model.pattern = std::move(pattern);
    model.icu_package = icu_package();
    model.specials = {{"<|a|>!", 2}, {"<|a|>", 1}};
    for (int b = 0; b < 256; ++b)
      model.vocab.push_back({alphabet_form(std::string(1, static_cast<char>(b))), byte_id(b)});
  }
  // Adds a vocabulary string (raw bytes, stored in alphabet form).
  fixture_model &word(const std::string &bytes, int32_t id) {
    model.vocab.push_back({alphabet_form(bytes), id});
    return *this;
  }
  fixture_model &merge(int32_t left, int32_t right, int32_t rank) {
    model.merges.push_back({left, right, rank});
    return *this;
  }
  tokenizer_ptr load() {
    if (model.merges.empty()) merge(byte_id('q'), byte_id('q'), 99);  // a section needs one
    return load_model(model);
  }
};

int32_t b(char c) { return byte_id(static_cast<unsigned char>(c)); }
uint32_t u(int32_t id) { return static_cast<uint32_t>(id); }

TEST(BpeEncode, SpecialStringsShorterFirst) {
  tokenizer_ptr t = fixture_model().load();
  ASSERT_TRUE(t);
  EXPECT_EQ(encode(t.get(), "<|a|>!"), (std::vector<uint32_t>{1, u(b('!'))}));
  EXPECT_EQ(encode(t.get(), "<|a|>"), (std::vector<uint32_t>{1}));
  EXPECT_EQ(encode(t.get(), "x<|a|><|a|>y"), (std::vector<uint32_t>{u(b('x')), 1, 1, u(b('y'))}));
  // A special string cut short at the end of the text does not match.
  EXPECT_EQ(encode(t.get(), "<|a|"),
            (std::vector<uint32_t>{u(b('<')), u(b('|')), u(b('a')), u(b('|'))}));
  // add_start and add_end are ignored.
  EXPECT_EQ(encode(t.get(), "<|a|>", true, true), (std::vector<uint32_t>{1}));
}

TEST(BpeEncode, TextThePatternDoesNotMatchIsDropped) {
  tokenizer_ptr letters = fixture_model(R"(\p{L}+)").load();
  ASSERT_TRUE(letters);
  EXPECT_EQ(encode(letters.get(), "ab 12 c"),
            (std::vector<uint32_t>{u(b('a')), u(b('b')), u(b('c'))}));
  // No match at all: an empty result, not a failure.
  encode_result none = encode_text(letters.get(), "12 34");
  EXPECT_EQ(none.status, QZ_STATUS_SUCCESS);
  EXPECT_TRUE(none.null_array);
  EXPECT_TRUE(take_error_stack().empty());
  encode_result empty = encode_text(letters.get(), "");
  EXPECT_EQ(empty.status, QZ_STATUS_SUCCESS);
  EXPECT_TRUE(empty.null_array);
  // Letters beyond ASCII are letters to the pattern.
  EXPECT_EQ(encode(letters.get(), "1\xC3\xA9"),
            (std::vector<uint32_t>{u(b('\xC3')), u(b('\xA9'))}));
}

TEST(BpeEncode, MergesByRank) {
  struct {
    const char *name;
    fixture_model model;
    std::string text;
    std::vector<uint32_t> expected;
  } cases[] = {
      {"merged string in the vocabulary", fixture_model().word("ab", 300).merge(b('a'), b('b'), 0),
       "ab", {300}},
      {"merged string absent", fixture_model().merge(b('a'), b('b'), 0), "ab", {kNoId}},
      {"leftmost among equal ranks", fixture_model().word("aa", 300).merge(b('a'), b('a'), 0),
       "aaa", {300, u(b('a'))}},
      {"lowest rank first",
       fixture_model()
           .word("ab", 300)
           .word("bc", 301)
           .merge(b('a'), b('b'), 1)
           .merge(b('b'), b('c'), 0),
       "abc", {u(b('a')), 301}},
      {"merges chain",
       fixture_model()
           .word("ab", 300)
           .word("abc", 301)
           .merge(b('a'), b('b'), 0)
           .merge(300, b('c'), 1),
       "abc", {301}},
      // A -1 from a failed merge never merges again, even with a rule for it.
      {"no merges for -1", fixture_model().merge(b('a'), b('b'), 0).merge(-1, b('c'), 1), "abc",
       {kNoId, u(b('c'))}},
      {"merges stay inside a piece", fixture_model().word(" b", 300).merge(b('a'), b(' '), 0),
       "a b", {u(b('a')), u(b(' ')), u(b('b'))}},
      {"space joins the next word",
       fixture_model()
           .word(" h", 300)
           .word(" hi", 301)
           .merge(b(' '), b('h'), 0)
           .merge(300, b('i'), 1),
       "hi hi", {u(b('h')), u(b('i')), 301}},
      {"two-byte character", fixture_model().word("\xC3\xA9", 300).merge(b('\xC3'), b('\xA9'), 0),
       "\xC3\xA9t\xC3\xA9", {300, u(b('t')), 300}},
  };
  for (auto &c : cases) {
    tokenizer_ptr t = c.model.load();
    ASSERT_TRUE(t) << c.name;
    EXPECT_EQ(encode(t.get(), c.text), c.expected) << c.name;
  }
}

// A byte missing from the vocabulary is -1 and takes part in no merge.
TEST(BpeEncode, ByteMissingFromTheVocabulary) {
  fixture_model m;
  std::erase_if(m.model.vocab, [](const auto &v) { return v.second == b('x'); });
  m.merge(-1, b('y'), 0).merge(b('y'), -1, 0);
  tokenizer_ptr t = m.load();
  ASSERT_TRUE(t);
  EXPECT_EQ(encode(t.get(), "xyx"), (std::vector<uint32_t>{kNoId, u(b('y')), kNoId}));
}

TEST(BpeByteAlphabet, IsTheCommonByteToCharacterTable) {
  std::set<std::string> seen;
  for (int c = 0; c < 256; ++c) {
    const std::string s = QZ_NORVO_BYTE_STRINGS[c];
    EXPECT_EQ(s, alphabet_form(std::string(1, static_cast<char>(c)))) << c;
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 256u);
  EXPECT_STREQ(QZ_NORVO_BYTE_STRINGS[0x20], "\xC4\xA0");  // U+0120
  EXPECT_STREQ(QZ_NORVO_BYTE_STRINGS[0x00], "\xC4\x80");  // U+0100
  EXPECT_STREQ(QZ_NORVO_BYTE_STRINGS[0xAD], "\xC5\x83");  // U+0143, the last
  EXPECT_STREQ(QZ_NORVO_BYTE_STRINGS['A'], "A");
  EXPECT_STREQ(QZ_NORVO_BYTE_STRINGS[0xE9], "\xC3\xA9");
}

// Every text valid UTF-8 can spell, with every byte such text can hold,
// comes back unchanged.
TEST(BpeByteAlphabet, DecodeOfEncodeIsTheIdentity) {
  tokenizer_ptr t = fixture_model("(?s).+").load();
  ASSERT_TRUE(t);
  std::string text;
  for (int c = 1; c < 0x80; ++c) text += static_cast<char>(c);
  for (int c = 0x80; c < 0xC0; ++c) text += std::string("\xC2") + static_cast<char>(c);
  auto lead = [](int c) { return std::string(1, static_cast<char>(c)); };
  for (int c = 0xC2; c <= 0xDF; ++c) text += lead(c) + "\x80";
  for (int c = 0xE0; c <= 0xEF; ++c) text += lead(c) + (c == 0xE0 ? "\xA0\x80" : "\x80\x80");
  for (int c = 0xF0; c <= 0xF4; ++c) text += lead(c) + (c == 0xF0 ? "\x90\x80\x80" : "\x80\x80\x80");
  std::vector<uint32_t> ids = encode(t.get(), text);
  EXPECT_EQ(ids.size(), text.size());
  decode_result back = decode(t.get(), ids);
  EXPECT_EQ(back.text, text);
  EXPECT_EQ(back.cut, 0);

  // And every byte's own id decodes to that byte (a NUL ends the text).
  for (int c = 0; c < 256; ++c) {
    int cut = 0;
    char *out = nullptr;
    const uint32_t id = u(byte_id(static_cast<unsigned char>(c)));
    ASSERT_EQ(qz_norvo_bpe_tokenizer_decode(static_cast<const qz_norvo_bpe_tokenizer_t *>(t->impl),
                                            &id, 1, 0, &out),
              QZ_STATUS_SUCCESS);
    EXPECT_EQ(std::string(out), c ? std::string(1, static_cast<char>(c)) : std::string()) << c;
    std::free(out);
    (void)cut;
  }
}

TEST(BpeDecode, RunsSpecialsAndStrayIds) {
  fixture_model m;
  m.word(" hi", 303).word("wor", 304);
  m.model.vocab.push_back({"a b", 305});            // a raw space is no alphabet character
  m.model.vocab.push_back({"\xC5\x90", 306});       // U+0150, past the alphabet
  m.model.vocab.push_back({"\xC4", 307});           // half a character
  m.model.vocab.push_back({"\xA0", 308});           // ...and its other half
  tokenizer_ptr t = m.load();
  ASSERT_TRUE(t);
  struct {
    std::vector<uint32_t> ids;
    std::string expected;
  } cases[] = {
      {{303}, " hi"},
      {{304, u(b('l')), u(b('d'))}, "world"},
      {{u(b('x')), 1, 2, u(b('y'))}, "x<|a|><|a|>!y"},
      {{303, 5000, kNoId, 303}, " hi hi"},  // ids in no table are skipped
      {{305}, "a b"},                       // bytes that start no alphabet character pass through
      {{306}, "\xC5\x90"},
      {{307, 308}, " "},                    // a run is joined before it is read: Ġ
      {{}, ""},
  };
  for (const auto &c : cases) EXPECT_EQ(decode(t.get(), c.ids, 0).text, c.expected);
}

// ---------------------------------------------------------------------------
// Loading

void put(std::vector<uint8_t> &bytes, size_t at, int32_t value) {
  std::memcpy(&bytes[at], &value, sizeof value);
}

// A small section with known offsets: kind 0, vocab_limit 4, n 8, special
// bytes 12, specials "<x>\0" 16, special id 20, m 24, vocabulary bytes 28,
// "a\0b\0" 32, vocabulary ids 36, k 44, pair 48, rank 56, pattern length 60,
// pattern 64.
bpe_model small_model() {
  return {.vocab_limit = 0,
          .specials = {{"<x>", 9}},
          .vocab = {{"a", 0}, {"b", 1}},
          .merges = {{0, 1, 0}},
          .pattern = "\\p{L}+",
          .icu_package = icu_package()};
}

TEST(BpeLoad, RejectsBadFieldsWithoutMessages) {
  struct {
    const char *name;
    void (*edit)(std::vector<uint8_t> &);
  } cases[] = {
      {"negative vocabulary limit", [](auto &b) { put(b, 4, -1); }},
      {"vocabulary limit reaching n + m", [](auto &b) { put(b, 4, 3); }},
      {"negative special count", [](auto &b) { put(b, 8, -1); }},
      {"special bytes not above n", [](auto &b) { put(b, 12, 1); }},
      {"special blob not ending in NUL", [](auto &b) { b[19] = '!'; }},
      {"more special strings than announced", [](auto &b) { b[17] = 0; }},
      {"negative vocabulary count", [](auto &b) { put(b, 24, -1); }},
      {"fewer vocabulary strings than announced", [](auto &b) { put(b, 24, 3); }},
      {"vocabulary blob not ending in NUL", [](auto &b) { b[35] = 'c'; }},
      {"no merges", [](auto &b) { put(b, 44, 0); }},
      {"negative pattern length", [](auto &b) { put(b, 60, -1); }},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes = tokenizer_section(small_model());
    c.edit(bytes);
    load_result r = load_section(bytes);
    EXPECT_NE(r.status, QZ_STATUS_SUCCESS) << c.name;
    EXPECT_TRUE(r.status == QZ_STATUS_INVALID_ARGUMENT || r.status == QZ_STATUS_IO_ERROR) << c.name;
    EXPECT_TRUE(r.errors.empty()) << c.name;
  }
  // The cases that are plainly malformed say so.
  for (auto edit : {+[](std::vector<uint8_t> &b) { b[19] = '!'; },
                    +[](std::vector<uint8_t> &b) { b[17] = 0; },
                    +[](std::vector<uint8_t> &b) { put(b, 44, 0); }}) {
    std::vector<uint8_t> bytes = tokenizer_section(small_model());
    edit(bytes);
    EXPECT_EQ(load_section(bytes).status, QZ_STATUS_INVALID_ARGUMENT);
  }
}

// An empty special string would match at every position without moving on.
TEST(BpeLoad, RejectsAnEmptySpecialString) {
  bpe_model m = small_model();
  m.specials = {{"<x>", 9}, {"", 8}};
  load_result r = load_section(tokenizer_section(m));
  EXPECT_EQ(r.status, QZ_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(r.errors.empty());
}

TEST(BpeLoad, SectionWithoutSpecials) {
  bpe_model m = small_model();
  m.specials.clear();
  m.vocab_limit = 1;
  load_result r = load_section(tokenizer_section(m));
  ASSERT_EQ(r.status, QZ_STATUS_SUCCESS) << testing::PrintToString(r.errors);
  EXPECT_EQ(static_cast<const qz_norvo_bpe_tokenizer_t *>(r.tokenizer->impl)->special_count, 0);
  EXPECT_EQ(encode(r.tokenizer.get(), "ab"), (std::vector<uint32_t>{kNoId}));
  EXPECT_EQ(decode(r.tokenizer.get(), {0, 1}).text, "ab");
}

TEST(BpeLoad, IcuRejectsThePackageOrThePattern) {
  std::vector<uint8_t> pointer_form = icu_package();
  std::memcpy(&pointer_form[12], "ToCP", 4);
  std::vector<uint8_t> toc_too_long = icu_package();
  toc_too_long[32] = 200;
  std::vector<uint8_t> name_outside = icu_package({{"n.txt", icu_item("x")}});
  name_outside[36] = 0xF0;
  std::vector<uint8_t> big_endian = icu_package();
  big_endian[8] = 1;
  std::vector<uint8_t> header_only = icu_package();
  header_only.resize(24);
  struct {
    const char *name;
    std::vector<uint8_t> package;
    std::string pattern;
    unsigned record;
  } cases[] = {
      {"empty package", {}, "a", 0x230},
      {"junk", std::vector<uint8_t>(64, 0x5a), "a", 0x230},
      {"header only", header_only, "a", 0x230},
      {"pointer table of contents", pointer_form, "a", 0x230},
      {"table of contents past the end", toc_too_long, "a", 0x230},
      {"item name past the end", name_outside, "a", 0x230},
      {"other byte order", big_endian, "a", 0x230},
      {"unbalanced pattern", icu_package(), "(a", 0x231},
      {"unknown property", icu_package(), "\\p{Nonesuch}", 0x231},
  };
  for (const auto &c : cases) {
    bpe_model m = small_model();
    m.icu_package = c.package;
    m.pattern = c.pattern;
    load_result r = load_section(tokenizer_section(m));
    EXPECT_EQ(r.status, QZ_STATUS_RUNTIME_ERROR) << c.name;
    EXPECT_EQ(r.errors, std::vector<std::string>{record_message(c.record)}) << c.name;
  }
  bpe_model negative = small_model();
  std::vector<uint8_t> bytes = tokenizer_section(negative);
  put(bytes, bytes.size() - icu_package().size() - 4, -1);
  EXPECT_EQ(load_section(bytes).status, QZ_STATUS_INVALID_ARGUMENT);
}

// ---------------------------------------------------------------------------
// The ICU data package

const void *icu_data_of(const tokenizer_ptr &t) {
  return static_cast<const qz_norvo_bpe_tokenizer_t *>(t->impl)->icu_data;
}

// ICU reads items straight from the installed package, after its tokenizer
// is gone too. The check reads the bytes from instrumented code, so a freed
// package shows as a use after free.
TEST(BpeIcuData, PackageOutlivesItsTokenizer) {
  bpe_model m = small_model();
  m.icu_package = icu_package({{"qzkept.txt", icu_item("still here")}});
  const void *installed;
  {
    tokenizer_ptr t = load_model(m);
    ASSERT_TRUE(t);
    installed = icu_data_of(t);
  }
  UErrorCode status = U_ZERO_ERROR;
  UDataMemory *item = udata_open(nullptr, "txt", "qzkept", &status);
  ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  const auto *bytes = static_cast<const char *>(udata_getMemory(item));
  EXPECT_STREQ(bytes, "still here");
  const auto *start = static_cast<const char *>(installed);
  EXPECT_TRUE(bytes > start && bytes < start + m.icu_package.size());
  udata_close(item);
}

TEST(BpeIcuData, EqualPackagesShareOneCopy) {
  bpe_model first = small_model();
  bpe_model other = small_model();
  other.icu_package = icu_package({{"qzother.txt", icu_item("other")}});
  tokenizer_ptr a = load_model(first);
  tokenizer_ptr b = load_model(first);
  tokenizer_ptr c = load_model(other);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(icu_data_of(a), icu_data_of(b));
  EXPECT_NE(icu_data_of(a), icu_data_of(c));
  EXPECT_NE(icu_data_of(a), nullptr);
}

// Two tokenizers, freed, then two more: each with its own matcher, all
// reading the same package.
TEST(BpeIcuData, CreateFreeCreateTwoTokenizers) {
  const std::vector<uint8_t> section = tokenizer_section(fixture_model().word("ab", 300)
                                                             .merge(b('a'), b('b'), 0)
                                                             .model);
  for (int round = 0; round < 2; ++round) {
    load_result first = load_section(section);
    load_result second = load_section(section);
    ASSERT_EQ(first.status, QZ_STATUS_SUCCESS);
    ASSERT_EQ(second.status, QZ_STATUS_SUCCESS);
    EXPECT_EQ(encode(first.tokenizer.get(), "ab ab"), (std::vector<uint32_t>{300, u(b(' ')), 300}));
    EXPECT_EQ(encode(second.tokenizer.get(), "\xC3\xA9 ab"),
              (std::vector<uint32_t>{u(b('\xC3')), u(b('\xA9')), u(b(' ')), 300}));
    EXPECT_EQ(decode(second.tokenizer.get(), {300, u(b(' ')), 300}).text, "ab ab");
  }
}

TEST(BpeRegex, SplitReturnsMatchesInOrder) {
  qz_norvo_regex_t *regex = nullptr;
  ASSERT_EQ(qz_norvo_regex_create(kWordPattern, &regex), QZ_STATUS_SUCCESS);
  char **pieces = nullptr;
  int32_t count = 0;
  const std::string text = "Hi, w\xC3\xB6rld 42!\xF0\x9F\x98\x80  x";
  const auto length = static_cast<int64_t>(text.size());
  ASSERT_EQ(qz_norvo_regex_split(regex, text.data(), length, &pieces, &count), QZ_STATUS_SUCCESS);
  std::vector<std::string> got(pieces, pieces + count);
  EXPECT_EQ(got, (std::vector<std::string>{"Hi", ",", " w\xC3\xB6rld", " 42", "!\xF0\x9F\x98\x80",
                                            " ", " x"}));
  qz_norvo_regex_split_free(pieces, count);
  qz_norvo_regex_free(regex);
}

}  // namespace
