#!/usr/bin/python3
"""Checks tools/reference_logits.py on small generated checkpoint folders of every family.

Run by hand with /usr/bin/python3 (numpy and torch from Debian):
  check_reference_logits.py [--dir DIR] [--against OLD_SCRIPT]

--dir keeps the generated folders there (default: a temporary folder, removed afterwards).
--against also runs another copy of the script (for example the last committed one) on the
folders that use no feature beyond plain Llama and requires byte-identical output.

What it checks:
  - every family in F32, F16 and BF16 (and a sharded folder): the reference's batched pass
    agrees within 1e-12 of each row's largest magnitude with a separate per-position
    formulation written here from the definitions (cached keys and values, explicit pair
    rotation, explicit window bounds, numpy instead of torch);
  - every switch of --ignore changes the logits by far more than that (at least 1e-9);
  - sanity: a window at least as long as the sequence equals no window, bit for bit; linear
    scaling with factor 1 equals none, bit for bit; the llama3 band is continuous at both
    edges and the generated llama3 model has frequencies in all three regimes; the rounded
    embedding scale matches numpy's and torch's conversions;
  - each family's defaults for absent keys, and the refusals with their messages.
"""

import argparse
import copy
import importlib.util
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("reference_logits",
                                               os.path.join(HERE, "reference_logits.py"))
ref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ref)

TOLERANCE = 1e-12
VISIBLE_CHANGE = 1e-9
N_TOKENS = 40

# ---------------------------------------------------------------- writing folders


def _encode(values, dtype):
    values = np.ascontiguousarray(values, dtype=np.float64)
    if dtype == "F64":
        return values.astype("<f8").tobytes()
    if dtype == "F32":
        return values.astype("<f4").tobytes()
    if dtype == "F16":
        return values.astype("<f2").tobytes()
    bits = values.astype("<f4").view("<u4").astype(np.uint64)
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16  # to nearest, ties to even
    return rounded.astype("<u2").tobytes()


def _safetensors(tensors, dtype):
    header, blobs, offset = {}, [], 0
    for name in sorted(tensors):
        blob = _encode(tensors[name], dtype)
        header[name] = {"dtype": dtype, "shape": list(tensors[name].shape),
                        "data_offsets": [offset, offset + len(blob)]}
        blobs.append(blob)
        offset += len(blob)
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    return struct.pack("<Q", len(text)) + text + b"".join(blobs)


def write_folder(folder, config, tensors, dtype, shards=1):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "config.json"), "w") as f:
        json.dump(config, f, indent=1)
    if shards == 1:
        with open(os.path.join(folder, "model.safetensors"), "wb") as f:
            f.write(_safetensors(tensors, dtype))
        return
    names = sorted(tensors)
    weight_map = {}
    for s in range(shards):
        part = {n: tensors[n] for n in names[s::shards]}
        shard = f"model-{s + 1:05d}-of-{shards:05d}.safetensors"
        with open(os.path.join(folder, shard), "wb") as f:
            f.write(_safetensors(part, dtype))
        weight_map.update({n: shard for n in part})
    with open(os.path.join(folder, "model.safetensors.index.json"), "w") as f:
        json.dump({"metadata": {}, "weight_map": weight_map}, f)


def random_tensors(cfg, rng, stored_lm_head=False):
    """Random weights for every tensor the config implies, scaled so logits are O(1)."""
    tensors = {}
    for name, shape in ref.expected_tensors(cfg).items():
        if name.endswith("norm.weight") or name.endswith("layernorm.weight"):
            # Gemma stores offsets from 1; others the weight itself.
            centre = 0.0 if cfg["norm_offset"] else 1.0
            tensors[name] = centre + 0.2 * rng.standard_normal(shape)
        elif name.endswith(".bias"):
            tensors[name] = 0.5 * rng.standard_normal(shape)
        elif name == "model.embed_tokens.weight":
            tensors[name] = rng.standard_normal(shape) * (0.3 if cfg["embed_scale"] else 1.0)
        else:
            tensors[name] = rng.standard_normal(shape) / math.sqrt(shape[-1])
    if stored_lm_head:
        tensors["lm_head.weight"] = tensors["model.embed_tokens.weight"]
    return tensors


_BASE = {
    "hidden_size": 24, "intermediate_size": 32, "num_hidden_layers": 3,
    "num_attention_heads": 4, "num_key_value_heads": 2, "vocab_size": 50,
    "max_position_embeddings": 64, "rms_norm_eps": 1e-5, "rope_theta": 500.0,
}

# name: (config beyond _BASE, stored lm_head with tied embeddings, plain Llama)
MODELS = {
    "llama_plain": ({"architectures": ["LlamaForCausalLM"], "tie_word_embeddings": False},
                    False, True),
    "mistral_plain": ({"architectures": ["MistralForCausalLM"], "sliding_window": None,
                       "num_key_value_heads": 4, "tie_word_embeddings": True}, False, True),
    "llama_llama3_bias": ({"architectures": ["LlamaForCausalLM"], "attention_bias": True,
                           "rope_scaling": {"rope_type": "llama3", "factor": 8.0,
                                            "low_freq_factor": 1.0, "high_freq_factor": 8.0,
                                            "original_max_position_embeddings": 128}},
                          False, False),
    "llama_linear_tied": ({"architectures": ["LlamaForCausalLM"], "tie_word_embeddings": True,
                           "rope_scaling": {"type": "linear", "factor": 4.0}}, True, False),
    "mistral_window": ({"architectures": ["MistralForCausalLM"], "sliding_window": 7},
                       False, False),
    "qwen2": ({"architectures": ["Qwen2ForCausalLM"], "tie_word_embeddings": True,
               "use_sliding_window": False, "sliding_window": 32768}, False, False),
    "qwen3": ({"architectures": ["Qwen3ForCausalLM"], "head_dim": 10}, False, False),
    "gemma": ({"architectures": ["GemmaForCausalLM"], "head_dim": 10, "hidden_act": "gelu",
               "hidden_activation": "gelu_pytorch_tanh"}, False, False),
    "gemma2": ({"architectures": ["Gemma2ForCausalLM"], "head_dim": 10, "sliding_window": 7,
                "query_pre_attn_scalar": 12, "attn_logit_softcapping": 5.0,
                "final_logit_softcapping": 3.0}, False, False),
    "phi3": ({"architectures": ["Phi3ForCausalLM"], "sliding_window": 9}, False, False),
}

_TORCH_DTYPE = {"F64": "float32", "F32": "float32", "F16": "float16", "BF16": "bfloat16"}


def generate(root, rng):
    """Write every model in every dtype; return [(case name, folder, plain Llama)]."""
    cases = []
    for name, (extra, stored_lm_head, plain) in MODELS.items():
        for dtype in ("F32", "F16", "BF16"):
            config = dict(_BASE, **extra, torch_dtype=_TORCH_DTYPE[dtype])
            folder = os.path.join(root, f"{name}_{dtype.lower()}")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "config.json"), "w") as f:
                json.dump(config, f)
            cfg = ref.read_config(folder)
            tensors = random_tensors(cfg, rng, stored_lm_head)
            shards = 2 if (name == "qwen2" and dtype == "F32") else 1
            write_folder(folder, config, tensors, dtype, shards)
            cases.append((f"{name}_{dtype.lower()}", folder, plain))
    return cases


# ---------------------------------------------------------------- per-position formulation


def _inv_freq(cfg):
    hd = cfg["head_dim"]
    f = np.array([1.0 / cfg["theta"] ** (2 * i / hd) for i in range(hd // 2)])
    s = cfg["scaling"]
    if s is None:
        return f
    if s["type"] == "linear":
        return f / s["factor"]
    lam = 2 * np.pi / f
    smooth = (s["orig"] / lam - s["low"]) / (s["high"] - s["low"])
    band = (1 - smooth) * f / s["factor"] + smooth * f
    return np.where(lam < s["orig"] / s["high"], f,
                    np.where(lam > s["orig"] / s["low"], f / s["factor"], band))


def _norm(x, weight, eps, offset):
    scale = 1.0 / np.sqrt(np.mean(x * x) + eps)
    return x * scale * ((1.0 + weight) if offset else weight)


def _rotate(u, angles):
    half = len(u) // 2
    a, b = u[:half], u[half:]
    c, s = np.cos(angles), np.sin(angles)
    return np.concatenate((a * c - b * s, b * c + a * s))


def _gelu_tanh(u):
    return 0.5 * u * (1.0 + np.tanh(math.sqrt(2.0 / math.pi) * (u + 0.044715 * u ** 3)))


def _silu(u):
    return u / (1.0 + np.exp(-u))


def stepwise_logits(cfg, weights, tokens):
    """Logits position by position, keys and values kept per layer as a decoder would."""
    w = {k: v.numpy() for k, v in weights.items()}
    H, KV, hd, eps = cfg["heads"], cfg["kv_heads"], cfg["head_dim"], cfg["eps"]
    offset = cfg["norm_offset"]
    inv_freq = _inv_freq(cfg)
    act = _gelu_tanh if cfg["gelu_tanh"] else _silu
    keys = [[] for _ in range(cfg["layers"])]
    values = [[] for _ in range(cfg["layers"])]
    rows = []
    for t, token in enumerate(tokens):
        x = w["model.embed_tokens.weight"][token].copy()
        if cfg["embed_scale"] is not None:
            x = x * cfg["embed_scale"]
        for i in range(cfg["layers"]):
            p = f"model.layers.{i}."
            h = _norm(x, w[p + "input_layernorm.weight"], eps, offset)
            if cfg["fused"]:
                qkv = w[p + "self_attn.qkv_proj.weight"] @ h
                q, k, v = qkv[:H * hd], qkv[H * hd:(H + KV) * hd], qkv[(H + KV) * hd:]
            else:
                q, k, v = (w[p + f"self_attn.{n}_proj.weight"] @ h for n in "qkv")
                if "q" in cfg["bias"]:
                    q = q + w[p + "self_attn.q_proj.bias"]
                    k = k + w[p + "self_attn.k_proj.bias"]
                    v = v + w[p + "self_attn.v_proj.bias"]
            q, k, v = q.reshape(H, hd), k.reshape(KV, hd), v.reshape(KV, hd)
            if cfg["qk_norm"]:
                q = np.stack([_norm(u, w[p + "self_attn.q_norm.weight"], eps, False) for u in q])
                k = np.stack([_norm(u, w[p + "self_attn.k_norm.weight"], eps, False) for u in k])
            angles = t * inv_freq
            q = np.stack([_rotate(u, angles) for u in q])
            keys[i].append(np.stack([_rotate(u, angles) for u in k]))
            values[i].append(v)
            window = cfg["windows"][i]
            first = 0 if window is None else max(0, t - window + 1)
            out = []
            for j in range(H):
                g = j // (H // KV)
                ks = np.array([keys[i][s][g] for s in range(first, t + 1)])
                vs = np.array([values[i][s][g] for s in range(first, t + 1)])
                scores = ks @ q[j] / math.sqrt(cfg["score_scalar"])
                if cfg["attn_cap"] is not None:
                    scores = cfg["attn_cap"] * np.tanh(scores / cfg["attn_cap"])
                e = np.exp(scores - scores.max())
                out.append((e / e.sum()) @ vs)
            a = w[p + "self_attn.o_proj.weight"] @ np.concatenate(out)
            if "o" in cfg["bias"]:
                a = a + w[p + "self_attn.o_proj.bias"]
            if cfg["post_norms"]:
                a = _norm(a, w[p + "post_attention_layernorm.weight"], eps, offset)
                x = x + a
                h = _norm(x, w[p + "pre_feedforward_layernorm.weight"], eps, offset)
            else:
                x = x + a
                h = _norm(x, w[p + "post_attention_layernorm.weight"], eps, offset)
            if cfg["fused"]:
                gu = w[p + "mlp.gate_up_proj.weight"] @ h
                gate, up = gu[:cfg["hidden"]], gu[cfg["hidden"]:]
            else:
                gate = w[p + "mlp.gate_proj.weight"] @ h
                up = w[p + "mlp.up_proj.weight"] @ h
            m = w[p + "mlp.down_proj.weight"] @ (act(gate) * up)
            if cfg["post_norms"]:
                m = _norm(m, w[p + "post_feedforward_layernorm.weight"], eps, offset)
            x = x + m
        x = _norm(x, w["model.norm.weight"], eps, offset)
        head = w["model.embed_tokens.weight"] if cfg["tied"] else w["lm_head.weight"]
        logits = head @ x
        if cfg["final_cap"] is not None:
            logits = cfg["final_cap"] * np.tanh(logits / cfg["final_cap"])
        rows.append(logits)
    return np.array(rows)


# ---------------------------------------------------------------- checks


class Checks:
    def __init__(self):
        self.passed, self.failed = 0, 0

    def expect(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL {what}")


def row_distance(a, b):
    """Largest difference of each row relative to that row's largest magnitude."""
    a, b = np.asarray(a), np.asarray(b)
    return float(np.max(np.abs(a - b).max(axis=1) / np.abs(a).max(axis=1)))


def check_families(checks, cases, tokens):
    for name, folder, _ in cases:
        cfg, weights = ref.load(folder)
        base = ref.forward(cfg, weights, tokens).numpy()
        d = row_distance(base, stepwise_logits(cfg, weights, tokens))
        checks.expect(d <= TOLERANCE, f"{name}: batched and stepwise differ by {d:.3g}")
        changes = []
        for feature in sorted(ref.model_features(cfg)):
            off = ref.forward(cfg, weights, tokens, frozenset([feature])).numpy()
            change = row_distance(base, off)
            changes.append(f"{feature} {change:.1e}")
            checks.expect(change >= VISIBLE_CHANGE,
                          f"{name}: --ignore {feature} changes only {change:.3g}")
        print(f"{name:24s} stepwise {d:.1e}; " + ", ".join(changes))


def check_sanity(checks, cases, tokens):
    n = len(tokens)
    folders = {name: folder for name, folder, _ in cases}
    cfg, weights = ref.load(folders["mistral_window_f32"])
    wide = copy.deepcopy(cfg)
    wide["windows"] = [n] * cfg["layers"]
    checks.expect(torch.equal(ref.forward(wide, weights, tokens),
                              ref.forward(cfg, weights, tokens, frozenset(["window"]))),
                  "a window as long as the sequence differs from no window")
    cfg, weights = ref.load(folders["llama_plain_f32"])
    unit = copy.deepcopy(cfg)
    unit["scaling"] = {"type": "linear", "factor": 1.0}
    checks.expect(torch.equal(ref.forward(unit, weights, tokens),
                              ref.forward(cfg, weights, tokens)),
                  "linear scaling with factor 1 differs from none")

    cfg, _ = ref.load(folders["llama_llama3_bias_f32"])
    s = cfg["scaling"]
    inv = [1.0 / cfg["theta"] ** (2 * i / cfg["head_dim"]) for i in range(cfg["head_dim"] // 2)]
    scaled = ref.scale_inv_freq(inv, s)
    kept = sum(a == b for a, b in zip(inv, scaled))
    divided = sum(b == a / s["factor"] for a, b in zip(inv, scaled))
    checks.expect(kept >= 1 and divided >= 1 and kept + divided < len(inv),
                  f"llama3 model lacks a regime: {kept} kept, {divided} divided of {len(inv)}")
    for edge, inside in ((s["orig"] / s["high"], 1 + 1e-12), (s["orig"] / s["low"], 1 - 1e-12)):
        f = 2 * math.pi / edge
        a, b = ref.scale_inv_freq([f * inside, f / inside], s)
        checks.expect(abs(a - b) <= 1e-10 * f, f"llama3 band jumps at wavelength {edge}")
    one = dict(s, factor=1.0)
    same = ref.scale_inv_freq(inv, one)
    checks.expect(max(abs(a - b) / a for a, b in zip(inv, same)) <= 1e-15,
                  "llama3 with factor 1 changes the frequencies")

    checks.expect(ref.embedding_scale(3072, "bfloat16") == 55.5, "bf16 scale of 3072")
    checks.expect(ref.embedding_scale(3072, "float16") == 55.4375, "f16 scale of 3072")
    checks.expect(ref.embedding_scale(2304, "bfloat16") == 48.0, "bf16 scale of 2304")
    hidden = np.arange(1, 1 << 17)
    roots = np.sqrt(hidden.astype(np.float64))
    via_torch = torch.tensor(roots).to(torch.bfloat16).to(torch.float64).numpy()
    for dtype, expected in (("float32", roots.astype(np.float32).astype(np.float64)),
                            ("float16", roots.astype(np.float16).astype(np.float64)),
                            ("bfloat16", via_torch)):
        mine = np.array([ref.embedding_scale(int(h), dtype) for h in hidden])
        checks.expect(np.array_equal(mine, expected),
                      f"{dtype} embedding scale disagrees with the library's conversion")


_MINIMAL = {"hidden_size": 1024, "intermediate_size": 96, "num_hidden_layers": 2,
            "num_attention_heads": 32, "vocab_size": 10, "max_position_embeddings": 8192}

# architecture: (kv_heads, head_dim, eps, tied, windows, attn_cap, final_cap, score_scalar)
_DEFAULTS = {
    "LlamaForCausalLM": (32, 32, 1e-6, False, [None, None], None, None, 32.0),
    "MistralForCausalLM": (8, 32, 1e-6, False, [4096, 4096], None, None, 32.0),
    "Qwen2ForCausalLM": (32, 32, 1e-6, False, [None, None], None, None, 32.0),
    "Qwen3ForCausalLM": (32, 128, 1e-6, False, [None, None], None, None, 128.0),
    "GemmaForCausalLM": (16, 256, 1e-6, True, [None, None], None, None, 256.0),
    "Gemma2ForCausalLM": (4, 256, 1e-6, True, [4096, None], 50.0, 30.0, 256.0),
    "Phi3ForCausalLM": (32, 32, 1e-5, False, [None, None], None, None, 32.0),
}


def _config_error(root, config):
    folder = os.path.join(root, "refusal")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "config.json"), "w") as f:
        json.dump(config, f)
    try:
        ref.read_config(folder)
    except ref.ReferenceError as e:
        return str(e)
    except KeyError as e:
        return f"lacks {e}"
    return None


def check_config(checks, root):
    for arch, expected in _DEFAULTS.items():
        folder = os.path.join(root, "defaults")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "config.json"), "w") as f:
            json.dump(dict(_MINIMAL, architectures=[arch]), f)
        c = ref.read_config(folder)
        got = (c["kv_heads"], c["head_dim"], c["eps"], c["tied"], c["windows"], c["attn_cap"],
               c["final_cap"], c["score_scalar"])
        checks.expect(got == expected and c["theta"] == 10000.0 and c["scaling"] is None,
                      f"{arch} defaults {got}")

    llama = dict(_MINIMAL, architectures=["LlamaForCausalLM"])
    refusals = [
        (dict(llama, architectures=["MixtralForCausalLM"]),
         "architectures ['MixtralForCausalLM'] not computed here"),
        (dict(llama, rope_scaling={"rope_type": "yarn", "factor": 4.0}),
         "rope_scaling type yarn is not computed here"),
        (dict(llama, rope_scaling={"type": "dynamic", "factor": 2.0}),
         "rope_scaling type dynamic is not computed here"),
        (dict(llama, rope_scaling={"rope_type": "linear", "factor": 2.0, "mscale": 1.0}),
         "rope_scaling key mscale is not computed here"),
        (dict(llama, rope_scaling={"rope_type": "llama3", "factor": 8.0}),
         "rope_scaling of type llama3 lacks low_freq_factor"),
        (dict(llama, partial_rotary_factor=0.75),
         "partial_rotary_factor 0.75 is not computed here"),
        (dict(llama, rope_parameters={"rope_theta": 1e6, "rope_type": "default"}),
         "rope_parameters is not computed here (give rope_theta and rope_scaling)"),
        (dict(llama, mlp_bias=True), "mlp_bias true is not computed here"),
        (dict(llama, num_local_experts=8),
         "num_local_experts (mixture of experts) is not computed here"),
        (dict(llama, hidden_act="gelu"), "hidden_act gelu not computed here"),
        (dict(llama, sliding_window=4096), "an effective sliding_window is not computed here"),
        (dict(_MINIMAL, architectures=["Qwen2ForCausalLM"], use_sliding_window=True),
         "use_sliding_window true is not computed here"),
        (dict(_MINIMAL, architectures=["MistralForCausalLM"], attention_bias=True),
         "attention_bias true is not part of MistralForCausalLM"),
        (dict(_MINIMAL, architectures=["Phi3ForCausalLM"],
              rope_scaling={"type": "longrope", "short_factor": [1.0], "long_factor": [1.0]}),
         "rope_scaling type longrope is not computed here"),
        (dict(_MINIMAL, architectures=["GemmaForCausalLM"], hidden_activation="gelu"),
         "hidden_activation gelu not computed here"),
        (dict(_MINIMAL, architectures=["GemmaForCausalLM"], dtype="bfloat16"),
         "dtype is given without torch_dtype; the embedding scale is rounded to torch_dtype"),
        (dict(_MINIMAL, architectures=["Gemma2ForCausalLM"],
              layer_types=["full_attention", "full_attention", "full_attention"]),
         "layer_types must list full_attention or sliding_attention for every layer"),
        (dict(_MINIMAL, architectures=["MistralForCausalLM"],
              layer_types=["full_attention", "full_attention"]),
         "layer_types disagrees with the sliding window this architecture takes"),
    ]
    for config, message in refusals:
        got = _config_error(root, config)
        checks.expect(got == message, f"refusal: expected {message!r}, got {got!r}")

    gemma2 = dict(_MINIMAL, architectures=["Gemma2ForCausalLM"],
                  layer_types=["full_attention", "sliding_attention"],
                  attn_logit_softcapping=None)
    folder = os.path.join(root, "refusal")
    with open(os.path.join(folder, "config.json"), "w") as f:
        json.dump(gemma2, f)
    c = ref.read_config(folder)
    checks.expect(c["windows"] == [None, 4096] and c["attn_cap"] is None,
                  "Gemma 2 layer_types and a null cap are not honoured")


def check_tensor_refusals(checks, root, rng):
    config = dict(_BASE, architectures=["LlamaForCausalLM"], tie_word_embeddings=True,
                  num_hidden_layers=1)
    folder = os.path.join(root, "tensors")
    write_folder(folder, config, {}, "F32")
    cfg = ref.read_config(folder)
    good = random_tensors(cfg, rng)
    cases = [
        (dict(good, **{"lm_head.weight": good["model.embed_tokens.weight"] + 1.0}),
         f"{folder}: tensor lm_head.weight differs from the embedding, but "
         "tie_word_embeddings is true"),
        (dict(good, **{"model.layers.0.self_attn.q_proj.bias": np.zeros(16)}),
         f"{folder}: tensor model.layers.0.self_attn.q_proj.bias is not used by "
         "LlamaForCausalLM"),
        ({k: v for k, v in good.items() if k != "model.norm.weight"},
         f"{folder}: tensor model.norm.weight is missing"),
        (dict(good, **{"model.norm.weight": np.ones(23)}),
         f"{folder}: tensor model.norm.weight has shape [23], expected [24]"),
        (dict(good, **{"model.layers.0.self_attn.rotary_emb.inv_freq": np.ones(3)}), None),
    ]
    for tensors, message in cases:
        write_folder(folder, config, tensors, "F32")
        try:
            ref.load(folder)
            got = None
        except ref.ReferenceError as e:
            got = str(e)
        checks.expect(got == message, f"tensors: expected {message!r}, got {got!r}")


def check_against(checks, cases, tokens, old_script, root):
    plain = [(name, folder) for name, folder, is_plain in cases if is_plain]
    manifest = os.path.join(root, "plain_cases.json")
    with open(manifest, "w") as f:
        json.dump({"cases": [{"name": n, "folder": os.path.relpath(d, root), "tokens": tokens}
                             for n, d in plain]}, f)
    outputs = []
    for script in (old_script, os.path.join(HERE, "reference_logits.py")):
        out = os.path.join(root, f"plain_{len(outputs)}.json")
        subprocess.run([sys.executable, script, "--cases", manifest, "--out", out], check=True)
        with open(out, "rb") as f:
            outputs.append(f.read())
    checks.expect(outputs[0] == outputs[1], f"{old_script} and this script differ on plain Llama")
    print(f"against {old_script}: {len(plain)} plain folders, "
          f"{'identical' if outputs[0] == outputs[1] else 'DIFFERENT'}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dir", help="keep the generated folders here")
    parser.add_argument("--against", help="another copy of reference_logits.py to compare with")
    args = parser.parse_args(argv)
    root = args.dir or tempfile.mkdtemp(prefix="reference-check-")
    os.makedirs(root, exist_ok=True)
    rng = np.random.default_rng(23)
    tokens = [int(t) for t in rng.integers(0, _BASE["vocab_size"], N_TOKENS)]
    checks = Checks()
    try:
        cases = generate(root, rng)
        check_families(checks, cases, tokens)
        check_sanity(checks, cases, tokens)
        check_config(checks, root)
        check_tensor_refusals(checks, root, rng)
        if args.against:
            check_against(checks, cases, tokens, args.against, root)
    finally:
        if not args.dir:
            shutil.rmtree(root)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
