#!/usr/bin/env python3
"""Train the joint English-German SentencePiece unigram vocabulary.

    train_spm.py --data DIR --out PREFIX [--vocab 6000]

Reads DIR/train.tsv (both columns) and writes PREFIX.model and
PREFIX.vocab. The text was already NFKC-normalised and whitespace-cleaned
by extract_pairs.py, so the piece model is trained with the identity
normalisation and without whitespace collapsing: the library's segmenter
normalises to NFKC itself and does not collapse spaces, and this keeps both
segmenters on the same input.

Fixed ids: 0 <s> (decoder start), 1 </s> (end), 2 <unk>, 3 <pad>.
"""

import argparse
import os
import tempfile

import sentencepiece as spm

START_ID, END_ID, UNK_ID, PAD_ID = 0, 1, 2, 3


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", required=True)
    ap.add_argument("--out", required=True, help="output prefix")
    ap.add_argument("--vocab", type=int, default=6000)
    args = ap.parse_args()

    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt",
                                     delete=False) as text:
        with open(os.path.join(args.data, "train.tsv"), encoding="utf-8") as f:
            for line in f:
                en, de = line.rstrip("\n").split("\t")
                text.write(en + "\n" + de + "\n")
    try:
        spm.SentencePieceTrainer.train(
            input=text.name,
            model_prefix=args.out,
            model_type="unigram",
            vocab_size=args.vocab,
            character_coverage=1.0,
            normalization_rule_name="identity",
            remove_extra_whitespaces=False,
            add_dummy_prefix=True,
            split_digits=False,
            byte_fallback=False,
            bos_id=START_ID, eos_id=END_ID, unk_id=UNK_ID, pad_id=PAD_ID,
            bos_piece="<s>", eos_piece="</s>", unk_piece="<unk>", pad_piece="<pad>",
            num_threads=4,
            input_sentence_size=0,
            shuffle_input_sentence=False,
            seed_sentencepiece_size=200000,
            minloglevel=1,
        )
    finally:
        os.unlink(text.name)


if __name__ == "__main__":
    main()
