// The engine's exported functions.
#include <cstdlib>

#include "qz_norvo.h"

extern "C" const char *qz_norvo_version(void) { return "1.1.0"; }

extern "C" void qz_norvo_translation_delete(qz_norvo_t *, char *translation) {
  std::free(translation);
}
