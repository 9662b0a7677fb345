# Sourced by the lane scripts that fetch Debian packages themselves (source
# packages, another suite's arm64 packages). They use the archive this
# machine's apt is configured with, whatever it is (a mirror, a proxy, a
# snapshot): no archive address is written in the project.
#
# qz_apt_archive prints two lines: the URI of the configured Debian archive
# that serves the system's own suite, and the keyring its entry names (empty
# when it names none). It fails with a message when no such entry exists.
qz_apt_archive() {
  local etc=${QZ_APT_ETC:-}  # another apt configuration folder (tests)
  [ -n "$etc" ] || etc=$(apt-config shell dir Dir::Etc/d 2>/dev/null | sed -n "s/^dir='\(.*\)'$/\1/p")
  python3 - "${etc:-/etc/apt/}" "${QZ_APT_SKIP:-qz-norvo-}" <<'PY'
import glob, os, re, sys

etc, skip = sys.argv[1], sys.argv[2]
suite = ""
for line in open("/etc/os-release"):
    if line.startswith("VERSION_CODENAME="):
        suite = line.split("=", 1)[1].strip().strip('"')
if not suite:
    sys.exit("cannot tell this system's Debian suite (no VERSION_CODENAME in /etc/os-release)")

entries = []  # (types, uris, suites, keyring)
def one_line(path):
    for line in open(path, errors="replace"):
        line = line.split("#", 1)[0].strip()
        m = re.match(r"^(deb|deb-src)\s+(?:\[([^\]]*)\]\s+)?(\S+)\s+(\S+)", line)
        if m:
            keyring = re.search(r"signed-by=(\S+)", m.group(2) or "")
            entries.append(([m.group(1)], [m.group(3)], [m.group(4)],
                            keyring.group(1) if keyring else ""))
def deb822(path):
    text = open(path, errors="replace").read()
    for stanza in re.split(r"\n\s*\n", text):
        fields, key = {}, None
        for line in stanza.splitlines():
            if line.startswith("#"):
                continue
            if line[:1].isspace() and key:
                fields[key] += " " + line.strip()
            elif ":" in line:
                key, value = line.split(":", 1)
                key = key.strip().lower()
                fields[key] = value.strip()
        if fields.get("enabled", "yes").lower() == "no":
            continue
        entries.append((fields.get("types", "").split(), fields.get("uris", "").split(),
                        fields.get("suites", "").split(), fields.get("signed-by", "")))

parts = os.path.join(etc, "sources.list.d")
if os.path.isfile(os.path.join(etc, "sources.list")):
    one_line(os.path.join(etc, "sources.list"))
for path in sorted(glob.glob(os.path.join(parts, "*.list"))):
    if not os.path.basename(path).startswith(skip):
        one_line(path)
for path in sorted(glob.glob(os.path.join(parts, "*.sources"))):
    if not os.path.basename(path).startswith(skip):
        deb822(path)

for types, uris, suites, keyring in entries:
    if "deb" in types and suite in suites and uris:
        # A keyring given inline (a whole key block) is not a path to reuse.
        print(uris[0].rstrip("/"))
        print(keyring if keyring.startswith("/") else "")
        sys.exit(0)
sys.exit(f"apt has no Debian archive configured for the suite '{suite}' "
         f"(no 'deb' entry in {etc}sources.list or {parts}/): add this "
         "machine's archive or mirror there, then run again")
PY
}

# qz_apt_sources TYPE ARCH SUITE... prints a deb822 stanza for the archive
# above (ARCH empty: the system's own), or fails as qz_apt_archive does.
qz_apt_sources() {
  local type=$1 arch=$2 found uri keyring
  shift 2
  found=$(qz_apt_archive) || return 1
  uri=$(sed -n 1p <<<"$found")
  keyring=$(sed -n 2p <<<"$found")
  [ -n "$keyring" ] || [ ! -f /usr/share/keyrings/debian-archive-keyring.gpg ] ||
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'Types: %s\nURIs: %s\nSuites: %s\nComponents: main\n' "$type" "$uri" "$*"
  [ -z "$arch" ] || printf 'Architectures: %s\n' "$arch"
  [ -z "$keyring" ] || printf 'Signed-By: %s\n' "$keyring"
}
