// Translates a file of texts, one per line, like qz_translate_batch, and
// also shows what the search ended with:
//
//   qz_translate_ids MODEL DEVICE [FILE]
//
// One output line per input line, three tab-separated columns:
//   translation <TAB> ids of the best hypothesis <TAB> the finished pool
// The ids are those the text was decoded from (start id and final end id
// dropped, as the translation drops them). The pool lists its B rows, best
// first, separated by " | ", each as "score: ids" with the row's
// length-normalised score. A failed text gives an empty line and a message
// on standard error (exit status 1).
//
// The search record keeps its pool until the next translation resets it, so
// the ids are read from it after qz_norvo_translate returns; this needs the
// engine's internal headers, hence a tool of its own linked to the library's
// objects rather than to the shared library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/search.h"
#include "qz_norvo.h"

namespace {

void print_error_stack() {
  char **messages = nullptr;
  int32_t depth = 0;
  if (qz_get_error_stack(&messages, &depth) != QZ_STATUS_SUCCESS && !messages) return;
  for (int32_t i = 0; i < depth; ++i) std::fprintf(stderr, "  %s\n", messages[i]);
  qz_free_error_stack(messages);
}

// The ids of pool row `row`, position 0 included, the way the search reads
// its best row: one id per set parent after the first position.
std::string pool_row_ids(const qz_norvo_t *engine, int32_t row) {
  const qz_norvo_search_t *search = engine->search;
  const size_t L = static_cast<size_t>(search->max_output_length);
  const int64_t *tokens = search->pool_tokens + static_cast<size_t>(row) * L;
  const int32_t *parents = search->pool_parents + static_cast<size_t>(row) * (L - 1);
  size_t n = static_cast<size_t>(search->first_position);
  for (size_t j = 0; j < L - 1; ++j)
    if (parents[j] >= 0) ++n;
  if (n > L) n = L;
  // Dropped as the translation drops them: a leading start id, and a
  // trailing end id unless it stands alone.
  size_t first = 0, last = n;
  if (n >= 1 && tokens[0] == engine->start_id) first = 1;
  if (n >= 2 && tokens[n - 1] == engine->end_id) last = n - 1;
  std::string out;
  for (size_t j = first; j < last; ++j) {
    if (j > first) out += ' ';
    out += std::to_string(static_cast<uint32_t>(tokens[j] & 0xffffffff));
  }
  return out;
}

void print_result(const qz_norvo_t *engine, const char *translation) {
  const qz_norvo_search_t *search = engine->search;
  std::printf("%s\t%s\t", translation, pool_row_ids(engine, 0).c_str());
  for (int32_t row = 0; row < search->beam_size; ++row) {
    if (row > 0) std::printf(" | ");
    std::printf("%.9g: %s", static_cast<double>(search->pool_score[row]),
                pool_row_ids(engine, row).c_str());
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s MODEL DEVICE [FILE]\n", argv[0]);
    return 2;
  }
  FILE *input = stdin;
  if (argc == 4 && std::strcmp(argv[3], "-") != 0) {
    input = std::fopen(argv[3], "r");
    if (!input) {
      std::perror(argv[3]);
      return 2;
    }
  }
  qz_norvo_t *engine = nullptr;
  qz_status_t status = qz_norvo_init(argv[1], argv[2], &engine);
  if (status != QZ_STATUS_SUCCESS) {
    std::fprintf(stderr, "creating the engine failed: %s\n", qz_status_to_string(status));
    print_error_stack();
    if (input != stdin) std::fclose(input);
    return 1;
  }

  int result = 0;
  char *line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  for (long number = 1; (length = getline(&line, &capacity, input)) >= 0; ++number) {
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
    char *translation = nullptr;
    status = qz_norvo_translate(engine, line, &translation);
    if (status == QZ_STATUS_SUCCESS) {
      print_result(engine, translation);
      qz_norvo_translation_delete(engine, translation);
    } else {
      std::printf("\n");
      std::fprintf(stderr, "line %ld: translating failed: %s\n", number,
                   qz_status_to_string(status));
      print_error_stack();
      result = 1;
    }
    std::fflush(stdout);
  }
  if (std::ferror(input)) {
    std::perror("reading the input");
    result = 1;
  }
  std::free(line);
  qz_norvo_delete(engine);
  if (input != stdin) std::fclose(input);
  return result;
}
