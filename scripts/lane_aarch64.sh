#!/usr/bin/env bash
# The aarch64 lane: builds the library and the kernel tests with Debian's
# cross compiler and runs them under qemu-user twice, on an emulated
# processor with NEON, dot product and half precision ("max") and on one with
# NEON only ("cortex-a72", where any other instruction would stop the run).
# Only the code that differs on ARM64 runs under emulation: the CPU
# operations, the low-bit kernels and the engine end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${QZ_JOBS:-$(nproc)}

apt_get() {
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=1200 "$@"
}

# arm64 packages that install beside the host's own ones (Multi-Arch: same).
# pthreadpool is not co-installable (its arm64 build would replace the
# host's), so its arm64 files are unpacked into the cache instead.
packages=(
  g++-aarch64-linux-gnu qemu-user
  libicu-dev:arm64 libutf8proc-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
)
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $([ "$(id -u)" -eq 0 ] || echo sudo) dpkg --add-architecture arm64
  apt_get update -qq
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-cache policy libicu-dev:arm64 | grep -q "Candidate: [0-9]" || apt_get update -qq
  # --no-remove: never take a host package away to make room.
  apt_get install -y -qq --no-remove "${missing[@]}" >/dev/null
fi

. scripts/cache_root.sh
cache=$qz_cache_root
pthreadpool_version=$(apt-cache policy libpthreadpool-dev:arm64 | sed -n 's/ *Candidate: //p')
sysroot=$cache/aarch64/pthreadpool-${pthreadpool_version//[:~]/_}
if [ ! -f "$sysroot/usr/include/pthreadpool.h" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download libpthreadpool0:arm64 libpthreadpool-dev:arm64 >/dev/null 2>&1)
  mkdir -p "$sysroot.partial"
  for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$sysroot.partial"; done
  rm -rf "$tmp" "$sysroot" && mv "$sysroot.partial" "$sysroot"
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
build=build/aarch64
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64-linux.cmake" \
  -DCMAKE_PREFIX_PATH="$sysroot/usr" "${launcher[@]}" \
  -DQZ_TEST_GROUPS="cpu;cpu_fixed;cpu_elementwise;cpu_attention;cpu_lowbit;model_en_de" >/dev/null
cmake --build "$build" -j "$jobs"

# The engine end to end once, with every set of the processor that has them
# all (the other instances of that test differ only in the kernel set, which
# the kernel tests cover); the kernel tests on both processors.
echo "=== aarch64 under qemu -cpu max"
(cd "$build" && QZ_QEMU_CPU=max ctest -j "$jobs" --output-on-failure --timeout 1800 \
  -E "TranslateEnDe.*threads_(1_base|1_neon[^_]|1_neon$|2_all)")
echo "=== aarch64 under qemu -cpu cortex-a72"
(cd "$build" && QZ_QEMU_CPU=cortex-a72 ctest -j "$jobs" --output-on-failure --timeout 900 \
  -LE model_en_de)
