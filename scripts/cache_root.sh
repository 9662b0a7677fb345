# Sourced by the lane scripts. Everything a lane builds or fetches once per
# machine (cross toolchains, dependency builds, emulator sysroots) lives under
# one root outside the clone, writable by the user who runs the tests:
# $QZ_CACHE_DIR, else $XDG_CACHE_HOME/qz_norvo, else ~/.cache/qz_norvo.
qz_cache_root=${QZ_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/qz_norvo}
mkdir -p "$qz_cache_root"
