import json
import os
import subprocess

import pytest

import tarvel


@pytest.fixture(scope="session")
def model():
    return tarvel.load()


@pytest.fixture(scope="session")
def command():
    path = os.environ.get("TARVEL_COMMAND")
    if not path:
        pytest.skip("TARVEL_COMMAND names the built tarvel command")
    return path


def run_command(command, *args):
    done = subprocess.run([command, *args], check=True, capture_output=True, text=True)
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
