import json
import os
import pathlib
import subprocess

import pytest

import tarvel


MODELS = pathlib.Path(__file__).resolve().parents[2] / "models"
# The tests below were written on this model: its shape, ids and texts.
TINY_KJV = MODELS / "tiny-kjv"


@pytest.fixture(scope="session")
def model():
    return tarvel.load(str(TINY_KJV))


@pytest.fixture(scope="session")
def command():
    path = os.environ.get("TARVEL_COMMAND")
    if not path:
        pytest.skip("TARVEL_COMMAND names the built tarvel command")
    return path


def run_command(command, subcommand, *args, model=TINY_KJV):
    done = subprocess.run([command, subcommand, "--model", str(model), *args], check=True,
                          capture_output=True, text=True)
    return done.stdout


@pytest.fixture(scope="session")
def command_logits(command):
    """The command's logits of a token sequence, as float64 rows."""

    def logits(tokens, precision="double"):
        out = run_command(command, "logits", "--tokens", " ".join(map(str, tokens)),
                          "--precision", precision)
        # The command prints the shortest text that parses back to each double.
        return json.loads(out)["logits"]

    return logits
