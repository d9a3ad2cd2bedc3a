#!/usr/bin/python3
"""Checks `tarvel perplexity` against an independent float64 computation.

  reference_perplexity.py --command TARVEL --model DIR --text-file FILE
                          [--context N] [--stride S] [--tolerance 1e-12]

The text's token ids come from `tarvel tokenize` (the tokenizer is not what is checked here).
Then `tarvel perplexity` runs with the same window length and stride, and this script computes
the same quantity on its own: the forward pass of tools/reference_logits.py (torch, float64,
written from each family's published definition) over each window's tokens alone, torch's
log_softmax, and the sliding-window rule written out again here:

  windows [b, min(b + N, n)) for b = 0, S, 2S, ... until one reaches n; a window scores the
  positions j >= b + 1 that no earlier window scored, each from the logits of position j - 1;
  perplexity = exp(mean over all scored positions of -log p(t_j)).

It prints both figures and their relative difference and exits 1 when that exceeds the
tolerance, or when the scored-position count or the windows differ.

Interpreter: /usr/bin/python3 with Debian's python3-numpy and python3-torch.
"""

import argparse
import importlib.util
import json
import math
import os
import subprocess
import sys

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("reference_logits",
                                               os.path.join(HERE, "reference_logits.py"))
ref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ref)


def windows(n, context, stride):
    out, scored_end, begin = [], 1, 0
    while True:
        end = min(begin + context, n)
        out.append((begin, end, max(begin + 1, scored_end)))
        scored_end = end
        if end == n:
            return out
        begin += stride


def reference_perplexity(folder, ids, context, stride):
    cfg, weights = ref.load(folder)
    total, count, plan = 0.0, 0, windows(len(ids), context, stride)
    for begin, end, first in plan:
        logits = ref.forward(cfg, weights, ids[begin:end])
        logprobs = torch.log_softmax(logits, dim=-1)
        for j in range(first, end):
            total += -float(logprobs[j - 1 - begin, ids[j]])
            count += 1
    return math.exp(total / count), count, plan


def run(command, *args):
    done = subprocess.run([command, *args], capture_output=True)
    if done.returncode != 0:
        sys.exit(f"reference_perplexity: {args[0]} failed: {done.stderr.decode().strip()}")
    return json.loads(done.stdout)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--command", required=True, help="the tarvel command")
    parser.add_argument("--model", required=True, help="checkpoint folder")
    parser.add_argument("--text-file", required=True)
    parser.add_argument("--context", type=int, required=True)
    parser.add_argument("--stride", type=int, required=True)
    parser.add_argument("--tolerance", type=float, default=1e-12)
    args = parser.parse_args(argv)

    ids = run(args.command, "tokenize", "--model", args.model, "--text-file", args.text_file)["ids"]
    tarvel = run(args.command, "perplexity", "--model", args.model, "--text-file", args.text_file,
                 "--context", str(args.context), "--stride", str(args.stride))
    expected, count, plan = reference_perplexity(args.model, ids, args.context, args.stride)
    relative = abs(tarvel["perplexity"] - expected) / expected
    print(f"tokens {len(ids)}, windows {len(plan)}, scored {count}")
    print(f"tarvel    {tarvel['perplexity']!r}")
    print(f"reference {expected!r}")
    print(f"relative difference {relative:.3e} (tolerance {args.tolerance:.0e})")
    faults = []
    if len(plan) < 3:
        faults.append("the text gives fewer than three windows")
    if tarvel["tokens_scored"] != count:
        faults.append(f"tarvel scored {tarvel['tokens_scored']} positions, the reference {count}")
    if [(w["begin"], w["end"], w["first_scored"]) for w in tarvel["windows"]] != plan:
        faults.append("the windows differ")
    if not relative <= args.tolerance:
        faults.append("the perplexities differ by more than the tolerance")
    for fault in faults:
        print(f"reference_perplexity: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
