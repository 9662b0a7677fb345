/* Translates a file of texts, one per line, with one engine:
 *
 *   qz_translate_batch MODEL DEVICE [FILE]
 *
 * Lines come from FILE, or from standard input when FILE is absent or "-".
 * Each line (without its line ending) is one text; one line of translation
 * is written per input line, so the outputs stay aligned with the inputs.
 * A text that cannot be translated (an empty line, a text over the model's
 * character limit, ...) gives an empty output line and a message with the
 * error stack on standard error; the exit status is then 1. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include "qz_norvo.h"

static void print_error_stack(void) {
  char **messages = NULL;
  int32_t depth = 0;
  if (qz_get_error_stack(&messages, &depth) != QZ_STATUS_SUCCESS && !messages) return;
  for (int32_t i = 0; i < depth; ++i) fprintf(stderr, "  %s\n", messages[i]);
  qz_free_error_stack(messages);
}

/* Cuts a trailing "\n" or "\r\n" off a line of `length` bytes. */
static void chomp(char *line, ssize_t length) {
  if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
  if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s MODEL DEVICE [FILE]\n", argv[0]);
    return 2;
  }
  FILE *input = stdin;
  if (argc == 4 && strcmp(argv[3], "-") != 0) {
    input = fopen(argv[3], "r");
    if (!input) {
      perror(argv[3]);
      return 2;
    }
  }

  qz_norvo_t *engine = NULL;
  qz_status_t status = qz_norvo_init(argv[1], argv[2], &engine);
  if (status != QZ_STATUS_SUCCESS) {
    fprintf(stderr, "creating the engine failed: %s\n", qz_status_to_string(status));
    print_error_stack();
    if (input != stdin) fclose(input);
    return 1;
  }

  int result = 0;
  char *line = NULL;
  size_t capacity = 0;
  ssize_t length;
  for (long number = 1; (length = getline(&line, &capacity, input)) >= 0; ++number) {
    chomp(line, length);
    char *translation = NULL;
    status = qz_norvo_translate(engine, line, &translation);
    if (status == QZ_STATUS_SUCCESS) {
      printf("%s\n", translation);
      qz_norvo_translation_delete(engine, translation);
    } else {
      printf("\n");
      fprintf(stderr, "line %ld: translating failed: %s\n", number, qz_status_to_string(status));
      print_error_stack();
      result = 1;
    }
    /* Flushed per line so that a reader on a pipe sees each result as soon
     * as it is made. */
    fflush(stdout);
  }
  if (ferror(input)) {
    perror("reading the input");
    result = 1;
  }
  free(line);
  qz_norvo_delete(engine);
  if (input != stdin) fclose(input);
  return result;
}
