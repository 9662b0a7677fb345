// Segments texts with a model file's own tokenizer, one per line:
//
//   qz_segment MODEL [FILE]
//
// Writes the ids of each line (without its line ending), space-separated,
// with no start or end id added; an empty text gives an empty line. Lines
// come from FILE, or from standard input when FILE is absent or "-". The
// model is loaded whole (on one CPU thread), and its tokenizer is reached
// through the engine's internal headers.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "tokenizer/tokenizer.h"
#include "qz_norvo.h"

namespace {

void print_error_stack() {
  char **messages = nullptr;
  int32_t depth = 0;
  if (qz_get_error_stack(&messages, &depth) != QZ_STATUS_SUCCESS && !messages) return;
  for (int32_t i = 0; i < depth; ++i) std::fprintf(stderr, "  %s\n", messages[i]);
  qz_free_error_stack(messages);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s MODEL [FILE]\n", argv[0]);
    return 2;
  }
  FILE *input = stdin;
  if (argc == 3 && std::strcmp(argv[2], "-") != 0) {
    input = std::fopen(argv[2], "r");
    if (!input) {
      std::perror(argv[2]);
      return 2;
    }
  }
  qz_norvo_t *engine = nullptr;
  qz_status_t status = qz_norvo_init(argv[1], "cpu:1", &engine);
  if (status != QZ_STATUS_SUCCESS) {
    std::fprintf(stderr, "loading the model failed: %s\n", qz_status_to_string(status));
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
    int32_t count = 0;
    uint32_t *ids = nullptr;
    status = qz_norvo_tokenizer_encode(engine->tokenizer, line, 0, 0, &count, &ids);
    if (status != QZ_STATUS_SUCCESS) {
      std::printf("\n");
      std::fprintf(stderr, "line %ld: segmenting failed: %s\n", number,
                   qz_status_to_string(status));
      print_error_stack();
      result = 1;
      continue;
    }
    for (int32_t i = 0; i < count; ++i) std::printf(i ? " %u" : "%u", ids[i]);
    std::printf("\n");
    std::free(ids);
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
