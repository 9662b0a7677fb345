#!/usr/bin/env python3
"""Reference translator: runs a model file the way the library does.

    reference_decode.py MODEL.qz [--text "..."] [--input FILE] [--float-cache]
    reference_decode.py --checkpoint STATE/best.pt --spm PREFIX.model ...

It reads the model file (a checkpoint is first written to a float model in
memory), segments the text with the file's piece table by the lattice rule
of the library (NFKC, leading space, best total score, fixed score for an
unknown byte, runs of unknown characters joined), encodes it once, then
decodes one position at a time for all beams with the library's search:
0.05 repeat penalty read from the previous step's candidate rows, the start
id masked at every step, softmax then log, top-k by insertion, length
normalisation by t, the finished pool of B entries and the early stop.
Keys and values of both decoder attentions are kept as 8-bit codes with a
per-row slope and intercept, as the library's caches do (--float-cache
keeps them in float instead). Output: one translation per input line; with
--ids the token ids of the best hypothesis too.
"""

import argparse
import io
import math
import os
import sys
import unicodedata

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import modelfile  # noqa: E402

F32 = np.float32
FLT_MAX = F32(3.4028235e38)
UNKNOWN_BYTE_SCORE = np.frombuffer(bytes.fromhex("5aa5efc1"), dtype="<f4")[0]  # -29.955738
EPS = F32(1e-5)


# ---------------------------------------------------------------------------
# Tokenizer


class Tokenizer:
    def __init__(self, tok):
        if tok["kind"] != 2:
            raise ValueError("only tokenizer kind 2 is handled here")
        pm = tok["piece_model"]
        self.add_space = bool(pm["flags"] & 1)
        self.piece_score = {}
        for i, p in enumerate(pm["pieces"]):
            b = p.encode("utf-8")
            if b and b not in self.piece_score:  # the first of equal pieces wins
                self.piece_score[b] = pm["scores"][i]
        self.max_len = max((len(b) for b in self.piece_score), default=0)
        self.ids = {}
        for i, s in enumerate(tok["strings"]):
            self.ids.setdefault(s.encode("utf-8"), i)
        self.start_id, self.end_id = tok["start_id"], tok["end_id"]
        self.unknown_id = tok["unknown_id"]
        self.output = tok["output_strings"] or tok["strings"]

    def segment(self, text):
        """Pieces (bytes) of the text, by the library's lattice rule."""
        t = unicodedata.normalize("NFKC", text).encode("utf-8")
        if self.add_space:
            t = b" " + t
        n = len(t)
        score = [F32(0)] * (n + 1)
        back = [-1] * (n + 1)
        for s in range(n):
            base = score[s]
            one = False
            for k in range(1, min(self.max_len, n - s) + 1):
                sc = self.piece_score.get(t[s:s + k])
                if sc is None:
                    continue
                if k == 1:
                    one = True
                c = float(sc) + float(base)
                e = s + k
                if back[e] == -1 or c > float(score[e]):
                    score[e] = F32(c)
                    back[e] = s
            if not one and back[s + 1] == -1:
                score[s + 1] = UNKNOWN_BYTE_SCORE
                back[s + 1] = s
        # Join runs of unknown multi-byte characters into one piece.
        pos, run = 0, 0
        while pos < n:
            c = t[pos]
            size = 2 if 0xC0 <= c <= 0xDF else 3 if 0xE0 <= c <= 0xEF else 4 if 0xF0 <= c <= 0xF7 else 0
            m = pos + size
            if size and m <= n and back[m] == m - 1:
                run += size
                pos = m
                continue
            if run:
                back[pos] = pos - run
                run = 0
            pos += 1
        if run:
            back[pos] = pos - run
        pieces, e = [], n
        while e > 0:
            s = back[e]
            pieces.append(t[s:e])
            e = s
        return pieces[::-1]

    def encode(self, text):
        """Source ids: the pieces' ids and the end id."""
        return [self.ids.get(p, self.unknown_id) for p in self.segment(text)] + [self.end_id]

    def decode(self, ids, previous=0):
        out = "".join(self.output[i] for i in ids)
        if previous == self.start_id and ids:
            first = self.output[ids[0]]
            out = first.lstrip(" ") + out[len(first):]
        return out


# ---------------------------------------------------------------------------
# Network


def layer_norm(x, gamma, beta):
    x = x.astype(F32)
    mean = x.mean(-1, keepdims=True, dtype=F32)
    var = ((x - mean) ** 2).mean(-1, keepdims=True, dtype=F32)
    return ((x - mean) / np.sqrt(var + EPS) * gamma + beta).astype(F32)


def silu(x):
    return (x / (F32(1) + np.exp(-x))).astype(F32)


def softmax_rows(x):
    m = x.max(-1, keepdims=True)
    e = np.exp(x - m).astype(F32)
    return (e * (F32(1) / e.sum(-1, keepdims=True, dtype=F32))).astype(F32)


def quantize_rows(x):
    """8-bit affine codes per row, returned already dequantised."""
    lo = x.min(-1, keepdims=True)
    hi = x.max(-1, keepdims=True)
    slope = ((hi - lo) / F32(255)).astype(F32)
    safe = np.where(slope > 0, slope, F32(1))
    q = (x - lo) / safe
    # q >= 0, so rounding half away from zero is: floor, plus one when the
    # fraction (exact in single precision) is at least one half.
    fl = np.floor(q)
    codes = np.where(slope > 0, fl + (q - fl >= F32(0.5)), 0).astype(F32)
    return (codes * slope + lo).astype(F32)


class Network:
    def __init__(self, weights, cfg, quantized_cache=True):
        self.w = {k: np.asarray(v, dtype=F32) for k, v in weights.items()}
        self.cfg = cfg
        self.heads = cfg["heads"]
        self.quantized_cache = quantized_cache

    def linear(self, name, x):
        return (x @ self.w[name + ".weight"].T + self.w[name + ".bias"]).astype(F32)

    def attend(self, q, k, v):
        """q: (B, Q, D), k and v: (B, K, D)."""
        b, nq, d = q.shape
        h, hd = self.heads, d // self.heads
        scale = F32(1) / F32(math.sqrt(hd))
        qh = q.reshape(b, nq, h, hd).transpose(0, 2, 1, 3)
        kh = k.reshape(b, -1, h, hd).transpose(0, 2, 1, 3)
        vh = v.reshape(b, -1, h, hd).transpose(0, 2, 1, 3)
        s = ((qh @ kh.transpose(0, 1, 3, 2)) * scale).astype(F32)
        o = softmax_rows(s) @ vh
        return o.transpose(0, 2, 1, 3).reshape(b, nq, d).astype(F32)

    def embed(self, ids, scale, offset):
        e = self.w["embedding.weight"][np.asarray(ids)] * F32(scale)
        return (e + self.w["positions"][offset:offset + e.shape[-2]]).astype(F32)

    def encode(self, ids):
        x = self.embed(ids, self.cfg["encoder_scale"], 0)[None]
        for i in range(self.cfg["encoder_layers"]):
            p = "encoder.%d." % i
            a = p + "attention."
            t = self.attend(self.linear(a + "query", x), self.linear(a + "key", x),
                            self.linear(a + "value", x))
            t = self.linear(a + "output", t) + x
            x = layer_norm(t, self.w[p + "attention_norm.weight"], self.w[p + "attention_norm.bias"])
            t = self.linear(p + "ffn_out", silu(self.linear(p + "ffn_in", x))) + x
            x = layer_norm(t, self.w[p + "ffn_norm.weight"], self.w[p + "ffn_norm.bias"])
        return x[0]

    def cache_rows(self, x):
        return quantize_rows(x) if self.quantized_cache else x

    def start(self, memory, beams):
        """Fresh caches: empty self caches, cross keys and values of the
        encoder output for every beam."""
        self.self_k = [np.zeros((beams, 0, memory.shape[-1]), F32) for _ in range(self.cfg["decoder_layers"])]
        self.self_v = [np.zeros((beams, 0, memory.shape[-1]), F32) for _ in range(self.cfg["decoder_layers"])]
        self.cross_k, self.cross_v = [], []
        mem = np.repeat(memory[None], beams, 0)
        for i in range(self.cfg["decoder_layers"]):
            a = "decoder.%d.cross_attention." % i
            self.cross_k.append(self.cache_rows(self.linear(a + "key", mem)))
            self.cross_v.append(self.cache_rows(self.linear(a + "value", mem)))

    def reorder(self, parents):
        for lst in (self.self_k, self.self_v, self.cross_k, self.cross_v):
            for i in range(len(lst)):
                lst[i] = lst[i][parents]

    def step(self, tokens, position):
        """One decoder position for every beam; returns logits (B, V)."""
        x = self.embed(np.asarray(tokens)[:, None], self.cfg["decoder_scale"], position)
        for i in range(self.cfg["decoder_layers"]):
            p = "decoder.%d." % i
            a = p + "self_attention."
            self.self_k[i] = np.concatenate([self.self_k[i], self.cache_rows(self.linear(a + "key", x))], 1)
            self.self_v[i] = np.concatenate([self.self_v[i], self.cache_rows(self.linear(a + "value", x))], 1)
            t = self.attend(self.linear(a + "query", x), self.self_k[i], self.self_v[i])
            t = self.linear(a + "output", t) + x
            x = layer_norm(t, self.w[p + "self_attention_norm.weight"], self.w[p + "self_attention_norm.bias"])
            c = p + "cross_attention."
            t = self.attend(self.linear(c + "query", x), self.cross_k[i], self.cross_v[i])
            t = self.linear(c + "output", t) + x
            x = layer_norm(t, self.w[p + "cross_attention_norm.weight"], self.w[p + "cross_attention_norm.bias"])
            t = self.linear(p + "ffn_out", silu(self.linear(p + "ffn_in", x))) + x
            x = layer_norm(t, self.w[p + "ffn_norm.weight"], self.w[p + "ffn_norm.bias"])
        return self.linear("output", x[:, 0])


# ---------------------------------------------------------------------------
# Beam search


def insert_sorted(values, indices, x, j):
    """Carried-exchange insertion into a descending list: a carried pair
    never passes an equal value, so a displaced entry moves below the rest
    of a run of equal values."""
    if not x > values[-1]:
        return
    cx, cj = x, j
    for q in range(len(values)):
        if cx > values[q]:
            values[q], cx = cx, values[q]
            indices[q], cj = cj, indices[q]


def top_k(row, k):
    """The k largest values of a row with the library's insertion order.
    Values below the final k-th largest can only reorder entries that are
    dropped as well, so they are skipped."""
    values = [-FLT_MAX] * k
    indices = [0] * k
    if k <= 0:
        return values, indices
    kth = np.partition(row, len(row) - k)[len(row) - k] if len(row) >= k else -np.inf
    for j in np.nonzero(row >= kth)[0]:
        insert_sorted(values, indices, F32(row[j]), int(j))
    return values, indices


class Search:
    def __init__(self, beams, max_length, start_id, end_id, length_penalty=1.0):
        self.B, self.M, self.L = beams, 2 * beams, max_length
        self.start_id, self.end_id = start_id, end_id
        self.lp = F32(length_penalty)
        B, L = self.B, self.L
        self.eligible = [s < B for s in range(self.M)]
        self.beam_tokens = np.full((B, L), start_id, np.int64)
        self.beam_scores = np.full(B, F32(-1e9), F32)
        self.beam_scores[0] = 0
        self.beam_parents = np.full((B, L - 1), -1, np.int32)
        self.pool_tokens = np.full((3 * B, L), start_id, np.int64)
        self.pool_parents = np.full((3 * B, L - 1), -1, np.int32)
        self.pool_tokens[:B] = self.beam_tokens
        self.pool_score = np.zeros(3 * B, F32)
        self.pool_score[:B] = F32(-1e9)
        self.pool_finished = np.zeros(3 * B, bool)
        self.running = True

    def norm(self, t):
        return F32(np.power(F32(t), self.lp))

    def step(self, t, logits):
        B, M, L = self.B, self.M, self.L
        logits = np.array(logits, dtype=F32)
        V = logits.shape[1]
        for i in range(B):
            if t >= 2:
                for j in range(1, t):
                    tok = int(self.pool_tokens[B + i][j]) % V
                    logits[i, tok] = F32(logits[i, tok] - F32(0.05))
            logits[i, self.start_id] = -FLT_MAX
        with np.errstate(divide="ignore"):
            logp = np.log(softmax_rows(logits)).astype(F32)
        cum = (logp + self.beam_scores[:, None]).astype(F32)
        values, indices = top_k(cum.reshape(-1), M)
        self.pool_score[B:] = values
        cand_beam = [ix // V for ix in indices]
        cand_token = [ix % V for ix in indices]
        for s in range(M):
            self.pool_parents[B + s] = self.beam_parents[cand_beam[s]]
            self.pool_tokens[B + s] = self.beam_tokens[cand_beam[s]]
        for s in range(M):
            self.pool_tokens[B + s][t] = cand_token[s]
            self.pool_parents[B + s][t - 1] = cand_beam[s]
        ended = [t + 1 >= L or cand_token[s] == self.end_id for s in range(M)]
        cand_score = [F32(self.pool_score[B + s] + (F32(-1e9) if ended[s] else F32(0)))
                      for s in range(M)]
        best_s, best_i = [-FLT_MAX] * B, [0] * B
        for s in range(M):
            insert_sorted(best_s, best_i, cand_score[s], s)
        new_tokens = self.pool_tokens[[B + s for s in best_i]].copy()
        new_parents = self.pool_parents[[B + s for s in best_i]].copy()
        self.beam_scores = np.array([cand_score[s] for s in best_i], F32)
        self.beam_tokens, self.beam_parents = new_tokens, new_parents
        for s in range(M):
            self.pool_finished[B + s] = ended[s] and self.eligible[s]
        d = self.norm(t)
        for s in range(M):
            self.pool_score[B + s] = F32(self.pool_score[B + s] / d)
            if not self.pool_finished[B + s]:
                self.pool_score[B + s] = F32(self.pool_score[B + s] - F32(1e9))
        best_s, best_i = [-FLT_MAX] * B, [0] * B
        for e in range(3 * B):
            insert_sorted(best_s, best_i, F32(self.pool_score[e]), e)
        for arr in (self.pool_tokens, self.pool_score, self.pool_parents, self.pool_finished):
            arr[:B] = arr[best_i].copy()
        least = min([FLT_MAX] + [F32(v) for v in self.pool_score[:B]])
        live = F32(self.beam_scores[0] / d)
        for i in range(B):
            threshold = least if self.pool_finished[i] else F32(-1e9)
            if threshold >= live:
                self.running = False
        return self.running and not all(ended)

    def parents(self, t):
        return self.beam_parents[:, t - 1].copy()

    def best(self, row=0):
        """The ids of a row of the finished pool (row 0 is the best)."""
        n = 1 + int((self.pool_parents[row] >= 0).sum())
        return [int(v) & 0xFFFFFFFF for v in self.pool_tokens[row][:n]]


# ---------------------------------------------------------------------------


class Translator:
    def __init__(self, data, quantized_cache=True):
        self.header, weights, cfg, tok = modelfile.read_model(data)
        self.net = Network(weights, cfg, quantized_cache)
        self.tok = Tokenizer(tok)

    def translate_ids(self, src, beams=None, max_length=None):
        h = self.header
        B = beams or h["beam_size"]
        L = max_length or h["max_output_length"]
        src = [i for i in src if i != h["dropped_id"]]
        if not src or len(src) > h["max_source_tokens"]:
            raise ValueError("source of %d ids" % len(src))
        memory = self.net.encode(src)
        self.net.start(memory, B)
        search = Search(B, L, h["start_id"], h["end_id"])
        t = 1
        while True:
            logits = self.net.step(search.beam_tokens[:, t - 1], t - 1)
            go = search.step(t, logits)
            self.net.reorder(search.parents(t))
            if not go:
                break
            t += 1
        self.search = search  # the last search, for callers that inspect its pool
        ids = search.best()
        if ids and ids[0] == h["start_id"]:
            ids = ids[1:]
        if len(ids) >= 2 and ids[-1] == h["end_id"]:
            ids = ids[:-1]
        return ids

    def translate(self, text, **kw):
        ids = self.translate_ids(self.tok.encode(text), **kw)
        return self.tok.decode(ids), ids


def checkpoint_bytes(checkpoint, sp_model):
    import export
    import sentencepiece as spm
    p, cfg, _ = export.state_arrays(checkpoint)
    buf = io.BytesIO()
    modelfile.write_model(buf, p, cfg, export.vocabulary(spm.SentencePieceProcessor(model_file=sp_model)),
                          export.HEADER, lowbit=False)
    return buf.getvalue()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("model", nargs="?")
    ap.add_argument("--checkpoint")
    ap.add_argument("--spm")
    ap.add_argument("--text", action="append")
    ap.add_argument("--input", help="file of lines (first tab-separated column)")
    ap.add_argument("--beams", type=int)
    ap.add_argument("--float-cache", action="store_true")
    ap.add_argument("--ids", action="store_true")
    args = ap.parse_args()
    if args.checkpoint:
        data = checkpoint_bytes(args.checkpoint, args.spm)
    elif args.model:
        with open(args.model, "rb") as f:
            data = f.read()
    else:
        ap.error("give a model file or --checkpoint with --spm")
    tr = Translator(data, quantized_cache=not args.float_cache)
    texts = list(args.text or [])
    if args.input:
        with open(args.input, encoding="utf-8") as f:
            texts += [line.rstrip("\n").split("\t")[0] for line in f]
    for text in texts:
        out, ids = tr.translate(text, beams=args.beams)
        print(out + ("\t" + " ".join(map(str, ids)) if args.ids else ""), flush=True)


if __name__ == "__main__":
    main()
