// The main of the test programs the Windows lane runs. Each program runs
// whole in one process there (starting one per case under the emulator
// would take most of the lane's time), so every case begins with the
// calling thread's error stack read out, as it would in a process of its
// own. Built for both kinds of program: linked with the library objects or
// with the DLL, qz_get_error_stack is the library's own.
#include <gtest/gtest.h>

#include "support/public_error_stack.h"

namespace {
struct fresh_error_stack : testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo &) override { read_public_error_stack(); }
};
}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new fresh_error_stack);
  return RUN_ALL_TESTS();
}
