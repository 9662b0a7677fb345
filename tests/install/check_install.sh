#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the C example against
# the installed tree alone, as an application would: with pkg-config and
# with CMake's find_package. Both programs translate a sentence.
#
#   check_install.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 source=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name qz_norvo.pc)
export PKG_CONFIG_PATH=${pc%/*}
libdir=$(pkg-config --variable=libdir qz_norvo)
soname=$(readelf -d "$libdir/libqz_norvo.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
version=$(pkg-config --modversion qz_norvo)
[ "$soname" = "libqz_norvo.so.${version%%.*}" ] || { echo "SONAME $soname for version $version"; exit 1; }
[ -f "$libdir/libqz_norvo.so.$version" ] || { echo "no libqz_norvo.so.$version"; exit 1; }

translate() {
  local program=$1 out
  out=$("$program" "$source/models/en-de.qz" cpu:2 "Open the file in a new window.")
  echo "$program: $out"
  [ "$out" = "Die Datei in einem neuen Fenster öffnen." ]
}

# pkg-config.
# shellcheck disable=SC2046
"$cc" -o "$work/translate_pc" "$source/examples/translate.c" \
  $(pkg-config --cflags --libs qz_norvo) -Wl,-rpath,"$libdir"
translate "$work/translate_pc"

# find_package.
mkdir "$work/app"
cat > "$work/app/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(app C)
find_package(qz_norvo $version REQUIRED)
add_executable(translate_cmake "$source/examples/translate.c")
target_link_libraries(translate_cmake PRIVATE qz_norvo::qz_norvo)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/app/build" >/dev/null
translate "$work/app/build/translate_cmake"
