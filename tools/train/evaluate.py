#!/usr/bin/env python3
"""Translate a split with the reference translator and score it.

    evaluate.py MODEL.qz --data DIR [--split valid] [--limit N] [--out FILE]
    evaluate.py --hypotheses FILE --data DIR [--split valid]

Prints corpus BLEU and chrF (sacrebleu) and the length ratio of the
translations to the references; --out writes one "source<TAB>reference<TAB>
translation" line per pair. With --hypotheses the translations are not made
here but read from FILE, one line per pair of the split (for instance the
library's own output, from qz_translate_batch).
"""

import argparse
import os
import sys
import time

import sacrebleu

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def read_pairs(data, split, limit=0):
    """(English, German) pairs of a split."""
    with open(os.path.join(data, split + ".tsv"), encoding="utf-8") as f:
        pairs = [line.rstrip("\n").split("\t") for line in f]
    return pairs[:limit] if limit else pairs


def score(hyps, refs):
    """Corpus BLEU, chrF and the length ratio (characters) of hypotheses."""
    bleu = sacrebleu.corpus_bleu(hyps, [refs])
    chrf = sacrebleu.corpus_chrf(hyps, [refs])
    ratio = sum(len(h) for h in hyps) / max(1, sum(len(r) for r in refs))
    return bleu.score, chrf.score, ratio


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("model", nargs="?")
    ap.add_argument("--data", required=True)
    ap.add_argument("--split", default="valid")
    ap.add_argument("--limit", type=int, default=0)
    ap.add_argument("--beams", type=int)
    ap.add_argument("--hypotheses", help="file of translations, one line per pair")
    ap.add_argument("--out")
    args = ap.parse_args()
    pairs = read_pairs(args.data, args.split, args.limit)
    t0 = time.time()
    if args.hypotheses:
        with open(args.hypotheses, encoding="utf-8") as f:
            hyps = [line.rstrip("\n") for line in f]
        if args.limit:
            hyps = hyps[:args.limit]
        if len(hyps) != len(pairs):
            sys.exit("%s: %d lines for %d pairs" % (args.hypotheses, len(hyps), len(pairs)))
        name = os.path.basename(args.hypotheses)
    elif args.model:
        import reference_decode
        with open(args.model, "rb") as f:
            tr = reference_decode.Translator(f.read())
        hyps = [tr.translate(en, beams=args.beams)[0] for en, _de in pairs]
        name = os.path.basename(args.model)
    else:
        ap.error("give a model file or --hypotheses")
    refs = [de for _en, de in pairs]
    bleu, chrf, ratio = score(hyps, refs)
    print("%s %s, %d pairs: BLEU %.1f, chrF %.1f, length ratio (characters) %.2f, %.0f s" % (
        name, args.split, len(pairs), bleu, chrf, ratio, time.time() - t0))
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            for (en, de), h in zip(pairs, hyps):
                f.write("%s\t%s\t%s\n" % (en, de, h))


if __name__ == "__main__":
    main()
