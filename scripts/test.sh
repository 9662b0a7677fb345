#!/usr/bin/env bash
# Builds and runs every test: a ThreadSanitizer build of the thread-shared
# code, a plain (optimised) build, and an AddressSanitizer +
# UndefinedBehaviorSanitizer build, all with warnings as errors; the plain
# build also installs the library into a temporary prefix and builds the C
# example against it. The Windows ARM64 and macOS cross builds are built and
# checked, not run; the aarch64 lane runs the ARM64 kernels under emulation.
# A link-time-optimised build of the library checks that no two definitions
# of one class disagree.
# Only the plain build compiles the CUDA kernels with nvcc (when it is
# installed); the sanitizer builds run the same kernels on the CPU harness.
#
# Each stage's wall and CPU time (user + system, of everything it ran) is
# printed as it ends, and all of them in a table at the end, failed or not.
# QZ_JOBS sets the parallel jobs (default: every processor).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${QZ_JOBS:-$(nproc)}
export QZ_JOBS=$jobs
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1

# CPU time of this shell's finished children, in clock ticks (fields 16 and
# 17 of its stat line: everything they and their own children used).
ticks=$(getconf CLK_TCK)
child_ticks() {
  local s
  read -r s </proc/$$/stat
  set -- ${s##*) }
  echo $((${14} + ${15}))
}
stages=()
stage() {  # name command...
  local name=$1 start cpu status=0
  shift
  echo "=== $name"
  start=$(date +%s.%N) cpu=$(child_ticks)
  "$@" || status=$?
  local wall used
  wall=$(awk "BEGIN { print $(date +%s.%N) - $start }")
  used=$(awk "BEGIN { print ($(child_ticks) - $cpu) / $ticks }")
  printf -- '--- %s: %.0f s wall, %.0f s CPU%s\n' "$name" "$wall" "$used" \
    "$( ((status == 0)) || echo ", FAILED ($status)")"
  stages+=("$name|$wall|$used|$status")
  return "$status"
}
summary() {
  local total_wall=0 total_cpu=0 name wall cpu status
  echo
  printf '%-16s %9s %9s\n' stage "wall s" "CPU s"
  for line in "${stages[@]}"; do
    IFS='|' read -r name wall cpu status <<<"$line"
    printf '%-16s %9.0f %9.0f%s\n' "$name" "$wall" "$cpu" "$( ((status == 0)) || echo "  FAILED")"
    total_wall=$(awk "BEGIN { print $total_wall + $wall }")
    total_cpu=$(awk "BEGIN { print $total_cpu + $cpu }")
  done
  printf '%-16s %9.0f %9.0f   (%s jobs)\n' total "$total_wall" "$total_cpu" "$jobs"
}
trap summary EXIT

configure() {  # name cmake-options...
  local name=$1
  shift
  cmake -S . -B "build/$name" -G Ninja -DQZ_WERROR=ON "$@" >/dev/null
}
# Run through stage, whose caller tests the status: set -e does not apply
# inside, hence the && chains.
build_config() {  # name cmake-options...
  configure "$@" && cmake --build "build/$1" -j "$jobs"
}
run_config() {  # name cmake-options...
  stage "$1 build" build_config "$@"
  stage "$1 test" ctest --test-dir "build/$1" -j "$jobs" --output-on-failure --timeout 600
}
odr_check() {
  configure odr -DQZ_ODR_CHECK=ON -DQZ_WITH_CUDA=OFF -DBUILD_TESTING=OFF &&
    cmake --build build/odr -j "$jobs" --target qz_norvo
}

stage setup scripts/setup.sh

stage odr odr_check

# The sanitizer builds at -O1 with line tables only (-g1): their reports
# still name the function, file and line, and they compile in about half the
# time of -O2 -g, which had made the AddressSanitizer build the slowest stage.
sanitizer_flags="-O1 -g1 -DNDEBUG"
sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_WITH_CUDA=OFF
           "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$sanitizer_flags" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$sanitizer_flags")
run_config tsan -DQZ_SANITIZE=thread -DQZ_TEST_GROUPS=common "${sanitized[@]}"
run_config release -DQZ_BUILD_BENCH=ON
# The cross lanes' dependencies (built once per machine) apart from the lane.
stage "cross deps" scripts/setup_cross.sh
stage cross scripts/lane_cross.sh
stage wine scripts/lane_wine.sh
run_config asan -DQZ_SANITIZE=address,undefined "${sanitized[@]}"

# ARM64: the library and its kernel tests cross-built and run under qemu-user.
stage aarch64 scripts/lane_aarch64.sh
