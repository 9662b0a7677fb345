#!/usr/bin/env bash
# Builds the Windows ARM64 DLL and the macOS x86-64 dylib with the Zig cross
# toolchain and checks what can be checked without running them: the file
# format and architecture, the export table against the public header, and
# that nothing but system and C-runtime libraries is needed beside them.
# Neither library can run on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cache=$(scripts/setup_cross.sh | tail -1)
export QZ_CROSS_CACHE=$cache
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$cache/zig-cache}
jobs=${QZ_JOBS:-$(nproc)}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache
                                        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Paths inside the clone are hashed relative to it, so a fresh clone (as CI
# makes) reuses what an earlier one compiled.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

build() {  # folder toolchain
  echo "configuring build/$1 (on a new machine this also builds Zig's C and C++ runtime for the target, silently: a few CPU-minutes)"
  cmake -S . -B "build/$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$2" \
    -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli "${launcher[@]}" >/dev/null
  cmake --build "build/$1" -j "$jobs" --target qz_norvo
}

# The functions the public header declares, as the Linux ABI test reads them.
header_functions() {
  grep -oP 'QZ_API[^;(]*?\b\Kqz_\w+(?=\s*\()' include/qz_norvo.h | sort -u
}
expected=$(header_functions)
[ "$(echo "$expected" | wc -l)" -eq 17 ] || fail "public header: expected 17 functions"

same_set() {  # what actual expected
  if [ "$2" == "$3" ]; then
    pass "$1"
  else
    fail "$1"
    diff <(echo "$3") <(echo "$2") | sed 's/^/    /' | head -40 || true
  fi
}

# --- Windows ARM64 ----------------------------------------------------------
echo "=== windows-arm64"
build windows-arm64 toolchain-aarch64-windows.cmake
dll=build/windows-arm64/qz_norvo.dll
[ -f build/windows-arm64/qz_norvo.lib ] && pass "import library qz_norvo.lib" ||
  fail "import library qz_norvo.lib missing"
private=$(llvm-objdump -p "$dll")
if grep -q "file format coff-arm64" <<<"$private" && grep -qP '^Magic\s+020b\s+\(PE32\+\)' <<<"$private" &&
   grep -qP '^\tDLL$' <<<"$private"; then
  pass "PE32+ ARM64 DLL"
else
  fail "not a PE32+ ARM64 DLL"
  head -12 <<<"$private" | sed 's/^/    /'
fi

exports=$(awk '/^Export Table:/{on=1;next} /^[A-Z]/{on=0}
               on && /^ +[0-9]+ +0x[0-9a-f]+ +[A-Za-z_]/{print $3}' <<<"$private" | sort -u)
same_set "DLL exports equal the header's functions" "$exports" "$expected"

imports=$(grep -oP '^ +DLL Name: \K\S+' <<<"$private" | tr 'A-Z' 'a-z' | sort -u)
echo "    imports: $(echo $imports)"
# System DLLs and the C runtime only: no dependency DLL to ship beside it.
allowed='^(kernel32|ntdll|advapi32|bcrypt|user32|shell32|ole32|ws2_32|ucrtbase|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$'
bad=$(grep -vE "$allowed" <<<"$imports" || true)
[ -z "$bad" ] && pass "imports only system and C-runtime DLLs" || fail "imports $bad"

# The dot-product and half-precision kernels, once their files exist.
if compgen -G "src/ypu/cpu/*_neondot.cc" >/dev/null || compgen -G "src/ypu/cpu/*/*_neondot.cc" >/dev/null; then
  code=$(llvm-objdump -d --mattr=+dotprod,+fullfp16 "$dll")
  grep -qE '\s[su]dot\s' <<<"$code" && pass "dot-product instructions present" ||
    fail "no dot-product instruction in the DLL"
  if compgen -G "src/ypu/cpu/*_neonfp16.cc" >/dev/null || compgen -G "src/ypu/cpu/*/*_neonfp16.cc" >/dev/null; then
    grep -qE '\sf(mla|add|mul|sub)\s+v[0-9]+\.[48]h' <<<"$code" &&
      pass "half-precision arithmetic present" || fail "no half-precision arithmetic in the DLL"
  fi
else
  echo "skipped: no dot-product or half-precision kernel files yet"
fi

# --- macOS x86-64 -----------------------------------------------------------
echo "=== macos-x86_64"
build macos-x86_64 toolchain-x86_64-macos.cmake
dylib=build/macos-x86_64/libqz_norvo.dylib
header=$(llvm-objdump --macho --private-header "$dylib")
grep -qE "MH_MAGIC_64 +X86_64 .*DYLIB" <<<"$header" && pass "Mach-O x86-64 dylib" ||
  fail "not a Mach-O x86-64 dylib: $header"
# Zig's Mach-O linker ignores -exported_symbols_list, so beside the library's
# own functions the dylib also exports what the toolchain adds: the image
# header symbols and the statically linked C++ runtime's replaceable
# allocation operators (weak definitions). Those, and nothing else, are set
# aside here.
toolchain='^(_mh_dylib_header|__dso_handle|_Z(nw|na|dl|da)[a-zA-Z0-9_]*)$'
all=$(llvm-objdump --macho --exports-trie "$dylib" | grep -oP '^0x[0-9A-F]+\s+_\K\w+' | sort -u)
exports=$(grep -vE "$toolchain" <<<"$all" || true)
same_set "dylib exports equal the header's functions" "$exports" "$expected"
echo "    also exported by the toolchain: $(grep -cE "$toolchain" <<<"$all" || true) runtime symbols"

# Undefined symbols come from the system library or the object runtime (or
# are looked up when loaded).
id=$(llvm-objdump --macho --dylib-id "$dylib" | tail -n +2)
# The install name carries the library's major version, as the Linux SONAME does.
major=$(sed -nE 's/^project\(qz_norvo VERSION ([0-9]+)\..*/\1/p' CMakeLists.txt)
[ "$id" == "@rpath/libqz_norvo.$major.dylib" ] && pass "install name $id" || fail "install name $id"
used=$(llvm-objdump --macho --dylibs-used "$dylib" | tail -n +2 | awk '{print $1}' | grep -vxF "$id" | sort -u)
echo "    links: $(echo $used)"
bad=$(grep -vE '^(/usr/lib/libSystem\.B\.dylib|/usr/lib/libobjc\.A\.dylib)$' <<<"$used" || true)
[ -z "$bad" ] && pass "links only the system library and the object runtime" || fail "links $bad"
from=$(llvm-nm -m -u "$dylib" | grep -oP '\((from \K[^)]+|\Kdynamically looked up)' | sort -u)
bad=$(grep -vE '^(libSystem|libobjc|dynamically looked up)$' <<<"$from" || true)
[ -z "$bad" ] && pass "undefined symbols resolve to the system" || fail "undefined symbols from $bad"

# The Metal backend: its GPU program is the kernels' source, built into a
# Metal library when the device opens; the object runtime and the frameworks
# are opened and looked up at run time, so nothing of them is linked.
grep -qa 'kernel void taabe' "$dylib" && pass "Metal program source embedded" ||
  fail "no Metal program source in the dylib"
echo "    run-time lookups: $(llvm-nm -m -u "$dylib" | grep -oP '\b_\Kdl(open|sym)\b' | sort -u | tr '\n' ' ')"
opened=$(strings -a "$dylib" | grep -E '^(/usr/lib/libobjc|/System/Library/Frameworks/)' || true)
echo "    opened: $(echo $opened)"
for library in /usr/lib/libobjc.A.dylib /System/Library/Frameworks/Metal.framework/Metal \
               /System/Library/Frameworks/Foundation.framework/Foundation; do
  grep -qxF "$library" <<<"$opened" && pass "opens $library" || fail "does not open $library"
done
linked=$(llvm-nm -m -u "$dylib" | grep -oP '\b_\K(objc_|sel_|MTL)\w+' | sort -u || true)
[ -z "$linked" ] && pass "no object-runtime or Metal symbol linked" || fail "linked: $linked"

echo "cross builds: built, not run (no Windows ARM64 or macOS machine here)"
[ "$failures" -eq 0 ] || { echo "$failures cross check(s) failed"; exit 1; }
