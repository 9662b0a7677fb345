/* Prints the devices an engine can run on, one per line. */
#include <stdio.h>

#include "qz_norvo.h"

static void print_error_stack(void) {
  char **messages = NULL;
  int32_t depth = 0;
  if (qz_get_error_stack(&messages, &depth) != QZ_STATUS_SUCCESS && !messages) return;
  for (int32_t i = 0; i < depth; ++i) fprintf(stderr, "  %s\n", messages[i]);
  qz_free_error_stack(messages);
}

int main(void) {
  char **devices = NULL;
  int32_t count = 0;
  qz_status_t status = qz_norvo_list_hardware_devices(&devices, &count);
  if (status != QZ_STATUS_SUCCESS) {
    fprintf(stderr, "listing devices failed: %s\n", qz_status_to_string(status));
    print_error_stack();
    return 1;
  }
  printf("libqz_norvo %s\n", qz_norvo_version());
  for (int32_t i = 0; i < count; ++i) printf("%s\n", devices[i]);
  qz_norvo_free_hardware_devices(devices, count);
  return 0;
}
