#!/usr/bin/python3
"""Writes a Llama-shaped GGUF file of random weights, to time `tarvel bench` by hand.

  /usr/bin/python3 tools/write_bench_gguf.py OUT.gguf --type Q4_K [--shape 110m]

Every projection and the embedding are stored in --type (quantized by tools/gguf.py), the norms
in F32; the same seed gives the same values before quantization, so files of different types
hold the same model at different precisions. Shapes:
  110m: dim 768, 12 layers, 12 heads of 64, feed-forward 2048, vocabulary 32000, context 1024
  43m:  dim 512, 8 layers, 8 heads of 64, feed-forward 1536, vocabulary 32000, context 1024
(every row length a multiple of 256, as the K-quant types need). No tokenizer: bench feeds ids.

Interpreter: /usr/bin/python3 with Debian's python3-numpy.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gguf  # noqa: E402

SHAPES = {
    "110m": {"dim": 768, "layers": 12, "heads": 12, "ffn": 2048, "vocab": 32000},
    "43m": {"dim": 512, "layers": 8, "heads": 8, "ffn": 1536, "vocab": 32000},
}


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("out")
    p.add_argument("--type", default="Q4_K", choices=sorted(gguf.TENSOR_TYPES))
    p.add_argument("--shape", default="110m", choices=sorted(SHAPES))
    a = p.parse_args(argv)
    s = SHAPES[a.shape]
    d, f, hd = s["dim"], s["ffn"], 64
    rng = np.random.default_rng(2026)
    metadata = {
        "general.architecture": "llama",
        "llama.context_length": 1024,
        "llama.embedding_length": d,
        "llama.feed_forward_length": f,
        "llama.block_count": s["layers"],
        "llama.attention.head_count": s["heads"],
        "llama.attention.head_count_kv": s["heads"],
        "llama.rope.dimension_count": hd,
        "llama.attention.layer_norm_rms_epsilon": 1e-5,
    }
    tensors = []

    def matrix(name, rows, cols):
        tensors.append((name, rng.normal(0.0, 0.02, (rows, cols)), a.type))

    def norm(name):
        tensors.append((name, 1.0 + rng.uniform(-0.1, 0.1, d), "F32"))

    matrix("token_embd.weight", s["vocab"], d)
    for i in range(s["layers"]):
        p_ = f"blk.{i}."
        norm(p_ + "attn_norm.weight")
        for proj in ("attn_q", "attn_k", "attn_v", "attn_output"):
            matrix(p_ + proj + ".weight", d, d)
        norm(p_ + "ffn_norm.weight")
        matrix(p_ + "ffn_gate.weight", f, d)
        matrix(p_ + "ffn_up.weight", f, d)
        matrix(p_ + "ffn_down.weight", d, f)
    norm("output_norm.weight")
    matrix("output.weight", s["vocab"], d)
    gguf.write(a.out, metadata, tensors)


if __name__ == "__main__":
    main(sys.argv[1:])
