// The shared library exports exactly the functions of the public header.
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

std::set<std::string> header_functions() {
  std::ifstream header(QZ_SOURCE_DIR "/include/qz_norvo.h");
  std::stringstream text;
  text << header.rdbuf();
  const std::string s = text.str();
  const std::regex declaration(R"(QZ_API[^;(]*?\b(qz_\w+)\s*\()");
  std::set<std::string> names;
  for (std::sregex_iterator it(s.begin(), s.end(), declaration), end; it != end; ++it)
    names.insert((*it)[1]);
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
