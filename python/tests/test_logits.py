import gc

import numpy as np
import pytest

from conftest import run_command

TOKENS = [1, 299, 968, 261, 810, 267, 968, 294, 5, 17, 1023, 0]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("precision", ["double", "float32"])
def test_step_and_forward_equal_the_command_bit_for_bit(model, command_logits, precision):
    expected = bits(command_logits(TOKENS, precision))
    assert expected.shape == (len(TOKENS), model.spec.vocabulary)

    whole = model.session().step(TOKENS, precision=precision)
    assert whole.dtype == np.float64 and whole.shape == expected.shape
    np.testing.assert_array_equal(bits(whole), expected)

    # Chunked steps reach the same bits as one step and as the full pass.
    s = model.session()
    rows = [s.step(TOKENS[:5], precision=precision), s.step(TOKENS[5:6], precision=precision),
            s.step(TOKENS[6:], precision=precision)]
    np.testing.assert_array_equal(bits(np.concatenate(rows)), expected)

    # The last row alone, as a prompt ahead of generation needs it, with the session ending
    # as the whole answer leaves it.
    s = model.session()
    last = s.step(TOKENS, precision=precision, logits="last")
    assert last.shape == (1, model.spec.vocabulary)
    np.testing.assert_array_equal(bits(last), expected[-1:])
    reference = model.session()
    reference.step(TOKENS, precision=precision)
    assert s.save() == reference.save()
    with pytest.raises(ValueError, match='logits must be "all" or "last"'):
        s.step([1], logits="first")
    assert s.save() == reference.save()

    full = model.forward([TOKENS], precision=precision)
    assert full.shape == (1, len(TOKENS), model.spec.vocabulary)
    np.testing.assert_array_equal(bits(full[0]), expected)


def test_float32_mode_differs_from_double(model):
    s = model.session()
    double = s.fork().step(TOKENS)
    rounded = s.step(TOKENS, precision="float32")
    assert not np.array_equal(double, rounded)
    np.testing.assert_array_equal(rounded, rounded.astype(np.float32).astype(np.float64))


def test_padded_batch_rows_equal_their_unpadded_passes(model):
    short = TOKENS[:4]
    padded = model.forward([TOKENS, short + [0] * (len(TOKENS) - len(short))],
                           lengths=[len(TOKENS), len(short)])
    assert padded.shape == (2, len(TOKENS), model.spec.vocabulary)
    np.testing.assert_array_equal(padded[0], model.forward([TOKENS])[0])
    np.testing.assert_array_equal(padded[1, :4], model.forward([short])[0])


def test_logits_are_the_runtime_buffer_not_a_copy(model):
    s = model.session()
    logits = s.step([1, 2])
    assert not logits.flags.owndata and logits.base is not None
    assert logits.flags.c_contiguous and logits.flags.writeable
    # The buffer belongs to the array, not to the session that produced it.
    del s
    gc.collect()
    np.testing.assert_array_equal(logits, model.session().step([1, 2]))


def test_generate_equals_the_command(model, command):
    for temperature, seed in [("0", "0"), ("0.8", "7")]:
        expected = run_command(command, "generate", "--prompt", "Once upon a time",
                               "--max-tokens", "24", "--temperature", temperature, "--seed", seed)
        pieces = list(model.generate("Once upon a time", max_tokens=24,
                                     temperature=float(temperature), seed=int(seed)))
        assert all(pieces)
        assert "".join(pieces) + "\n" == expected


def test_generate_stops_at_max_tokens(model):
    gen = model.generate("In the beginning", max_tokens=5)
    text = "".join(gen)
    assert len(gen.tokens) == 5
    assert text == model.tokenizer.decode(model.tokenizer.encode("In the beginning") + gen.tokens)[
        len("In the beginning"):]
    assert list(model.generate("In the beginning", max_tokens=0)) == []


def test_tokenizer_round_trip_and_spec(model, command):
    text = "And God said, Let there be light: and there was light."
    ids = model.tokenizer.encode(text)
    assert ids[0] == model.tokenizer.bos
    assert model.tokenizer.decode(ids) == text
    assert f'{{"ids":{ids}}}'.replace(" ", "") == run_command(
        command, "tokenize", "--text", text).strip()
    assert model.tokenizer.encode(text, with_bos=False) == ids[1:]

    spec = model.spec
    assert (spec.vocabulary, spec.context, spec.layers, spec.model_dim) == (1024, 256, 3, 96)
    assert spec.to_dict()["kv_heads"] == 2
    with pytest.raises(AttributeError):
        spec.vocabulary = 5
