"""A recogniser trained on features streamed from disk is the one trained on features in memory,
and a resumed run goes on with the epoch it stopped before."""
from pathlib import Path

import pytest
import torch
import yaml

from quorlin.pipeline.training import train_asr
from quorlin.recipe import load_recipe

pytestmark = pytest.mark.slow  # trains a recogniser both ways


def _recipe(**data):
    recipe = load_recipe("tiny.yaml")
    recipe["asr"]["data"].update(data)
    return recipe


def _weights(run_name):
    path = Path("expts") / run_name / "checkpoints" / "checkpoint-last-epoch-model.pth"
    return torch.load(path, weights_only=True)["model_state_dict"]


def _assert_same_weights(a, b):
    assert list(a) == list(b)
    for key in a:
        assert torch.equal(a[key], b[key]), key


def test_a_streamed_run_trains_the_model_of_a_run_in_memory(workdir):
    recipe = _recipe(storage="stream")
    recipe["asr"]["run_name"] = "tiny-stream-asr"
    train_asr(recipe, evaluate=False)
    # The same seed, batches, SpecAugment masks and statistics: the same weights, bit for bit.
    _assert_same_weights(_weights("tiny-stream-asr"), _weights("tiny-asr"))
    log = (Path("expts") / "tiny-stream-asr" / "train.log").read_text()
    assert "Opening train partition to stream from disk..." in log
    assert yaml.safe_load((Path("expts") / "tiny-stream-asr" / "config.yaml").read_text())["data"]["storage"] == \
        "stream"


def test_a_resumed_run_goes_on_with_the_next_epoch_of_batches(workdir):
    # Without SpecAugment no random draw depends on the process: a run stopped after its first
    # epoch and resumed ends with the weights of a run that went through.
    recipe = _recipe(storage="stream", specaug=False)
    recipe["asr"]["epochs"] = 2
    for name in ("through", "resumed"):
        recipe["asr"]["run_name"] = name
        if name == "resumed":
            train_asr({**recipe, "asr": {**recipe["asr"], "epochs": 1}}, evaluate=False)
        train_asr(recipe, resume=name == "resumed", evaluate=False)
    _assert_same_weights(_weights("resumed"), _weights("through"))
