// Small common exports: log flag, SDK identifier, sample rate, free.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error.h"

namespace {
std::atomic<bool> qz_log_flag{true};
char qz_sdk_name[32] = "c";
}  // namespace

void qz_log_error(const char *message) {
  if (qz_log_flag.load(std::memory_order_relaxed))
    std::fprintf(stdout, "\033[31m[ERROR] %s\033[0m\n", message);
}

extern "C" void qz_log_enable(void) { qz_log_flag.store(true, std::memory_order_relaxed); }
extern "C" void qz_log_disable(void) { qz_log_flag.store(false, std::memory_order_relaxed); }

extern "C" void qz_set_sdk(const char *name) {
  if (!name) return;
  std::strncpy(qz_sdk_name, name, sizeof qz_sdk_name - 1);
  qz_sdk_name[sizeof qz_sdk_name - 1] = '\0';
}

extern "C" const char *qz_get_sdk(void) { return qz_sdk_name; }

extern "C" int32_t qz_sample_rate(void) { return 16000; }

extern "C" void qz_free(void *pointer) { std::free(pointer); }
