import os
import shlex
import shutil
import subprocess
import sys

import numpy as np
import pytest
import soundfile
import torch
import yaml

from quorlin.cli import main

WORDS = ["AND", "GOD", "SAID", "LET", "THERE", "BE", "LIGHT", "IN", "THE", "BEGINNING"]


def _speech(text, rate, rng):
    """A tone per character, 60 ms each, with noise."""
    t = np.arange(int(0.06 * rate)) / rate
    chunks = [0.3 * np.sin(2 * np.pi * (150 + 25 * (ord(c) % 32)) * t) for c in text]
    return (np.concatenate(chunks) + 0.01 * rng.standard_normal(len(chunks) * t.size)).astype(np.float32)


def _corpus(root, split, count, chapter, rng):
    """A LibriSpeech-style tree: speaker 7, one chapter, ``count`` FLAC utterances."""
    folder = root / split / "7" / str(chapter)
    folder.mkdir(parents=True)
    lines = []
    for i in range(count):
        text = " ".join(rng.choice(WORDS, size=5))  # longer than the LM's prompts
        utt_id = f"7-{chapter}-{i:04d}"
        soundfile.write(folder / f"{utt_id}.flac", _speech(text, 16000, rng), 16000)
        lines.append(f"{utt_id} {text}\n")
    (folder / f"7-{chapter}.trans.txt").write_text("".join(lines))
    return folder


def _recipe(tmp_path, name="tiny"):
    optimizer = {"name": "adamw", "lr": 0.01, "weight_decay": 0.0,
                 "adamw": {"betas": [0.9, 0.98], "eps": 1e-8, "amsgrad": False}}
    scheduler = {"name": "cosine", "cosine": {"T_max": 2, "eta_min": 1e-4}}
    training = {"gradient_accumulation_steps": 1, "autocast_dtype": "float32"}
    recipe = {
        "prepare": {"train": "audio/train", "dev": "audio/dev", "test": "audio/test", "speed_perturb": [1.1]},
        "tokenizer": {"kind": "char"},
        "lm": {"run_name": f"{name}-lm", "epochs": 1, "data": {"root": "data/lm", "batch_size": 8},
               "model": {"num_layers": 1, "d_model": 16, "num_heads": 2, "d_ff": 32, "dropout": 0.0, "max_len": 40},
               "training": training, "optimizer": optimizer, "scheduler": scheduler},
        "asr": {"run_name": f"{name}-asr", "epochs": 3,
                "model": {"input_dim": 20, "time_reduction": 4, "reduction_method": "conv", "num_encoder_layers": 1,
                          "num_decoder_layers": 1, "d_model": 16, "num_heads": 2, "d_ff": 32, "dropout": 0.0,
                          "max_len": 300},
                "data": {"root": "data/asr", "num_feats": 20, "norm": "global_mvn", "batch_size": 4, "group_by_length": 2,
                         "specaug": True,
                         "specaug_conf": {"apply_freq_mask": True, "freq_mask_width_range": 2, "num_freq_mask": 1,
                                          "apply_time_mask": True, "time_mask_width_range": 4, "num_time_mask": 1}},
                "training": training, "loss": {"label_smoothing": 0.1, "ctc_weight": 0.3},
                "optimizer": optimizer, "scheduler": scheduler},
        "evaluate": {"lm_weight": 0.5, "ctc_weight": 0.3, "batch_size": 4},
    }
    path = tmp_path / f"{name}.yaml"
    path.write_text(yaml.safe_dump(recipe))
    return recipe, str(path)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    rng = np.random.default_rng(0)
    _corpus(tmp_path / "audio", "train", 12, 1, rng)
    _corpus(tmp_path / "audio", "dev", 4, 2, rng)
    _corpus(tmp_path / "audio", "test", 5, 3, rng)
    monkeypatch.chdir(tmp_path)
    torch.manual_seed(0)
    return tmp_path


def _tsv(path):
    return [tuple(line.split("\t")) for line in path.read_text().splitlines()]


def test_recipe_end_to_end_and_a_run_folder_that_transcribes_anywhere(workdir, capsys, edit_distance):
    _, recipe = _recipe(workdir)
    assert main(["prepare", recipe]) == 0
    assert main(["prepare", recipe]) == 0  # a second run finds everything done
    assert "train-clean-100: 0 prepared, 24 already there" in capsys.readouterr().out  # with the 1.1x copies
    assert main(["train-lm", recipe]) == 0
    assert main(["train-asr", recipe]) == 0
    run = workdir / "expts" / "tiny-asr"
    for name in ("config.yaml", "model_arch.txt", "tokenizer.json", "recognizer.json", "lr_schedule.png",
                 "checkpoints/checkpoint-best-metric-model.pth", "checkpoints/checkpoint-last-epoch-model.pth",
                 "text/text_test_beam_20_results.json", "attn/decoder_cross_attention_epoch2.png"):
        assert (run / name).is_file(), name
    assert yaml.safe_load((run / "config.yaml").read_text())["model"]["d_model"] == 16
    # Resuming a finished run trains nothing more.
    assert main(["train-asr", recipe, "--resume"]) == 0
    assert "has finished its 3 epochs; nothing left to train" in capsys.readouterr().out

    assert main(["evaluate", recipe]) == 0
    out = capsys.readouterr().out
    table = out[out.index("| Setting"):].splitlines()
    assert table[0].split("|")[1:-1] == [" Setting    ", " Beam ", " LM weight ", " CTC weight ", " CER (%) ",
                                          " WER (%) ", " Time (s) "]
    rows = [[cell.strip() for cell in line.split("|")[1:-1]] for line in table[2:8]]
    assert [row[:4] for row in rows] == [["greedy", "1", "-", "0.3"], ["beam_10", "10", "-", "0.3"],
                                         ["beam_20", "20", "-", "0.3"], ["greedy_lm", "1", "0.5", "0.3"],
                                         ["beam_10_lm", "10", "0.5", "0.3"], ["beam_20_lm", "20", "0.5", "0.3"]]
    assert (run / "results.md").read_text().count("\n| ") == 8 and (run / "training_curves.png").is_file()
    # Each setting's CER is that of its transcript file against the references, paired by id.
    references = dict(_tsv(workdir / "data/asr/test-clean/references.tsv"))
    for setting, row in zip(["greedy", "beam_10", "beam_20", "greedy_lm", "beam_10_lm", "beam_20_lm"], rows):
        lines = _tsv(run / "transcripts" / f"{setting}.tsv")
        assert [i for i, _ in lines] == [f"7-3-{n:04d}" for n in range(5)]
        errors = sum(edit_distance(references[i], text) for i, text in lines)
        assert float(row[4]) == pytest.approx(100 * errors / sum(len(references[i]) for i, _ in lines), abs=0.006)

    # The demo on a finished run only evaluates again, and its summary's command runs as printed.
    assert main(["demo", recipe]) == 0
    out = capsys.readouterr().out
    assert "nothing left to train" in out and "| Evaluation | " in out and "| Total | " in out
    command = shlex.split(out[out.index("- Try next: `") + 13:].split("`")[0])
    assert command[1:4] == ["transcribe", "expts/tiny-asr", "audio/test/7/3/7-3-0000.flac"]
    assert main(command[1:]) == 0
    best = min(rows, key=lambda row: float(row[4]))
    assert capsys.readouterr().out.split("\t")[0] == "7-3-0000" and f"Best setting: {best[0]}," in out

    # The run folders, copied elsewhere, transcribe as they do in place.
    expected = {setting: _tsv(run / "transcripts" / f"{setting}.tsv") for setting in ("greedy", "beam_10_lm")}
    elsewhere = workdir / "elsewhere"
    shutil.copytree(run, elsewhere / "asr")
    shutil.copytree(workdir / "expts" / "tiny-lm", elsewhere / "lm")
    shutil.rmtree(workdir / "expts")
    os.chdir(elsewhere)
    args = ["transcribe", "asr", str(workdir / "audio/test"), "--ctc-weight", "0.3", "--lm", "lm", "--lm-weight",
            "0.5", "--beam-width", "10", "--batch-size", "4"]
    assert main(args + ["-o", "out.tsv"]) == 0
    assert _tsv(elsewhere / "out.tsv") == expected["beam_10_lm"]
    capsys.readouterr()
    assert main(args[:5]) == 0  # greedy, to standard output: the lines alone
    assert [tuple(line.split("\t")) for line in capsys.readouterr().out.splitlines()] == expected["greedy"]


def test_bad_input_is_reported_by_name(workdir, capsys):
    recipe, path = _recipe(workdir)
    (workdir / "audio/dev/7/2/7-2-0001.flac").write_bytes(b"not audio")
    assert main(["prepare", path]) == 1
    assert "quorlin: error: 1 problem(s) in data/asr/dev-clean:\n  audio/dev/7/2/7-2-0001.flac: cannot read audio" \
        in capsys.readouterr().err
    assert len(os.listdir(workdir / "data/asr/train-clean-100/fbank")) == 24  # finished work is kept
    assert main(["train-asr", path]) == 1
    assert capsys.readouterr().err.endswith(
        "quorlin: error: data/asr/tokenizer.json does not exist: run `quorlin prepare` with this recipe first\n")
    (workdir / "broken.yaml").write_text(yaml.safe_dump({**recipe, "prepare": {**recipe["prepare"],
                                                                          "speed_perturb": 0.9}}))
    assert main(["prepare", "broken.yaml"]) == 1
    assert capsys.readouterr().err == \
        "quorlin: error: prepare.speed_perturb must be a list of speed factors, got 0.9\n"
    (workdir / "broken.yaml").write_text(yaml.safe_dump({**recipe, "evaluate": {"ctc_weight": 1.5}}))
    assert main(["evaluate", "broken.yaml"]) == 1
    assert capsys.readouterr().err == "quorlin: error: evaluate.ctc_weight must lie in [0, 1], got 1.5\n"
    del recipe["asr"]
    (workdir / "broken.yaml").write_text(yaml.safe_dump(recipe))
    assert main(["evaluate", "broken.yaml"]) == 1
    assert capsys.readouterr().err == "quorlin: error: broken.yaml has no 'asr' section\n"
    with pytest.raises(SystemExit):
        main(["transcribe", "nowhere", "audio", "--ctc-weight", "1.5"])
    assert "argument --ctc-weight: must lie in [0, 1], got 1.5" in capsys.readouterr().err
    assert main(["transcribe", "nowhere", "audio"]) == 1
    assert capsys.readouterr().err == "quorlin: error: nowhere is not a trained recogniser run folder: " \
                                      "it has no config.yaml\n"


def test_train_asr_under_torchrun_writes_one_run_folder(workdir):
    _, recipe = _recipe(workdir, "ddp")
    assert main(["prepare", recipe]) == 0
    env = {**os.environ, "OMP_NUM_THREADS": "1"}
    subprocess.run([sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2",
                    "-m", "quorlin", "train-asr", recipe], check=True, env=env, capture_output=True, timeout=300)
    assert os.listdir(workdir / "expts") == ["ddp-asr"]
    checkpoint = torch.load(workdir / "expts/ddp-asr/checkpoints/checkpoint-last-epoch-model.pth",
                            weights_only=True)
    assert checkpoint["epoch"] == 2 and len(checkpoint["training_history"]) == 3
    assert not any(key.startswith("module.") for key in checkpoint["model_state_dict"])
