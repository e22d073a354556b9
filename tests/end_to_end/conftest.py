"""A tiny corpus, a recipe over it and, trained once per session, an LM and a recogniser:
the real command line prepares and trains them, and each test gets its own copy."""
import shutil
import types

import numpy as np
import pytest
import soundfile
import torch
import yaml

from quorlin.cli import main

WORDS = ["AND", "GOD", "SAID", "LET", "THERE", "BE", "LIGHT", "IN", "THE", "BEGINNING"]


def speech(text, rate, rng):
    """A tone per character, 60 ms each, with noise: audio that a tiny model can learn."""
    t = np.arange(int(0.06 * rate)) / rate
    chunks = [0.3 * np.sin(2 * np.pi * (150 + 25 * (ord(c) % 32)) * t) for c in text]
    return (np.concatenate(chunks) + 0.01 * rng.standard_normal(len(chunks) * t.size)).astype(np.float32)


def make_corpus(root, split, count, chapter, rng, speaker=7):
    """A LibriSpeech-style tree: one speaker, one chapter, ``count`` FLAC utterances of five words."""
    folder = root / split / str(speaker) / str(chapter)
    folder.mkdir(parents=True)
    lines = []
    for i in range(count):
        text = " ".join(rng.choice(WORDS, size=5))
        utt_id = f"{speaker}-{chapter}-{i:04d}"
        soundfile.write(folder / f"{utt_id}.flac", speech(text, 16000, rng), 16000)
        lines.append(f"{utt_id} {text}\n")
    (folder / f"{speaker}-{chapter}.trans.txt").write_text("".join(lines))
    return folder


def make_recipe(folder, name="tiny", **changes):
    """The tiny recipe (the demo's Conformer encoder, tiny) over audio/train, audio/dev and audio/test,
    written to ``folder/<name>.yaml``;
    ``changes`` replace whole top-level sections."""
    optimizer = {"name": "adamw", "lr": 0.01, "weight_decay": 0.0,
                 "adamw": {"betas": [0.9, 0.98], "eps": 1e-8, "amsgrad": False}}
    scheduler = {"name": "cosine", "cosine": {"T_max": 2, "eta_min": 1e-4}}
    training = {"gradient_accumulation_steps": 1, "autocast_dtype": "float32"}
    recipe = {
        "seed": 0,
        "prepare": {"train": "audio/train", "dev": "audio/dev", "test": "audio/test", "speed_perturb": [1.1],
                    "text": {"case": "upper", "alphabet": "ABCDEFGHIJKLMNOPQRSTUVWXYZ'"}},
        "tokenizer": {"kind": "char"},
        "lm": {"run_name": f"{name}-lm", "epochs": 1, "data": {"root": "data/lm", "batch_size": 8},
               "model": {"num_layers": 1, "d_model": 16, "num_heads": 2, "d_ff": 32, "dropout": 0.0, "max_len": 40},
               "training": training, "optimizer": optimizer, "scheduler": scheduler},
        "asr": {"run_name": f"{name}-asr", "epochs": 3,
                "model": {"input_dim": 20, "time_reduction": 4, "reduction_method": "conv", "encoder_type": "conformer",
                          "conv_kernel_size": 3, "num_encoder_layers": 1, "num_decoder_layers": 1, "d_model": 16, "num_heads": 2, "d_ff": 32, "dropout": 0.0,
                          "max_len": 300},
                "data": {"root": "data/asr", "num_feats": 20, "norm": "global_mvn", "batch_size": 4,
                         "group_by_length": 2, "specaug": True,
                         "specaug_conf": {"apply_freq_mask": True, "freq_mask_width_range": 2, "num_freq_mask": 1,
                                          "apply_time_mask": True, "time_mask_width_range": 4, "num_time_mask": 1}},
                "training": training, "loss": {"label_smoothing": 0.1, "ctc_weight": 0.3},
                "optimizer": optimizer, "scheduler": scheduler},
        "evaluate": {"beam_width": [1, 4], "ctc_weight": [0.3], "lm_weight": [0.0, 0.5], "batch_size": 4},
    }
    recipe.update(changes)
    path = folder / f"{name}.yaml"
    path.write_text(yaml.safe_dump(recipe))
    return recipe, str(path)


@pytest.fixture(scope="session")
def trained_once(tmp_path_factory):
    """A folder holding the corpus, the recipe "tiny.yaml", the prepared data and both trained runs."""
    root = tmp_path_factory.mktemp("trained")
    rng = np.random.default_rng(0)
    make_corpus(root / "audio", "train", 12, 1, rng)
    make_corpus(root / "audio", "dev", 4, 2, rng)
    make_corpus(root / "audio", "test", 5, 3, rng)
    _, recipe = make_recipe(root)
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(root)
        torch.manual_seed(0)
        for command in ("prepare", "train-lm", "train-asr"):
            assert main([command, recipe]) == 0, command
    return root


@pytest.fixture
def workdir(trained_once, tmp_path, monkeypatch):
    """This test's own copy of the trained folder, as the current folder."""
    folder = tmp_path / "work"
    shutil.copytree(trained_once, folder, symlinks=True)
    monkeypatch.chdir(folder)
    return folder


@pytest.fixture
def corpus():
    """The makers of this folder's audio and recipes, for tests that need their own."""
    return types.SimpleNamespace(speech=speech, make_corpus=make_corpus, make_recipe=make_recipe)
