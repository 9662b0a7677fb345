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
# Paths inside the clone are hashed relative to it, so a fresh clone (as CI
# makes) reuses what an earlier one compiled.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

# Stages run in two streams at once: the builds and tests of this machine's
# own library (odr, tsan, release, asan) in the foreground, and the other
# platforms' lanes (cross deps, cross, wine, aarch64) in the background, whose
# output goes to build/logs/lanes.log and is printed when they end. The
# lanes spend much of their time in steps that use one processor (configures,
# package fetches, emulated programs), which the other stream's compiles
# fill.
logs=build/logs
mkdir -p "$logs"
results=$logs/stages
: > "$results"
started=$(date +%s.%N)
ticks=$(getconf CLK_TCK)
# Runs in a subshell of its own (see stage), so that its finished children's
# CPU time (fields 16 and 17 of its stat line: everything they and their own
# children used) is this stage's alone, whichever stream it is in.
timed_stage() {  # name command...
  local name=$1 start status=0
  shift
  echo "=== $name"
  start=$(date +%s.%N)
  "$@" || status=$?
  local wall used s
  wall=$(awk "BEGIN { print $(date +%s.%N) - $start }")
  read -r s </proc/$BASHPID/stat
  set -- ${s##*) }
  used=$(awk "BEGIN { print (${14} + ${15}) / $ticks }")
  printf -- '--- %s: %.0f s wall, %.0f s CPU%s\n' "$name" "$wall" "$used" \
    "$( ((status == 0)) || echo ", FAILED ($status)")"
  echo "$name|$wall|$used|$status" >> "$results"
  return "$status"
}
stage() { (timed_stage "$@"); }
lanes_pid=
summary() {
  local status=$?
  if [ -n "$lanes_pid" ] && kill -0 "$lanes_pid" 2>/dev/null; then
    echo "stopping the lanes (log so far: $logs/lanes.log)"
    kill -- -"$lanes_pid" 2>/dev/null || true
    wait "$lanes_pid" 2>/dev/null || true
  fi
  local total_cpu=0 name wall cpu failed
  echo
  printf '%-16s %9s %9s\n' stage "wall s" "CPU s"
  while IFS='|' read -r name wall cpu failed; do
    printf '%-16s %9.0f %9.0f%s\n' "$name" "$wall" "$cpu" "$( ((failed == 0)) || echo "  FAILED")"
    total_cpu=$(awk "BEGIN { print $total_cpu + $cpu }")
  done < "$results"
  printf '%-16s %9.0f %9.0f   (%s jobs; the two streams overlap)\n' total \
    "$(awk "BEGIN { print $(date +%s.%N) - $started }")" "$total_cpu" "$jobs"
  exit "$status"
}
trap summary EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

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

# The lanes, in order (each cross lane needs the dependencies; Wine runs what
# the cross lane built); the aarch64 lane runs even when a cross lane failed.
lanes() {
  local status=0
  { stage "cross deps" scripts/setup_cross.sh && stage cross scripts/lane_cross.sh &&
      stage wine scripts/lane_wine.sh; } || status=1
  stage aarch64 scripts/lane_aarch64.sh || status=1
  return "$status"
}
echo "=== lanes (cross deps, cross, wine, aarch64) in the background: $logs/lanes.log"
# A process group of its own, so that a failure here stops it too.
set -m
lanes > "$logs/lanes.log" 2>&1 &
lanes_pid=$!
set +m

stage odr odr_check

# The sanitizer builds at -O1 with line tables only (-g1): their reports
# still name the function, file and line, and they compile in about half the
# time of -O2 -g, which had made the AddressSanitizer build the slowest stage.
sanitizer_flags="-O1 -g1 -DNDEBUG"
sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_WITH_CUDA=OFF
           "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$sanitizer_flags" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$sanitizer_flags")
run_config tsan -DQZ_SANITIZE=thread -DQZ_TEST_GROUPS=common "${sanitized[@]}"
run_config release -DQZ_BUILD_BENCH=ON
run_config asan -DQZ_SANITIZE=address,undefined "${sanitized[@]}"

echo "=== waiting for the lanes"
lanes_status=0
wait "$lanes_pid" || lanes_status=$?
lanes_pid=
echo "=== lanes log ($logs/lanes.log)"
cat "$logs/lanes.log"
((lanes_status == 0)) || { echo "a lane failed (log above)"; exit 1; }
