#!/usr/bin/env python3
"""Translate a split with the reference translator and score it.

    evaluate.py MODEL.qz --data DIR [--split valid] [--limit N] [--out FILE]

Prints corpus BLEU and chrF (sacrebleu) and the length ratio of the
translations to the references; --out writes one "source<TAB>reference<TAB>
translation" line per pair.
"""

import argparse
import os
import sys
import time

import sacrebleu

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_decode  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("model")
    ap.add_argument("--data", required=True)
    ap.add_argument("--split", default="valid")
    ap.add_argument("--limit", type=int, default=0)
    ap.add_argument("--beams", type=int)
    ap.add_argument("--out")
    args = ap.parse_args()
    with open(args.model, "rb") as f:
        tr = reference_decode.Translator(f.read())
    with open(os.path.join(args.data, args.split + ".tsv"), encoding="utf-8") as f:
        pairs = [line.rstrip("\n").split("\t") for line in f]
    if args.limit:
        pairs = pairs[:args.limit]
    t0 = time.time()
    hyps = [tr.translate(en, beams=args.beams)[0] for en, _de in pairs]
    refs = [de for _en, de in pairs]
    bleu = sacrebleu.corpus_bleu(hyps, [refs])
    chrf = sacrebleu.corpus_chrf(hyps, [refs])
    ratio = sum(len(h) for h in hyps) / max(1, sum(len(r) for r in refs))
    print("%s %s, %d pairs: BLEU %.1f, chrF %.1f, length ratio (characters) %.2f, %.0f s" % (
        os.path.basename(args.model), args.split, len(pairs), bleu.score, chrf.score, ratio,
        time.time() - t0))
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            for (en, de), h in zip(pairs, hyps):
                f.write("%s\t%s\t%s\n" % (en, de, h))


if __name__ == "__main__":
    main()
