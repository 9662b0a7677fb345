#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config binutils ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev icu-devtools libutf8proc-dev libpthreadpool-dev libfxdiv-dev
  python3 clang
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=1200 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=1200 install -y -qq \
    "${missing[@]}" >/dev/null
fi
