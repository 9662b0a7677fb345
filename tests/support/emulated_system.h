// What the system under test reports, as scripts/lane_wine.sh sets it up
// and tells the test programs: QZ_EXPECT_PROCESSORS (a count) and
// QZ_EXPECT_ISA_FLAGS (the device flags that processor must give, in
// hexadecimal).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

struct qz_emulated_system {
  bool known;  // both variables set
  int32_t processors;
  uint32_t isa_flags;
};

inline qz_emulated_system emulated_system() {
  const char *processors = std::getenv("QZ_EXPECT_PROCESSORS");
  const char *flags = std::getenv("QZ_EXPECT_ISA_FLAGS");
  if (!processors || !flags) return {false, 0, 0};
  return {true, static_cast<int32_t>(std::strtol(processors, nullptr, 10)),
          static_cast<uint32_t>(std::strtoul(flags, nullptr, 16))};
}

// The message for a program run without them.
inline constexpr const char *QZ_EMULATED_SYSTEM_UNSET =
    "QZ_EXPECT_PROCESSORS and QZ_EXPECT_ISA_FLAGS are not set (scripts/lane_wine.sh sets them)";
