#!/usr/bin/env bash
# The Windows ARM64 lane: runs the DLL that the cross lane built, and test
# programs built with the same Zig toolchain, under arm64 Wine on qemu-user,
# on two emulated processors at once:
#   cortex-a76  4 processors, NEON with dot product and half precision
#   cortex-a72  3 processors, NEON only (any other instruction stops the run)
# Wine answers the processor count and the feature queries from what the
# emulated system shows it (/proc/cpuinfo, /sys/devices/system/cpu/online),
# which is set up here for each processor; the test programs are told the
# values they must see.
#
# Wine itself (Debian trixie's arm64 packages: bookworm's Wine cannot host
# the DLL) is fetched with an apt state of its own and unpacked into the
# cache once per machine, keyed by the package versions: nothing is
# installed on the host, and its apt state is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QZ_JOBS:-$(nproc)}
. scripts/cache_root.sh
. scripts/apt_archive.sh

apt_get() {
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=1200 "$@"
}

# qemu-user runs arm64 Wine; GoogleTest's source is built for the target.
missing=()
for p in qemu-user libgtest-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-cache policy qemu-user | grep -q "Candidate: [0-9]" || apt_get update -qq
  apt_get install -y -qq --no-remove "${missing[@]}" >/dev/null
fi

cross=$(scripts/setup_cross.sh aarch64-windows-gnu | tail -1)
export QZ_CROSS_CACHE=$cross
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$cross/zig-cache}
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1

# --- the emulated processors -------------------------------------------------
# name, qemu model, processor count, device flags the DLL must report, and
# the cpuinfo feature line (asimddp/asimdhp: dot product, half precision).
processors=(
  "dotprod cortex-a76 4 e0 fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid asimdrdm lrcpc dcpop asimddp"
  "neon cortex-a72 3 20 fp asimd evtstrm aes pmull sha1 sha2 crc32 cpuid"
)

# --- Wine, once per machine ---------------------------------------------------
# Raised whenever the layout below changes.
wine_recipe=1
wine_packages=(wine wine64 libwine wine64-preloader libc6 libgcc-s1)
wine_base=$qz_cache_root/wine

# The apt state of the arm64 trixie suite, on the archive this machine's apt
# is configured with (scripts/apt_archive.sh).
wine_apt() {
  local state=$wine_base/apt
  mkdir -p "$state/sources" "$state/lists/partial" "$state/cache/archives/partial"
  touch "$state/status"
  qz_apt_sources deb arm64 trixie > "$state/sources/trixie.sources" || return 1
  cat > "$state/apt.conf" <<EOF
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$state/sources";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "/dev/null";
Dir::State "$state";
Dir::State::Lists "$state/lists";
Dir::State::status "$state/status";
Dir::Cache "$state/cache";
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
APT::Sandbox::User "$(id -un)";
EOF
  echo "$state/apt.conf"
}

# A view of the tree for one processor: the same files, with that
# processor's /proc/cpuinfo and online processors (qemu's -L looks there
# first), and a Wine prefix of its own.
wine_view() {  # folder model count features...
  local view=$1 model=$2 count=$3
  shift 3
  mkdir -p "$view/proc" "$view/sys/devices/system/cpu"
  ln -sfn ../root/usr "$view/usr"
  ln -sfn ../root/etc "$view/etc"
  ln -sfn usr/lib "$view/lib"
  ln -sfn usr/bin "$view/bin"
  echo "$model" > "$view/qemu-cpu"
  echo "0-$((count - 1))" > "$view/sys/devices/system/cpu/online"
  local i
  for ((i = 0; i < count; i++)); do
    printf 'processor\t: %d\nBogoMIPS\t: 50.00\nFeatures\t: %s\nCPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x0\nCPU part\t: 0xd0b\nCPU revision\t: 0\n\n' \
      "$i" "$*"
  done > "$view/proc/cpuinfo"
  # Once per prefix; it prints font warnings (no FreeType in the tree).
  WINEPREFIX=$view/prefix WINEDEBUG=-all "$wine/root/usr/lib/wine/wineq" wineboot --init \
    > "$view/wineboot.log" 2>&1
  WINEPREFIX=$view/prefix "$wine/root/usr/lib/wine/wineserver" -w
}

setup_wine() {
  local done
  done=$(ls -t "$wine_base"/r$wine_recipe.*/.done 2>/dev/null | head -1 || true)
  if [ -n "$done" ]; then
    wine=$(dirname "$done")
    return
  fi
  echo "Setting up arm64 Wine (once per machine)"
  local conf versions=() p v
  conf=$(wine_apt) || exit 1
  APT_CONFIG=$conf apt-get -o Acquire::Retries=3 update -qq
  for p in "${wine_packages[@]}"; do
    v=$(APT_CONFIG=$conf apt-cache policy "$p" | sed -n 's/ *Candidate: //p')
    [ -n "$v" ] && [ "$v" != "(none)" ] || { echo "no arm64 $p in trixie" >&2; exit 1; }
    versions+=("$p-${v//:/_}")
  done
  # Only the versions of Wine, the C library and the GCC runtime name it.
  wine=$wine_base/r$wine_recipe.${versions[0]}.${versions[4]}.${versions[5]}
  rm -rf "$wine" && mkdir -p "$wine/debs" "$wine/root"
  (cd "$wine/debs" && APT_CONFIG=$conf apt-get -o Acquire::Retries=3 download -qq "${wine_packages[@]}")
  for deb in "$wine"/debs/*.deb; do dpkg-deb -x "$deb" "$wine/root"; done
  rm -rf "$wine/debs"
  # The loader is /lib/ld-linux-aarch64.so.1 (the merged /usr is not made
  # by these packages).
  ln -sfn usr/lib "$wine/root/lib"
  ln -sfn usr/bin "$wine/root/bin"
  # Wine starts itself, its children and wineserver from the folder of
  # wine64 by the names it was given: host scripts there start them under
  # qemu (no binfmt_misc here). The loader goes by the name "wineq", so
  # Wine looks for a "wine-preloader" (absent) instead of the arm64
  # preloader, which qemu cannot run. The processor is the one of the view
  # the prefix belongs to.
  local bin=$wine/root/usr/lib/wine
  mv "$bin/wineserver" "$bin/wineserver.debian"
  cat > "$bin/wineq" <<'EOF'
#!/bin/sh
tree=$(cd "$(dirname "$0")/../../.." && pwd)
view=$(dirname "$WINEPREFIX")
exec qemu-aarch64 -cpu "$(cat "$view/qemu-cpu")" -L "$view" -0 wineq "$tree/usr/lib/wine/wine64" "$@"
EOF
  cat > "$bin/wineserver" <<'EOF'
#!/bin/sh
tree=$(cd "$(dirname "$0")/../../.." && pwd)
exec qemu-aarch64 -cpu cortex-a72 -L "$tree" "$tree/usr/lib/wine/wineserver64" "$@"
EOF
  chmod +x "$bin/wineq" "$bin/wineserver"
  local entry pids=()
  for entry in "${processors[@]}"; do
    read -r name model count _ features <<<"$entry"
    wine_view "$wine/$name" "$model" "$count" $features &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
  for entry in "${processors[@]}"; do
    read -r name _ <<<"$entry"
    [ -f "$wine/$name/prefix/system.reg" ] || { cat "$wine/$name/wineboot.log"; exit 1; }
  done
  touch "$wine/.done"
}

setup_wine
echo "arm64 Wine: $wine"

# --- the test programs ----------------------------------------------------------
# Built beside the DLL, from the same objects (the cross lane configured the
# folder; this adds the tests).
groups=(windows windows_dll cpu ypu cpu_fixed cpu_elementwise cpu_attention cpu_lowbit model_en_de)
build=build/windows-arm64
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache
                                        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-windows.cmake \
  -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli "${launcher[@]}" -DQZ_WINE_TESTS=ON \
  -DQZ_TEST_GROUPS="$(IFS=';'; echo "${groups[*]}")" >/dev/null
cmake --build "$build" -j "$jobs" --target qz_norvo "${groups[@]/#/test_}"

# --- running them ---------------------------------------------------------------
# Each program runs whole, once per processor, with what differs there.
# The CPU device and platform-layer cases of the ypu group (the rest is
# the parser's table, whose GPU rows are those of the Linux build).
ypu_filter='CpuIsa.*:CpuDevice.*:CpuDeviceOnEachSystem.*:CpuPool.*:*Loops*:ThreadIndexLoop.*'
# The demo model: every kernel set once over the two processors, the widest
# of each through the DLL (test_windows_dll), the others with the library's
# objects narrowed to them.
declare -A model_filter=(
  [dotprod]='*threads_1_neon_fp16'
  [neon]='*threads_1_base'
)

logs=$root/$build/wine-logs
rm -rf "$logs" && mkdir -p "$logs"

run_processor() {  # name count flags
  local name=$1 count=$2 flags=$3
  local view=$wine/$name
  local run=$view/prefix/drive_c/qz
  rm -rf "$run" && mkdir -p "$run"
  cp "$build/qz_norvo.dll" "$build"/tests/test_*.exe "$run/"
  export WINEPREFIX=$view/prefix WINEDEBUG=-all
  export QZ_EXPECT_PROCESSORS=$count QZ_EXPECT_ISA_FLAGS=$flags
  local wineq=$wine/root/usr/lib/wine/wineq
  # One server and one set of Wine's own services for all the programs
  # (started by a first program of no interest; their output goes aside).
  "$wine/root/usr/lib/wine/wineserver" -p
  (cd "$run" && "$wineq" cmd.exe /c exit) > "$logs/$name.services.log" 2>&1
  local group filter status
  for group in "${groups[@]}"; do
    filter='*'
    [ "$group" == ypu ] && filter=$ypu_filter
    [ "$group" == model_en_de ] && filter=${model_filter[$name]}
    status=0
    (cd "$run" && timeout 1200 "$wineq" "test_$group.exe" --gtest_brief=1 \
       "--gtest_filter=$filter") > "$logs/$name.$group.log" 2>&1 || status=$?
    echo "$status" > "$logs/$name.$group.status"
  done
  "$wine/root/usr/lib/wine/wineserver" -k || true
  "$wine/root/usr/lib/wine/wineserver" -w || true
}

pids=()
for entry in "${processors[@]}"; do
  read -r name model count flags _ <<<"$entry"
  echo "=== windows-arm64 under Wine on $model ($name, $count processors)"
  run_processor "$name" "$count" "$flags" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || true; done

failures=0
for entry in "${processors[@]}"; do
  read -r name model _ <<<"$entry"
  for group in "${groups[@]}"; do
    status=$(cat "$logs/$name.$group.status" 2>/dev/null || echo missing)
    summary=$(grep -E '^\[  (PASSED|SKIPPED) ' "$logs/$name.$group.log" | tr -s ' ' | paste -sd ' ' || true)
    if [ "$status" == 0 ] && grep -q '^\[  PASSED  \]' "$logs/$name.$group.log"; then
      echo "ok: $model test_$group $summary"
    else
      # Wine exits with the low byte of the exception code of a program
      # that stopped.
      case $status in
        29) status="29: 0xC000001D, an illegal instruction" ;;
        5) status="5: 0xC0000005, an access violation" ;;
      esac
      echo "FAIL: $model test_$group (exit $status)"
      { grep -vE 'FreeType|use TrueType|or equal to 2\.0\.5|freetype\.org' "$logs/$name.$group.log" ||
          true; } | tail -40 | sed 's/^/    /'
      failures=$((failures + 1))
    fi
  done
done
[ "$failures" -eq 0 ] || { echo "$failures Wine run(s) failed (logs: $logs)"; exit 1; }
echo "windows-arm64 under Wine: all runs passed on both processors"
