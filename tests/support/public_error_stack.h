// The error stack as an application reads it: through the public interface
// only, for the programs that link the shared library.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "qz_norvo.h"

// The calling thread's messages, innermost first; the stack is read out.
inline std::vector<std::string> read_public_error_stack() {
  char **messages = nullptr;
  int32_t depth = 0;
  std::vector<std::string> out;
  if (qz_get_error_stack(&messages, &depth) != QZ_STATUS_SUCCESS && !messages) return out;
  for (int32_t i = 0; i < depth; ++i) out.emplace_back(messages[i]);
  qz_free_error_stack(messages);
  return out;
}

// "0633a7d XXXXXXXX: text": the tag, the code in eight upper-case hexadecimal
// digits, then a non-empty text of printable characters without "(null)".
inline bool message_is_well_formed(const std::string &message) {
  if (message.size() < 19 || message.compare(0, 8, "0633a7d ") != 0) return false;
  for (size_t i = 8; i < 16; ++i)
    if (!std::isdigit(uint8_t(message[i])) && !(message[i] >= 'A' && message[i] <= 'F'))
      return false;
  if (message.compare(16, 2, ": ") != 0) return false;
  for (unsigned char ch : message)
    if (ch < 0x20 || ch == 0x7f) return false;
  return message.find("(null)") == std::string::npos;
}

// Whether some message says what failed: its text is more than a site code,
// "Velthrane Error." or the name of a status.
inline bool messages_explain_the_failure(const std::vector<std::string> &messages) {
  for (const std::string &m : messages) {
    if (m.size() < 18) continue;
    const std::string text = m.substr(18);
    const bool site =
        text.size() == 7 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
          return std::isxdigit(c) != 0;
        });
    bool status_name = false;
    for (qz_status_t s = 0; s < 8; ++s) status_name = status_name || text == qz_status_to_string(s);
    if (!site && !status_name && text != "Velthrane Error.") return true;
  }
  return false;
}
