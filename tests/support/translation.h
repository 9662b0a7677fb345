// Translating one text with an engine in tests.
#pragma once

#include <string>

#include "qz_norvo.h"

// The translation, or "<status N>" on failure.
inline std::string translate_text(qz_norvo_t *engine, const char *text) {
  char *out = nullptr;
  const qz_status_t status = qz_norvo_translate(engine, text, &out);
  if (status != QZ_STATUS_SUCCESS) return "<status " + std::to_string(status) + ">";
  std::string result(out);
  qz_norvo_translation_delete(engine, out);
  return result;
}
