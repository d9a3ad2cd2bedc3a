#!/usr/bin/python3
"""Float64 reference logits for a Llama-family checkpoint folder (Hugging Face layout).

This is an independent reference: it shares no code with the C++ importer, parses the
safetensors container itself, and computes in the checkpoint's own conventions rather than
converting the weights to any other layout first.

Input folder:
  config.json                          LlamaForCausalLM (or MistralForCausalLM without an
                                       effective sliding window)
  model.safetensors                    one file, or
  model.safetensors.index.json         {"weight_map": {tensor name: shard file}} plus shards

Safetensors: 8-byte little-endian header length N, then N bytes of JSON
{name: {"dtype", "shape", "data_offsets": [begin, end]}} with an optional "__metadata__"
entry, then the data; offsets are relative to the first byte after the header. Dtypes F64,
F32, F16 and BF16 are widened exactly to float64 (every value of those types is a double).

Forward pass, all in float64, for token ids t_0..t_{n-1} at positions 0..n-1:
  x      = embed_tokens[t]
  per layer:
    h    = rmsnorm(x, input_layernorm)          rmsnorm(x, w) = x * rsqrt(mean(x^2) + eps) * w
    q,k,v = h @ q_proj^T, h @ k_proj^T, h @ v_proj^T, split into heads of width head_dim
    rotary, half-split as the layout stores it: with inv_freq[i] = 1 / rope_theta^(2i/hd),
      angle[p, j] = p * inv_freq[j mod hd/2] for j in 0..hd-1,
      rot(u) = u * cos(angle) + rotate_half(u) * sin(angle),
      rotate_half(u) = concat(-u[hd/2:], u[:hd/2]); applied to q and k
    GQA: each KV head serves num_attention_heads / num_key_value_heads query heads
    attention: softmax(q k^T / sqrt(head_dim)) over positions <= the query's, times v
    x    = x + concat(heads) @ o_proj^T
    h    = rmsnorm(x, post_attention_layernorm)
    x    = x + (silu(h @ gate_proj^T) * (h @ up_proj^T)) @ down_proj^T
  logits = rmsnorm(x, model.norm) @ W^T, W = lm_head, or embed_tokens when tie_word_embeddings

Config defaults as the layout defines them: num_key_value_heads = num_attention_heads,
rope_theta = 10000, rms_norm_eps = 1e-6, tie_word_embeddings = false,
head_dim = hidden_size / num_attention_heads. Settings this reference does not compute
(rope_scaling, attention/MLP bias, another activation, an effective sliding window) are refused.

Usage:
  reference_logits.py FOLDER --tokens 1 2 3 [--out FILE]
      writes {"tokens": [...], "logits": [[...], ...]} (one row per position)
  reference_logits.py --cases cases.json --out golden.json
      cases.json is {"cases": [{"name": ..., "folder": ..., "tokens": [...]}, ...]} (or the
      bare list); folders are relative to the manifest's directory. Writes
      {"cases": [{"name", "folder", "tokens", "logits"}, ...]} with folders as given.
Every number is written as repr(float), which parses back to the same double.
"""

import argparse
import json
import math
import os
import struct
import sys

import numpy as np
import torch

torch.set_num_threads(2)


class ReferenceError(Exception):
    pass


# ---------------------------------------------------------------- safetensors


def _widen(raw, dtype, count):
    if dtype == "F64":
        values = np.frombuffer(raw, dtype="<f8", count=count)
    elif dtype == "F32":
        values = np.frombuffer(raw, dtype="<f4", count=count)
    elif dtype == "F16":
        values = np.frombuffer(raw, dtype="<f2", count=count)
    elif dtype == "BF16":
        # bfloat16 is the upper half of a float32: shift into place, reinterpret.
        halves = np.frombuffer(raw, dtype="<u2", count=count).astype(np.uint32)
        values = (halves << 16).view(np.float32)
    else:
        raise ReferenceError(f"unsupported dtype {dtype}")
    return values.astype(np.float64)


_DTYPE_SIZE = {"F64": 8, "F32": 4, "F16": 2, "BF16": 2}


def read_safetensors(path):
    """Return {name: float64 torch tensor} for every tensor in one safetensors file."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 8:
        raise ReferenceError(f"{path}: shorter than the 8-byte header length")
    (header_len,) = struct.unpack("<Q", data[:8])
    if header_len > len(data) - 8:
        raise ReferenceError(f"{path}: header length {header_len} exceeds the file")
    header = json.loads(data[8 : 8 + header_len].decode("utf-8"))
    base = 8 + header_len
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        dtype = entry["dtype"]
        shape = [int(s) for s in entry["shape"]]
        begin, end = (int(o) for o in entry["data_offsets"])
        if dtype not in _DTYPE_SIZE:
            raise ReferenceError(f"{path}: tensor {name} has unsupported dtype {dtype}")
        count = math.prod(shape)
        if end - begin != count * _DTYPE_SIZE[dtype] or begin < 0 or base + end > len(data):
            raise ReferenceError(f"{path}: tensor {name} has bad data_offsets")
        values = _widen(data[base + begin : base + end], dtype, count)
        tensors[name] = torch.from_numpy(values.copy()).reshape(shape)
    return tensors


def read_weights(folder):
    single = os.path.join(folder, "model.safetensors")
    index = os.path.join(folder, "model.safetensors.index.json")
    if os.path.exists(single):
        return read_safetensors(single)
    if not os.path.exists(index):
        raise ReferenceError(f"{folder}: neither model.safetensors nor its index")
    with open(index) as f:
        weight_map = json.load(f)["weight_map"]
    tensors = {}
    for shard in sorted(set(weight_map.values())):
        for name, tensor in read_safetensors(os.path.join(folder, shard)).items():
            if name in tensors:
                raise ReferenceError(f"{folder}: tensor {name} appears in two shards")
            if weight_map.get(name) != shard:
                raise ReferenceError(f"{folder}: tensor {name} is not mapped to {shard}")
            tensors[name] = tensor
    missing = set(weight_map) - set(tensors)
    if missing:
        raise ReferenceError(f"{folder}: index names tensors no shard holds: {sorted(missing)}")
    return tensors


# ---------------------------------------------------------------- config


def read_config(folder):
    with open(os.path.join(folder, "config.json")) as f:
        c = json.load(f)
    arch = c.get("architectures", ["LlamaForCausalLM"])
    if arch not in (["LlamaForCausalLM"], ["MistralForCausalLM"]):
        raise ReferenceError(f"architectures {arch} not computed here")
    if c.get("hidden_act", "silu") != "silu":
        raise ReferenceError(f"hidden_act {c['hidden_act']} not computed here")
    if c.get("rope_scaling") is not None:
        raise ReferenceError("rope_scaling is not computed here")
    if c.get("attention_bias", False) or c.get("mlp_bias", False):
        raise ReferenceError("attention_bias / mlp_bias are not computed here")
    window = c.get("sliding_window")
    if window is not None and window < c["max_position_embeddings"]:
        raise ReferenceError("an effective sliding_window is not computed here")
    heads = c["num_attention_heads"]
    return {
        "dim": c["hidden_size"],
        "hidden": c["intermediate_size"],
        "layers": c["num_hidden_layers"],
        "heads": heads,
        "kv_heads": c.get("num_key_value_heads") or heads,
        "head_dim": c.get("head_dim") or c["hidden_size"] // heads,
        "vocab": c["vocab_size"],
        "context": c["max_position_embeddings"],
        "eps": float(c.get("rms_norm_eps", 1e-6)),
        "theta": float(c.get("rope_theta", 10000.0)),
        "tied": bool(c.get("tie_word_embeddings", False)),
    }


# ---------------------------------------------------------------- forward pass


def rms_norm(x, weight, eps):
    return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + eps) * weight


def rotate_half(u):
    half = u.shape[-1] // 2
    return torch.cat((-u[..., half:], u[..., :half]), dim=-1)


def rotary_tables(n, head_dim, theta):
    inv_freq = 1.0 / (
        theta ** (torch.arange(0, head_dim, 2, dtype=torch.float64) / head_dim)
    )
    positions = torch.arange(n, dtype=torch.float64)
    freqs = torch.outer(positions, inv_freq)
    angles = torch.cat((freqs, freqs), dim=-1)  # [n, head_dim]
    return angles.cos(), angles.sin()


def forward(cfg, w, tokens):
    n = len(tokens)
    if n == 0:
        raise ReferenceError("no tokens")
    if n > cfg["context"]:
        raise ReferenceError(f"{n} tokens exceed max_position_embeddings {cfg['context']}")
    for t in tokens:
        if not 0 <= t < cfg["vocab"]:
            raise ReferenceError(f"token {t} outside the vocabulary of {cfg['vocab']}")
    H, KV, hd, eps = cfg["heads"], cfg["kv_heads"], cfg["head_dim"], cfg["eps"]
    group = H // KV
    cos, sin = rotary_tables(n, hd, cfg["theta"])
    causal = torch.ones(n, n, dtype=torch.bool).tril()

    x = w["model.embed_tokens.weight"][torch.tensor(tokens)]  # [n, dim]
    for i in range(cfg["layers"]):
        p = f"model.layers.{i}."
        h = rms_norm(x, w[p + "input_layernorm.weight"], eps)
        q = (h @ w[p + "self_attn.q_proj.weight"].T).view(n, H, hd).transpose(0, 1)
        k = (h @ w[p + "self_attn.k_proj.weight"].T).view(n, KV, hd).transpose(0, 1)
        v = (h @ w[p + "self_attn.v_proj.weight"].T).view(n, KV, hd).transpose(0, 1)
        q = q * cos + rotate_half(q) * sin
        k = k * cos + rotate_half(k) * sin
        k = k.repeat_interleave(group, dim=0)  # query head j reads KV head j // group
        v = v.repeat_interleave(group, dim=0)
        scores = (q @ k.transpose(1, 2)) / math.sqrt(hd)  # [H, n, n]
        scores = scores.masked_fill(~causal, float("-inf"))
        attn = torch.softmax(scores, dim=-1) @ v  # [H, n, hd]
        attn = attn.transpose(0, 1).reshape(n, H * hd)
        x = x + attn @ w[p + "self_attn.o_proj.weight"].T
        h = rms_norm(x, w[p + "post_attention_layernorm.weight"], eps)
        gate = torch.nn.functional.silu(h @ w[p + "mlp.gate_proj.weight"].T)
        up = h @ w[p + "mlp.up_proj.weight"].T
        x = x + (gate * up) @ w[p + "mlp.down_proj.weight"].T
    x = rms_norm(x, w["model.norm.weight"], eps)
    head = w["model.embed_tokens.weight"] if cfg["tied"] else w["lm_head.weight"]
    logits = x @ head.T
    if not torch.isfinite(logits).all():
        raise ReferenceError("logits are not finite")
    return logits


def reference_logits(folder, tokens):
    try:
        cfg = read_config(folder)
    except KeyError as e:
        raise ReferenceError(f"{folder}: config.json lacks {e}") from None
    weights = read_weights(folder)
    try:
        return _rows(forward(cfg, weights, tokens))
    except KeyError as e:
        raise ReferenceError(f"{folder}: missing tensor {e}") from None


def _rows(logits):
    return [[float(v) for v in row] for row in logits.tolist()]


# ---------------------------------------------------------------- output


def _number(v):
    if not math.isfinite(v):
        raise ReferenceError(f"non-finite number {v}")
    return repr(float(v))


def _row(values):
    return "[" + ", ".join(_number(v) for v in values) + "]"


def _result_json(tokens, logits, indent, extra=()):
    pad = " " * indent
    fields = [f'{pad}  {json.dumps(k)}: {json.dumps(v)}' for k, v in extra]
    fields.append(f'{pad}  "tokens": [' + ", ".join(str(int(t)) for t in tokens) + "]")
    rows = (",\n").join(f"{pad}    {_row(r)}" for r in logits)
    fields.append(f'{pad}  "logits": [\n{rows}\n{pad}  ]')
    return pad + "{\n" + ",\n".join(fields) + "\n" + pad + "}"


def write_output(text, out):
    if out is None:
        sys.stdout.write(text)
        return
    tmp = out + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, out)


def run_cases(manifest_path, out):
    with open(manifest_path) as f:
        manifest = json.load(f)
    cases = manifest["cases"] if isinstance(manifest, dict) else manifest
    root = os.path.dirname(os.path.abspath(manifest_path))
    blocks = []
    for case in cases:
        folder = case["folder"]
        tokens = [int(t) for t in case["tokens"]]
        logits = reference_logits(os.path.join(root, folder), tokens)
        extra = [("name", case.get("name", folder)), ("folder", folder)]
        blocks.append(_result_json(tokens, logits, 4, extra))
    write_output('{\n  "cases": [\n' + ",\n".join(blocks) + "\n  ]\n}\n", out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", nargs="?", help="checkpoint folder")
    parser.add_argument("--tokens", type=int, nargs="+", help="token ids")
    parser.add_argument("--cases", help="JSON manifest of (folder, tokens) cases")
    parser.add_argument("--out", help="output file (default: stdout)")
    args = parser.parse_args(argv)
    try:
        if args.cases:
            if args.folder or args.tokens:
                parser.error("--cases takes no folder or --tokens")
            run_cases(args.cases, args.out)
        else:
            if not args.folder or not args.tokens:
                parser.error("need FOLDER and --tokens, or --cases")
            logits = reference_logits(args.folder, args.tokens)
            write_output(_result_json(args.tokens, logits, 0) + "\n", args.out)
    except (ReferenceError, OSError, KeyError, ValueError) as e:
        print(f"reference_logits: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
