#!/usr/bin/env bash
# The lanes take the Debian archive from this machine's apt configuration:
# each case writes a configuration folder and checks what is found there.
set -euo pipefail
. "$(dirname "$0")/../../scripts/apt_archive.sh"
suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release | tr -d '"')
[ -n "$suite" ] || { echo "skipped: no Debian suite on this system"; exit 0; }
etc=$(mktemp -d)
trap 'rm -rf "$etc"' EXIT
export QZ_APT_ETC=$etc/
failures=0
check() {  # name expected-uri expected-keyring (or FAIL)
  local got status=0
  got=$(qz_apt_archive 2>"$etc/err") || status=$?
  if [ "$2" == FAIL ]; then
    if [ "$status" -ne 0 ] && grep -q "no Debian archive configured for the suite '$suite'" "$etc/err"; then
      echo "ok: $1"
    else
      echo "FAIL: $1: expected a failure with a message, got [$got] $(cat "$etc/err")"; failures=$((failures + 1))
    fi
  elif [ "$status" -eq 0 ] && [ "$got" == "$(printf '%s\n%s' "$2" "$3")" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1: got [$got] status $status, expected [$2 $3] $(cat "$etc/err")"; failures=$((failures + 1))
  fi
}
reset() { rm -rf "$etc"/* && mkdir -p "$etc/sources.list.d"; }

reset
check "nothing configured" FAIL
reset
printf 'deb-src http://src.invalid/debian %s main\n' "$suite" > "$etc/sources.list"
check "only a source entry" FAIL
reset
printf '# deb http://old.invalid/debian %s main\ndeb [arch=amd64 signed-by=/k/a.gpg] http://one.invalid/debian/ %s main\n' \
  "$suite" "$suite" > "$etc/sources.list"
check "one-line entry with options" http://one.invalid/debian /k/a.gpg
reset
printf 'deb http://security.invalid/debian-security %s-security main\n' "$suite" > "$etc/sources.list"
cat > "$etc/sources.list.d/mirror.sources" <<SRC
Types: deb
# a comment inside the stanza
URIs: http://off.invalid/debian
Suites: $suite
Enabled: no

Types: deb deb-src
URIs: http://proxy.invalid:3142/debian
Suites: $suite $suite-updates
Components: main
SRC
check "the system's suite, not security; a disabled stanza skipped; no keyring" http://proxy.invalid:3142/debian ""
reset
printf 'Types: deb-src\nURIs: http://ours.invalid/debian\nSuites: %s sid\n' "$suite" \
  > "$etc/sources.list.d/qz-norvo-src.sources"
check "the lanes' own source entry is not the archive" FAIL

# No lane names an archive host of its own.
root=$(cd "$(dirname "$0")/../.." && pwd)
named=$(grep -rnE '(https?|ftp)://' "$root/scripts" "$root/cmake" "$root/.ci" || true)
if [ -z "$named" ]; then
  echo "ok: no archive address in the scripts"
else
  echo "FAIL: addresses in the scripts:"; echo "$named"; failures=$((failures + 1))
fi
((failures == 0))
