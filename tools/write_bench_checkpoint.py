#!/usr/bin/python3
"""Writes the benchmark model's shape as a checkpoint folder, to time the command on it by hand.

  write_bench_checkpoint.py OUT_DIR [--tokenizer-from DIR]

Shape: Llama, 6 layers of width 288, 6 query heads of 48 (6 KV heads), SwiGLU feed-forward of
768, vocabulary 32000, context 256, tied embeddings: 15,191,712 weights, stored as F32. The
values are seeded normal draws (standard deviation 0.02; norm weights 1), not trained, so the
model's text is noise; speed does not depend on the values. --tokenizer-from copies that
folder's tokenizer.model and tokenizer_config.json, so that text can be fed (its pieces cover
the first ids of the vocabulary; the rest are padding the model still scores).

Interpreter: /usr/bin/python3 with Debian's python3-numpy.
"""

import argparse
import json
import os
import shutil
import struct
import sys

import numpy as np

LAYERS, DIM, HEADS, HEAD_DIM, FFN, VOCAB, CONTEXT = 6, 288, 6, 48, 768, 32000, 256


def tensors(rng):
    def draw(*shape):
        return (rng.standard_normal(shape) * 0.02).astype("<f4")

    out = {"model.embed_tokens.weight": draw(VOCAB, DIM),
           "model.norm.weight": np.ones(DIM, "<f4")}
    for layer in range(LAYERS):
        p = f"model.layers.{layer}."
        out[p + "input_layernorm.weight"] = np.ones(DIM, "<f4")
        out[p + "post_attention_layernorm.weight"] = np.ones(DIM, "<f4")
        for name in ("q_proj", "k_proj", "v_proj", "o_proj"):
            out[p + f"self_attn.{name}.weight"] = draw(DIM, DIM)
        out[p + "mlp.gate_proj.weight"] = draw(FFN, DIM)
        out[p + "mlp.up_proj.weight"] = draw(FFN, DIM)
        out[p + "mlp.down_proj.weight"] = draw(DIM, FFN)
    return out


def write_safetensors(path, named):
    header, offset = {}, 0
    for name, array in named.items():
        header[name] = {"dtype": "F32", "shape": list(array.shape),
                        "data_offsets": [offset, offset + array.nbytes]}
        offset += array.nbytes
    text = json.dumps(header).encode()
    text += b" " * ((8 - len(text) % 8) % 8)
    with open(path + ".tmp", "wb") as f:
        f.write(struct.pack("<Q", len(text)))
        f.write(text)
        for array in named.values():
            f.write(array.tobytes())
    os.replace(path + ".tmp", path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--tokenizer-from")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    config = {"architectures": ["LlamaForCausalLM"], "model_type": "llama", "hidden_size": DIM,
              "intermediate_size": FFN, "num_hidden_layers": LAYERS,
              "num_attention_heads": HEADS, "num_key_value_heads": HEADS, "head_dim": HEAD_DIM,
              "vocab_size": VOCAB, "max_position_embeddings": CONTEXT, "rms_norm_eps": 1e-5,
              "rope_theta": 10000.0, "hidden_act": "silu", "tie_word_embeddings": True,
              "bos_token_id": 1, "eos_token_id": 2, "torch_dtype": "float32"}
    with open(os.path.join(args.out, "config.json"), "w") as f:
        json.dump(config, f, indent=2)
    write_safetensors(os.path.join(args.out, "model.safetensors"),
                      tensors(np.random.default_rng(20261211)))
    if args.tokenizer_from:
        for name in ("tokenizer.model", "tokenizer_config.json"):
            shutil.copy(os.path.join(args.tokenizer_from, name), os.path.join(args.out, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
