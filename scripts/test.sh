#!/usr/bin/env bash
# Builds and runs every test: a ThreadSanitizer build of the thread-shared
# code, a plain build, and an AddressSanitizer + UndefinedBehaviorSanitizer
# build, then the aarch64 lane under emulation. The last summary printed is
# that of the lane's NEON-only run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1

run_config() {
  local name=$1
  shift
  echo "=== $name"
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

run_config tsan -DQZ_SANITIZE=thread -DQZ_TEST_GROUPS=common
run_config release -DQZ_BUILD_BENCH=ON
run_config asan -DQZ_SANITIZE=address,undefined

# ARM64: the library and its kernel tests cross-built and run under qemu-user.
scripts/lane_aarch64.sh
