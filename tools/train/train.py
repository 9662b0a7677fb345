#!/usr/bin/env python3
"""Train the translation network on the extracted pairs, on the CPU.

    train.py --data DIR --spm PREFIX.model --state DIR [--minutes 55] [--threads 4]

Training stops after --minutes of training time (time spent in earlier runs
counts: the checkpoint records it). Every --save-minutes the state goes to
STATE/last.pt (written to a temporary file and renamed, so an interruption
never leaves a broken checkpoint); the checkpoint with the lowest validation
loss is also kept as STATE/best.pt. Running the same command again resumes
from STATE/last.pt. The learning rate warms up linearly over --warmup steps
and then falls linearly with the training time used, reaching 5% of the
peak at the end of the budget.
"""

import argparse
import json
import math
import os
import random
import sys
import time

import sentencepiece as spm
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from model import Translator  # noqa: E402

START_ID, END_ID, UNK_ID, PAD_ID = 0, 1, 2, 3
MAX_TOKENS = 126  # pieces per side before the start or end id


def read_pairs(path, sp):
    src, tgt = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            en, de = line.rstrip("\n").split("\t")
            s = sp.encode(en)[:MAX_TOKENS]
            t = sp.encode(de)[:MAX_TOKENS]
            src.append(s + [END_ID])
            tgt.append(t)
    return src, tgt


def make_batches(src, tgt, max_tokens, rng):
    """Groups pairs of similar length so that each batch holds at most
    max_tokens padded tokens on its longer side."""
    order = sorted(range(len(src)), key=lambda i: (len(src[i]), len(tgt[i]), rng.random()))
    batches, cur, longest = [], [], 0
    for i in order:
        n = max(len(src[i]), len(tgt[i]) + 1)
        if cur and max(longest, n) * (len(cur) + 1) > max_tokens:
            batches.append(cur)
            cur, longest = [], 0
        cur.append(i)
        longest = max(longest, n)
    if cur:
        batches.append(cur)
    return batches


def tensors(batch, src, tgt):
    s_len = max(len(src[i]) for i in batch)
    t_len = max(len(tgt[i]) for i in batch) + 1
    s = torch.full((len(batch), s_len), PAD_ID, dtype=torch.long)
    ti = torch.full((len(batch), t_len), PAD_ID, dtype=torch.long)
    to = torch.full((len(batch), t_len), PAD_ID, dtype=torch.long)
    for row, i in enumerate(batch):
        s[row, :len(src[i])] = torch.tensor(src[i])
        seq_in = [START_ID] + tgt[i]
        seq_out = tgt[i] + [END_ID]
        ti[row, :len(seq_in)] = torch.tensor(seq_in)
        to[row, :len(seq_out)] = torch.tensor(seq_out)
    return s, ti, to


def evaluate(net, batches, src, tgt):
    """Mean negative log-likelihood per target token (no smoothing)."""
    net.eval()
    total, count = 0.0, 0
    with torch.no_grad():
        for batch in batches:
            s, ti, to = tensors(batch, src, tgt)
            logits = net(s, ti)
            total += F.cross_entropy(logits.reshape(-1, logits.shape[-1]), to.reshape(-1),
                                     ignore_index=PAD_ID, reduction="sum").item()
            count += (to != PAD_ID).sum().item()
    net.train()
    return total / max(count, 1)


def save(path, state):
    tmp = path + ".tmp"
    torch.save(state, tmp)
    os.replace(tmp, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", required=True)
    ap.add_argument("--spm", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--minutes", type=float, default=55.0)
    ap.add_argument("--save-minutes", type=float, default=5.0)
    ap.add_argument("--valid-steps", type=int, default=400)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--batch-tokens", type=int, default=3000)
    ap.add_argument("--lr", type=float, default=1e-3)
    ap.add_argument("--warmup", type=int, default=400)
    ap.add_argument("--dim", type=int, default=256)
    ap.add_argument("--heads", type=int, default=4)
    ap.add_argument("--hidden", type=int, default=1024)
    ap.add_argument("--layers", type=int, default=3)
    ap.add_argument("--positions", type=int, default=256)
    ap.add_argument("--dropout", type=float, default=0.1)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    torch.set_num_threads(args.threads)
    os.makedirs(args.state, exist_ok=True)
    log = open(os.path.join(args.state, "train.log"), "a", buffering=1)

    def say(msg):
        log.write(time.strftime("%H:%M:%S ") + msg + "\n")

    sp = spm.SentencePieceProcessor(model_file=args.spm)
    train_src, train_tgt = read_pairs(os.path.join(args.data, "train.tsv"), sp)
    valid_src, valid_tgt = read_pairs(os.path.join(args.data, "valid.tsv"), sp)
    valid_batches = make_batches(valid_src, valid_tgt, args.batch_tokens, random.Random(0))

    last = os.path.join(args.state, "last.pt")
    if os.path.exists(last):
        state = torch.load(last, map_location="cpu", weights_only=False)
        net = Translator(**state["config"])
        net.load_state_dict(state["model"])
        say("resumed at step %d, %.1f min trained" % (state["step"], state["seconds"] / 60))
    else:
        torch.manual_seed(args.seed)
        net = Translator(sp.get_piece_size(), dim=args.dim, heads=args.heads,
                         hidden=args.hidden, encoder_layers=args.layers,
                         decoder_layers=args.layers, positions=args.positions,
                         dropout=args.dropout, pad_id=PAD_ID)
        state = {"step": 0, "seconds": 0.0, "epoch": 0, "best": math.inf,
                 "history": [], "args": vars(args)}
    net.train()
    opt = torch.optim.Adam(net.parameters(), lr=args.lr, betas=(0.9, 0.98), eps=1e-9)
    if "optimizer" in state:
        opt.load_state_dict(state["optimizer"])
    params = sum(p.numel() for p in net.parameters())
    say("parameters %d, train pairs %d, valid pairs %d, threads %d" % (
        params, len(train_src), len(valid_src), torch.get_num_threads()))

    budget = args.minutes * 60.0
    step, seconds, epoch = state["step"], state["seconds"], state["epoch"]

    def snapshot():
        return {"config": net.config, "model": net.state_dict(),
                "optimizer": opt.state_dict(), "step": step, "seconds": seconds,
                "epoch": epoch, "best": state["best"], "history": state["history"],
                "args": vars(args)}

    last_save = time.time()
    done = seconds >= budget
    while not done:
        rng = random.Random(args.seed * 1000 + epoch)
        batches = make_batches(train_src, train_tgt, args.batch_tokens, rng)
        rng.shuffle(batches)
        # A resumed run skips the batches of this epoch it has already seen.
        skip = state.get("batch_in_epoch", 0) if state.get("epoch") == epoch else 0
        for b_index in range(skip, len(batches)):
            t0 = time.time()
            s, ti, to = tensors(batches[b_index], train_src, train_tgt)
            lr = args.lr * min(1.0, (step + 1) / args.warmup) * max(0.05, 1.0 - seconds / budget)
            for g in opt.param_groups:
                g["lr"] = lr
            logits = net(s, ti)
            loss = F.cross_entropy(logits.reshape(-1, logits.shape[-1]), to.reshape(-1),
                                   ignore_index=PAD_ID, label_smoothing=0.1)
            opt.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(net.parameters(), 1.0)
            opt.step()
            step += 1
            seconds += time.time() - t0
            if step % 50 == 0:
                say("step %d epoch %d loss %.4f lr %.6f %.2f s/step %.1f min" % (
                    step, epoch, loss.item(), lr, time.time() - t0, seconds / 60))
            done = seconds >= budget
            if step % args.valid_steps == 0 or done:
                v = evaluate(net, valid_batches, valid_src, valid_tgt)
                state["history"].append({"step": step, "minutes": seconds / 60, "valid_nll": v})
                say("step %d valid nll %.4f" % (step, v))
                if v < state["best"]:
                    state["best"] = v
                    snap = snapshot()
                    snap["batch_in_epoch"] = b_index + 1
                    save(os.path.join(args.state, "best.pt"), snap)
            if done or time.time() - last_save >= args.save_minutes * 60:
                snap = snapshot()
                snap["batch_in_epoch"] = b_index + 1
                state["epoch"], state["batch_in_epoch"] = epoch, b_index + 1
                save(last, snap)
                last_save = time.time()
            if done:
                break
        if not done:
            epoch += 1
            state["epoch"], state["batch_in_epoch"] = epoch, 0
    with open(os.path.join(args.state, "history.json"), "w") as f:
        json.dump(state["history"], f, indent=1)
    say("finished at step %d, best valid nll %.4f" % (step, state["best"]))


if __name__ == "__main__":
    main()
