// The shared library exports exactly the functions of the public header.
#include <cstdio>
#include <fstream>
#include <cctype>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include "test_paths.h"

namespace {

std::set<std::string> header_functions() {
  std::ifstream header(QZ_SOURCE_DIR "/include/qz_norvo.h");
  std::stringstream text;
  text << header.rdbuf();
  const std::string s = text.str();
  // Each "QZ_API <return type> qz_name(": the identifier before the first
  // parenthesis of the declaration.
  std::set<std::string> names;
  for (size_t at = s.find("QZ_API"); at != std::string::npos; at = s.find("QZ_API", at + 1)) {
    const size_t paren = s.find('(', at);
    if (paren == std::string::npos || s.find(';', at) < paren) continue;
    size_t end = paren;
    while (end > at && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
    size_t begin = end;
    while (begin > at && (std::isalnum(static_cast<unsigned char>(s[begin - 1])) || s[begin - 1] == '_'))
      --begin;
    const std::string name = s.substr(begin, end - begin);
    if (name.rfind("qz_", 0) == 0) names.insert(name);
  }
  return names;
}

std::set<std::string> exported_symbols() {
  std::set<std::string> names;
  FILE *nm = popen("nm -D --defined-only " QZ_SHARED_LIBRARY, "r");
  if (!nm) return names;
  char line[512];
  while (std::fgets(line, sizeof line, nm)) {
    char address[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3) names.insert(name);
  }
  pclose(nm);
  return names;
}

TEST(SharedLibrary, ExportsOnlyThePublicFunctions) {
  const std::set<std::string> expected = header_functions();
  ASSERT_EQ(expected.size(), 17u);
  EXPECT_EQ(exported_symbols(), expected);
}

}  // namespace
