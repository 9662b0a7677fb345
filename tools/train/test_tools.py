#!/usr/bin/env python3
"""Checks of the model-file writer and reader, the reference translator and
the network it mirrors. Run with the training virtualenv:

    /work/train-state/venv/bin/python -m unittest tools/train/test_tools.py

Set QZ_TRAIN_SPM (a .model file) and QZ_TRAIN_DATA (the pairs folder) to
also compare the exported tokenizer with SentencePiece on the test split.
"""

import io
import os
import struct
import sys
import unittest

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import modelfile  # noqa: E402
import reference_decode as ref  # noqa: E402
from model import Translator as Net  # noqa: E402

F32 = np.float32


class Scale16(unittest.TestCase):
    def test_decoding_of_fixed_patterns(self):
        cases = [(0x7FFF, 63.9375), (0xFFFF, -63.9375), (0x0001, 2.0 ** -35),
                 (0x0401, 2.0 ** -34), (0x3C00, 0.0), (0x0400, 0.0),
                 (0x6A00, 1.0), (0x7C10, 1.0), (0x0000, 0.0)]
        for pattern, value in cases:
            with self.subTest(pattern=hex(pattern)):
                self.assertEqual(float(modelfile.scale16_decode(pattern)), value)

    def test_encoding_is_nearest_and_keeps_sign(self):
        rng = np.random.default_rng(3)
        v = np.concatenate([rng.normal(0, 1, 1000), rng.normal(0, 1e-4, 1000), [0.0, 1.0, -1.0]])
        d = modelfile.scale16_decode(modelfile.scale16_encode(v)).astype(np.float64)
        # 10 mantissa bits with the top one set: at most half a step of 1/512.
        self.assertTrue(np.all(np.abs(d - v) <= np.abs(v) / 1024 + 1e-12))
        self.assertTrue(np.all(np.sign(d) == np.sign(v)))
        self.assertEqual(float(modelfile.scale16_decode(modelfile.scale16_encode(1.0))), 1.0)

    def test_round_up_never_gives_a_smaller_magnitude(self):
        v = np.random.default_rng(4).uniform(1e-6, 10, 2000)
        d = modelfile.scale16_decode(modelfile.scale16_encode(v, round_up=True))
        self.assertTrue(np.all(d.astype(np.float64) >= v * (1 - 1e-7)))

    def test_values_beyond_the_range_clamp(self):
        self.assertEqual(int(modelfile.scale16_encode(100.0)), 0x7FFF)
        self.assertEqual(int(modelfile.scale16_encode(-100.0)), 0xFFFF)


class CodePacking(unittest.TestCase):
    def tile(self, bits, r, k, code):
        codes = np.zeros(128, np.uint32)
        codes[8 * r + k] = code
        return modelfile.pack_codes(codes, bits)

    def test_width_three_positions(self):
        # Row 5 occupies bytes 15..17; column 7 is the top three bits of
        # byte 17; column 2 spans bits 6-7 of byte 15 and bit 0 of byte 16.
        t = self.tile(3, 5, 7, 7)
        self.assertEqual(len(t), 48)
        self.assertEqual(t[17], 0xE0)
        self.assertEqual(int(t.sum()), 0xE0)
        t = self.tile(3, 5, 2, 7)
        self.assertEqual((t[15], t[16]), (0xC0, 0x01))
        self.assertEqual(int(t.sum()), 0xC1)

    def test_widths_four_and_eight(self):
        t = self.tile(4, 2, 3, 0xA)
        self.assertEqual(t[2 * 4 + 1], 0xA0)       # row 2 is word 2; column 3 is bits 12..15
        t = self.tile(8, 15, 7, 200)
        self.assertEqual(t[127], 200)

    def test_unpack_inverts_pack(self):
        rng = np.random.default_rng(5)
        for bits in range(1, 9):
            codes = rng.integers(0, 1 << bits, (7, 128)).astype(np.uint32)
            back = modelfile.unpack_codes(modelfile.pack_codes(codes, bits), bits, 128)
            self.assertTrue(np.array_equal(back, codes), bits)


def lowbit_record(rows, cols, perm, widths, starts, counts, scales, tiles):
    b = io.BytesIO()
    w = modelfile.Writer(b)
    w.i32(modelfile.LOWBIT_MIXED)
    w.name("w")
    w.i32(rows, cols, 16, 8)
    w.array(perm, "i4")
    w.i32(len(widths), *widths, *starts)
    w.i32(0)
    w.array(scales, "u2")
    w.array(tiles, "u1")
    w.i32(0)
    return b.getvalue()


class LowBitLayout(unittest.TestCase):
    def test_reader_builds_width_classes_from_starts(self):
        # Widths {2, 4} starting at groups 0 and 3 of 5: three 2-bit groups,
        # then two 4-bit groups. Every code of stored group g is g + 1 (fits
        # 2 bits for g < 3), scale 1 and offset 0, under a reversing perm.
        rows, cols = 16, 40
        perm = np.arange(cols)[::-1].astype(np.int32)
        tiles = []
        for g, bits in enumerate([2, 2, 2, 4, 4]):
            code = g + 1 if bits == 2 else g + 8
            tiles.append(modelfile.pack_codes(np.full(128, code, np.uint32), bits))
        one = 0x6A00
        scales = np.array([0, one] * 5, np.uint16)
        data = lowbit_record(rows, cols, perm, [2, 4], [0, 3], None, scales,
                             np.concatenate(tiles))
        w, _ = modelfile.read_linear(modelfile.Reader(data + struct.pack("<16f", *[0] * 16)))
        expect = np.empty(cols, F32)
        for g, code in enumerate([1, 2, 3, 11, 12]):
            expect[perm[8 * g:8 * g + 8]] = code
        self.assertTrue(np.array_equal(w, np.tile(expect, (rows, 1))))

    def test_two_row_blocks_order_tiles_row_block_major(self):
        # Two row blocks of one 4-bit class of two groups: tile (rb, g) is
        # number rb * 2 + g, and so is its scale pair.
        rows, cols = 32, 16
        tiles = [modelfile.pack_codes(np.full(128, 1, np.uint32), 4) for _ in range(4)]
        scales = []
        for n in range(4):
            scales += [0, int(modelfile.scale16_encode(n + 1))]
        data = lowbit_record(rows, cols, np.arange(cols, dtype=np.int32), [4], [0], None,
                             np.array(scales, np.uint16), np.concatenate(tiles))
        w, _ = modelfile.read_linear(modelfile.Reader(data + b"\0" * 4 * rows))
        self.assertTrue(np.all(w[:16, :8] == 1) and np.all(w[:16, 8:] == 2))
        self.assertTrue(np.all(w[16:, :8] == 3) and np.all(w[16:, 8:] == 4))

    def test_writer_round_trip_and_error(self):
        rng = np.random.default_rng(6)
        w = rng.normal(0, 0.05, (48, 128)).astype(F32)
        w[:, 5] *= 20                                     # an outlier column gets 8 bits
        b = io.BytesIO()
        dec = modelfile.write_linear(modelfile.Writer(b), "x", w, np.arange(48, dtype=F32), True)
        back, bias = modelfile.read_linear(modelfile.Reader(b.getvalue()))
        self.assertTrue(np.array_equal(back, dec))
        self.assertTrue(np.array_equal(bias, np.arange(48, dtype=F32)))
        rel = np.linalg.norm(back - w) / np.linalg.norm(w)
        self.assertLess(rel, 0.12)
        perm, widths, starts, counts = modelfile.lowbit_mixed_layout(w)
        self.assertEqual((widths, starts, counts), ([4, 8], [0, 15], {4: 15, 8: 1}))
        self.assertIn(5, perm[120:])
        self.assertEqual(sorted(perm.tolist()), list(range(128)))

    def test_quantised_table_round_trip(self):
        rng = np.random.default_rng(7)
        t = rng.normal(0, 1, (10, 64)).astype(F32)
        b = io.BytesIO()
        dec = modelfile.write_embedding(modelfile.Writer(b), "e", t, True)
        back = modelfile.read_embedding(modelfile.Reader(b.getvalue()))
        self.assertTrue(np.array_equal(back, dec))
        self.assertLess(np.abs(back - t).max(), 0.05)


def tiny_network(seed=0, vocab=48):
    torch.manual_seed(seed)
    net = Net(vocab, dim=32, heads=4, hidden=64, encoder_layers=2, decoder_layers=2,
              positions=40, dropout=0.0)
    with torch.no_grad():
        for p in net.parameters():
            p.add_(torch.randn_like(p) * 0.1)      # biases and norms away from 0 and 1
    net.eval()
    return net


def tiny_vocab(n):
    v = [("<s>", 0.0, False), ("</s>", 0.0, False), ("<unk>", 0.0, False), ("<pad>", 0.0, False)]
    letters = "abcdefghijklmnopqrstuvwxyz"
    for i in range(n - 4):
        v.append(((" " if i % 2 else "") + letters[i % 26] * (1 + i // 26), -1.0 - i / 10, True))
    return v


def tiny_model_bytes(net, lowbit=False):
    p = {k: v.numpy() for k, v in net.state_dict().items()}
    h = dict(max_source_tokens=40, max_output_length=12, beam_size=3, start_id=0, end_id=1,
             unk_id=2, dropped_id=3, max_character_limit=100)
    b = io.BytesIO()
    modelfile.write_model(b, p, net.config, tiny_vocab(net.config["vocab"]), h, lowbit)
    return b.getvalue()


class ModelFile(unittest.TestCase):
    def test_float_file_reads_back_every_weight(self):
        net = tiny_network()
        h, p, cfg, tok = modelfile.read_model(tiny_model_bytes(net))
        sd = net.state_dict()
        for k, v in sd.items():
            self.assertTrue(np.array_equal(p[k], v.numpy()), k)
        self.assertTrue(np.array_equal(p["output.weight"], sd["embedding.weight"].numpy()))
        self.assertEqual((cfg["encoder_scale"], cfg["decoder_scale"]), (F32(32 ** 0.5),) * 2)
        self.assertEqual(h["language_pair"], "en-de")
        self.assertEqual((h["start_id"], h["end_id"], h["dropped_id"]), (0, 1, 3))
        self.assertEqual(tok["unknown_id"], 2)
        # Control pieces can never be matched by the segmenter.
        self.assertEqual(tok["piece_model"]["pieces"][:4], ["", "", "", ""])
        self.assertEqual(tok["strings"][:4], ["<s>", "</s>", "<unk>", "<pad>"])

    def test_header_bytes(self):
        data = tiny_model_bytes(tiny_network())
        self.assertEqual(data[:10], b"norvo1.1.0")
        self.assertEqual(struct.unpack("<7i", data[10:38]), (40, 12, 3, 0, 0, 0, 1))
        self.assertEqual(struct.unpack("<3i", data[38:50]), (0, 48, 32))  # dense output V x D


class ReferenceNetwork(unittest.TestCase):
    def test_step_by_step_decoder_equals_training_network(self):
        net = tiny_network(1)
        tr = ref.Translator(tiny_model_bytes(net), quantized_cache=False)
        src = [5, 9, 17, 22, 1]
        tgt = [0, 7, 8, 30, 12]
        with torch.no_grad():
            want = net(torch.tensor([src]), torch.tensor([tgt]))[0].numpy()
        memory = tr.net.encode(src)
        tr.net.start(memory, 2)
        for pos, tok in enumerate(tgt):
            got = tr.net.step(np.array([tok, tok]), pos)
            np.testing.assert_allclose(got[0], want[pos], rtol=1e-4, atol=1e-4)
            np.testing.assert_array_equal(got[0], got[1])

    def test_quantised_caches_stay_close(self):
        net = tiny_network(2)
        data = tiny_model_bytes(net)
        exact, coded = ref.Translator(data, False), ref.Translator(data, True)
        for tr in (exact, coded):
            tr.net.start(tr.net.encode([5, 6, 7, 1]), 1)
        for pos, tok in enumerate([0, 9, 10]):
            a = exact.net.step(np.array([tok]), pos)
            b = coded.net.step(np.array([tok]), pos)
            self.assertLess(np.abs(a - b).max(), 0.05 * np.abs(a).max())

    def test_cache_quantiser_rounds_half_away_from_zero(self):
        # lo 0, hi 255: slope 1, so codes are the rounded values.
        row = np.array([[0, 255, 0.5, 1.5, 2.49, 254.5]], F32)
        self.assertEqual(ref.quantize_rows(row).tolist(), [[0, 255, 1, 2, 2, 255]])


class Selection(unittest.TestCase):
    def test_displaced_entry_moves_below_equal_run(self):
        vals, idx = [5.0, 3.0, 3.0, 1.0], ["a", "b", "c", "d"]
        ref.insert_sorted(vals, idx, 4.0, "n")
        self.assertEqual((vals, idx), ([5, 4, 3, 3], ["a", "n", "c", "b"]))

    def test_top_k_matches_plain_insertion(self):
        rng = np.random.default_rng(8)
        row = rng.integers(0, 6, 400).astype(F32)      # many ties
        for k in (1, 3, 8):
            vals, idx = [-ref.FLT_MAX] * k, [0] * k
            for j, x in enumerate(row):
                ref.insert_sorted(vals, idx, x, j)
            self.assertEqual(ref.top_k(row, k), (vals, idx))


def search_step(search, t, logits):
    return search.step(t, np.array(logits, F32))


class BeamSearch(unittest.TestCase):
    V = 6

    def logits(self, beams, favourite, second=None):
        row = np.zeros((beams, self.V), F32)
        row[:, favourite] = 5
        if second is not None:
            row[:, second] = 4
        return row

    def test_first_step_extends_beam_zero_only(self):
        s = ref.Search(2, 10, 0, 1)
        search_step(s, 1, self.logits(2, 3, 4))
        self.assertEqual(s.beam_parents[:, 0].tolist(), [0, 0])
        self.assertEqual(s.beam_tokens[:, 1].tolist(), [3, 4])

    def test_end_in_first_place_finishes_with_one_beam(self):
        s = ref.Search(1, 10, 0, 1)
        go = search_step(s, 1, self.logits(1, 1, 4))
        self.assertFalse(go)
        self.assertEqual(s.best(), [0, 1])

    def test_end_in_second_place_neither_finishes_nor_continues(self):
        s = ref.Search(1, 10, 0, 1)
        self.assertTrue(search_step(s, 1, self.logits(1, 4, 1)))
        self.assertFalse(s.pool_finished[0])
        self.assertEqual(s.beam_tokens[0, 1], 4)

    def test_start_id_never_chosen(self):
        s = ref.Search(2, 10, 0, 1)
        search_step(s, 1, self.logits(2, 0, 5))
        self.assertNotIn(0, s.beam_tokens[:, 1].tolist())

    def test_length_limit_stops_and_bounds_hypothesis(self):
        s = ref.Search(2, 5, 0, 1)
        t = 1
        while search_step(s, t, self.logits(2, 3, 4)):
            t += 1
        self.assertEqual(t, 4)
        self.assertLessEqual(len(s.best()), 5)

    def test_repeat_penalty_counts_each_occurrence(self):
        s = ref.Search(1, 10, 0, 1)
        s.pool_tokens[1, 1:3] = [4, 4]           # candidate row of beam 0
        # Token 4 starts 0.09 ahead of token 5; twice penalised it falls behind.
        row = np.zeros((1, self.V), F32)
        row[0, 4], row[0, 5] = 3.09, 3.0
        search_step(s, 3, row)
        self.assertEqual(s.beam_tokens[0, 3], 5)
        s = ref.Search(1, 10, 0, 1)
        s.pool_tokens[1, 1:3] = [4, 2]
        search_step(s, 3, row)
        self.assertEqual(s.beam_tokens[0, 3], 4)


class Segmenter(unittest.TestCase):
    def tokenizer(self, pieces, add_space=False):
        names = [p for p, _ in pieces]
        tok = {"kind": 2, "start_id": 0, "end_id": 1, "unknown_id": 2, "reserved_id": 3,
               "piece_model": {"pieces": names, "scores": np.array([s for _, s in pieces], F32),
                               "flags": 1 if add_space else 0},
               "strings": names, "output_strings": None}
        return ref.Tokenizer(tok)

    def test_lattice_cases(self):
        cases = [
            ([("a", -1), ("b", -2), ("ab", -2.5)], False, "ab", [b"ab"]),
            ([("a", -1), ("b", -1), ("ab", -2)], False, "ab", [b"ab"]),       # tie: first found
            ([("a", -1), ("b", -1), ("ab", -2.5)], False, "ab", [b"a", b"b"]),
            ([("a", -1), ("x", -1)], False, "a\u00e9x", [b"a", "\u00e9".encode(), b"x"]),
            ([("a", -1)], False, "\u00e9\u00e8a", ["\u00e9\u00e8".encode(), b"a"]),
            ([(" x", -1), ("x", -0.1)], True, "x", [b" x"]),
            ([("a", -1), ("?", -1)], False, "a?a", [b"a", b"?", b"a"]),
            ([("fi", -1)], False, "\ufb01", [b"fi"]),                          # NFKC first
        ]
        for pieces, space, text, want in cases:
            with self.subTest(text=text):
                self.assertEqual(self.tokenizer(pieces, space).segment(text), want)

    def test_unknown_piece_gets_unknown_id(self):
        tok = self.tokenizer([("<s>", 0), ("</s>", 0), ("<unk>", 0), ("<pad>", 0), ("a", -1)])
        self.assertEqual(tok.encode("a\u00e9"), [4, 2, 1])

    @unittest.skipUnless(os.environ.get("QZ_TRAIN_SPM") and os.environ.get("QZ_TRAIN_DATA"),
                         "needs a trained piece model and the pairs")
    def test_exported_tokenizer_segments_like_sentencepiece(self):
        import sentencepiece as spm
        import export
        sp = spm.SentencePieceProcessor(model_file=os.environ["QZ_TRAIN_SPM"])
        b = io.BytesIO()
        modelfile.write_tokenizer(modelfile.Writer(b), export.vocabulary(sp), 0, 1, 2, 3)
        tok = ref.Tokenizer(modelfile.read_tokenizer(modelfile.Reader(b.getvalue())))
        texts = []
        with open(os.path.join(os.environ["QZ_TRAIN_DATA"], "test.tsv"), encoding="utf-8") as f:
            for line in f:
                texts += line.rstrip("\n").split("\t")
        texts += ["  two  spaces", "\u2603 snowman", "x\u00e9\u00e9y"]
        differ = [t for t in texts if tok.encode(t)[:-1] != sp.encode(t)]
        self.assertEqual(differ, [])


if __name__ == "__main__":
    unittest.main()
