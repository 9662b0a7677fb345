/* A failure must be readable right after it, even when the failing call is
 * the first call of the process into the library (no earlier call has set
 * anything up). A program of its own, so that nothing runs before it. */
#include <stdio.h>
#include <string.h>

#include "qz_norvo.h"

int main(void) {
  char *translation = NULL;
  qz_status_t status = qz_norvo_translate(NULL, "text", &translation);
  if (status != QZ_STATUS_INVALID_ARGUMENT) {
    fprintf(stderr, "translate(NULL) gave %d\n", status);
    return 1;
  }
  char **messages = NULL;
  int32_t depth = 0;
  status = qz_get_error_stack(&messages, &depth);
  if (status != QZ_STATUS_SUCCESS || depth < 1 || !messages) {
    fprintf(stderr, "reading the stack gave %d with depth %d\n", status, depth);
    return 1;
  }
  const char *expected = "0633a7d 00000064: Argument `object` is NULL.";
  int ok = strcmp(messages[0], expected) == 0;
  if (!ok) fprintf(stderr, "innermost message \"%s\", expected \"%s\"\n", messages[0], expected);
  qz_free_error_stack(messages);
  return ok ? 0 : 1;
}
