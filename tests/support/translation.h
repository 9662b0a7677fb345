// The text an engine gives for one source text, for tests that compare
// translations.
#pragma once

#include <string>

#include "qz_norvo.h"

// The translation, or "<status N>" when the call fails.
inline std::string translated_text(qz_norvo_t *engine, const char *text) {
  char *out = nullptr;
  const qz_status_t status = qz_norvo_translate(engine, text, &out);
  if (status != QZ_STATUS_SUCCESS) return "<status " + std::to_string(status) + ">";
  std::string result(out);
  qz_norvo_translation_delete(engine, out);
  return result;
}
