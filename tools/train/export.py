#!/usr/bin/env python3
"""Write a trained checkpoint as model files for the library.

    export.py --checkpoint STATE/best.pt --spm PREFIX.model \
              [--float OUT-f32.qz] [--lowbit OUT.qz]

The float file holds dense f32 weights and float tables; the low-bit file
holds low-bit linear weights (4 bits, with the widest-ranging sixteenth of
the input columns at 8 bits) and 8-bit quantised embedding tables. After
writing, each file is read back and every weight is compared with what the
writer meant the library to see.
"""

import argparse
import os
import sys

import numpy as np
import sentencepiece as spm
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import modelfile  # noqa: E402

WORD_MARK = "\u2581"
START_ID, END_ID, UNK_ID, PAD_ID = 0, 1, 2, 3

HEADER = {
    "max_source_tokens": 256,
    "max_output_length": 256,
    "beam_size": 4,
    "start_id": START_ID,
    "end_id": END_ID,
    "unk_id": UNK_ID,
    "dropped_id": PAD_ID,        # never produced by the segmenter
    "max_character_limit": 2048,
}


def vocabulary(sp):
    """(piece with plain spaces, score, is ordinary piece) in id order."""
    out = []
    for i in range(sp.get_piece_size()):
        normal = not (sp.is_control(i) or sp.is_unknown(i) or sp.is_unused(i))
        out.append((sp.id_to_piece(i).replace(WORD_MARK, " "), sp.get_score(i), normal))
    return out


def state_arrays(path):
    state = torch.load(path, map_location="cpu", weights_only=False)
    p = {k: v.float().numpy() for k, v in state["model"].items()}
    return p, state["config"], state


def export(checkpoint, sp_path, path, lowbit):
    p, cfg, _state = state_arrays(checkpoint)
    sp = spm.SentencePieceProcessor(model_file=sp_path)
    vocab = vocabulary(sp)
    if len(vocab) != cfg["vocab"]:
        raise SystemExit("vocabulary has %d pieces, network %d" % (len(vocab), cfg["vocab"]))
    header = dict(HEADER)
    if cfg["positions"] < max(header["max_source_tokens"], header["max_output_length"] - 1):
        raise SystemExit("position table too short for the header limits")
    with open(path + ".tmp", "wb") as f:
        seen = modelfile.write_model(f, p, cfg, vocab, header, lowbit)
    os.replace(path + ".tmp", path)
    with open(path, "rb") as f:
        h, back, _cfg, tok = modelfile.read_model(f.read())
    for k, v in seen.items():
        if not np.array_equal(np.asarray(v, dtype=np.float32), back[k]):
            raise SystemExit("%s: %s reads back differently" % (path, k))
    assert tok["strings"] == [v[0] for v in vocab]
    worst = {}
    if lowbit:
        for k, v in seen.items():
            if k.endswith("weight") or k == "positions":
                ref = p[k if k != "output.weight" else "embedding.weight"]
                rel = np.linalg.norm(v - ref) / max(np.linalg.norm(ref), 1e-30)
                worst[k] = rel
    size = os.path.getsize(path)
    print("%s: %d bytes (%.2f MB)" % (path, size, size / 1e6))
    if worst:
        k = max(worst, key=worst.get)
        print("  relative weight error: mean %.4f, worst %.4f (%s)" % (
            np.mean(list(worst.values())), worst[k], k))
    return h


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--checkpoint", required=True)
    ap.add_argument("--spm", required=True)
    ap.add_argument("--float", dest="float_path")
    ap.add_argument("--lowbit")
    args = ap.parse_args()
    if not args.float_path and not args.lowbit:
        ap.error("give --float, --lowbit or both")
    if args.float_path:
        export(args.checkpoint, args.spm, args.float_path, lowbit=False)
    if args.lowbit:
        export(args.checkpoint, args.spm, args.lowbit, lowbit=True)


if __name__ == "__main__":
    main()
