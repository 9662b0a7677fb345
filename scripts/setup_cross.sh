#!/usr/bin/env bash
# Sets up the cross builds of the Windows ARM64 DLL and the macOS x86-64
# dylib: the Zig toolchain in a virtual environment, and ICU, utf8proc and
# pthreadpool (with fxdiv) built from their Debian source packages for each
# target. Everything lands in a cache outside the clone, keyed by version, so
# a machine pays for each dependency build once.
#
# Prints the cache folder on its last line. Usage: scripts/setup_cross.sh [target...]
# with targets aarch64-windows-gnu and x86_64-macos (both by default).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/cache_root.sh"
cache=${QZ_CROSS_CACHE:-$qz_cache_root/cross}
jobs=${QZ_JOBS:-$(nproc)}
targets=("$@")
((${#targets[@]})) || targets=(aarch64-windows-gnu x86_64-macos)

zig_version=0.17.0
icu_version=72.1-3+deb12u1
utf8proc_version=2.8.0-1
fxdiv_version=0.0~git20200417.b408327-3
pthreadpool_version=0.0~git20251020.0e6ca13-1.1
# Raised whenever the way the dependencies are built changes.
recipe=3

mkdir -p "$cache"
apt_get() { apt-get -o DPkg::Lock::Timeout=1200 -o Acquire::Retries=3 "$@"; }
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

# --- host tools ------------------------------------------------------------
need=()
for p in python3-venv llvm xz-utils ccache dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 update -qq
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 \
    install -y -qq "${need[@]}" >/dev/null
fi

# --- Zig, from the Python registry, in a virtual environment ----------------
venv=$cache/venv-zig-$zig_version
if ! "$venv/bin/python3" -m ziglang version >/dev/null 2>&1; then
  rm -rf "$venv"
  /usr/bin/python3 -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "ziglang==$zig_version"
fi

# Compiler wrappers the CMake toolchains and the dependency builds call.
# ccache takes a compiler's size and modification time for its identity, so
# a wrapper is written only when its text changes (a new Zig has a new
# path): rewriting it on every run would make every compile a miss.
bin=$cache/bin
mkdir -p "$bin"
for tool in cc c++ ar ranlib dlltool; do
  text=$(printf '#!/bin/sh\nexec "%s/bin/python3" -m ziglang %s "$@"\n' "$venv" "$tool")
  if [ "$(cat "$bin/zig-$tool" 2>/dev/null)" != "$text" ]; then
    printf '%s\n' "$text" > "$bin/zig-$tool.new"
    chmod +x "$bin/zig-$tool.new"
    mv "$bin/zig-$tool.new" "$bin/zig-$tool"
  fi
done
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$cache/zig-cache}

# --- Debian source packages -------------------------------------------------
# The sources come from deb-src entries in a file of our own, on the archive
# this machine's apt already uses; pthreadpool is taken from the newer suite, whose snapshot builds for Windows (over a
# POSIX-threads layer) and has the with-thread loop.
src_list=/etc/apt/sources.list.d/qz-norvo-src.sources
. "$root/scripts/apt_archive.sh"
src_text=$(qz_apt_sources deb-src "" bookworm sid)
if [ "$(cat "$src_list" 2>/dev/null)" != "$src_text" ]; then
  printf '%s\n' "$src_text" | $sudo_cmd tee "$src_list" >/dev/null
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=1200 update -qq
fi

sources=$cache/sources
mkdir -p "$sources"
fetch_source() {  # package version folder-glob
  local package=$1 version=$2
  local stamp=$sources/$package-$version.done
  [ -f "$stamp" ] && return
  local work=$sources/$package-$version
  rm -rf "$work" && mkdir -p "$work"
  # Only the upstream tarball is used (the build needs no Debian patches), so
  # a packaging file the mirror no longer serves does not matter.
  (cd "$work" && apt_get source -qq --download-only "$package=$version" >/dev/null 2>&1) || true
  local orig
  orig=$(ls "$work"/*.orig.tar.* 2>/dev/null | head -1 || true)
  if [ -z "$orig" ]; then
    $sudo_cmd apt-get -o DPkg::Lock::Timeout=1200 update -qq
    (cd "$work" && apt_get source -qq --download-only "$package=$version" >/dev/null 2>&1) || true
    orig=$(ls "$work"/*.orig.tar.* 2>/dev/null | head -1 || true)
  fi
  [ -n "$orig" ] || { echo "cannot fetch the source of $package $version" >&2; exit 1; }
  mkdir -p "$work/src"
  tar -xf "$orig" -C "$work/src" --strip-components=1
  touch "$stamp"
}
fetch_source icu "$icu_version"
fetch_source utf8proc "$utf8proc_version"
fetch_source fxdiv "$fxdiv_version"
fetch_source pthreadpool "$pthreadpool_version"

# --- building one dependency set per target ---------------------------------
# Each object is compiled by a parallel make from a generated makefile, so
# an interrupted build resumes where it stopped.
build_target() {
  local target=$1
  local key=r$recipe.icu-$icu_version.utf8proc-$utf8proc_version.pthreadpool-$pthreadpool_version.zig-$zig_version
  local prefix=$cache/deps/$target/$key
  [ -f "$prefix/.done" ] && { echo "deps for $target: cached"; return; }
  local obj=$prefix/obj
  mkdir -p "$obj" "$prefix/include" "$prefix/lib"

  local cc="$bin/zig-cc" cxx="$bin/zig-c++"
  if command -v ccache >/dev/null; then cc="ccache $cc"; cxx="ccache $cxx"; fi
  # Hidden symbols: the libraries are linked into ours, which exports only
  # its own functions. Their own warnings are not ours to act on.
  local common="-target $target -O2 -fPIC -g0 -fvisibility=hidden -w"
  local icu=$sources/icu-$icu_version/src/source
  # The library uses ICU's regular expressions and its data loader, nothing
  # else: only the objects those need, by ICU's own list of its internal
  # dependencies, are compiled (139 of ICU 72's 440 files; a static link
  # would take no other).
  local icu_objects
  icu_objects=" $(python3 - "$icu/test/depstest/dependencies.txt" regex udata <<'PY'
import re, sys
items, current, part = {}, None, None
for line in open(sys.argv[1]):
    line = line.split("#")[0].rstrip()
    if not line.strip():
        continue
    head = re.match(r"^(?:group|library): *(\S+)", line)
    if head:
        current, part = head.group(1), "objects"
        items[current] = {"objects": [], "deps": []}
    elif not line[0].isspace():
        current = None
    elif current and line.strip() == "deps":
        part = "deps"
    elif current:
        items[current][part] += line.split()
todo, seen, objects = sys.argv[2:], set(), set()
while todo:
    name = todo.pop()
    if name in seen or name not in items:
        continue
    seen.add(name)
    objects |= {o for o in items[name]["objects"] if o.endswith(".o")}
    todo += items[name]["deps"]
print(" ".join(sorted(objects)))
PY
) "
  local ppool=$sources/pthreadpool-$pthreadpool_version/src
  local thread_flags=""
  case $target in
    *windows*)
      # mingw has no threads.h: pthreadpool runs on winpthreads, and finds
      # alloca where mingw declares it.
      thread_flags="-DPTHREADPOOL_USE_PTHREADS=1 -I$prefix/shim"
      mkdir -p "$prefix/shim"
      printf '#pragma once\n#include <malloc.h>\n' > "$prefix/shim/alloca.h" ;;
    *macos*)
      # The SDK headers that come with Zig lack tzfile.h, which ICU's time
      # zone probe includes for the zoneinfo folder's name.
      mkdir -p "$prefix/shim"
      printf '#pragma once\n#define TZDIR "/var/db/timezone/zoneinfo"\n#define TZDEFAULT "/etc/localtime"\n' \
        > "$prefix/shim/tzfile.h" ;;
  esac

  # One rule per object; every 25th (and the last) says how far the build
  # has come, as the first run takes minutes.
  local objects=() commands=()
  rule() { objects+=("$1") commands+=("$2"); }  # object command
  local group defs f compiler
  for group in common i18n stubdata; do
    case $group in
      common) defs="-DU_COMMON_IMPLEMENTATION -I$icu/common" ;;
      i18n) defs="-DU_I18N_IMPLEMENTATION -I$icu/common -I$icu/i18n" ;;
      stubdata) defs="-I$icu/common" ;;
    esac
    for f in "$icu/$group"/*.cpp "$icu/$group"/*.c; do
      [[ -f $f && $icu_objects == *" $(basename "${f%.*}").o "* ]] || continue
      compiler="$cxx -std=c++17 -fvisibility-inlines-hidden" && [[ $f == *.c ]] && compiler="$cc"
      rule "$obj/icu_$group/$(basename "${f%.*}").o" "$compiler $common -I$prefix/shim -DU_STATIC_IMPLEMENTATION -DU_ATTRIBUTE_DEPRECATED= -DU_HAVE_STRTOD_L=0 $defs -c $f"
    done
  done
  f=$sources/utf8proc-$utf8proc_version/src/utf8proc.c
  rule "$obj/utf8proc/utf8proc.o" "$cc $common -DUTF8PROC_STATIC -c $f"
  # The threaded pool (pthreads.c); shim.c is its single-thread stand-in
  # and fastpath.c an optional variant, both left out.
  for f in "$ppool"/src/{legacy-api,portable-api,memory,pthreads}.c; do
    rule "$obj/pthreadpool/$(basename "${f%.*}").o" "$cc $common -std=gnu11 -DPTHREADPOOL_USE_FASTPATH=0 $thread_flags -I$ppool/include -I$ppool/src -I$sources/fxdiv-$fxdiv_version/src/include -c $f"
  done

  local mk=$prefix/build.mk total=${#objects[@]} i
  {
    # A compile that fails must not leave an object that a rerun trusts.
    echo ".DELETE_ON_ERROR:"
    echo "all: ${objects[*]}"
    for ((i = 0; i < total; i++)); do
      echo "${objects[i]}:"
      printf '\t@mkdir -p $(@D) && %s -o $@' "${commands[i]}"
      (((i + 1) % 25 == 0 || i + 1 == total)) && printf ' && echo "deps for %s: %d of %d objects"' "$target" $((i + 1)) "$total"
      echo
    done
  } > "$mk"
  echo "deps for $target: building $total objects"
  make -s -j "$jobs" -f "$mk" all

  # Apple's linker reads only BSD-style archives.
  local ar="$bin/zig-ar"
  [[ $target == *macos* ]] && ar="$ar --format=darwin"
  rm -f "$prefix"/lib/*.a
  $ar rcs "$prefix/lib/libicuuc.a" "$obj"/icu_common/*.o
  $ar rcs "$prefix/lib/libicui18n.a" "$obj"/icu_i18n/*.o
  $ar rcs "$prefix/lib/libicudata.a" "$obj"/icu_stubdata/*.o
  $ar rcs "$prefix/lib/libutf8proc.a" "$obj"/utf8proc/*.o
  $ar rcs "$prefix/lib/libpthreadpool.a" "$obj"/pthreadpool/*.o

  rm -rf "$prefix/include" && mkdir -p "$prefix/include/unicode"
  cp "$icu"/common/unicode/*.h "$icu"/i18n/unicode/*.h "$prefix/include/unicode/"
  cp "$sources/utf8proc-$utf8proc_version/src/utf8proc.h" "$prefix/include/"
  cp "$ppool/include/pthreadpool.h" "$prefix/include/"
  cp "$sources/fxdiv-$fxdiv_version/src/include/fxdiv.h" "$prefix/include/"
  rm -rf "$obj"
  touch "$prefix/.done"
}

for target in "${targets[@]}"; do build_target "$target"; done
echo "$cache"
