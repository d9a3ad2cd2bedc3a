#!/usr/bin/python3
"""Checks `tarvel compare` against a short numpy computation of its own.

  check_compare.py --command TARVEL --model DIR --text-file FILE [--dir DIR]

With `tarvel score --save-logits` it writes the exact logits (double arithmetic) and the
model's own float32 arithmetic (--precision float32) as .npy files, and a third copy of the
float32 logits rounded to float16, whose larger error makes relative agreement meaningful.
For each of the two others it runs `tarvel compare --json` and recomputes, reading the .npy
files with numpy:

  log p = z - m - log(sum(exp(z - m))), m = max(z)
  KL(exact || other) per position = sum_u p_exact(u) (log p_exact(u) - log p_other(u))
  top-1 agreement = mean of (argmax exact == argmax other), the lowest id among equals

The log-probabilities and KL divergences are computed from the saved doubles in 40-digit
decimal arithmetic, so that the reference is exact to far more than the digits checked; the
median and 99th percentile are numpy's. kl_mean, kl_median, kl_p99, kl_max and every
position's KL must agree within 1e-9 relative (the float32 divergences are near 1e-14, so an
absolute bound would hold whatever they were), top-1 agreement exactly, and the saved logits
must be float64 arrays of shape [positions, vocabulary].

Interpreter: /usr/bin/python3 with Debian's python3-numpy.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

from decimal import Decimal, getcontext

import numpy as np

# Forty significant digits: the reference's own rounding is far below what is checked.
getcontext().prec = 40
TOLERANCE = 1e-9


def log_softmax(row):
    values = [Decimal(float(z)) for z in row]  # exact: every double is a decimal
    top = max(values)
    log_sum = top + sum((z - top).exp() for z in values).ln()
    return [z - log_sum for z in values]


def reference(exact, other):
    kl, top1 = [], []
    for e, o in zip(exact, other):
        le, lo = log_softmax(e), log_softmax(o)
        kl.append(float(sum(a.exp() * (a - b) for a, b in zip(le, lo))))
        top1.append(int(np.argmax(e)) == int(np.argmax(o)))
    kl = np.array(kl)
    return {"kl_per_position": kl, "kl_mean": float(np.mean(kl)),
            "kl_median": float(np.median(kl)), "kl_p99": float(np.percentile(kl, 99)),
            "kl_max": float(kl.max()), "top1_agreement": float(np.mean(top1))}


def run(command, *args):
    done = subprocess.run([command, *args], capture_output=True)
    if done.returncode != 0:
        sys.exit(f"check_compare: {' '.join(args[:1])} failed: {done.stderr.decode().strip()}")
    return done.stdout


def check(name, tarvel, expected):
    faults = []
    for key in ("kl_mean", "kl_median", "kl_p99", "kl_max"):
        a, b = tarvel[key], expected[key]
        relative = abs(a - b) / abs(b) if b != 0 else abs(a)
        print(f"{name}: {key} tarvel {a!r} reference {b!r} relative difference {relative:.3e}")
        if not relative <= TOLERANCE:
            faults.append(f"{name}: {key} differs by {relative:.3e} relative")
    per = np.array(tarvel["kl_per_position"])
    want = expected["kl_per_position"]
    if per.shape != want.shape or not np.all(np.abs(per - want) <= TOLERANCE * np.abs(want)):
        faults.append(f"{name}: the per-position KL divergences differ")
    print(f"{name}: top1_agreement tarvel {tarvel['top1_agreement']!r} "
          f"numpy {expected['top1_agreement']!r}")
    if tarvel["top1_agreement"] != expected["top1_agreement"]:
        faults.append(f"{name}: top-1 agreement differs")
    return faults


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--command", required=True, help="the tarvel command")
    parser.add_argument("--model", required=True, help="checkpoint folder")
    parser.add_argument("--text-file", required=True)
    parser.add_argument("--dir", help="keep the .npy files here (default: a temporary folder)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.dir or scratch
        os.makedirs(folder, exist_ok=True)
        source = ["--model", args.model, "--text-file", args.text_file]
        exact_path = os.path.join(folder, "exact.npy")
        f32_path = os.path.join(folder, "float32.npy")
        f16_path = os.path.join(folder, "float16.npy")
        run(args.command, "score", *source, "--save-logits", exact_path)
        run(args.command, "score", *source, "--precision", "float32", "--save-logits", f32_path)
        exact, f32 = np.load(exact_path), np.load(f32_path)
        faults = []
        for array in (exact, f32):
            if array.dtype != np.float64 or array.ndim != 2:
                faults.append(f"saved logits are {array.dtype} of shape {array.shape}")
        np.save(f16_path, f32.astype(np.float16))
        for name, path in (("float32", f32_path), ("float16", f16_path)):
            tarvel = json.loads(run(args.command, "compare", *source, "--against", path, "--json"))
            other = np.load(path).astype(np.float64)
            faults += check(name, tarvel, reference(exact, other))
    for fault in faults:
        print(f"check_compare: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
