"""Decode speed of the Python module against the `tarvel` command on the bundled model.

    PYTHONPATH=build/ci/python /usr/bin/python3 tools/python_step_speed.py build/ci/cli/tarvel

Prints tokens/s of greedy generation through the command (its --stats line) and through
tarvel.Model.generate, and of a plain loop of one-token Session.step calls, each the best of
ten runs of 200 tokens (best of, because the figure that matters is the cost without
other load on the machine).
"""

import re
import subprocess
import sys
import time

import tarvel

TOKENS = 200
RUNS = 10
PROMPT = "Once upon a time"


def command_rate(command):
    best = 0.0
    for _ in range(RUNS):
        done = subprocess.run([command, "generate", "--prompt", PROMPT, "--max-tokens", str(TOKENS),
                               "--stats"], check=True, capture_output=True, text=True)
        best = max(best, float(re.search(r"([0-9.e+]+) tokens/s", done.stderr).group(1)))
    return best


def generate_rate(model):
    best = 0.0
    for _ in range(RUNS):
        gen = model.generate(PROMPT, max_tokens=TOKENS)
        start = time.perf_counter()
        for _piece in gen:
            pass
        best = max(best, len(gen.tokens) / (time.perf_counter() - start))
    return best


def step_rate(model):
    prompt = model.tokenizer.encode(PROMPT)
    best = 0.0
    for _ in range(RUNS):
        s = model.session()
        s.step(prompt)
        start = time.perf_counter()
        for i in range(TOKENS):
            s.step([i % model.spec.vocabulary])
        best = max(best, TOKENS / (time.perf_counter() - start))
    return best


def main():
    model = tarvel.load()
    print(f"command generate: {command_rate(sys.argv[1]):.0f} tokens/s")
    print(f"python generate:  {generate_rate(model):.0f} tokens/s")
    print(f"python step loop: {step_rate(model):.0f} tokens/s")


if __name__ == "__main__":
    main()
