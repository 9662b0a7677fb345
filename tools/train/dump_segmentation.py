#!/usr/bin/env python3
"""Dump SentencePiece's own segmentation of the test pairs, to compare with
the library's tokenizer.

    dump_segmentation.py --data DIR --spm PREFIX.model --out FILE.jsonl [--model M.qz]

One JSON object per text (English and German side of every test pair):
{"text": ..., "pieces": [...], "ids": [...]}. Pieces are spelled as the
library stores them (plain space for the word-boundary mark); ids are
without the end id that the library appends to a source. With --model the
lattice segmenter of reference_decode.py runs on the model file's piece
table as well, and every text where the two differ is reported.
"""

import argparse
import json
import os
import sys

import sentencepiece as spm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

WORD_MARK = "\u2581"


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", required=True)
    ap.add_argument("--spm", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--split", default="test")
    ap.add_argument("--model", help="model file whose tokenizer to compare")
    args = ap.parse_args()

    sp = spm.SentencePieceProcessor(model_file=args.spm)
    tok = None
    if args.model:
        import reference_decode
        import modelfile
        with open(args.model, "rb") as f:
            tok = reference_decode.Tokenizer(modelfile.read_model(f.read())[3])
    texts = []
    with open(os.path.join(args.data, args.split + ".tsv"), encoding="utf-8") as f:
        for line in f:
            texts.extend(line.rstrip("\n").split("\t"))
    differ = 0
    with open(args.out, "w", encoding="utf-8") as out:
        for text in texts:
            ids = sp.encode(text)
            pieces = [sp.id_to_piece(i).replace(WORD_MARK, " ") for i in ids]
            out.write(json.dumps({"text": text, "pieces": pieces, "ids": ids},
                                 ensure_ascii=False) + "\n")
            if tok is not None and tok.encode(text)[:-1] != ids:
                differ += 1
                if differ <= 10:
                    print("differs: %r\n  spm  %s\n  file %s" % (
                        text, ids, tok.encode(text)[:-1]))
    print("%d texts written to %s" % (len(texts), args.out))
    if tok is not None:
        print("%d of %d texts segment differently" % (differ, len(texts)))
        sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
