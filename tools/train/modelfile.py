"""Reading and writing the library's model file (.qz).

The file is a flat little-endian stream without padding or section
markers: header, output projection, token and position tables, encoder and
decoder stacks, language pair, limits, tokenizer. The writer produces float
files (dense weights and float tables) and low-bit files (mixed-width 4/8-bit
linear weights in 16 x 8 tiles, 8-bit quantised embedding tables). The
reader turns a file back into plain float arrays exactly as the library
decodes them, so a file can be checked and run by the reference decoder.
"""

import struct

import numpy as np

MAGIC = b"norvo"
VERSION = b"1.1.0"

DENSE = 0
NAMED_DENSE = -666
LOWBIT = -665
LOWBIT_MIXED = -664
EMBED_FLOAT = 0
EMBED_NAMED_FLOAT = -666
EMBED_QUANT = -665

TILE_ROWS, TILE_COLS = 16, 8

# ---------------------------------------------------------------------------
# 16-bit scale numbers: sign bit 15, exponent bits 14..10, mantissa 9..0,
# value = mantissa * 2^(exponent - 35), no hidden bit.

SCALE16_EXP = np.array([2.0 ** (e - 35) for e in range(32)], dtype=np.float32)


def scale16_decode(u):
    u = np.asarray(u, dtype=np.uint32)
    v = (u & 0x3FF).astype(np.float32) * SCALE16_EXP[(u >> 10) & 31]
    return np.where(u & 0x8000, -v, v).astype(np.float32)


def scale16_encode(v, round_up=False):
    """Nearest encoding of each value (towards larger magnitude when
    round_up), using the smallest exponent that fits so the mantissa keeps
    as many bits as possible. Values beyond 63.9375 are clamped."""
    v = np.asarray(v, dtype=np.float64)
    a = np.minimum(np.abs(v), 1023.0 * 2.0 ** -4)
    with np.errstate(divide="ignore"):
        e = np.where(a > 0, np.ceil(np.log2(np.maximum(a, 1e-300) / 1023.0)) + 35, 0)
    e = np.clip(e, 0, 31)
    step = 2.0 ** (e - 35)
    m = np.ceil(a / step - 1e-9) if round_up else np.rint(a / step)
    over = m > 1023
    e = np.where(over & (e < 31), e + 1, e)
    step = 2.0 ** (e - 35)
    m = np.where(over, np.ceil(a / step - 1e-9) if round_up else np.rint(a / step), m)
    m = np.clip(m, 0, 1023)
    sign = (v < 0) & (m > 0)
    return (sign.astype(np.uint32) << 15 | e.astype(np.uint32) << 10
            | m.astype(np.uint32)).astype(np.uint16)


# ---------------------------------------------------------------------------
# Codes: little-endian bit streams, code k at bits k*b .. k*b+b-1.

def pack_codes(codes, bits):
    """codes: uint array (..., n) with n * bits a multiple of 8."""
    codes = np.asarray(codes, dtype=np.uint32)
    planes = (codes[..., None] >> np.arange(bits, dtype=np.uint32)) & 1
    flat = planes.reshape(codes.shape[:-1] + (codes.shape[-1] * bits,)).astype(np.uint8)
    return np.packbits(flat, axis=-1, bitorder="little")


def unpack_codes(data, bits, count):
    data = np.asarray(data, dtype=np.uint8)
    flat = np.unpackbits(data, axis=-1, bitorder="little")
    flat = flat[..., :count * bits].reshape(data.shape[:-1] + (count, bits))
    return (flat.astype(np.uint32) << np.arange(bits, dtype=np.uint32)).sum(-1)


def quantize_blocks(x, bits, shrink=(1.0, 0.95, 0.9, 0.85, 0.8, 0.75, 0.7)):
    """Affine quantisation of each row of x (blocks, n) to unsigned codes.

    For every block the range is tried at several shrink factors (clipping
    outliers) and the one with the least squared error is kept. Returns
    (codes, offset16, scale16, decoded) where decoded is what the library
    reconstructs: code * scale + offset in single precision."""
    x = np.asarray(x, dtype=np.float32)
    top = (1 << bits) - 1
    lo0, hi0 = x.min(1), x.max(1)
    best = None
    for f in shrink:
        lo, hi = lo0 * f, hi0 * f
        off16 = scale16_encode(lo)
        off = scale16_decode(off16)
        sc16 = scale16_encode((hi - off) / top, round_up=True)
        sc = scale16_decode(sc16)
        safe = np.where(sc > 0, sc, 1.0).astype(np.float32)
        codes = np.clip(np.rint((x - off[:, None]) / safe[:, None]), 0, top)
        codes = np.where(sc[:, None] > 0, codes, 0).astype(np.uint32)
        dec = (codes.astype(np.float32) * sc[:, None] + off[:, None]).astype(np.float32)
        err = ((dec - x) ** 2).sum(1)
        if best is None:
            best = [codes, off16, sc16, dec, err]
        else:
            pick = err < best[4]
            best[0] = np.where(pick[:, None], codes, best[0])
            best[1] = np.where(pick, off16, best[1])
            best[2] = np.where(pick, sc16, best[2])
            best[3] = np.where(pick[:, None], dec, best[3])
            best[4] = np.where(pick, err, best[4])
    return best[0], best[1], best[2], best[3]


# ---------------------------------------------------------------------------
# Writer


class Writer:
    def __init__(self, f):
        self.f = f

    def raw(self, b):
        self.f.write(b)

    def i32(self, *v):
        self.f.write(struct.pack("<%di" % len(v), *v))

    def f32(self, *v):
        self.f.write(struct.pack("<%df" % len(v), *v))

    def array(self, a, dtype):
        self.f.write(np.ascontiguousarray(a, dtype=np.dtype(dtype).newbyteorder("<")).tobytes())

    def name(self, s):
        b = s.encode("utf-8")[:255]
        self.i32(len(b))
        self.raw(b)


def lowbit_mixed_layout(w, wide_fraction=1 / 16):
    """Chooses the stored column order and widths of a mixed-width weight.

    The columns with the largest spread (most sensitive to coarse codes) get
    8 bits, the rest 4 bits; within each class columns are sorted by spread
    so that the 8 columns of a group, which share one scale per tile, have
    similar ranges. Returns (perm, widths, starts, groups per width)."""
    rows, cols = w.shape
    spread = w.max(0) - w.min(0)
    order = np.argsort(-spread, kind="stable")
    wide = int(cols * wide_fraction) // TILE_COLS * TILE_COLS
    wide_cols, narrow_cols = order[:wide], order[wide:]
    perm = np.concatenate([narrow_cols, wide_cols]).astype(np.int32)
    g4, g8 = len(narrow_cols) // TILE_COLS, wide // TILE_COLS
    widths, starts = [], []
    if g4:
        widths.append(4)
        starts.append(0)
    if g8:
        widths.append(8)
        starts.append(g4)
    return perm, widths, starts, {4: g4, 8: g8}


def write_lowbit_mixed(wr, name, w):
    """Writes a linear weight [rows][cols] as kind -664 and returns the
    float weight the library will reconstruct from it."""
    w = np.asarray(w, dtype=np.float32)
    rows, cols = w.shape
    if rows % TILE_ROWS or cols % TILE_COLS:
        raise ValueError("%s: %dx%d is not a multiple of the tile" % (name, rows, cols))
    R = rows // TILE_ROWS
    perm, widths, starts, counts = lowbit_mixed_layout(w)
    stored = w[:, perm]                                    # [rows][stored cols]
    decoded = np.empty_like(w)
    scales, tiles = [], []
    group = 0
    for bits in sorted(counts):
        g = counts[bits]
        if not g:
            continue
        block = stored[:, group * TILE_COLS:(group + g) * TILE_COLS]
        # (R, g, 16, 8): row block major, then group.
        t = block.reshape(R, TILE_ROWS, g, TILE_COLS).transpose(0, 2, 1, 3)
        codes, off16, sc16, dec = quantize_blocks(t.reshape(R * g, TILE_ROWS * TILE_COLS), bits)
        scales.append(np.stack([off16, sc16], 1).reshape(-1))
        tiles.append(pack_codes(codes, bits).reshape(-1))
        dec = dec.reshape(R, g, TILE_ROWS, TILE_COLS).transpose(0, 2, 1, 3)
        dec = dec.reshape(rows, g * TILE_COLS)
        decoded[:, perm[group * TILE_COLS:(group + g) * TILE_COLS]] = dec
        group += g
    wr.i32(LOWBIT_MIXED)
    wr.name(name)
    wr.i32(rows, cols, TILE_ROWS, TILE_COLS)
    wr.array(perm, "i4")
    wr.i32(len(widths), *widths, *starts)
    wr.i32(0)                                              # unused
    wr.array(np.concatenate(scales), "u2")
    wr.array(np.concatenate(tiles), "u1")
    wr.i32(0)                                              # no offset row
    return decoded


def write_dense(wr, w):
    w = np.asarray(w, dtype=np.float32)
    wr.i32(DENSE, w.shape[0], w.shape[1])
    wr.array(w, "f4")
    return w


def write_linear(wr, name, w, b, lowbit):
    dec = write_lowbit_mixed(wr, name, w) if lowbit else write_dense(wr, w)
    wr.array(np.asarray(b, dtype=np.float32), "f4")
    return dec


EMBED_BLOCK_ROWS, EMBED_BLOCK_COLS, EMBED_BITS = 1, 32, 8


def write_embedding(wr, name, table, quantized):
    t = np.asarray(table, dtype=np.float32)
    rows, cols = t.shape
    if not quantized:
        wr.i32(EMBED_FLOAT, rows, cols)
        wr.array(t, "f4")
        return t
    br, bc, bits = EMBED_BLOCK_ROWS, EMBED_BLOCK_COLS, EMBED_BITS
    if rows % br or cols % bc:
        raise ValueError("%s: %dx%d is not a multiple of the block" % (name, rows, cols))
    blocks = t.reshape(rows // br, br, cols // bc, bc).transpose(0, 2, 1, 3).reshape(-1, br * bc)
    codes, off16, sc16, dec = quantize_blocks(blocks, bits)
    wr.i32(EMBED_QUANT)
    wr.name(name)
    wr.i32(rows, cols, br, bc, bits, 0)
    wr.array(np.stack([off16, sc16], 1).reshape(-1), "u2")
    wr.array(pack_codes(codes, bits).reshape(-1), "u1")
    wr.i32(0)
    return dec.reshape(rows // br, cols // bc, br, bc).transpose(0, 2, 1, 3).reshape(rows, cols)


def write_norm(wr, gamma, beta):
    wr.i32(len(gamma))
    wr.array(gamma, "f4")
    wr.array(beta, "f4")


def write_attention(wr, prefix, p, heads, lowbit, out):
    dim = p[prefix + "query.weight"].shape[0]
    wr.i32(dim, heads)
    for part in ("key", "value", "query", "output"):
        k = prefix + part
        out[k + ".weight"] = write_linear(wr, k, p[k + ".weight"], p[k + ".bias"], lowbit)
        out[k + ".bias"] = p[k + ".bias"]


def write_network(wr, p, cfg, lowbit):
    """Writes everything from the output projection to the decoder stack.
    p: name -> float32 array (the network's state dict). Returns the same
    names mapped to the weights the library will see."""
    out = dict(p)
    emb = p["embedding.weight"]
    out["output.weight"] = write_linear(wr, "output", emb, p["output_bias"], lowbit)
    out["embedding.weight"] = write_embedding(wr, "token_embedding", emb, lowbit)
    out["positions"] = write_embedding(wr, "position_embedding", p["positions"], lowbit)
    scale = float(np.sqrt(cfg["dim"]))
    heads = cfg["heads"]
    for stack, n, parts in (
            ("encoder", cfg["encoder_layers"], ("attention",)),
            ("decoder", cfg["decoder_layers"], ("self_attention", "cross_attention"))):
        wr.i32(n)
        wr.f32(scale)
        for i in range(n):
            pre = "%s.%d." % (stack, i)
            for att in parts:
                write_attention(wr, pre + att + ".", p, heads, lowbit, out)
                write_norm(wr, p[pre + att + "_norm.weight"], p[pre + att + "_norm.bias"])
            for ffn in ("ffn_in", "ffn_out"):
                k = pre + ffn
                out[k + ".weight"] = write_linear(wr, k, p[k + ".weight"], p[k + ".bias"], lowbit)
            write_norm(wr, p[pre + "ffn_norm.weight"], p[pre + "ffn_norm.bias"])
    return out


def nul_blob(strings):
    return b"".join(s.encode("utf-8") + b"\0" for s in strings)


def write_tokenizer(wr, vocab, start_id, end_id, unk_id, pad_id):
    """Kind 2: the unigram piece model segments (its control pieces are
    empty strings, which no text matches), the string table numbers the
    pieces, and the output table spells them for decoding.

    vocab: list of (piece, score, is_normal) in id order, with the
    word-boundary mark already turned into a plain space."""
    n = len(vocab)
    segment = [p if normal else "" for p, _s, normal in vocab]
    strings = [p for p, _s, _normal in vocab]
    output = [p if normal else "" for p, _s, normal in vocab]
    output[unk_id] = " \u2047 "
    wr.i32(2)
    wr.i32(start_id, end_id, pad_id, unk_id)
    blob = nul_blob(segment)
    wr.i32(n, 0, start_id, end_id, 1, 0, len(blob))   # n, specials, ids, flags, lattice mode
    wr.raw(blob)
    wr.array([s for _p, s, _n in vocab], "f4")
    blob = nul_blob(strings)
    wr.i32(n, len(blob))
    wr.raw(blob)
    control = [start_id, end_id, unk_id, pad_id]
    wr.i32(len(control), *control)
    blob = nul_blob(output)
    wr.i32(1, n, len(blob))
    wr.raw(blob)


def write_model(f, p, cfg, vocab, header, lowbit):
    wr = Writer(f)
    wr.raw(MAGIC + VERSION)
    wr.i32(header["max_source_tokens"], header["max_output_length"], header["beam_size"], 0,
           header["start_id"], 0, header["end_id"])
    seen = write_network(wr, p, cfg, lowbit)
    wr.raw(b"en")
    wr.raw(b"de")
    wr.i32(header["max_character_limit"], header["dropped_id"])
    write_tokenizer(wr, vocab, header["start_id"], header["end_id"],
                    header["unk_id"], header["dropped_id"])
    return seen


# ---------------------------------------------------------------------------
# Reader


class Reader:
    def __init__(self, data):
        self.d = data
        self.at = 0

    def take(self, n):
        if n < 0 or self.at + n > len(self.d):
            raise ValueError("file ends at byte %d, wanted %d more" % (self.at, n))
        b = self.d[self.at:self.at + n]
        self.at += n
        return b

    def i32(self, n=None):
        v = struct.unpack("<%di" % (n or 1), self.take(4 * (n or 1)))
        return list(v) if n is not None else v[0]

    def f32(self):
        return struct.unpack("<f", self.take(4))[0]

    def array(self, dtype, count):
        dt = np.dtype(dtype).newbyteorder("<")
        return np.frombuffer(self.take(dt.itemsize * count), dtype=dt).astype(dt.newbyteorder("="))

    def name(self):
        return self.take(self.i32()).decode("utf-8", "replace")

    def strings(self, n, blob_len):
        blob = self.take(blob_len)
        parts = blob.split(b"\0")
        if blob[-1:] != b"\0" or len(parts) - 1 != n:
            raise ValueError("expected %d strings" % n)
        return [p.decode("utf-8") for p in parts[:-1]]


def read_lowbit(rd, mixed):
    rd.name()
    rows, cols, tr, tc = rd.i32(4)
    if (tr, tc) != (TILE_ROWS, TILE_COLS):
        raise ValueError("tile shape %dx%d" % (tr, tc))
    R, G = rows // tr, cols // tc
    if mixed:
        perm = rd.array("i4", cols)
        n = rd.i32()
        widths, starts = rd.i32(n), rd.i32(n)
        T = [-1] * 8 + [G]
        for w, s in zip(widths, starts):
            T[w - 1] = s
        for k in range(7, -1, -1):
            if T[k] == -1:
                T[k] = T[k + 1]
        counts = [T[k + 1] - T[k] for k in range(8)]
    else:
        perm = np.arange(cols, dtype=np.int32)
        bits = rd.i32()
        counts = [0] * 8
        counts[bits - 1] = G
    rd.i32()
    scales = rd.array("u2", 2 * R * G)
    size = sum(R * counts[b - 1] * tr * tc * b // 8 for b in range(1, 9))
    tiles = rd.array("u1", size)
    if rd.i32() != 0:
        raise ValueError("offset rows are not supported by this reader")
    w = np.empty((rows, cols), dtype=np.float32)
    byte_at = pair_at = group = 0
    for b in range(1, 9):
        g = counts[b - 1]
        if not g:
            continue
        nbytes = R * g * tr * tc * b // 8
        codes = unpack_codes(tiles[byte_at:byte_at + nbytes].reshape(R * g, tr * tc * b // 8),
                             b, tr * tc)
        pairs = scales[2 * pair_at:2 * (pair_at + R * g)].reshape(R * g, 2)
        off, sc = scale16_decode(pairs[:, 0]), scale16_decode(pairs[:, 1])
        dec = codes.astype(np.float32) * sc[:, None] + off[:, None]
        dec = dec.reshape(R, g, tr, tc).transpose(0, 2, 1, 3).reshape(rows, g * tc)
        w[:, perm[group * tc:(group + g) * tc]] = dec
        byte_at += nbytes
        pair_at += R * g
        group += g
    return w


def read_linear(rd):
    kind = rd.i32()
    if kind in (DENSE, NAMED_DENSE):
        if kind == NAMED_DENSE:
            rd.name()
        rows, cols = rd.i32(2)
        w = rd.array("f4", rows * cols).reshape(rows, cols)
    elif kind in (LOWBIT, LOWBIT_MIXED):
        w = read_lowbit(rd, kind == LOWBIT_MIXED)
    else:
        raise ValueError("linear kind %d" % kind)
    return w, rd.array("f4", w.shape[0])


def read_embedding(rd):
    kind = rd.i32()
    if kind in (EMBED_FLOAT, EMBED_NAMED_FLOAT):
        if kind == EMBED_NAMED_FLOAT:
            rd.name()
        rows, cols = rd.i32(2)
        return rd.array("f4", rows * cols).reshape(rows, cols)
    if kind != EMBED_QUANT:
        raise ValueError("embedding kind %d" % kind)
    rd.name()
    rows, cols, br, bc, bits = rd.i32(5)
    rd.i32()
    nb = (rows // br) * (cols // bc)
    pairs = rd.array("u2", 2 * nb).reshape(nb, 2)
    per = br * bc * bits // 8
    codes = unpack_codes(rd.array("u1", nb * per).reshape(nb, per), bits, br * bc)
    if rd.i32() != 0:
        raise ValueError("quantised table must end with 0")
    dec = codes.astype(np.float32) * scale16_decode(pairs[:, 1])[:, None] \
        + scale16_decode(pairs[:, 0])[:, None]
    return dec.reshape(rows // br, cols // bc, br, bc).transpose(0, 2, 1, 3).reshape(rows, cols)


def read_norm(rd):
    n = rd.i32()
    return rd.array("f4", n), rd.array("f4", n)


def read_model(data):
    """Returns (header dict, weights dict with the state-dict names, config,
    tokenizer dict) of a model file's bytes."""
    rd = Reader(data)
    if rd.take(5) != MAGIC or rd.take(5) != VERSION:
        raise ValueError("not a model file of this version")
    h = dict(zip(("max_source_tokens", "max_output_length", "beam_size", "fourth",
                  "start_id", "sixth", "end_id"), rd.i32(7)))
    p = {}
    p["output.weight"], p["output.bias"] = read_linear(rd)
    p["output_bias"] = p["output.bias"]           # the training network's name
    p["embedding.weight"] = read_embedding(rd)
    p["positions"] = read_embedding(rd)
    cfg = {"vocab": p["embedding.weight"].shape[0], "dim": p["embedding.weight"].shape[1],
           "positions": p["positions"].shape[0]}
    for stack, parts in (("encoder", ("attention",)),
                         ("decoder", ("self_attention", "cross_attention"))):
        n = rd.i32()
        cfg[stack + "_layers"] = n
        cfg[stack + "_scale"] = rd.f32()
        for i in range(n):
            pre = "%s.%d." % (stack, i)
            for att in parts:
                dim, heads = rd.i32(2)
                cfg["heads"] = heads
                for part in ("key", "value", "query", "output"):
                    k = pre + att + "." + part
                    p[k + ".weight"], p[k + ".bias"] = read_linear(rd)
                p[pre + att + "_norm.weight"], p[pre + att + "_norm.bias"] = read_norm(rd)
            for ffn in ("ffn_in", "ffn_out"):
                p[pre + ffn + ".weight"], p[pre + ffn + ".bias"] = read_linear(rd)
            p[pre + "ffn_norm.weight"], p[pre + "ffn_norm.bias"] = read_norm(rd)
            cfg["hidden"] = p[pre + "ffn_in.weight"].shape[0]
    h["language_pair"] = (rd.take(2) + b"-" + rd.take(2)).decode("ascii")
    h["max_character_limit"], h["dropped_id"] = rd.i32(2)
    tok = read_tokenizer(rd)
    return h, p, cfg, tok


def read_piece_model(rd):
    n, m, start, end, flags, mode, blob_len = rd.i32(7)
    pieces = rd.strings(n, blob_len)
    scores = rd.array("f4", n)
    specials = rd.i32(m) if m else []
    return {"pieces": pieces, "scores": scores, "start_id": start, "end_id": end,
            "flags": flags, "mode": mode, "specials": specials}


def read_tokenizer(rd):
    kind = rd.i32()
    if kind == 0:
        return {"kind": 0, "piece_model": read_piece_model(rd)}
    if kind != 2:
        raise ValueError("tokenizer kind %d" % kind)
    start, end, reserved, unk = rd.i32(4)
    pm = read_piece_model(rd)
    n, blob_len = rd.i32(2)
    strings = rd.strings(n, blob_len)
    ids = rd.i32(rd.i32())
    output = None
    if rd.at + 4 <= len(rd.d) and rd.i32() != 0:
        count, blob_len = rd.i32(2)
        if count != n:
            raise ValueError("%d != %d" % (count, n))
        output = rd.strings(n, blob_len)
    return {"kind": 2, "start_id": start, "end_id": end, "reserved_id": reserved,
            "unknown_id": unk, "piece_model": pm, "strings": strings, "id_values": ids,
            "output_strings": output}
