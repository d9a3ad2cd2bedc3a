import json

import numpy as np
import pytest

import tarvel
from conftest import run_command

TOKENS = [1, 299, 968, 261, 810, 267, 968, 294, 5, 17, 1023, 0]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def test_score_compare_and_perplexity_equal_the_command(model, command, tmp_path):
    exact = tarvel.score(model, TOKENS, top=2)
    other = tarvel.score(model, np.array(TOKENS), precision="float32")
    assert exact["logits"].shape == (len(TOKENS), model.spec.vocabulary)
    np.testing.assert_array_equal(bits(exact["logits"]), bits(model.session().step(TOKENS)))
    assert exact["logprobs"].shape == (len(TOKENS) - 1,)
    assert exact["top_tokens"].shape == exact["top_logprobs"].shape == (len(TOKENS) - 1, 2)
    assert other["top_tokens"].shape == (len(TOKENS) - 1, 0)

    # The arrays numpy saves in any float width are what the command compares.
    path = tmp_path / "other.npy"
    np.save(path, other["logits"].astype(np.float32))
    printed = json.loads(run_command(command, "compare", "--tokens", " ".join(map(str, TOKENS)),
                                     "--against", str(path), "--json"))
    got = tarvel.compare(exact["logits"], np.load(path), TOKENS)
    for key in ("kl_mean", "kl_median", "kl_p99", "kl_max", "top1_agreement", "top5_overlap",
                "max_abs_error", "rms_error", "perplexity_exact", "perplexity_other"):
        assert got[key] == printed[key], key
    assert bits(got["kl_per_position"]).tolist() == bits(printed["kl_per_position"]).tolist()
    assert got["top1_per_position"].dtype == np.bool_

    same = tarvel.compare(exact["logits"], exact["logits"])
    assert same["kl_max"] == 0.0 and same["top1_agreement"] == 1.0
    assert same["perplexity_exact"] is None

    ppl = tarvel.perplexity(model, TOKENS, context=5, stride=3)
    printed = json.loads(run_command(command, "perplexity", "--tokens",
                                     " ".join(map(str, TOKENS)), "--context", "5", "--stride",
                                     "3"))
    assert ppl["perplexity"] == printed["perplexity"]
    assert ppl["tokens_scored"] == printed["tokens_scored"]
    assert [w["first_scored"] for w in ppl["windows"]] == [1, 5, 8, 11]


def test_compare_refuses_with_the_librarys_messages():
    with pytest.raises(ValueError, match="^logits must be 2-D arrays \\[positions, vocabulary\\]$"):
        tarvel.compare(np.zeros(3), np.zeros(3))
    with pytest.raises(ValueError, match="^other logits have 1 positions; the exact ones have 2$"):
        tarvel.compare(np.zeros((2, 3)), np.zeros((1, 3)))
