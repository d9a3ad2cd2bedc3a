import json
import pathlib
import shutil
import struct

import numpy as np
import pytest

import tarvel

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "models" / "tiny-kjv"


@pytest.mark.parametrize("tokens", [
    np.array([1.7], dtype=np.float32),
    np.array([1.0, 2.0]),
    np.array([[1, 2], [3, 4]]),
    np.array([[1]]),
    [1, 2.5],
    [True],
    True,
    "12",
    b"\x01",
    [[1, 2]],
    None,
    1.0,
])
def test_step_refuses_what_is_not_integer_ids(model, tokens):
    s = model.session()
    with pytest.raises(TypeError, match="tokens must be an integer, a sequence of integers or "
                                        "a 1-D integer array"):
        s.step(tokens)
    assert s.position == 0


def test_step_takes_integer_scalars_sequences_and_arrays(model):
    expected = model.session().step([1, 299, 968])
    for tokens in ([1, 299, 968], (1, 299, 968), np.array([1, 299, 968], dtype=np.int64),
                   np.array([1, 299, 968], dtype=np.uint16), [np.int32(1), 299, np.uint64(968)]):
        np.testing.assert_array_equal(model.session().step(tokens), expected)
    s = model.session()
    s.step(1)
    s.step(np.int64(299))
    np.testing.assert_array_equal(s.step(np.array(968)), expected[2:])
    np.testing.assert_array_equal(model.forward(np.array([[1, 299, 968]])), expected[None])
    assert model.tokenizer.decode(np.array([299, 968])) == model.tokenizer.decode([299, 968])


def write_safetensors(path, tensors):
    header, offset, blobs = {}, 0, []
    for name, array in tensors.items():
        blob = np.ascontiguousarray(array, dtype="<f4").tobytes()
        header[name] = {"dtype": "F32", "shape": list(array.shape),
                        "data_offsets": [offset, offset + len(blob)]}
        offset += len(blob)
        blobs.append(blob)
    text = json.dumps(header).encode()
    path.write_bytes(struct.pack("<Q", len(text)) + text + b"".join(blobs))


def read_safetensors(path):
    data = path.read_bytes()
    size = struct.unpack("<Q", data[:8])[0]
    header = json.loads(data[8:8 + size])
    header.pop("__metadata__", None)
    tensors = {}
    for name, entry in header.items():
        assert entry["dtype"] == "F32"
        begin, end = entry["data_offsets"]
        tensors[name] = np.frombuffer(data[8 + size + begin:8 + size + end],
                                      dtype="<f4").reshape(entry["shape"])
    return tensors


def test_padded_vocabulary_ids_are_never_sampled(model, tmp_path):
    # The bundled model with 76 more vocabulary ids than its tokenizer has pieces, each id's
    # (tied) embedding row eight times that of the token greedy generation picks first: the
    # padded ids then have the largest logit there, and the real ids compute exactly as before.
    prompt = "Once upon a time"
    original = model.generate(prompt, max_tokens=24)
    text = "".join(original)
    first = original.tokens[0]
    tensors = read_safetensors(BUNDLED / "model.safetensors")
    embedding = tensors["model.embed_tokens.weight"]
    tensors["model.embed_tokens.weight"] = np.concatenate(
        [embedding, np.repeat(8 * embedding[first:first + 1], 76, axis=0)])
    write_safetensors(tmp_path / "model.safetensors", tensors)
    config = json.loads((BUNDLED / "config.json").read_text())
    config["vocab_size"] = 1100
    (tmp_path / "config.json").write_text(json.dumps(config))
    for name in ("tokenizer.model", "tokenizer_config.json"):
        shutil.copy(BUNDLED / name, tmp_path / name)

    padded = tarvel.load(tmp_path)
    logits = padded.session().step(padded.tokenizer.encode(prompt), logits="last")
    assert logits.shape == (1, 1100) and logits[0].argmax() >= 1024
    generator = padded.generate(prompt, max_tokens=24)
    assert "".join(generator) == text
    assert generator.tokens == original.tokens


def test_generate_sampling_options_and_stop_strings(model):
    prompt = "Once upon a time"
    greedy = "".join(model.generate(prompt, max_tokens=30))
    # Top-k 1 is greedy at any temperature; a strong repetition penalty changes the text.
    assert "".join(model.generate(prompt, max_tokens=30, temperature=1.5, seed=3, top_k=1)) == greedy
    assert "".join(model.generate(prompt, max_tokens=30, repetition_penalty=3.0)) != greedy
    seeded = dict(max_tokens=30, temperature=0.9, seed=11, top_k=20, min_p=0.05,
                  repetition_penalty=1.2)
    assert "".join(model.generate(prompt, **seeded)) == "".join(model.generate(prompt, **seeded))
    # The text stops before the stop string, wherever the pieces split it.
    stop = greedy[10:14]
    assert stop and greedy.find(stop) == 10
    generator = model.generate(prompt, max_tokens=30, stop=[stop, "never appears"])
    assert "".join(generator) == greedy[:10]
    with pytest.raises(ValueError, match="min-p must be at least zero and at most one"):
        model.generate(prompt, min_p=2.0)
    with pytest.raises(ValueError, match="stop text is empty"):
        model.generate(prompt, stop=[""])
