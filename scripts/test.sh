#!/usr/bin/env bash
# Builds and runs every test: a ThreadSanitizer build of the thread-shared
# code, a plain (optimised) build, and an AddressSanitizer +
# UndefinedBehaviorSanitizer build, all with warnings as errors; the plain
# build also installs the library into a temporary prefix and builds the C
# example against it. The Windows ARM64 and macOS cross builds are built and
# checked, not run; the aarch64 lane runs the ARM64 kernels under emulation.
# A link-time-optimised build of the library checks that no two definitions
# of one class disagree. The last summary printed is that of the aarch64
# lane's NEON-only run.
# Only the plain build compiles the CUDA kernels with nvcc (when it is
# installed); the sanitizer builds run the same kernels on the CPU harness.
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
  cmake -S . -B "build/$name" -G Ninja -DQZ_WERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

echo "=== odr"
cmake -S . -B build/odr -G Ninja -DQZ_ODR_CHECK=ON -DQZ_WITH_CUDA=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build/odr -j "$jobs" --target qz_norvo

run_config tsan -DQZ_SANITIZE=thread -DQZ_TEST_GROUPS=common -DQZ_WITH_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_config release -DQZ_BUILD_BENCH=ON
echo "=== cross" && scripts/lane_cross.sh
echo "=== wine" && scripts/lane_wine.sh
run_config asan -DQZ_SANITIZE=address,undefined -DQZ_WITH_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo

# ARM64: the library and its kernel tests cross-built and run under qemu-user.
scripts/lane_aarch64.sh
