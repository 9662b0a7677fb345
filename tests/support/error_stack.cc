#include "support/error_stack.h"

#include <cctype>
#include <cstdio>

#include "common/error.h"

std::vector<std::string> take_error_stack() {
  // A begin makes sure a spare message array exists without touching the
  // messages (they are only marked stale).
  qz_error_stack_begin();
  char **messages = nullptr;
  int32_t depth = 0;
  qz_get_error_stack(&messages, &depth);
  std::vector<std::string> result;
  for (int32_t i = 0; i < depth; ++i) result.emplace_back(messages[i]);
  qz_free_error_stack(messages);
  return result;
}

std::string site_message(const std::string &site) { return "0633a7d 00000136: " + site; }

std::string caller_message(unsigned code) {
  char text[64];
  std::snprintf(text, sizeof text, "0633a7d %08X: Velthrane Error.", code);
  return text;
}

std::string text_message(unsigned code, const std::string &text) {
  char head[32];
  std::snprintf(head, sizeof head, "0633a7d %08X: ", code);
  return head + text;
}

bool says_out_of_memory(const std::vector<std::string> &stack) {
  // "Failed to allocate, out of memory." of host and device allocations, and
  // the device layer's messages that name the cause in parentheses.
  for (const std::string &message : stack)
    if (message.find("out of memory") != std::string::npos) return true;
  return false;
}

bool has_explanation(const std::vector<std::string> &stack) {
  for (const std::string &message : stack) {
    // "0633a7d 00000136: " is 18 characters.
    if (message.size() <= 18) continue;
    const std::string text = message.substr(18);
    bool site = text.size() == 7;
    for (char c : text) site = site && std::isxdigit(static_cast<unsigned char>(c));
    bool status_name = false;
    for (qz_status_t s = 0; s < 8; ++s) status_name = status_name || text == qz_status_to_string(s);
    if (!site && !status_name && text != "Velthrane Error.") return true;
  }
  return false;
}
