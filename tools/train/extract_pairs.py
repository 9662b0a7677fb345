#!/usr/bin/env python3
"""Build English->German sentence pairs from the German message catalogs
(.mo files) that Debian packages ship.

    extract_pairs.py --debs DIR --out DIR [--download]

With --download the packages in PACKAGES are fetched into DIR with
`apt-get download` first. The output directory receives train.tsv,
valid.tsv, test.tsv (one "english<TAB>german" pair per line) and
sources.txt (package, version and file name of every .deb used, plus the
counts). The split is decided by a hash of the English text, so the same
English message never lands in two splits and re-running gives the same
files.
"""

import argparse
import hashlib
import io
import os
import re
import struct
import subprocess
import sys
import tarfile
import unicodedata

PACKAGES = [
    "libreoffice-l10n-de",
    "inkscape",
    "gimp-data",
    "evolution-common",
    "gnucash-common",
    "libgtk-3-common",
    "nautilus-data",
    "gnome-control-center-data",
    "evince-common",
    "gedit-common",
    "libglib2.0-data",
]

MAX_CHARS = 200
TEST_PERCENT = 2
VALID_PERCENT = 2

# Catalog paths that hold German translations.
MO_PATH = re.compile(r"/de/LC_MESSAGES/[^/]+\.mo$")


def parse_mo(data):
    """Yields (msgid, msgstr) byte strings of a GNU .mo catalog."""
    if len(data) < 28:
        raise ValueError("catalog too short")
    magic = struct.unpack_from("<I", data, 0)[0]
    if magic == 0x950412DE:
        end = "<"
    elif magic == 0xDE120495:
        end = ">"
    else:
        raise ValueError("not a message catalog")
    _rev, count, orig_at, trans_at = struct.unpack_from(end + "4I", data, 4)
    for i in range(count):
        olen, ooff = struct.unpack_from(end + "2I", data, orig_at + 8 * i)
        tlen, toff = struct.unpack_from(end + "2I", data, trans_at + 8 * i)
        yield data[ooff:ooff + olen], data[toff:toff + tlen]


def catalog_entries(data):
    """Yields (english, german) text pairs of one catalog: the context
    prefix is cut off, plural entries give their singular and plural pair
    only when German has exactly the two English forms."""
    for orig, trans in parse_mo(data):
        if not orig:
            continue  # catalog header
        try:
            orig = orig.decode("utf-8")
            trans = trans.decode("utf-8")
        except UnicodeDecodeError:
            continue
        if "\x04" in orig:
            orig = orig.split("\x04", 1)[1]
        ofs = orig.split("\x00")
        tfs = trans.split("\x00")
        if len(ofs) == 1 and len(tfs) == 1:
            yield ofs[0], tfs[0]
        elif len(ofs) == 2 and len(tfs) == 2:
            yield ofs[0], tfs[0]
            yield ofs[1], tfs[1]


FORMAT = re.compile(
    r"%[-+ #0']*(\d+|\*)?(\.(\d+|\*))?(hh|h|ll|l|L|q|j|z|t|I)*[diouxXeEfFgGcsSpn]"
    r"|%\d|%\(\w+\)|\{[\w.]*\}|\$\(?[A-Z_]+\d*\)?|\$[a-z]+\b|%[A-Z][A-Z_]+|#\d")
MARKUP = re.compile(r"<[/!?]?[A-Za-z][^>]*>|&[#\w]+;")
HAS_LETTER = re.compile(r"[^\W\d_]")


def strip_accelerator(text):
    """Removes menu accelerator marks: every '~', and a single '_' or '&'
    that precedes a letter or digit."""
    text = text.replace("~", "")
    for mark in ("_", "&"):
        if text.count(mark) == 1:
            at = text.index(mark)
            if at + 1 < len(text) and text[at + 1].isalnum():
                text = text[:at] + text[at + 1:]
    return text


def clean(text):
    """Returns the cleaned message, or None when the message is dropped."""
    if any(c in text for c in "\n\r\t"):
        return None
    if MARKUP.search(text) or FORMAT.search(text):
        return None
    text = strip_accelerator(text)
    text = unicodedata.normalize("NFKC", text)
    text = " ".join(text.split())
    if not text or len(text) > MAX_CHARS or not HAS_LETTER.search(text):
        return None
    if any(unicodedata.category(c)[0] == "C" for c in text):
        return None
    return text


def split_of(english):
    h = int(hashlib.sha1(english.encode("utf-8")).hexdigest()[:8], 16) % 100
    if h < TEST_PERCENT:
        return "test"
    if h < TEST_PERCENT + VALID_PERCENT:
        return "valid"
    return "train"


def deb_field(path, field):
    return subprocess.run(["dpkg-deb", "-f", path, field], check=True,
                          capture_output=True, text=True).stdout.strip()


def deb_catalogs(path):
    """Yields (member name, bytes) of the German catalogs inside a .deb."""
    tar_bytes = subprocess.run(["dpkg-deb", "--fsys-tarfile", path],
                               check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(tar_bytes)) as tar:
        for member in tar:
            if member.isfile() and MO_PATH.search(member.name):
                yield member.name, tar.extractfile(member).read()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--debs", required=True, help="folder of .deb files")
    ap.add_argument("--out", required=True, help="output folder")
    ap.add_argument("--download", action="store_true",
                    help="apt-get download the packages into --debs first")
    args = ap.parse_args()

    os.makedirs(args.debs, exist_ok=True)
    os.makedirs(args.out, exist_ok=True)
    if args.download:
        subprocess.run(["apt-get", "download"] + PACKAGES, cwd=args.debs, check=True)

    debs = {}
    for name in sorted(os.listdir(args.debs)):
        if name.endswith(".deb"):
            path = os.path.join(args.debs, name)
            debs.setdefault(deb_field(path, "Package"), []).append(path)
    missing = [p for p in PACKAGES if p not in debs]
    if missing:
        sys.exit("missing packages in %s: %s" % (args.debs, " ".join(missing)))

    seen = set()
    pairs = {"train": [], "valid": [], "test": []}
    lines = []
    raw_total = 0
    for package in PACKAGES:
        path = sorted(debs[package])[-1]
        raw = kept = 0
        for _member, data in deb_catalogs(path):
            for en, de in catalog_entries(data):
                raw += 1
                en, de = clean(en), clean(de)
                if en is None or de is None or (en, de) in seen:
                    continue
                seen.add((en, de))
                pairs[split_of(en)].append((en, de))
                kept += 1
        raw_total += raw
        lines.append("%s\t%s\t%s\tentries %d\tnew pairs %d" % (
            package, deb_field(path, "Version"), os.path.basename(path), raw, kept))

    for split, rows in pairs.items():
        with open(os.path.join(args.out, split + ".tsv"), "w", encoding="utf-8") as f:
            for en, de in rows:
                f.write(en + "\t" + de + "\n")
    lines.append("catalog entries %d, unique pairs %d: train %d, valid %d, test %d" % (
        raw_total, len(seen), len(pairs["train"]), len(pairs["valid"]), len(pairs["test"])))
    with open(os.path.join(args.out, "sources.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
