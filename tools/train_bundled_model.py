#!/usr/bin/python3
"""Train the bundled tiny Llama model and write it as a Hugging Face checkpoint folder.

Run once, by hand (CI never trains); it needs Debian's python3-torch, python3-sentencepiece,
python3-numpy and bible-kjv (the reader for the King James Version text in bible-kjv-text):

  /usr/bin/python3 tools/train_bundled_model.py --out models/tiny-kjv

Steps:
  1. Corpus: the whole KJV text printed by `bible`, verse numbers and chapter headings
     dropped; each chapter is one document of space-joined verses.
  2. Tokenizer: SentencePiece BPE, 1024 pieces with byte fallback, <unk>=0 <s>=1 </s>=2,
     Llama-style options (identity normalisation, digits split, dummy prefix).
  3. Model: LlamaForCausalLM in the layout's own conventions (half-split rotary with
     rotate_half, RMSNorm, SiLU-gated MLP, GQA, tied embeddings), trained with AdamW on
     256-token windows that start with <s> at a verse boundary, so generation from a prompt
     after <s> looks like training. 2 torch threads, stopped by step count or time limit.
  4. Output: config.json, model.safetensors (F32), tokenizer.model, tokenizer_config.json,
     and greedy samples printed for the README.
"""

import argparse
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

# The machine is shared: spinning OpenMP workers only steal time from each other there.
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numpy as np
import sentencepiece as spm
import torch
import torch.nn.functional as F

torch.set_num_threads(2)

CONFIG = {
    "hidden_size": 96,
    "intermediate_size": 256,
    "num_hidden_layers": 3,
    "num_attention_heads": 4,
    "num_key_value_heads": 2,
    "vocab_size": 1024,
    "max_position_embeddings": 256,
    "rms_norm_eps": 1e-5,
    "rope_theta": 10000.0,
}

PROMPTS = ["Once upon a time", "In the beginning", "And the LORD said unto Moses", "Blessed are"]


# ---------------------------------------------------------------- corpus


def read_kjv(text_file):
    """Return chapters, each a list of verse strings."""
    if text_file:
        with open(text_file) as f:
            raw = f.read()
    else:
        raw = subprocess.run(
            ["bible", "-l4000", "genesis1:1-revelation22:21"],
            check=True, capture_output=True, text=True,
        ).stdout
    chapters = []
    for line in raw.splitlines():
        verse = re.match(r"^\s+\d+ (.*)$", line)
        if verse:
            chapters[-1].append(" ".join(verse.group(1).split()))
        elif line.strip():
            chapters.append([])  # a "Book N" heading opens a chapter
    return [c for c in chapters if c]


def train_tokenizer(chapters, prefix):
    verses = [v for c in chapters for v in c]
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(verses),
        model_prefix=prefix,
        model_type="bpe",
        vocab_size=CONFIG["vocab_size"],
        byte_fallback=True,
        character_coverage=1.0,
        normalization_rule_name="identity",
        remove_extra_whitespaces=False,
        add_dummy_prefix=True,
        split_digits=True,
        unk_id=0,
        bos_id=1,
        eos_id=2,
        pad_id=-1,
        num_threads=2,
        minloglevel=2,
    )
    return spm.SentencePieceProcessor(model_file=prefix + ".model")


def token_stream(chapters, sp):
    """One stream of <s> chapter </s> ...; also the stream offsets where verses begin."""
    stream, starts = [], []
    for chapter in chapters:
        stream.append(sp.bos_id())
        for verse in chapter:
            starts.append(len(stream))
            stream.extend(sp.encode(verse))
        stream.append(sp.eos_id())
    return np.array(stream, dtype=np.int64), np.array(starts, dtype=np.int64)


# ---------------------------------------------------------------- model


def rotate_half(u):
    half = u.shape[-1] // 2
    return torch.cat((-u[..., half:], u[..., :half]), dim=-1)


class RMSNorm(torch.nn.Module):
    def __init__(self, dim, eps):
        super().__init__()
        self.weight = torch.nn.Parameter(torch.ones(dim))
        self.eps = eps

    def forward(self, x):
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + self.eps) * self.weight


class Linear(torch.nn.Module):
    """Bias-free linear map computed as a 1x1 convolution.

    Debian's torch does its matrix products with the reference BLAS; convolutions go through
    oneDNN, which is several times faster on CPU for the same numbers.
    """

    def __init__(self, inputs, outputs):
        super().__init__()
        self.weight = torch.nn.Parameter(torch.empty(outputs, inputs))

    def forward(self, x):
        rows = x.reshape(-1, x.shape[-1])
        y = F.conv2d(rows.T.reshape(1, rows.shape[1], rows.shape[0], 1), self.weight[:, :, None, None])
        return y.reshape(self.weight.shape[0], rows.shape[0]).T.reshape(*x.shape[:-1], -1)


class Layer(torch.nn.Module):
    def __init__(self, c):
        super().__init__()
        d, hd = c["hidden_size"], c["hidden_size"] // c["num_attention_heads"]
        self.heads, self.kv_heads, self.hd = c["num_attention_heads"], c["num_key_value_heads"], hd
        self.input_layernorm = RMSNorm(d, c["rms_norm_eps"])
        self.post_attention_layernorm = RMSNorm(d, c["rms_norm_eps"])
        lin = Linear
        self.q_proj, self.k_proj = lin(d, self.heads * hd), lin(d, self.kv_heads * hd)
        self.v_proj, self.o_proj = lin(d, self.kv_heads * hd), lin(self.heads * hd, d)
        f = c["intermediate_size"]
        self.gate_proj, self.up_proj, self.down_proj = lin(d, f), lin(d, f), lin(f, d)

    def forward(self, x, cos, sin):
        b, n, _ = x.shape
        h = self.input_layernorm(x)
        q = self.q_proj(h).view(b, n, self.heads, self.hd).transpose(1, 2)
        k = self.k_proj(h).view(b, n, self.kv_heads, self.hd).transpose(1, 2)
        v = self.v_proj(h).view(b, n, self.kv_heads, self.hd).transpose(1, 2)
        q = q * cos + rotate_half(q) * sin
        k = k * cos + rotate_half(k) * sin
        group = self.heads // self.kv_heads
        k, v = k.repeat_interleave(group, dim=1), v.repeat_interleave(group, dim=1)
        mask = torch.ones(n, n, dtype=torch.bool).tril()
        scores = (q @ k.transpose(-1, -2)) / math.sqrt(self.hd)
        attn = torch.softmax(scores.masked_fill(~mask, float("-inf")), dim=-1) @ v
        x = x + self.o_proj(attn.transpose(1, 2).reshape(b, n, self.heads * self.hd))
        h = self.post_attention_layernorm(x)
        return x + self.down_proj(F.silu(self.gate_proj(h)) * self.up_proj(h))


class TinyLlama(torch.nn.Module):
    def __init__(self, c):
        super().__init__()
        self.c = c
        self.embed_tokens = torch.nn.Embedding(c["vocab_size"], c["hidden_size"])
        self.layers = torch.nn.ModuleList(Layer(c) for _ in range(c["num_hidden_layers"]))
        self.norm = RMSNorm(c["hidden_size"], c["rms_norm_eps"])
        for name, p in self.named_parameters():
            if p.dim() == 2:
                std = 0.02
                if name.endswith(("o_proj.weight", "down_proj.weight")):
                    std /= math.sqrt(2 * c["num_hidden_layers"])
                torch.nn.init.normal_(p, std=std)

    def forward(self, tokens):
        n = tokens.shape[1]
        hd = self.c["hidden_size"] // self.c["num_attention_heads"]
        inv_freq = 1.0 / (
            self.c["rope_theta"] ** (torch.arange(0, hd, 2, dtype=torch.float64) / hd)
        )
        freqs = torch.outer(torch.arange(n, dtype=torch.float64), inv_freq)
        angles = torch.cat((freqs, freqs), dim=-1)
        dtype = self.embed_tokens.weight.dtype
        cos, sin = angles.cos().to(dtype), angles.sin().to(dtype)
        x = self.embed_tokens(tokens)
        for layer in self.layers:
            x = layer(x, cos, sin)
        x = self.norm(x)
        y = F.conv2d(
            x.reshape(-1, x.shape[-1]).T[None, :, :, None],
            self.embed_tokens.weight[:, :, None, None],
        )
        return y[0, :, :, 0].T.reshape(*x.shape[:-1], -1)  # tied lm_head

    def hf_state(self):
        """Tensors under the names the Hugging Face Llama layout uses."""
        out = {"model.embed_tokens.weight": self.embed_tokens.weight}
        for i, layer in enumerate(self.layers):
            p = f"model.layers.{i}."
            out[p + "input_layernorm.weight"] = layer.input_layernorm.weight
            for proj in ("q_proj", "k_proj", "v_proj", "o_proj"):
                out[p + f"self_attn.{proj}.weight"] = getattr(layer, proj).weight
            out[p + "post_attention_layernorm.weight"] = layer.post_attention_layernorm.weight
            for proj in ("gate_proj", "up_proj", "down_proj"):
                out[p + f"mlp.{proj}.weight"] = getattr(layer, proj).weight
        out["model.norm.weight"] = self.norm.weight
        return {k: v.detach().float().contiguous() for k, v in out.items()}


# ---------------------------------------------------------------- training


def train(model, stream, starts, steps, batch, seconds, lr, seed):
    ctx = CONFIG["max_position_embeddings"]
    usable = starts[starts + ctx <= len(stream)]
    rng = np.random.default_rng(seed)
    opt = torch.optim.AdamW(model.parameters(), lr=lr, betas=(0.9, 0.95), weight_decay=0.1)
    warmup = 20
    began = time.time()
    bos = torch.ones(batch, 1, dtype=torch.int64)
    for step in range(steps):
        # Cosine decay over whichever budget, steps or seconds, runs out first.
        progress = min(1.0, max(step / steps, (time.time() - began) / seconds))
        scale = min(1.0, (step + 1) / warmup) * 0.5 * (1 + math.cos(math.pi * progress))
        for group in opt.param_groups:
            group["lr"] = lr * max(scale, 0.05)
        picks = rng.choice(usable, size=batch)
        window = torch.from_numpy(np.stack([stream[s : s + ctx] for s in picks]))
        seq = torch.cat((bos, window), dim=1)  # <s> then text from a verse start
        logits = model(seq[:, :-1])
        loss = F.cross_entropy(logits.reshape(-1, logits.shape[-1]), seq[:, 1:].reshape(-1))
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        elapsed = time.time() - began
        if step % 25 == 0 or step == steps - 1:
            print(f"step {step} loss {loss.item():.3f} {elapsed:.0f}s", flush=True)
        if elapsed > seconds:
            print(f"time limit reached at step {step}", flush=True)
            break
    return time.time() - began


@torch.no_grad()
def greedy(model, sp, prompt, count):
    ids = [sp.bos_id()] + sp.encode(prompt)
    for _ in range(count):
        if len(ids) >= CONFIG["max_position_embeddings"]:
            break
        nxt = int(model(torch.tensor([ids]))[0, -1].argmax())
        if nxt == sp.eos_id():
            break
        ids.append(nxt)
    return sp.decode(ids[1:])


# ---------------------------------------------------------------- output


def write_safetensors(path, tensors):
    header, offset = {"__metadata__": {"format": "pt"}}, 0
    blobs = []
    for name in sorted(tensors):
        data = tensors[name].numpy().astype("<f4").tobytes()
        shape = list(tensors[name].shape)
        header[name] = {"dtype": "F32", "shape": shape, "data_offsets": [offset, offset + len(data)]}
        blobs.append(data)
        offset += len(data)
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)  # keeps the data 8-byte aligned for memory mapping
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)))
        f.write(text)
        for blob in blobs:
            f.write(blob)


def write_folder(out, model, tokenizer_file):
    os.makedirs(out, exist_ok=True)
    config = {
        "architectures": ["LlamaForCausalLM"],
        "model_type": "llama",
        **CONFIG,
        "head_dim": CONFIG["hidden_size"] // CONFIG["num_attention_heads"],
        "hidden_act": "silu",
        "rope_scaling": None,
        "attention_bias": False,
        "attention_dropout": 0.0,
        "mlp_bias": False,
        "tie_word_embeddings": True,
        "bos_token_id": 1,
        "eos_token_id": 2,
        "torch_dtype": "float32",
    }
    with open(os.path.join(out, "config.json"), "w") as f:
        json.dump(config, f, indent=2)
        f.write("\n")
    tokenizer_config = {
        "tokenizer_class": "LlamaTokenizer",
        "add_bos_token": True,
        "add_eos_token": False,
        "bos_token": "<s>",
        "eos_token": "</s>",
        "unk_token": "<unk>",
        "model_max_length": CONFIG["max_position_embeddings"],
    }
    with open(os.path.join(out, "tokenizer_config.json"), "w") as f:
        json.dump(tokenizer_config, f, indent=2)
        f.write("\n")
    shutil.copyfile(tokenizer_file, os.path.join(out, "tokenizer.model"))
    write_safetensors(os.path.join(out, "model.safetensors"), model.hf_state())


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", required=True, help="checkpoint folder to write")
    parser.add_argument("--text", help="KJV text as `bible` prints it (default: run bible)")
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=840, help="training time limit")
    parser.add_argument("--lr", type=float, default=4e-3)
    parser.add_argument("--seed", type=int, default=14)
    args = parser.parse_args(argv)

    torch.manual_seed(args.seed)
    chapters = read_kjv(args.text)
    print(f"corpus: {len(chapters)} chapters, {sum(map(len, chapters))} verses")
    with tempfile.TemporaryDirectory() as tmp:
        sp = train_tokenizer(chapters, os.path.join(tmp, "tok"))
        stream, starts = token_stream(chapters, sp)
        print(f"tokens: {len(stream)}")
        model = TinyLlama(CONFIG)
        print(f"parameters: {sum(p.numel() for p in model.parameters())}")
        seconds = train(model, stream, starts, args.steps, args.batch, args.seconds, args.lr, args.seed)
        print(f"trained for {seconds:.0f}s")
        model.eval()
        write_folder(args.out, model, os.path.join(tmp, "tok.model"))
    for prompt in PROMPTS:
        print(f"greedy: {greedy(model, sp, prompt, 40)!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
