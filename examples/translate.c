/* Translates one text with a model file on a device:
 *
 *   qz_translate MODEL DEVICE TEXT...
 *
 * The words of TEXT are joined with single spaces. On failure the status and
 * the error stack are printed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qz_norvo.h"

static void print_error_stack(void) {
  char **messages = NULL;
  int32_t depth = 0;
  if (qz_get_error_stack(&messages, &depth) != QZ_STATUS_SUCCESS && !messages) return;
  for (int32_t i = 0; i < depth; ++i) fprintf(stderr, "  %s\n", messages[i]);
  qz_free_error_stack(messages);
}

static int fail(const char *what, qz_status_t status) {
  fprintf(stderr, "%s failed: %s\n", what, qz_status_to_string(status));
  print_error_stack();
  return 1;
}

/* The arguments from `first` on, joined with spaces, in a malloc'd string. */
static char *join(int count, char **words) {
  size_t length = 1;
  for (int i = 0; i < count; ++i) length += strlen(words[i]) + 1;
  char *text = malloc(length);
  if (!text) return NULL;
  text[0] = '\0';
  for (int i = 0; i < count; ++i) {
    if (i > 0) strcat(text, " ");
    strcat(text, words[i]);
  }
  return text;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s MODEL DEVICE TEXT...\n", argv[0]);
    return 2;
  }
  char *text = join(argc - 3, argv + 3);
  if (!text) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }

  qz_norvo_t *engine = NULL;
  qz_status_t status = qz_norvo_init(argv[1], argv[2], &engine);
  if (status != QZ_STATUS_SUCCESS) {
    free(text);
    return fail("creating the engine", status);
  }

  char *translation = NULL;
  status = qz_norvo_translate(engine, text, &translation);
  free(text);
  if (status != QZ_STATUS_SUCCESS) {
    int result = fail("translating", status);
    qz_norvo_delete(engine);
    return result;
  }
  printf("%s\n", translation);
  qz_norvo_translation_delete(engine, translation);
  qz_norvo_delete(engine);
  return 0;
}
