#!/usr/bin/python3
"""Small GGUF models with every tensor type, and their float64 reference logits.

  /usr/bin/python3 tools/gguf_fixtures.py OUT_DIR GOLDEN_JSON

writes OUT_DIR/<name>.gguf for each fixture below (random weights from a fixed seed, each
projection in one of the tensor types, quantized by tools/gguf.py), then computes each model's
logits for its tokens in float64 with tools/reference_logits.py and writes them to GOLDEN_JSON.
The reference never sees the GGUF file: each tensor is dequantized by tools/gguf.py (from the
format's description, not with Tarvel's code) and written as a float64 checkpoint folder in the
Hugging Face layout, with the format's conventions undone on the way:
  - llama: the q and k rows are stored in adjacent-pair rotary order; the layout wants them
    half-split per head (row 2k + j of a head goes to j * head_dim / 2 + k);
  - gemma, gemma2: the norms are stored as 1 + weight; the layout stores weight (each stored value is
    within [0.5, 2], so the subtraction is exact);
  - the names map one to one (phi3's fused attn_qkv and ffn_up are the layout's qkv_proj and
    gate_up_proj).

Interpreter: /usr/bin/python3 with Debian's python3-numpy and python3-torch.
"""

import json
import os
import struct
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gguf  # noqa: E402
import reference_logits  # noqa: E402

TYPES = ["Q8_0", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q2_K", "Q3_K", "Q4_K", "Q5_K", "Q6_K", "F16",
         "BF16", "F32"]

FIXTURES = [
    # name, architecture, dim, heads, kv heads, head dim, ffn, layers, vocab, tied, first type
    {"name": "llama_mixed", "arch": "llama", "dim": 256, "heads": 4, "kv": 2, "hd": 64,
     "ffn": 256, "layers": 2, "vocab": 40, "tied": False, "first": 0},
    {"name": "qwen2_mixed", "arch": "qwen2", "dim": 256, "heads": 2, "kv": 1, "hd": 128,
     "ffn": 256, "layers": 1, "vocab": 48, "tied": True, "first": 5},
    {"name": "gemma2_mixed", "arch": "gemma2", "dim": 256, "heads": 2, "kv": 1, "hd": 128,
     "ffn": 256, "layers": 2, "vocab": 32, "tied": True, "first": 3},
    {"name": "phi3_fused", "arch": "phi3", "dim": 256, "heads": 4, "kv": 4, "hd": 64,
     "ffn": 256, "layers": 1, "vocab": 36, "tied": False, "first": 8},
    {"name": "qwen3_head_norms", "arch": "qwen3", "dim": 256, "heads": 2, "kv": 1, "hd": 128,
     "ffn": 256, "layers": 1, "vocab": 32, "tied": True, "first": 10},
    {"name": "gemma_offset_norms", "arch": "gemma", "dim": 256, "heads": 2, "kv": 1, "hd": 128,
     "ffn": 256, "layers": 1, "vocab": 32, "tied": True, "first": 1},
]

TOKENS = [1, 5, 9, 2, 30, 17, 0, 21, 12, 7, 3, 25]


def half_split_row(r, hd):
    head, within = divmod(r, hd)
    return head * hd + (within % 2) * (hd // 2) + within // 2


def build(f, rng):
    """(metadata, tensors) of one fixture; tensors as (name, float array, type)."""
    a, d, hd, ffn = f["arch"], f["dim"], f["hd"], f["ffn"]
    q, kv = f["heads"] * hd, f["kv"] * hd
    metadata = {
        "general.architecture": a,
        f"{a}.context_length": 64,
        f"{a}.embedding_length": d,
        f"{a}.feed_forward_length": ffn,
        f"{a}.block_count": f["layers"],
        f"{a}.attention.head_count": f["heads"],
        f"{a}.attention.head_count_kv": f["kv"],
        f"{a}.attention.key_length": hd,
        f"{a}.attention.value_length": hd,
        f"{a}.rope.dimension_count": hd,
        f"{a}.attention.layer_norm_rms_epsilon": 1e-5,
        f"{a}.rope.freq_base": 1000000.0 if a.startswith("qwen") else 10000.0,
    }
    if a == "gemma2":
        metadata[f"{a}.attention.sliding_window"] = 4
        metadata[f"{a}.attn_logit_softcapping"] = 5.0
        metadata[f"{a}.final_logit_softcapping"] = 30.0
    types = iter(TYPES[(f["first"] + k) % len(TYPES)] for k in range(1000))
    tensors = []

    def matrix(name, rows, cols, scale=0.08):
        tensors.append((name, rng.normal(0.0, scale, (rows, cols)), next(types)))

    def vector(name, n, around=0.0, spread=0.1):
        tensors.append((name, around + rng.uniform(-spread, spread, n), "F32"))

    norm = 1.0  # every stored norm is near 1 (gemma2's 1 + weight, the others' weight)
    matrix("token_embd.weight", f["vocab"], d, 0.1 if a.startswith("gemma") else 1.0)
    for i in range(f["layers"]):
        p = f"blk.{i}."
        vector(p + "attn_norm.weight", d, norm, 0.3)
        if a == "phi3":
            matrix(p + "attn_qkv.weight", q + 2 * kv, d)
        else:
            matrix(p + "attn_q.weight", q, d)
            matrix(p + "attn_k.weight", kv, d)
            matrix(p + "attn_v.weight", kv, d)
        if a == "qwen3":
            vector(p + "attn_q_norm.weight", hd, norm, 0.3)
            vector(p + "attn_k_norm.weight", hd, norm, 0.3)
        if a == "qwen2":
            vector(p + "attn_q.bias", q)
            vector(p + "attn_k.bias", kv)
            vector(p + "attn_v.bias", kv)
        matrix(p + "attn_output.weight", d, q)
        if a == "gemma2":
            vector(p + "post_attention_norm.weight", d, norm, 0.3)
        vector(p + "ffn_norm.weight", d, norm, 0.3)
        if a == "gemma2":
            vector(p + "post_ffw_norm.weight", d, norm, 0.3)
        if a == "phi3":
            matrix(p + "ffn_up.weight", 2 * ffn, d)
        else:
            matrix(p + "ffn_gate.weight", ffn, d)
            matrix(p + "ffn_up.weight", ffn, d)
        matrix(p + "ffn_down.weight", d, ffn)
    vector("output_norm.weight", d, norm, 0.3)
    if not f["tied"]:
        matrix("output.weight", f["vocab"], d, 0.3)
    return metadata, tensors


HF_NAMES = {
    "attn_norm.weight": "input_layernorm.weight",
    "attn_q.weight": "self_attn.q_proj.weight", "attn_k.weight": "self_attn.k_proj.weight",
    "attn_v.weight": "self_attn.v_proj.weight", "attn_q.bias": "self_attn.q_proj.bias",
    "attn_k.bias": "self_attn.k_proj.bias", "attn_v.bias": "self_attn.v_proj.bias",
    "attn_qkv.weight": "self_attn.qkv_proj.weight",
    "attn_q_norm.weight": "self_attn.q_norm.weight", "attn_k_norm.weight": "self_attn.k_norm.weight",
    "attn_output.weight": "self_attn.o_proj.weight",
    "post_attention_norm.weight": "post_attention_layernorm.weight",
    "post_ffw_norm.weight": "post_feedforward_layernorm.weight",
    "ffn_gate.weight": "mlp.gate_proj.weight", "ffn_down.weight": "mlp.down_proj.weight",
}


def hf_name(name, arch):
    if name == "token_embd.weight":
        return "model.embed_tokens.weight"
    if name == "output.weight":
        return "lm_head.weight"
    if name == "output_norm.weight":
        return "model.norm.weight"
    _, layer, rest = name.split(".", 2)
    p = f"model.layers.{layer}."
    if rest == "ffn_norm.weight":
        return p + ("pre_feedforward_layernorm.weight" if arch == "gemma2"
                    else "post_attention_layernorm.weight")
    if rest == "ffn_up.weight":
        return p + ("mlp.gate_up_proj.weight" if arch == "phi3" else "mlp.up_proj.weight")
    return p + HF_NAMES[rest]


def write_safetensors(path, arrays):
    header, blobs, offset = {}, [], 0
    for name, array in arrays.items():
        raw = np.ascontiguousarray(array, dtype="<f8").tobytes()
        header[name] = {"dtype": "F64", "shape": list(array.shape),
                        "data_offsets": [offset, offset + len(raw)]}
        blobs.append(raw)
        offset += len(raw)
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    with open(path, "wb") as out:
        out.write(struct.pack("<Q", len(text)) + text + b"".join(blobs))


def as_checkpoint(path, f, folder):
    """The GGUF file's exact values as a float64 checkpoint folder of the layout."""
    g = gguf.read(path)
    a, hd = f["arch"], f["hd"]
    arrays = {}
    for t in g.tensors:
        values = g.dequantize(t["name"])
        if a == "llama" and t["name"].endswith(("attn_q.weight", "attn_k.weight")):
            half = np.empty_like(values)
            for r in range(values.shape[0]):
                half[half_split_row(r, hd)] = values[r]
            values = half
        if a.startswith("gemma") and t["name"].endswith("norm.weight"):
            values = values - 1.0
        arrays[hf_name(t["name"], a)] = values
    write_safetensors(os.path.join(folder, "model.safetensors"), arrays)
    arch = {"llama": "LlamaForCausalLM", "qwen2": "Qwen2ForCausalLM",
            "gemma2": "Gemma2ForCausalLM", "phi3": "Phi3ForCausalLM",
            "qwen3": "Qwen3ForCausalLM", "gemma": "GemmaForCausalLM"}[a]
    config = {
        "architectures": [arch], "hidden_size": f["dim"], "intermediate_size": f["ffn"],
        "num_hidden_layers": f["layers"], "num_attention_heads": f["heads"],
        "num_key_value_heads": f["kv"], "head_dim": hd, "vocab_size": f["vocab"],
        "max_position_embeddings": 64, "tie_word_embeddings": f["tied"],
        "rms_norm_eps": float(np.float32(1e-5)), "torch_dtype": "float32",
        "rope_theta": 1000000.0 if a.startswith("qwen") else 10000.0,
    }
    if a == "gemma2":
        config.update({"sliding_window": 4, "query_pre_attn_scalar": hd,
                       "attn_logit_softcapping": 5.0, "final_logit_softcapping": 30.0})
    if a == "phi3":
        config["sliding_window"] = None
    with open(os.path.join(folder, "config.json"), "w") as out:
        json.dump(config, out)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    out_dir, golden_path = argv[1], argv[2]
    os.makedirs(out_dir, exist_ok=True)
    cases = []
    for f in FIXTURES:
        rng = np.random.default_rng(len(cases) + 11)
        metadata, tensors = build(f, rng)
        path = os.path.join(out_dir, f["name"] + ".gguf")
        gguf.write(path, metadata, tensors)
        with tempfile.TemporaryDirectory() as folder:
            as_checkpoint(path, f, folder)
            logits = reference_logits.reference_logits(folder, TOKENS)
        cases.append({"name": f["name"], "file": f["name"] + ".gguf",
                      "types": sorted({t[2] for t in tensors}), "tokens": TOKENS,
                      "logits": [[float(x) for x in row] for row in np.asarray(logits)]})
    with open(golden_path, "w") as out:
        json.dump({"cases": cases}, out)
        out.write("\n")


if __name__ == "__main__":
    main(sys.argv)
