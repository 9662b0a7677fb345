#!/usr/bin/env python3
"""Check the library's tokenizer against SentencePiece's own segmentation.

    compare_segmentation.py --build BUILD --model MODEL.qz --segmentation SEG.jsonl

SEG.jsonl is what dump_segmentation.py writes ({"text", "pieces", "ids"} per
text, ids without the end id). Every text is segmented by the library
(qz_segment, the model file's tokenizer) and the ids are compared; each text
that differs is printed with both id lists and both piece lists. Exit status
1 when any text differs.
"""

import argparse
import json
import os
import subprocess
import sys


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="build folder holding tools/qz_segment")
    ap.add_argument("--model", required=True)
    ap.add_argument("--segmentation", required=True)
    args = ap.parse_args()
    with open(args.segmentation, encoding="utf-8") as f:
        entries = [json.loads(line) for line in f]
    texts = [e["text"] for e in entries]
    if any("\n" in t or "\r" in t for t in texts):
        sys.exit("a text holds a line break; the tool reads one text per line")
    done = subprocess.run([os.path.join(args.build, "tools", "qz_segment"), args.model],
                          input="".join(t + "\n" for t in texts), capture_output=True,
                          text=True, encoding="utf-8")
    if done.returncode != 0:
        sys.exit("qz_segment failed (%d):\n%s" % (done.returncode, done.stderr[-2000:]))
    lines = done.stdout.split("\n")[:-1]
    if len(lines) != len(texts):
        sys.exit("qz_segment wrote %d lines for %d texts" % (len(lines), len(texts)))

    # Piece spellings of the library's ids, from the SentencePiece side of
    # the same texts where it has them.
    spelling = {}
    for e in entries:
        spelling.update(zip(e["ids"], e["pieces"]))
    differ = 0
    for n, (e, line) in enumerate(zip(entries, lines)):
        ids = [int(v) for v in line.split()]
        if ids == e["ids"]:
            continue
        differ += 1
        print("#%d %r\n  SentencePiece %s %r\n  library       %s %r" % (
            n + 1, e["text"], e["ids"], e["pieces"], ids,
            [spelling.get(i, "<%d>" % i) for i in ids]))
    print("%d of %d texts segment identically (%d differ)" % (len(texts) - differ, len(texts),
                                                             differ))
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
