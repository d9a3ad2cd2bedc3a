#!/usr/bin/python3
"""Float64 reference logits for a decoder-only checkpoint folder (Hugging Face layout).

This is an independent reference: it shares no code with the C++ importer, parses the
safetensors container itself, and computes in the checkpoint's own conventions rather than
converting the weights to any other layout first. Each family is written from its published
definition (the family's configuration class and modeling code as published).

Interpreter: /usr/bin/python3 with Debian's python3-numpy and python3-torch (torch float64 on
the CPU). The pyenv python3 on the development machines has neither.

Input folder:
  config.json                          one of the architectures below
  model.safetensors                    one file, or
  model.safetensors.index.json         {"weight_map": {tensor name: shard file}} plus shards

Safetensors: 8-byte little-endian header length N, then N bytes of JSON
{name: {"dtype", "shape", "data_offsets": [begin, end]}} with an optional "__metadata__"
entry, then the data; offsets are relative to the first byte after the header. Dtypes F64,
F32, F16 and BF16 are widened exactly to float64 (every value of those types is a double).

Forward pass, all in float64, for token ids t_0..t_{n-1} at positions 0..n-1:
  x      = embed_tokens[t]                      (Gemma, Gemma 2: times the embedding scale)
  per layer:
    h    = norm(x, input_layernorm)             norm(x, w) = x * rsqrt(mean(x^2) + eps) * w
                                                (Gemma, Gemma 2: * (1 + w) instead of * w)
    q,k,v = h @ q_proj^T (+ q bias), likewise k and v, split into heads of width head_dim
                                                (Phi-3: rows of qkv_proj are q, then k, then v)
    Qwen3: q, k = norm(q, q_norm), norm(k, k_norm) over each head (w, not 1 + w)
    rotary, half-split as the layout stores it: with inv_freq[i] = 1 / rope_theta^(2i/hd),
      scaled as rope_scaling says (below),
      angle[p, j] = p * inv_freq[j mod hd/2] for j in 0..hd-1,
      rot(u) = u * cos(angle) + rotate_half(u) * sin(angle),
      rotate_half(u) = concat(-u[hd/2:], u[:hd/2]); applied to q and k
    GQA: each KV head serves num_attention_heads / num_key_value_heads query heads
    scores = q k^T / sqrt(head_dim)             (Gemma 2: / sqrt(query_pre_attn_scalar))
    Gemma 2: scores = cap * tanh(scores / cap), cap = attn_logit_softcapping
    attention: softmax(scores) over the visible keys, times v. Key j is visible to query t
      iff j <= t, and with a sliding window of width w also t - w < j (w keys, the current
      one included)
    a    = concat(heads) @ o_proj^T (+ o bias)
    Gemma 2: a = norm(a, post_attention_layernorm)
    x    = x + a
    h    = norm(x, post_attention_layernorm)    (Gemma 2: pre_feedforward_layernorm)
    m    = (act(h @ gate_proj^T) * (h @ up_proj^T)) @ down_proj^T
                                                (Phi-3: gate_up_proj rows are gate, then up)
    Gemma 2: m = norm(m, post_feedforward_layernorm)
    x    = x + m
  logits = norm(x, model.norm) @ W^T, W = lm_head, or embed_tokens when tie_word_embeddings
  Gemma 2: logits = cap * tanh(logits / cap), cap = final_logit_softcapping

  act is silu (hidden_act must be "silu"), or for Gemma and Gemma 2 the tanh approximation
  of GELU, 0.5 x (1 + tanh(sqrt(2/pi) (x + 0.044715 x^3))): hidden_activation must be
  "gelu_pytorch_tanh" or absent; hidden_act is not read for these two families.
  The embedding scale is sqrt(hidden_size) rounded to nearest-even in torch_dtype (bfloat16,
  float16, or float32 when torch_dtype is absent), as the family multiplies by a tensor of the
  model's dtype; then used as a double. A config that gives dtype but not torch_dtype is
  refused for these two families, since the rounding would be guessed.

Rotary scaling (rope_scaling, with "rope_type" or the older "type"; null, or a type of
"default", means none), per inverse frequency f:
  linear   {factor}: f / factor
  llama3   {factor, low_freq_factor, high_freq_factor, original_max_position_embeddings}:
           with wavelength l = 2 pi / f and orig the original context, keep f if
           l < orig / high_freq_factor; f / factor if l > orig / low_freq_factor; otherwise
           (1 - s) * f / factor + s * f with s = (orig / l - low_freq_factor) /
           (high_freq_factor - low_freq_factor)
Every other type (yarn, dynamic, longrope, su, ...) and any other key is refused.

Sliding windows: Mistral and Phi-3 slide on every layer when sliding_window is not null;
Gemma 2 on the layers that layer_types calls "sliding_attention", by default the even layers
(0, 2, ...), the odd ones attending globally. Llama takes no window: a sliding_window below
max_position_embeddings is refused. Qwen2 and Qwen3 are refused when use_sliding_window is
true. When layer_types is given for another family it must agree with the above.

Defaults for absent keys (null counts as absent), as each family's configuration class has
them:
  key                       Llama    Mistral  Qwen2    Qwen3    Gemma    Gemma2   Phi3
  num_key_value_heads       heads    8        32       32       16       4        heads
  head_dim                  h/heads  h/heads  h/heads  128      256      256      h/heads
  rms_norm_eps              1e-6     1e-6     1e-6     1e-6     1e-6     1e-6     1e-5
  rope_theta                10000    10000    10000    10000    10000    10000    10000
  tie_word_embeddings       false    false    false    false    true     true     false
  sliding_window            -        4096     -        -        -        4096     null
  hidden_act / _activation  silu     silu     silu     silu     gelu_t   gelu_t   silu
  attention_bias            false    -        -        false    false    false    -
  Gemma 2 only: query_pre_attn_scalar 256, attn_logit_softcapping 50,
  final_logit_softcapping 30 (either cap null means no capping there).
(h/heads is hidden_size / num_attention_heads; gelu_t is gelu_pytorch_tanh; "heads" means
num_attention_heads.) attention_bias true puts biases on q, k, v and o; Qwen2 always has
biases on q, k and v and none on o (attention_bias is not read); Mistral and Phi-3 have none
(attention_bias true is refused). architectures defaults to ["LlamaForCausalLM"].
hidden_size, intermediate_size, num_hidden_layers, num_attention_heads, vocab_size and
max_position_embeddings must be given.

Refused, naming the key: another architecture, rope_scaling types and keys not listed above,
rope_parameters, partial_rotary_factor other than 1, mlp_bias true, attention_bias true where
the family has no such biases, mixture-of-experts keys, use_bidirectional_attention true, and
another activation.

Tensors: exactly those the config implies, each once with its shape (rotary caches
*.rotary_emb.inv_freq are ignored; any other tensor is an error, so nothing stored is
silently left out). With tie_word_embeddings a stored lm_head.weight is accepted when its
dtype and bytes equal the embedding's, and refused otherwise.

Switches for tests: --ignore FEATURE (repeatable) computes the model as if it lacked one
feature, to show a comparison sees it. FEATURE is one of:
  scaling         rotary scaling (linear or llama3)
  window          every sliding window (all layers attend globally)
  bias            the q, k, v (and o) biases
  qk_norm         Qwen3's per-head q and k norms
  norm_offset     Gemma's 1 + w in every norm (w is used instead)
  embed_scale     the embedding scale
  embed_rounding  the rounding of the embedding scale (the exact double sqrt is used)
  gelu_tanh       the tanh approximation (the exact erf GELU is used)
  post_norms      Gemma 2's norms after attention and after the feed-forward
  attn_softcap    attention-score soft-capping
  final_softcap   final-logit soft-capping
  softcap         both soft-cappings
  query_scalar    query_pre_attn_scalar (sqrt(head_dim) is used)
  fused_order     Phi-3's fused row order (k and v swapped, up and gate swapped)
A feature the model does not have is an error, so a test cannot switch off nothing.

Usage:
  reference_logits.py FOLDER --tokens 1 2 3 [--ignore FEATURE ...] [--out FILE]
      writes {"tokens": [...], "logits": [[...], ...]} (one row per position)
  reference_logits.py --cases cases.json --out golden.json
      cases.json is {"cases": [{"name": ..., "folder": ..., "tokens": [...]}, ...]} (or the
      bare list); folders are relative to the manifest's directory; a case may add
      "ignore": [FEATURE, ...]. Writes {"cases": [{"name", "folder", ["ignore",] "tokens",
      "logits"}, ...]} with folders as given.
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


def _unique_keys(pairs):
    result = {}
    for key, value in pairs:
        if key in result:
            raise ReferenceError(f"key {key} appears twice")
        result[key] = value
    return result


def read_safetensors(path, stored=None):
    """Return {name: float64 torch tensor} for every tensor in one safetensors file.

    When `stored` is a dict, it receives {name: (dtype, raw bytes)} as well.
    """
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 8:
        raise ReferenceError(f"{path}: shorter than the 8-byte header length")
    (header_len,) = struct.unpack("<Q", data[:8])
    if header_len > len(data) - 8:
        raise ReferenceError(f"{path}: header length {header_len} exceeds the file")
    try:
        header = json.loads(data[8 : 8 + header_len].decode("utf-8"),
                            object_pairs_hook=_unique_keys)
    except (UnicodeDecodeError, ValueError, ReferenceError) as e:
        raise ReferenceError(f"{path}: bad header: {e}") from None
    if not isinstance(header, dict):
        raise ReferenceError(f"{path}: header is not an object")
    base = 8 + header_len
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        try:
            dtype = entry["dtype"]
            shape = [int(s) for s in entry["shape"]]
            begin, end = (int(o) for o in entry["data_offsets"])
        except (KeyError, TypeError, ValueError):
            raise ReferenceError(f"{path}: tensor {name} has a bad header entry") from None
        if dtype not in _DTYPE_SIZE:
            raise ReferenceError(f"{path}: tensor {name} has unsupported dtype {dtype}")
        if any(s < 0 for s in shape):
            raise ReferenceError(f"{path}: tensor {name} has a negative dimension")
        count = math.prod(shape)
        if end - begin != count * _DTYPE_SIZE[dtype] or begin < 0 or base + end > len(data):
            raise ReferenceError(f"{path}: tensor {name} has bad data_offsets")
        raw = data[base + begin : base + end]
        values = _widen(raw, dtype, count)
        if not np.isfinite(values).all():
            raise ReferenceError(f"{path}: tensor {name} holds a value that is not finite")
        tensors[name] = torch.from_numpy(values.copy()).reshape(shape)
        if stored is not None:
            stored[name] = (dtype, raw)
    return tensors


def read_weights(folder, stored=None):
    single = os.path.join(folder, "model.safetensors")
    index = os.path.join(folder, "model.safetensors.index.json")
    if os.path.exists(single):
        return read_safetensors(single, stored)
    if not os.path.exists(index):
        raise ReferenceError(f"{folder}: neither model.safetensors nor its index")
    with open(index) as f:
        weight_map = json.load(f)["weight_map"]
    tensors = {}
    for shard in sorted(set(weight_map.values())):
        for name, tensor in read_safetensors(os.path.join(folder, shard), stored).items():
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

# What each architecture computes and its configuration class's defaults for absent keys.
# kv_heads / head_dim None: num_attention_heads / hidden_size // num_attention_heads.
# bias: "attention_bias" (q, k, v, o when that key is true), "qkv" (always q, k, v) or None.
# window: "none" (refused when effective), "every" (every layer), "even" (Gemma 2's
# alternation, or layer_types), "qwen" (use_sliding_window refused).
_FAMILIES = {
    "LlamaForCausalLM": {
        "kv_heads": None, "head_dim": None, "eps": 1e-6, "tied": False, "gemma": False,
        "bias": "attention_bias", "window": "none", "window_default": None,
        "qk_norm": False, "gemma2": False, "fused": False,
    },
    "MistralForCausalLM": {
        "kv_heads": 8, "head_dim": None, "eps": 1e-6, "tied": False, "gemma": False,
        "bias": None, "window": "every", "window_default": 4096,
        "qk_norm": False, "gemma2": False, "fused": False,
    },
    "Qwen2ForCausalLM": {
        "kv_heads": 32, "head_dim": None, "eps": 1e-6, "tied": False, "gemma": False,
        "bias": "qkv", "window": "qwen", "window_default": None,
        "qk_norm": False, "gemma2": False, "fused": False,
    },
    "Qwen3ForCausalLM": {
        "kv_heads": 32, "head_dim": 128, "eps": 1e-6, "tied": False, "gemma": False,
        "bias": "attention_bias", "window": "qwen", "window_default": None,
        "qk_norm": True, "gemma2": False, "fused": False,
    },
    "GemmaForCausalLM": {
        "kv_heads": 16, "head_dim": 256, "eps": 1e-6, "tied": True, "gemma": True,
        "bias": "attention_bias", "window": "none", "window_default": None,
        "qk_norm": False, "gemma2": False, "fused": False,
    },
    "Gemma2ForCausalLM": {
        "kv_heads": 4, "head_dim": 256, "eps": 1e-6, "tied": True, "gemma": True,
        "bias": "attention_bias", "window": "even", "window_default": 4096,
        "qk_norm": False, "gemma2": True, "fused": False,
    },
    "Phi3ForCausalLM": {
        "kv_heads": None, "head_dim": None, "eps": 1e-5, "tied": False, "gemma": False,
        "bias": None, "window": "every", "window_default": None,
        "qk_norm": False, "gemma2": False, "fused": True,
    },
}

_MOE_KEYS = (
    "num_experts", "num_local_experts", "num_experts_per_tok", "moe_intermediate_size",
    "n_routed_experts", "n_shared_experts", "shared_expert_intermediate_size",
)

_DTYPE_SIGNIFICAND = {"bfloat16": 8, "float16": 11, "float32": 24}

FEATURES = (
    "scaling", "window", "bias", "qk_norm", "norm_offset", "embed_scale", "embed_rounding",
    "gelu_tanh", "post_norms", "attn_softcap", "final_softcap", "softcap", "query_scalar",
    "fused_order",
)


def _get(c, key, default):
    value = c.get(key)
    return default if value is None else value


def _integer(c, key, default=None, minimum=1):
    if key not in c or c[key] is None:
        if default is None:
            raise KeyError(key)
        return default
    value = c[key]
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ReferenceError(f"{key} must be an integer of at least {minimum}")
    return value


def _positive(c, key, default):
    value = _get(c, key, default)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ReferenceError(f"{key} must be a number")
    value = float(value)
    if not (math.isfinite(value) and value > 0):
        raise ReferenceError(f"{key} must be a finite positive number")
    return value


def _flag(c, key, default):
    value = _get(c, key, default)
    if not isinstance(value, bool):
        raise ReferenceError(f"{key} must be true or false")
    return value


def round_significand(value, bits):
    """Round a positive finite double to `bits` significant bits, to nearest, ties to even.

    Exact: scaling by a power of two is exact and round() on a float rounds half to even.
    sqrt(hidden_size) is far inside the normal range of bfloat16, float16 and float32.
    """
    _, exponent = math.frexp(value)  # value = m * 2^exponent, 0.5 <= m < 1
    quantum = math.ldexp(1.0, exponent - bits)
    return round(value / quantum) * quantum


def embedding_scale(hidden_size, torch_dtype):
    return round_significand(math.sqrt(hidden_size), _DTYPE_SIGNIFICAND[torch_dtype])


def _rope_scaling(c):
    scaling = c.get("rope_scaling")
    if scaling is None:
        return None
    if not isinstance(scaling, dict):
        raise ReferenceError("rope_scaling must be an object or null")
    kind = scaling.get("rope_type", scaling.get("type"))
    if "rope_type" in scaling and "type" in scaling and scaling["type"] != kind:
        raise ReferenceError("rope_scaling gives rope_type and type that differ")
    needed = {
        "default": (),
        "linear": ("factor",),
        "llama3": ("factor", "low_freq_factor", "high_freq_factor",
                   "original_max_position_embeddings"),
    }
    if kind not in needed:
        raise ReferenceError(f"rope_scaling type {kind} is not computed here")
    for key in scaling:
        if key not in ("rope_type", "type") + needed[kind]:
            raise ReferenceError(f"rope_scaling key {key} is not computed here")
    for key in needed[kind]:
        if key not in scaling:
            raise ReferenceError(f"rope_scaling of type {kind} lacks {key}")
    if kind == "default":
        return None
    result = {"type": kind, "factor": _positive(scaling, "factor", None)}
    if kind == "llama3":
        result["low"] = _positive(scaling, "low_freq_factor", None)
        result["high"] = _positive(scaling, "high_freq_factor", None)
        result["orig"] = float(_integer(scaling, "original_max_position_embeddings"))
        if not result["low"] < result["high"]:
            raise ReferenceError("rope_scaling low_freq_factor must be below high_freq_factor")
    return result


def _layer_windows(c, family, layers, context):
    """Per layer: the window width, or None for global attention."""
    kind = family["window"]
    layer_types = c.get("layer_types")
    if layer_types is not None:
        if (not isinstance(layer_types, list) or len(layer_types) != layers
                or any(t not in ("full_attention", "sliding_attention") for t in layer_types)):
            raise ReferenceError(
                "layer_types must list full_attention or sliding_attention for every layer")
    if kind == "qwen":
        if _flag(c, "use_sliding_window", False):
            raise ReferenceError("use_sliding_window true is not computed here")
        windows = [None] * layers
    elif kind == "none":
        window = c.get("sliding_window")
        if window is not None and _integer(c, "sliding_window") < context:
            raise ReferenceError("an effective sliding_window is not computed here")
        windows = [None] * layers
    else:
        window = c.get("sliding_window", family["window_default"])
        if window is None:
            windows = [None] * layers
        else:
            window = _integer(c, "sliding_window", window)
            if kind == "every":
                windows = [window] * layers
            elif layer_types is not None:
                windows = [window if t == "sliding_attention" else None for t in layer_types]
                layer_types = None  # it defined the pattern, nothing to compare
            else:
                windows = [window if i % 2 == 0 else None for i in range(layers)]
    if layer_types is not None:
        implied = ["full_attention" if w is None else "sliding_attention" for w in windows]
        if layer_types != implied:
            raise ReferenceError("layer_types disagrees with the sliding window this "
                                 "architecture takes")
    return windows


def read_config(folder):
    with open(os.path.join(folder, "config.json")) as f:
        c = json.load(f)
    if not isinstance(c, dict):
        raise ReferenceError("config.json is not an object")
    arch = c.get("architectures", ["LlamaForCausalLM"])
    if not (isinstance(arch, list) and len(arch) == 1 and arch[0] in _FAMILIES):
        raise ReferenceError(f"architectures {arch} not computed here")
    family = _FAMILIES[arch[0]]
    gemma = family["gemma"]

    dim = _integer(c, "hidden_size")
    heads = _integer(c, "num_attention_heads")
    layers = _integer(c, "num_hidden_layers")
    context = _integer(c, "max_position_embeddings")
    kv_heads = _integer(c, "num_key_value_heads", family["kv_heads"] or heads)
    if family["head_dim"] is None and dim % heads != 0:
        raise ReferenceError("hidden_size is not a multiple of num_attention_heads")
    head_dim = _integer(c, "head_dim", family["head_dim"] or dim // heads)
    if heads % kv_heads != 0:
        raise ReferenceError("num_attention_heads is not a multiple of num_key_value_heads")
    if head_dim % 2 != 0:
        raise ReferenceError("head_dim is odd; rotary needs pairs")

    if gemma:
        activation = _get(c, "hidden_activation", "gelu_pytorch_tanh")
        if activation != "gelu_pytorch_tanh":
            raise ReferenceError(f"hidden_activation {activation} not computed here")
    elif _get(c, "hidden_act", "silu") != "silu":
        raise ReferenceError(f"hidden_act {c['hidden_act']} not computed here")

    if c.get("rope_parameters") is not None:
        raise ReferenceError("rope_parameters is not computed here (give rope_theta and "
                             "rope_scaling)")
    partial = c.get("partial_rotary_factor")
    if partial is not None and partial != 1:
        raise ReferenceError(f"partial_rotary_factor {partial} is not computed here")
    for key in _MOE_KEYS:
        if c.get(key):
            raise ReferenceError(f"{key} (mixture of experts) is not computed here")
    if _flag(c, "mlp_bias", False):
        raise ReferenceError("mlp_bias true is not computed here")
    if c.get("use_bidirectional_attention"):
        raise ReferenceError("use_bidirectional_attention is not computed here")

    if family["bias"] == "attention_bias":
        bias = "qkvo" if _flag(c, "attention_bias", False) else ""
    elif family["bias"] == "qkv":
        bias = "qkv"  # the family's q, k and v projections always carry biases
    else:
        if _flag(c, "attention_bias", False):
            raise ReferenceError(f"attention_bias true is not part of {arch[0]}")
        bias = ""

    cfg = {
        "arch": arch[0],
        "dim": dim,
        "hidden": _integer(c, "intermediate_size"),
        "layers": layers,
        "heads": heads,
        "kv_heads": kv_heads,
        "head_dim": head_dim,
        "vocab": _integer(c, "vocab_size"),
        "context": context,
        "eps": _positive(c, "rms_norm_eps", family["eps"]),
        "theta": _positive(c, "rope_theta", 10000.0),
        "tied": _flag(c, "tie_word_embeddings", family["tied"]),
        "scaling": _rope_scaling(c),
        "windows": _layer_windows(c, family, layers, context),
        "bias": bias,
        "qk_norm": family["qk_norm"],
        "norm_offset": gemma,
        "gelu_tanh": gemma,
        "embed_scale": None,
        "post_norms": family["gemma2"],
        "attn_cap": None,
        "final_cap": None,
        "score_scalar": float(head_dim),
        "fused": family["fused"],
    }
    if gemma:
        if c.get("torch_dtype") is None and c.get("dtype") is not None:
            raise ReferenceError("dtype is given without torch_dtype; the embedding scale is "
                                 "rounded to torch_dtype")
        torch_dtype = _get(c, "torch_dtype", "float32")
        if torch_dtype not in _DTYPE_SIGNIFICAND:
            raise ReferenceError(f"torch_dtype {torch_dtype} is not computed here")
        cfg["embed_scale"] = embedding_scale(dim, torch_dtype)
        cfg["embed_scale_exact"] = math.sqrt(dim)
    if family["gemma2"]:
        cfg["score_scalar"] = _positive(c, "query_pre_attn_scalar", 256)
        for key, field, default in (("attn_logit_softcapping", "attn_cap", 50.0),
                                    ("final_logit_softcapping", "final_cap", 30.0)):
            # Absent takes the default; null turns the capping off.
            if key not in c or c[key] is not None:
                cfg[field] = _positive(c, key, default)
    return cfg


def model_features(cfg):
    """The switchable features this model has."""
    present = set()
    if cfg["scaling"] is not None:
        present.add("scaling")
    if any(w is not None for w in cfg["windows"]):
        present.add("window")
    if cfg["bias"]:
        present.add("bias")
    for key in ("qk_norm", "norm_offset", "gelu_tanh", "post_norms"):
        if cfg[key]:
            present.add(key)
    if cfg["embed_scale"] is not None:
        present.update(("embed_scale", "embed_rounding"))
    if cfg["attn_cap"] is not None:
        present.add("attn_softcap")
    if cfg["final_cap"] is not None:
        present.add("final_softcap")
    if cfg["attn_cap"] is not None or cfg["final_cap"] is not None:
        present.add("softcap")
    if cfg["arch"] == "Gemma2ForCausalLM":
        present.add("query_scalar")
    if cfg["fused"]:
        present.add("fused_order")
    return present


# ---------------------------------------------------------------- tensors


def expected_tensors(cfg):
    """{name: shape} of every tensor the model reads, lm_head included when untied."""
    D, F, V = cfg["dim"], cfg["hidden"], cfg["vocab"]
    q_rows, kv_rows = cfg["heads"] * cfg["head_dim"], cfg["kv_heads"] * cfg["head_dim"]
    shapes = {"model.embed_tokens.weight": [V, D], "model.norm.weight": [D]}
    if not cfg["tied"]:
        shapes["lm_head.weight"] = [V, D]
    for i in range(cfg["layers"]):
        p = f"model.layers.{i}."
        shapes[p + "input_layernorm.weight"] = [D]
        shapes[p + "post_attention_layernorm.weight"] = [D]
        if cfg["post_norms"]:
            shapes[p + "pre_feedforward_layernorm.weight"] = [D]
            shapes[p + "post_feedforward_layernorm.weight"] = [D]
        if cfg["fused"]:
            shapes[p + "self_attn.qkv_proj.weight"] = [q_rows + 2 * kv_rows, D]
            shapes[p + "mlp.gate_up_proj.weight"] = [2 * F, D]
        else:
            shapes[p + "self_attn.q_proj.weight"] = [q_rows, D]
            shapes[p + "self_attn.k_proj.weight"] = [kv_rows, D]
            shapes[p + "self_attn.v_proj.weight"] = [kv_rows, D]
            shapes[p + "mlp.gate_proj.weight"] = [F, D]
            shapes[p + "mlp.up_proj.weight"] = [F, D]
        shapes[p + "self_attn.o_proj.weight"] = [D, q_rows]
        shapes[p + "mlp.down_proj.weight"] = [D, F]
        for proj, rows in (("q", q_rows), ("k", kv_rows), ("v", kv_rows), ("o", D)):
            if proj in cfg["bias"]:
                shapes[p + f"self_attn.{proj}_proj.bias"] = [rows]
        if cfg["qk_norm"]:
            shapes[p + "self_attn.q_norm.weight"] = [cfg["head_dim"]]
            shapes[p + "self_attn.k_norm.weight"] = [cfg["head_dim"]]
    return shapes


def check_tensors(cfg, w, stored):
    shapes = expected_tensors(cfg)
    for name, shape in shapes.items():
        if name not in w:
            raise ReferenceError(f"tensor {name} is missing")
        if list(w[name].shape) != shape:
            raise ReferenceError(f"tensor {name} has shape {list(w[name].shape)}, "
                                 f"expected {shape}")
    for name in w:
        if name in shapes or name.endswith(".rotary_emb.inv_freq"):
            continue
        if name == "lm_head.weight" and cfg["tied"]:
            if stored["lm_head.weight"] != stored["model.embed_tokens.weight"]:
                raise ReferenceError("tensor lm_head.weight differs from the embedding, but "
                                     "tie_word_embeddings is true")
            continue
        raise ReferenceError(f"tensor {name} is not used by {cfg['arch']}")


# ---------------------------------------------------------------- forward pass


def rms_norm(x, weight, eps):
    return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + eps) * weight


def rotate_half(u):
    half = u.shape[-1] // 2
    return torch.cat((-u[..., half:], u[..., :half]), dim=-1)


def scale_inv_freq(inv_freq, scaling):
    """Apply rope_scaling to a list of inverse frequencies (Python doubles)."""
    if scaling is None:
        return list(inv_freq)
    factor = scaling["factor"]
    if scaling["type"] == "linear":
        return [f / factor for f in inv_freq]
    low, high, orig = scaling["low"], scaling["high"], scaling["orig"]
    scaled = []
    for f in inv_freq:
        wavelength = 2 * math.pi / f
        if wavelength < orig / high:
            scaled.append(f)
        elif wavelength > orig / low:
            scaled.append(f / factor)
        else:
            s = (orig / wavelength - low) / (high - low)
            scaled.append((1 - s) * f / factor + s * f)
    return scaled


def rotary_tables(n, head_dim, theta, scaling=None):
    inv_freq = 1.0 / (
        theta ** (torch.arange(0, head_dim, 2, dtype=torch.float64) / head_dim)
    )
    if scaling is not None:
        inv_freq = torch.tensor(scale_inv_freq(inv_freq.tolist(), scaling), dtype=torch.float64)
    positions = torch.arange(n, dtype=torch.float64)
    freqs = torch.outer(positions, inv_freq)
    angles = torch.cat((freqs, freqs), dim=-1)  # [n, head_dim]
    return angles.cos(), angles.sin()


def _project(h, w, p, proj, bias):
    y = h @ w[p + f"self_attn.{proj}_proj.weight"].T
    if proj in bias:
        y = y + w[p + f"self_attn.{proj}_proj.bias"]
    return y


def forward(cfg, w, tokens, ignore=frozenset()):
    n = len(tokens)
    if n == 0:
        raise ReferenceError("no tokens")
    if n > cfg["context"]:
        raise ReferenceError(f"{n} tokens exceed max_position_embeddings {cfg['context']}")
    for t in tokens:
        if not 0 <= t < cfg["vocab"]:
            raise ReferenceError(f"token {t} outside the vocabulary of {cfg['vocab']}")
    unknown = set(ignore) - set(FEATURES)
    if unknown:
        raise ReferenceError(f"unknown feature {sorted(unknown)[0]} "
                             f"(one of {', '.join(FEATURES)})")
    absent = set(ignore) - model_features(cfg)
    if absent:
        raise ReferenceError(f"this {cfg['arch']} has no {sorted(absent)[0]} to ignore")
    H, KV, hd, eps = cfg["heads"], cfg["kv_heads"], cfg["head_dim"], cfg["eps"]
    group = H // KV
    bias = "" if "bias" in ignore else cfg["bias"]
    scaling = None if "scaling" in ignore else cfg["scaling"]
    cos, sin = rotary_tables(n, hd, cfg["theta"], scaling)
    causal = torch.ones(n, n, dtype=torch.bool).tril()
    score_scalar = float(hd) if "query_scalar" in ignore else cfg["score_scalar"]
    attn_cap = None if ignore & {"attn_softcap", "softcap"} else cfg["attn_cap"]
    final_cap = None if ignore & {"final_softcap", "softcap"} else cfg["final_cap"]
    post_norms = cfg["post_norms"] and "post_norms" not in ignore
    if cfg["gelu_tanh"]:
        approximate = "none" if "gelu_tanh" in ignore else "tanh"

        def act(u):
            return torch.nn.functional.gelu(u, approximate=approximate)
    else:
        act = torch.nn.functional.silu
    if cfg["norm_offset"] and "norm_offset" not in ignore:
        def nw(name):  # the family stores norm weights as offsets from 1
            return 1.0 + w[name]
    else:
        def nw(name):
            return w[name]

    x = w["model.embed_tokens.weight"][torch.tensor(tokens)]  # [n, dim]
    if cfg["embed_scale"] is not None and "embed_scale" not in ignore:
        x = x * (cfg["embed_scale_exact"] if "embed_rounding" in ignore else cfg["embed_scale"])
    for i in range(cfg["layers"]):
        p = f"model.layers.{i}."
        h = rms_norm(x, nw(p + "input_layernorm.weight"), eps)
        if cfg["fused"]:
            qkv = h @ w[p + "self_attn.qkv_proj.weight"].T
            q, k, v = qkv.split([H * hd, KV * hd, KV * hd], dim=-1)
            if "fused_order" in ignore:
                k, v = v, k
        else:
            q = _project(h, w, p, "q", bias)
            k = _project(h, w, p, "k", bias)
            v = _project(h, w, p, "v", bias)
        q = q.reshape(n, H, hd)
        k = k.reshape(n, KV, hd)
        if cfg["qk_norm"] and "qk_norm" not in ignore:
            q = rms_norm(q, w[p + "self_attn.q_norm.weight"], eps)
            k = rms_norm(k, w[p + "self_attn.k_norm.weight"], eps)
        q = q.transpose(0, 1)
        k = k.transpose(0, 1)
        v = v.reshape(n, KV, hd).transpose(0, 1)
        q = q * cos + rotate_half(q) * sin
        k = k * cos + rotate_half(k) * sin
        k = k.repeat_interleave(group, dim=0)  # query head j reads KV head j // group
        v = v.repeat_interleave(group, dim=0)
        scores = (q @ k.transpose(1, 2)) / math.sqrt(score_scalar)  # [H, n, n]
        if attn_cap is not None:
            scores = torch.tanh(scores / attn_cap) * attn_cap
        visible = causal
        window = None if "window" in ignore else cfg["windows"][i]
        if window is not None:
            visible = causal & ~torch.ones(n, n, dtype=torch.bool).tril(-window)
        scores = scores.masked_fill(~visible, float("-inf"))
        attn = torch.softmax(scores, dim=-1) @ v  # [H, n, hd]
        attn = attn.transpose(0, 1).reshape(n, H * hd)
        a = _project(attn, w, p, "o", bias)
        if post_norms:
            a = rms_norm(a, nw(p + "post_attention_layernorm.weight"), eps)
        x = x + a
        if cfg["post_norms"]:
            h = rms_norm(x, nw(p + "pre_feedforward_layernorm.weight"), eps)
        else:
            h = rms_norm(x, nw(p + "post_attention_layernorm.weight"), eps)
        if cfg["fused"]:
            gate, up = (h @ w[p + "mlp.gate_up_proj.weight"].T).chunk(2, dim=-1)
            if "fused_order" in ignore:
                gate, up = up, gate
            gate = act(gate)
        else:
            gate = act(h @ w[p + "mlp.gate_proj.weight"].T)
            up = h @ w[p + "mlp.up_proj.weight"].T
        m = (gate * up) @ w[p + "mlp.down_proj.weight"].T
        if post_norms:
            m = rms_norm(m, nw(p + "post_feedforward_layernorm.weight"), eps)
        x = x + m
    x = rms_norm(x, nw("model.norm.weight"), eps)
    head = w["model.embed_tokens.weight"] if cfg["tied"] else w["lm_head.weight"]
    logits = x @ head.T
    if final_cap is not None:
        logits = torch.tanh(logits / final_cap) * final_cap
    if not torch.isfinite(logits).all():
        raise ReferenceError("logits are not finite")
    return logits


def load(folder):
    """Read and check a folder: (config, float64 weights)."""
    try:
        cfg = read_config(folder)
    except KeyError as e:
        raise ReferenceError(f"{folder}: config.json lacks {e}") from None
    except ReferenceError as e:
        raise ReferenceError(f"{folder}/config.json: {e}") from None
    stored = {}
    weights = read_weights(folder, stored)
    try:
        check_tensors(cfg, weights, stored)
    except ReferenceError as e:
        raise ReferenceError(f"{folder}: {e}") from None
    return cfg, weights


def reference_logits(folder, tokens, ignore=()):
    cfg, weights = load(folder)
    return _rows(forward(cfg, weights, tokens, frozenset(ignore)))


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
        ignore = case.get("ignore")
        if ignore is not None and not (
                isinstance(ignore, list) and all(isinstance(f, str) for f in ignore)):
            raise ReferenceError(f"case {case.get('name', folder)}: ignore must list features")
        logits = reference_logits(os.path.join(root, folder), tokens, ignore or ())
        extra = [("name", case.get("name", folder)), ("folder", folder)]
        if ignore is not None:
            extra.append(("ignore", ignore))
        blocks.append(_result_json(tokens, logits, 4, extra))
    write_output('{\n  "cases": [\n' + ",\n".join(blocks) + "\n  ]\n}\n", out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", nargs="?", help="checkpoint folder")
    parser.add_argument("--tokens", type=int, nargs="+", help="token ids")
    parser.add_argument("--cases", help="JSON manifest of (folder, tokens) cases")
    parser.add_argument("--out", help="output file (default: stdout)")
    parser.add_argument("--ignore", action="append", choices=FEATURES, metavar="FEATURE",
                        help="compute as if the model lacked this feature (repeatable): "
                        + ", ".join(FEATURES))
    args = parser.parse_args(argv)
    try:
        if args.cases:
            if args.folder or args.tokens or args.ignore:
                parser.error("--cases takes no folder, --tokens or --ignore")
            run_cases(args.cases, args.out)
        else:
            if not args.folder or not args.tokens:
                parser.error("need FOLDER and --tokens, or --cases")
            logits = reference_logits(args.folder, args.tokens, args.ignore or ())
            write_output(_result_json(args.tokens, logits, 0) + "\n", args.out)
    except (ReferenceError, OSError, KeyError, ValueError) as e:
        print(f"reference_logits: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
