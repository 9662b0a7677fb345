// Reading the calling thread's error stack in tests.
#pragma once

#include <string>
#include <vector>

// The thread's messages, oldest first (empty when there are none); the stack
// is read out, so the next push starts a fresh one.
std::vector<std::string> take_error_stack();

// "0633a7d 00000136: <site>", the message of a site code.
std::string site_message(const std::string &site);
// "0633a7d 0000012C: Velthrane Error.", a caller record without text.
std::string caller_message(unsigned code = 0x12c);

// "0633a7d 000000D3: <text>", the message of a record with text.
std::string text_message(unsigned code, const std::string &text);
// Whether some message says that memory ran out.
bool says_out_of_memory(const std::vector<std::string> &stack);

// Whether some message explains the failure: its text is more than a site
// code, "Velthrane Error." or the name of a status.
bool has_explanation(const std::vector<std::string> &stack);
