#!/usr/bin/env python3
"""Check the library's translations against the reference translator.

    compare_engine.py --build BUILD --data DIR --float F32.qz --lowbit LOWBIT.qz
                      [--split test] [--device cpu:4] [--out DIR] [--min-match 0.98]

For each model file, every text of the split is translated three ways: by
the library through qz_translate_batch (the shared library, text only), by
the library through qz_translate_ids (the same engine with the ids and the
finished pool of each search) and by reference_decode.py. It reports

- whether the two library drivers give the same text for every pair;
- the fraction of texts where the library's best hypothesis has exactly the
  reference's ids, and the largest difference of the two best scores where
  they agree;
- for every text where they differ, both finished pools with their
  length-normalised scores, and where each side's winner stands in the other
  side's pool: a winner that the other side also finished, a hair below its
  own best, is a near tie decided by float rounding;
- corpus BLEU and chrF (sacrebleu) of the library's translations and of the
  reference's.

--out DIR keeps the library's translations (engine-NAME.txt, one line per
pair) and a report of the differences (differences-NAME.txt). The exit
status is 1 when the float model's match rate is below --min-match.
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate  # noqa: E402
import reference_decode  # noqa: E402


def run_tool(tool, model, device, texts):
    """Output lines of a library driver fed one text per line."""
    done = subprocess.run([tool, model, device], input="".join(t + "\n" for t in texts),
                          capture_output=True, text=True, encoding="utf-8")
    if done.returncode != 0:
        sys.exit("%s failed (%d):\n%s" % (tool, done.returncode, done.stderr[-2000:]))
    lines = done.stdout.split("\n")[:-1]
    if len(lines) != len(texts):
        sys.exit("%s wrote %d lines for %d texts" % (tool, len(lines), len(texts)))
    return lines


def parse_ids(field):
    return [int(v) for v in field.split()]


def parse_pool(field):
    """[(score, ids)] from "score: ids | score: ids | ..."."""
    pool = []
    for entry in field.split(" | "):
        score, _, ids = entry.partition(":")
        pool.append((float(score), parse_ids(ids)))
    return pool


def engine_results(build, model, device, texts):
    """[(text, ids, pool)] from the library, after checking that both
    drivers agree on the text."""
    tools = os.path.join(build, "tools")
    plain = run_tool(os.path.join(tools, "qz_translate_batch"), model, device, texts)
    with_ids = run_tool(os.path.join(tools, "qz_translate_ids"), model, device, texts)
    results = []
    for n, (line, text) in enumerate(zip(with_ids, plain)):
        fields = line.split("\t")
        if len(fields) != 3 or fields[0] != text:
            sys.exit("line %d: the drivers disagree: %r / %r" % (n + 1, text, line))
        results.append((fields[0], parse_ids(fields[1]), parse_pool(fields[2])))
    return results


def stripped(ids, header):
    """Ids as the translation decodes them: no leading start id, no final end
    id unless it stands alone."""
    if ids and ids[0] == header["start_id"]:
        ids = ids[1:]
    if len(ids) >= 2 and ids[-1] == header["end_id"]:
        ids = ids[:-1]
    return ids


def reference_results(model, texts):
    """[(text, ids, pool)] from the reference translator."""
    with open(model, "rb") as f:
        tr = reference_decode.Translator(f.read())
    results = []
    for text in texts:
        out, ids = tr.translate(text)
        search = tr.search
        pool = [(float(search.pool_score[r]), stripped(search.best(r), tr.header))
                for r in range(search.B)]
        results.append((out, ids, pool))
    return results, tr


def trace(tr, text, ids):
    """Why the reference's search did not end with a hypothesis: a line
    naming the step where it dropped the hypothesis as a live beam (the
    extension's running score against the lowest one kept), or, when the
    hypothesis was still live at the step the search stopped, the stop test
    (the lowest finished score against the best live score over t). None when
    neither applies. The search is run again with its top-k and steps
    observed."""
    full = [tr.header["start_id"]] + list(ids) + [tr.header["end_id"]]
    rows, steps = [], []
    original_top_k, original_search = reference_decode.top_k, reference_decode.Search

    def observed_top_k(row, k):
        rows.append(np.array(row))
        return original_top_k(row, k)

    class ObservedSearch(original_search):
        def step(self, t, logits):
            before = (self.beam_tokens.copy(), self.beam_scores.copy())
            go = super().step(t, logits)
            least = min(float(v) for v in self.pool_score[:self.B])
            live = float(self.beam_scores[0] / self.norm(t))
            steps.append((t, before, self.beam_tokens.copy(), self.beam_scores.copy(),
                          least, live, go))
            return go

    reference_decode.top_k, reference_decode.Search = observed_top_k, ObservedSearch
    try:
        tr.translate(text)
    finally:
        reference_decode.top_k, reference_decode.Search = original_top_k, original_search
    for (t, (tokens, scores), after, kept, least, live, go), row in zip(steps, rows):
        if t >= len(full) - 1:
            return None  # the hypothesis reached its end id: a ranking matter
        live_rows = [b for b in range(len(tokens))
                     if list(tokens[b][:t]) == full[:t] and scores[b] > -1e8]
        if not live_rows:
            return None
        b = max(live_rows, key=lambda b: scores[b])
        score = float(row.reshape(len(tokens), -1)[b, full[t]])
        if not any(list(a[:t + 1]) == full[:t + 1] for a in after):
            return ("the reference dropped the library's winner at position %d: running score "
                    "%.9g against %.9g for the lowest beam kept (%.3g below)" % (
                        t, score, float(kept.min()), float(kept.min()) - score))
        if not go:
            return ("the library's winner was still a live beam when the reference stopped "
                    "after position %d: lowest finished score %.9g against best live score/t "
                    "%.9g (a margin of %.3g)" % (t, least, live, least - live))
    return None


def standing(ids, pool):
    """Rank and score of a hypothesis in a pool, or None."""
    for rank, (score, row) in enumerate(pool):
        if row == ids:
            return rank, score
    return None


def explain(n, source, engine, reference, tr):
    """Lines describing one difference."""
    e_text, e_ids, e_pool = engine
    r_text, r_ids, r_pool = reference
    lines = ["#%d %r" % (n + 1, source),
             "  library:   %r  %s" % (e_text, e_ids),
             "  reference: %r  %s" % (r_text, r_ids)]
    for name, pool in (("library", e_pool), ("reference", r_pool)):
        lines.append("  %s pool:" % name)
        for score, ids in pool:
            lines.append("    %.9g  %r" % (score, tr.tok.decode(ids, previous=tr.tok.start_id)))
    verdicts = []
    for side, pool, other_ids, other in (("reference", r_pool, e_ids, "library's"),
                                         ("library", e_pool, r_ids, "reference's")):
        found = standing(other_ids, pool)
        if found is None:
            verdicts.append("the %s winner is not in the %s pool" % (other, side))
        else:
            rank, score = found
            verdicts.append("the %s winner is rank %d in the %s pool, %.3g below its best" % (
                other, rank, side, pool[0][0] - score))
    if standing(e_ids, r_pool) is None:
        why = trace(tr, source, e_ids)
        if why:
            verdicts.append(why)
    lines.extend("  - " + v for v in verdicts)
    return lines, verdicts


def compare(name, model, args, pairs):
    texts = [en for en, _de in pairs]
    refs = [de for _en, de in pairs]
    t0 = time.time()
    engine = engine_results(args.build, model, args.device, texts)
    t1 = time.time()
    reference, tr = reference_results(model, texts)
    t2 = time.time()

    same = 0
    worst = 0.0
    report = []
    for n, (source, e, r) in enumerate(zip(texts, engine, reference)):
        if e[1] == r[1]:
            same += 1
            worst = max(worst, abs(e[2][0][0] - r[2][0][0]))
            if e[0] != r[0]:
                report.append("#%d same ids but different text: %r / %r" % (n + 1, e[0], r[0]))
            continue
        lines, _verdicts = explain(n, source, e, r, tr)
        report.extend(lines)
    rate = same / max(1, len(texts))
    e_bleu, e_chrf, e_ratio = evaluate.score([e[0] for e in engine], refs)
    r_bleu, r_chrf, _ = evaluate.score([r[0] for r in reference], refs)

    print("%s (%s), %s split, %d texts; library %.0f s, reference %.0f s" % (
        name, os.path.basename(model), args.split, len(texts), t1 - t0, t2 - t1))
    print("  identical ids: %d of %d (%.2f %%); largest best-score difference where "
          "identical: %.3g" % (same, len(texts), 100 * rate, worst))
    print("  library:   BLEU %.1f, chrF %.1f, length ratio %.2f" % (e_bleu, e_chrf, e_ratio))
    print("  reference: BLEU %.1f, chrF %.1f" % (r_bleu, r_chrf))
    for line in report:
        print("  " + line)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "engine-%s.txt" % name), "w", encoding="utf-8") as f:
            f.writelines(e[0] + "\n" for e in engine)
        with open(os.path.join(args.out, "differences-%s.txt" % name), "w",
                  encoding="utf-8") as f:
            f.writelines(line + "\n" for line in report)
    return rate


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="build folder holding tools/qz_translate_*")
    ap.add_argument("--data", required=True)
    ap.add_argument("--float", required=True, help="float model file")
    ap.add_argument("--lowbit", help="low-bit model file")
    ap.add_argument("--split", default="test")
    ap.add_argument("--device", default="cpu:4")
    ap.add_argument("--limit", type=int, default=0)
    ap.add_argument("--out")
    ap.add_argument("--min-match", type=float, default=0.98)
    args = ap.parse_args()
    pairs = evaluate.read_pairs(args.data, args.split, args.limit)
    rate = compare("float", args.float, args, pairs)
    if args.lowbit:
        compare("lowbit", args.lowbit, args, pairs)
    if rate < args.min_match:
        print("float match rate %.2f %% is below %.2f %%" % (100 * rate, 100 * args.min_match))
        sys.exit(1)


if __name__ == "__main__":
    main()
