#include "qz_norvo.h"

namespace {
constexpr const char *QZ_STATUS_STRINGS[] = {
    "SUCCESS",  "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
    "STOP_ITERATION", "KEY_ERROR", "INVALID_STATE", "RUNTIME_ERROR",
};
}

extern "C" const char *qz_status_to_string(qz_status_t status) {
  const auto index = static_cast<uint32_t>(status);
  return index < sizeof QZ_STATUS_STRINGS / sizeof *QZ_STATUS_STRINGS ? QZ_STATUS_STRINGS[index]
                                                                      : nullptr;
}
